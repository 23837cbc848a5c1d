// File handles: building them, and turning a received one back into an
// export, an inode number and a path.
#include "fh/fh.h"

#include <cstring>

#include "inode/inode.h"
#include "platform/ascii.h"

namespace {

// True when `path` is the export's directory or lies below it. Names are
// compared as the inode table compares them, ignoring the case of A-Z: a
// rebuilt path carries the case in which each name was first seen.
bool inside_export(const char *export_path, const char *path) {
    size_t n = strlen(export_path);
    return ascii_equal_n(path, export_path, n) && (path[n] == 0 || path[n] == '\\');
}

}  // namespace

void fh_make(uint32_t inode, uint32_t export_id, uint8_t *fh) {
    memset(fh, 0, FH_SIZE);
    inode_put32(fh, FH_TAG);
    inode_put32(fh + 4, export_id);
    inode_put32(fh + 8, inode);
    inode_put32(fh + 12, export_id + inode);
}

uint32_t fh_for_path(uint32_t export_id, const char *path, uint8_t *fh) {
    uint32_t inode = inode_path_lookup(path);
    fh_make(inode, export_id, fh);
    return inode;
}

std::atomic<uint64_t> fh_decodes{0};

export_entry *fh_decode(const uint8_t *fh) {
    fh_decodes.fetch_add(1, std::memory_order_relaxed);
    uint32_t export_id = inode_get32(fh + 4);
    uint32_t inode = inode_get32(fh + 8);
    if (inode_get32(fh) != FH_TAG || inode % INODE_BLOCK != 0 ||
        inode_get32(fh + 12) != export_id + inode)
        return nullptr;
    return export_find(export_id);
}

uint32_t fh_path(const export_entry *e, const uint8_t *fh, char *path) {
    uint32_t inode = inode_get32(fh + 8);
    if (!inode_path(inode, path)) return 0;
    // The export id and the number come from the client: a handle that
    // pairs an export with a record outside it must not reach that record.
    return inside_export(e->path, path) ? inode : 0;
}
