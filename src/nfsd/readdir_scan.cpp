// The scan of one Windows directory into the inode table's child list: mark
// every listed name seen, then sweep away the children that were not.
#include <cstdio>
#include <mutex>

#include "fs/fs.h"
#include "inode/inode.h"
#include "names/name.h"
#include "names/nfs_status.h"
#include "nfsd/attr.h"
#include "nfsd/cache.h"
#include "nfsd/readdir.h"
#include "platform/ascii.h"
#include "platform/clock.h"
#include "base/log.h"

namespace {

constexpr uint32_t WAIT_POLL_MS = 50;    // a second scanner polls this often...
constexpr uint32_t WAIT_POLLS = 600;     // ...for at most 30 s
constexpr uint32_t RECHECK_BATCH = 64;   // unseen children tested per hold of the lock

using table_hold = std::lock_guard<std::recursive_mutex>;

// Another thread scans `dir`: wait for it, then serve the list it leaves.
// A scan that never ends (its thread is gone) is presumed dead after the
// last poll, and its flag cleared.
uint32_t wait_for_scan(uint32_t dir) {
    for (uint32_t polls = 0;; polls++) {
        if (!inode_scan_flag(dir, 0)) return NFS_OK;
        if (polls == WAIT_POLLS) {
            inode_scan_clear(dir);
            return NFS_OK;
        }
        sleep_ms(WAIT_POLL_MS);
        if (inode_shutting_down()) {
            inode_scan_clear(dir);
            return NFSERR_NXIO;
        }
    }
}

// One listed name: found or added as a child, and marked seen.
void scan_entry(uint32_t dir, const char *listed, bool lowercase) {
    if (listed[0] == '.' && (listed[1] == 0 || (listed[1] == '.' && listed[2] == 0))) return;
    if (!name_valid(listed)) return;  // never listed, never given a record
    char name[sizeof(win_find_data::name)];
    size_t n = 0;
    for (; listed[n] && n + 1 < sizeof name; n++) name[n] = lowercase ? ascii_lower(listed[n]) : listed[n];
    name[n] = 0;
    if (uint32_t child = inode_lookup(dir, name)) inode_mark_seen(child);
}

// Whether a record's name passes the name rules. Table lock held.
bool valid_name(const uint8_t *rec) {
    char name[INODE_PATH_MAX];
    inode_name(rec, name, sizeof name);
    return name_valid(name);
}

// Children that the listing did not show but whose files exist: a LOOKUP or
// CREATE added them after the listing had passed their place, or the
// listing missed them. The sweep would drop their records, and every handle
// given out for them would go stale. Names the rules refuse now (another
// "CharSet" since they were added) are left to the sweep. Tested outside
// the table lock, a batch at a time, resuming after the last child of the
// batch.
void keep_existing_unseen(uint32_t dir) {
    uint32_t after = 0;
    for (;;) {
        uint32_t batch[RECHECK_BATCH];
        uint32_t n = 0;
        bool more = false;
        {
            table_hold hold(inode_table_lock());
            const uint8_t *d = inode_record(dir);
            if (!d) return;
            uint32_t cur = inode_rec_child(d);
            if (after != 0) {
                const uint8_t *rec = inode_record(after);
                if (!rec || inode_rec_parent(rec) != dir) return;
                cur = inode_rec_next(rec);
            }
            while (cur != 0) {
                const uint8_t *rec = inode_record(cur);
                if (!rec) break;
                if (!(rec[INODE_FLAGS] & INODE_SEEN) && valid_name(rec)) {
                    if (n == RECHECK_BATCH) {
                        more = true;
                        break;
                    }
                    batch[n++] = cur;
                }
                cur = inode_rec_next(rec);
            }
        }
        for (uint32_t i = 0; i < n; i++)
            if (inode_exists(batch[i])) inode_mark_seen(batch[i]);
        if (!more) return;
        after = batch[n - 1];
    }
}

// Ends a scan that could not list the directory: nothing is swept.
uint32_t scan_failed(uint32_t dir, const char *path, uint32_t error, uint32_t status) {
    log_printf(LOG_DETAIL, "nfs_getdir: %s error %u\n", path, unsigned(error));
    inode_scan_clear(dir);
    return status;
}

}  // namespace

uint32_t nfs_getdir(nfs_object *o) {
    if (nfs_object_resolve(o, false) != NFS_OK) return NFSERR_NOENT;
    if (!nfs_object_check(o, false)) return NFSERR_NXIO;
    const export_entry *exp = o->exp;
    uint32_t dir = o->inode;
    const char *path = o->path;
    cache_close_volume(export_load(exp->volume_serial));

    // Always claimed, even by a scan that runs alone: a second scan that
    // started beside an unclaimed one would have its seen marks cleared by
    // the first one's sweep, and its own sweep would then drop live records.
    if (inode_scan_flag(dir, 1)) return wait_for_scan(dir);

    char pattern[INODE_PATH_MAX];
    if (snprintf(pattern, sizeof pattern, "%s\\*.*", path) >= int(sizeof pattern))
        return scan_failed(dir, path, ERROR_FILENAME_EXCED_RANGE, NFSERR_NOENT);
    win_find_data data;
    win_find_handle search = fs_find_first_name(pattern, &data);
    if (!search) {
        uint32_t error = win_last_error();
        // "No match" for "*.*" is an empty directory (a drive root lists no
        // dot entries); only a directory that cannot be opened fails.
        if (error != ERROR_FILE_NOT_FOUND) return scan_failed(dir, path, error, NFSERR_NOENT);
    } else {
        bool lowercase = export_load(exp->flags) & EXP_LOWERCASE;
        bool more = true;
        while (more) {
            scan_entry(dir, data.name, lowercase);
            if (inode_shutting_down()) {
                fs_find_close(search);
                inode_scan_clear(dir);
                return NFSERR_NXIO;
            }
            more = fs_find_next(search, &data);
        }
        uint32_t error = win_last_error();
        fs_find_close(search);
        if (error != ERROR_NO_MORE_FILES) return scan_failed(dir, path, error, NFSERR_IO);
    }
    keep_existing_unseen(dir);
    inode_sweep(dir);
    return NFS_OK;
}
