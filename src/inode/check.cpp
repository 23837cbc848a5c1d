// Consistency of the table: the start-up walk that decides whether a stored
// table may be trusted, the existence test and the check thread that drops
// the records of vanished files.
#include <cstring>
#include <thread>
#include <vector>

#include "fs/fs.h"
#include "inode/inode.h"
#include "inode/internal.h"
#include "platform/winerr.h"

namespace {

std::thread check_thread;

// One bit per block; claiming a block twice is a fault (a cycle, or a record
// inside a free run), so every walk below ends after at most one visit each.
struct block_map {
    std::vector<uint64_t> bits;
    explicit block_map(uint32_t total) : bits((total / INODE_BLOCK + 63) / 64) {}
    bool claimed(uint32_t off) const {
        uint32_t i = off / INODE_BLOCK;
        return bits[i / 64] >> (i % 64) & 1;
    }
    bool claim(uint32_t off) {
        uint32_t i = off / INODE_BLOCK;
        uint64_t bit = uint64_t(1) << (i % 64);
        if (bits[i / 64] & bit) return false;
        bits[i / 64] |= bit;
        return true;
    }
};

// A record's name must be whole (no NUL before its end) and one the index
// would store. The name blocks were claimed already.
bool name_sound(const uint8_t *rec, uint32_t parent, uint32_t length) {
    char name[INODE_PATH_MAX];
    uint32_t n = inode_name(rec, name, sizeof name);
    return n + 1 == length && n + 1 <= sizeof name && inode_name_storable(parent, name);
}

bool claim_record(block_map &map, uint32_t inode, uint32_t parent, uint32_t *used) {
    uint8_t *rec = inode_record(inode);
    if (!rec || !map.claim(inode) || inode_rec_parent(rec) != parent) return false;
    uint32_t length = inode_rec_namelen(rec);
    if (length == 0) return false;
    *used += INODE_BLOCK;
    uint32_t b = inode_get32(rec + INODE_NAME);
    for (uint32_t n = inode_name_blocks(length); n > 0; n--) {
        uint8_t *blk = inode_block(b);
        if (!blk || !map.claim(b)) return false;
        *used += INODE_BLOCK;
        b = inode_get32(blk);
    }
    if (!name_sound(rec, parent, length)) return false;
    rec[INODE_FLAGS] = 0;  // scan bits mean nothing across restarts
    return true;
}

// Depth first over the tree of one sibling list at a time; children's parent
// links are checked, so climbing back up through them retraces the descent.
void check_list(uint32_t first);

}  // namespace

bool inode_table_walk(uint32_t *used, std::vector<uint32_t> *leaked) {
    std::lock_guard<std::recursive_mutex> hold(inode_table_lock());
    uint32_t total = inode_table_size();
    *used = INODE_BLOCK;
    if (total < 2 * INODE_BLOCK || inode_free_list_broken()) return false;
    block_map map(total);
    map.claim(0);
    for (uint32_t cur = inode_get32(inode_at(INODE_HDR_FREE)); cur != 0 && cur < total;) {
        uint8_t *run = inode_block(cur);
        if (!run) return false;
        uint32_t size = inode_get32(run);
        if (size == 0 || size % INODE_BLOCK || size > total - cur) return false;
        for (uint32_t o = cur; o < cur + size; o += INODE_BLOCK)
            if (!map.claim(o)) return false;
        cur = inode_get32(run + 4);
    }
    uint32_t dir = 0;
    uint32_t cur = inode_get32(inode_at(INODE_HDR_ROOT));
    for (;;) {
        if (cur == 0) {
            if (dir == 0) break;
            uint8_t *d = inode_record(dir);
            cur = inode_rec_next(d);
            dir = inode_rec_parent(d);
            continue;
        }
        if (!claim_record(map, cur, dir, used)) return false;
        uint8_t *rec = inode_record(cur);
        if (inode_rec_child(rec)) {
            dir = cur;
            cur = inode_rec_child(rec);
        } else {
            cur = inode_rec_next(rec);
        }
    }
    if (leaked)
        for (uint32_t off = INODE_BLOCK; off < total; off += INODE_BLOCK)
            if (!map.claimed(off)) leaked->push_back(off);
    return true;
}

bool inode_exists(uint32_t inode) {
    char path[INODE_PATH_MAX];
    if (!inode_path(inode, path)) return false;
    // A drive record alone ("c:") names the drive's current folder on
    // Windows; its root is what the record stands for.
    if (path[1] == ':' && path[2] == 0) std::strcpy(path + 2, "\\");
    if (fs_get_attributes(path) != FS_INVALID_ATTRIBUTES) return true;
    uint32_t err = win_last_error();
    return err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND && err != ERROR_INVALID_DRIVE;
}

namespace {

void check_list(uint32_t first) {
    uint32_t cur = first;
    while (cur != 0 && !inode_shutting_down()) {
        uint32_t next;
        {
            std::lock_guard<std::recursive_mutex> hold(inode_table_lock());
            uint8_t *rec = inode_record(cur);
            if (!rec) return;
            next = inode_rec_next(rec);
        }
        // No lock during the file system call: it may be slow (network drives).
        if (inode_exists(cur)) {
            uint32_t child;
            {
                std::lock_guard<std::recursive_mutex> hold(inode_table_lock());
                uint8_t *rec = inode_record(cur);
                if (!rec) return;
                child = inode_rec_child(rec);
            }
            if (child) check_list(child);
            std::lock_guard<std::recursive_mutex> hold(inode_table_lock());
            uint8_t *rec = inode_record(cur);
            if (!rec) return;  // the list changed meanwhile
            next = inode_rec_next(rec);
        } else {
            inode_remove_tree(cur);
        }
        cur = next;
    }
}

}  // namespace

void inode_check() {
    uint32_t first;
    {
        std::lock_guard<std::recursive_mutex> hold(inode_table_lock());
        uint8_t *head = inode_at(INODE_HDR_ROOT);
        if (!head) return;
        first = inode_get32(head);
    }
    check_list(first);
}

void inode_check_start() {
    inode_check_join();
    check_thread = std::thread(inode_check);
}

void inode_check_join() {
    if (check_thread.joinable()) check_thread.join();
}
