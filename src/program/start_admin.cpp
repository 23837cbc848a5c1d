// The administrator's two looks at the exports file besides a start: the
// check (nfsd --check), which reads it as a start would and shows the
// result without serving, and the reload of a running server (SIGHUP).
#include <cstdio>

#include "inode/inode.h"
#include "exports/export.h"
#include "platform/drive.h"
#include "platform/mapfile.h"
#include "base/config.h"
#include "base/log.h"
#include "program/start.h"
#include "program/start_internal.h"

namespace {

// A report is large (a line's word for each problem): one for the process,
// used by one reading at a time (the check, or the main thread's reloads).
exports_report report;

int listed_count() {
    int n = 0;
    for (const export_entry *e = export_list; e; e = e->next) n++;
    return n;
}

}  // namespace

int server_check(FILE *out, FILE *err) {
    // The running server's table may change under us, and a check must
    // change nothing: a private copy gives the export ids a start would.
    config.inode_check = 0;
    drive_load();
    uint32_t found = start_report_drives();
    mapfile_snapshots(true);
    bool table = inode_table_init();
    if (!table) fputs("nfsd: the inode table cannot be read; export ids are those of an empty table\n", err);
    exports_read(&report, EXPORTS_CHECK);
    char line[EXPORT_LISTING_MAX];
    char name[EXPORT_PATH_BUFFER];
    for (const export_entry *e = export_list; e; e = e->next) {
        export_name(e->path, name);
        export_listing(e, line, sizeof line);
        fprintf(out, "%-16s %s\n", e->name ? e->name : name, line);
    }
    fflush(out);
    start_report_exports(&report);
    found += report.count;
    fprintf(out, "%d exports, %u problems\n", listed_count(), unsigned(found));
    if (table) inode_table_shutdown();
    mapfile_snapshots(false);
    return int(found);
}

bool server_reload() {
    bool done = exports_read(&report, EXPORTS_RELOAD);
    start_report_exports(&report);
    if (done) {
        log_printf(LOG_EVENT, "%s nfsd   exports reloaded, %d exports\n", log_time(), listed_count());
        fprintf(stderr, "nfsd: exports reloaded, %d exports\n", listed_count());
    } else {
        log_printf(LOG_EVENT, "%s nfsd   exports not reloaded: the file has problems, the list stays\n",
                   log_time());
        fputs("nfsd: exports not reloaded: the file has problems, the list stays\n", stderr);
    }
    log_flush();
    return done;
}
