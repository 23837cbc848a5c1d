// The exports reader: the input is the exports file. Every list it builds
// must be sound (paths without a trailing separator, at most 128 entries,
// client counts within their arrays) and is freed again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_home.h"
#include "inode/inode.h"
#include "exports/export.h"
#include "base/log.h"

namespace {
std::string exports_path;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    exports_path = fuzz_home() + "exports";
    if (!inode_table_init()) abort();
    log_attach(fopen("/dev/null", "w"), 3);  // every listing line is formatted
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536) return 0;
    FILE *f = fopen(exports_path.c_str(), "wb");
    if (!f) abort();
    fwrite(data, 1, size, f);
    fclose(f);
    exports_clear();
    exports_read();
    uint32_t entries = 0;
    for (export_entry *e = export_list; e; e = e->next) {
        size_t n = strlen(e->path);
        if (n == 0 || e->path[n - 1] == '\\' || e->path[n - 1] == '/' || e->client_count > 128)
            abort();
        char name[1024];
        export_name(e->path, name);
        size_t m = strlen(name);
        if (m > 1 && name[m - 1] == '/') abort();
        if (++entries > 128) abort();
    }
    exports_clear();
    return 0;
}
