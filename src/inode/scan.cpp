// Directory scan bookkeeping: child positions for listing cookies, the scan
// and seen bits, and the sweep that drops names a listing no longer shows.
#include "inode/inode.h"
#include "inode/internal.h"

namespace {
using table_hold = std::lock_guard<std::recursive_mutex>;
}

bool inode_has_parent(uint32_t inode) {
    table_hold hold(inode_table_lock());
    const uint8_t *rec = inode_record(inode);
    return rec && inode_rec_parent(rec) != 0;
}

uint32_t inode_child_at(uint32_t dir, uint32_t n) {
    table_hold hold(inode_table_lock());
    if (!inode_record(dir)) return 0;
    uint32_t child = inode_order_at(dir, n);
    return inode_record(child) ? child : 0;
}

bool inode_scan_flag(uint32_t dir, int set) {
    table_hold hold(inode_table_lock());
    uint8_t *rec = inode_record(dir);
    if (!rec) return false;
    bool was = rec[INODE_FLAGS] & INODE_SCANNING;
    if (set > 0) rec[INODE_FLAGS] |= INODE_SCANNING;
    return was;
}

void inode_scan_clear(uint32_t dir) {
    table_hold hold(inode_table_lock());
    if (uint8_t *rec = inode_record(dir)) rec[INODE_FLAGS] &= uint8_t(~INODE_SCANNING);
}

void inode_mark_seen(uint32_t inode) {
    table_hold hold(inode_table_lock());
    if (uint8_t *rec = inode_record(inode)) rec[INODE_FLAGS] |= INODE_SEEN;
}

void inode_sweep(uint32_t dir) {
    table_hold hold(inode_table_lock());
    const uint8_t *rec = inode_record(dir);
    if (!rec) return;
    for (uint32_t cur = inode_rec_child(rec); cur != 0;) {
        uint8_t *child = inode_record(cur);
        if (!child) break;
        uint32_t next = inode_rec_next(child);
        if (child[INODE_FLAGS] & INODE_SEEN)
            child[INODE_FLAGS] &= uint8_t(~INODE_SEEN);
        else
            inode_remove_tree(cur);  // gone from the disk, with all below it
        cur = next;
    }
    inode_scan_clear(dir);
}
