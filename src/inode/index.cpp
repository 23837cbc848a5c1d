// The name index: records with their names, sorted sibling lists, lookup,
// removal and rename.
#include <cstring>

#include "inode/inode.h"
#include "inode/internal.h"
#include "platform/ascii.h"
#include "base/log.h"

namespace {

using table_hold = std::lock_guard<std::recursive_mutex>;

constexpr uint32_t NAME_INLINE = 16;  // name_length up to this is stored inline
constexpr uint32_t NAME_HEAD = 12;    // bytes of a long name kept in the record
constexpr uint32_t NAME_PART = 28;    // bytes of the name per name block
constexpr uint32_t NAME_LENGTH_MAX = 0xFFFF;

// Compares `n` stored bytes with the query from *q on, advancing *q.
int compare_run(const uint8_t *p, uint32_t n, const uint8_t *&q) {
    for (uint32_t i = 0; i < n; i++, q++) {
        if (*q == 0) return 1;  // the query ends first: it sorts before
        int d = ascii_compare(char(p[i]), char(*q));
        if (d) return d;
    }
    return 0;
}

// The location of the link that holds the first record of `dir`'s list:
// the header's root_head for the top level. 0 when `dir` is not a record
// or the table is closed.
uint32_t list_link(uint32_t dir) {
    if (dir == 0) return inode_at(INODE_HDR_ROOT) ? INODE_HDR_ROOT : 0;
    return inode_record(dir) ? dir + INODE_CHILD : 0;
}

uint32_t link_get(uint32_t link) {
    return inode_get32(inode_at(link));
}
void link_put(uint32_t link, uint32_t v) {
    inode_put32(inode_at(link), v);
}

// A record could not be made: the table is full and cannot grow.
uint32_t out_of_inodes() {
    log_printf(LOG_EVENT, "nfs_inodes fatal error: out of inodes\n");
    return 0;
}

void free_name_blocks(uint32_t first, uint32_t count) {
    for (uint32_t b = first; count > 0; count--) {
        uint8_t *blk = inode_block(b);
        if (!blk) return;
        uint32_t next = inode_get32(blk);
        inode_heap_free(b);
        b = next;
    }
}

}  // namespace

bool inode_name_storable(uint32_t parent, const char *name) {
    if (!name[0] || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    for (const char *p = name; *p; p++)
        if (*p == '\\' || (*p == '/' && (parent != 0 || p != name))) return false;
    return true;
}

int inode_name_cmp(const uint8_t *rec, const char *name) {
    const auto *q = reinterpret_cast<const uint8_t *>(name);
    uint32_t left = inode_rec_namelen(rec);
    left = left ? left - 1 : 0;  // without the NUL
    if (left < NAME_INLINE) {
        int d = compare_run(rec + INODE_NAME, left, q);
        return d ? d : (*q ? -1 : 0);
    }
    int d = compare_run(rec + INODE_NAME + 4, NAME_HEAD, q);
    if (d) return d;
    left -= NAME_HEAD;
    for (uint32_t b = inode_get32(rec + INODE_NAME); left > 0;) {
        const uint8_t *blk = inode_block(b);
        if (!blk) break;
        uint32_t n = left < NAME_PART ? left : NAME_PART;
        d = compare_run(blk + 4, n, q);
        if (d) return d;
        left -= n;
        b = inode_get32(blk);
    }
    return *q ? -1 : 0;
}

uint32_t inode_name(const uint8_t *rec, char *buffer, uint32_t size) {
    uint32_t length = inode_rec_namelen(rec);
    uint32_t left = length ? length - 1 : 0, out = 0, total = 0;
    auto copy = [&](const uint8_t *p, uint32_t n) {
        for (uint32_t i = 0; i < n; i++) {
            if (p[i] == 0) return false;
            if (out + 1 < size) buffer[out++] = char(p[i]);
            total++;
        }
        return true;
    };
    if (left < NAME_INLINE) {
        copy(rec + INODE_NAME, left);
    } else if (copy(rec + INODE_NAME + 4, NAME_HEAD)) {
        left -= NAME_HEAD;
        for (uint32_t b = inode_get32(rec + INODE_NAME); left > 0;) {
            const uint8_t *blk = inode_block(b);
            uint32_t n = left < NAME_PART ? left : NAME_PART;
            if (!blk || !copy(blk + 4, n)) break;
            left -= n;
            b = inode_get32(blk);
        }
    }
    if (size) buffer[out] = 0;
    return total;
}

uint32_t inode_new(const char *name, uint32_t parent, uint32_t next) {
    size_t length = std::strlen(name) + 1;
    if (length > NAME_LENGTH_MAX) return 0;
    uint32_t inode = inode_spare_take();
    if (!inode) inode = inode_heap_alloc(INODE_BLOCK);
    if (!inode) return out_of_inodes();
    if (length <= NAME_INLINE) {
        std::memcpy(inode_block(inode) + INODE_NAME, name, length);
    } else {
        // Every allocation may move the view: addresses are taken afresh.
        uint32_t first = inode_heap_alloc(INODE_BLOCK);
        if (!first) {
            inode_heap_retire(inode);
            return out_of_inodes();
        }
        uint8_t *rec = inode_block(inode);
        inode_put32(rec + INODE_NAME, first);
        std::memcpy(rec + INODE_NAME + 4, name, NAME_HEAD);
        const char *rest = name + NAME_HEAD;
        size_t left = length - NAME_HEAD;
        for (uint32_t cur = first;;) {
            size_t n = left < NAME_PART ? left : NAME_PART;
            std::memcpy(inode_block(cur) + 4, rest, n);
            rest += n;
            left -= n;
            if (left == 0) break;
            uint32_t more = inode_heap_alloc(INODE_BLOCK);
            if (!more) {
                free_name_blocks(first, inode_name_blocks(uint32_t(length)));
                inode_heap_retire(inode);
                return out_of_inodes();
            }
            inode_put32(inode_block(cur), more);
            cur = more;
        }
    }
    uint8_t *rec = inode_block(inode);
    inode_put32(rec + INODE_NEXT, next);
    inode_put32(rec + INODE_CHILD, 0);
    inode_put32(rec + INODE_PARENT, parent);
    rec[INODE_NAMELEN] = uint8_t(length);
    rec[INODE_NAMELEN + 1] = uint8_t(length >> 8);
    rec[INODE_FLAGS] = 0;
    rec[INODE_MARKER] = INODE_MARK;  // last: only now is the block a record
    inode_order_forget(inode);       // nothing of an earlier record of this number
    return inode;
}

uint32_t inode_find(uint32_t dir, const char *name) {
    if (std::strcmp(name, ".") == 0) return dir;
    table_hold hold(inode_table_lock());
    inode_place at;
    return inode_order_find(dir, name, &at) ? at.found : 0;
}

uint32_t inode_lookup(uint32_t dir, const char *name) {
    if (std::strcmp(name, ".") == 0) return dir;
    if (!inode_name_storable(dir, name)) return 0;
    table_hold hold(inode_table_lock());
    inode_place at;
    if (!inode_order_find(dir, name, &at)) return 0;
    if (at.found) return at.found;
    uint32_t link = at.prev ? at.prev + INODE_NEXT : list_link(dir);
    uint32_t inode = inode_new(name, dir, link_get(link));
    if (!inode) return 0;
    link_put(link, inode);  // the view may have moved: by offset
    inode_order_insert(dir, at.rank, inode);
    return inode;
}

bool inode_remove(uint32_t inode, bool keep_slot) {
    table_hold hold(inode_table_lock());
    uint8_t *rec = inode_record(inode);
    if (!rec || inode_rec_child(rec)) return false;
    uint32_t parent = inode_rec_parent(rec);
    uint32_t link = list_link(parent), rank = 0;
    if (link && link_get(link) != inode) {
        uint32_t prev = 0;
        if (inode_order_rank(parent, inode, &rank) && rank > 0)
            prev = inode_order_at(parent, rank - 1);
        if (prev && link_get(prev + INODE_NEXT) == inode) {
            link = prev + INODE_NEXT;
        } else {
            // Not where its name sorts: found by walking, and the order is
            // built again from the file.
            for (uint32_t cur = link_get(link); cur != 0 && cur != inode;) {
                const uint8_t *r = inode_record(cur);
                if (!r) break;
                link = cur + INODE_NEXT;
                cur = inode_rec_next(r);
            }
            inode_order_forget(parent);
        }
    }
    if (link && link_get(link) == inode) {
        link_put(link, inode_rec_next(rec));
        inode_order_unlinked(parent, rank, inode);
    }
    inode_order_forget(inode);
    uint32_t length = inode_rec_namelen(rec);
    if (length > NAME_INLINE)
        free_name_blocks(inode_get32(rec + INODE_NAME), inode_name_blocks(length));
    std::memset(inode_block(inode), 0, INODE_BLOCK);
    if (!keep_slot || !inode_spare_hold(inode)) inode_heap_retire(inode);
    return true;
}

bool inode_remove_tree(uint32_t inode) {
    table_hold hold(inode_table_lock());
    if (!inode_record(inode)) return false;
    // Without recursion: descend to a leaf, remove it, climb one step. Each
    // leaf is its parent's first child, so unlinking it is immediate.
    uint32_t cur = inode;
    for (;;) {
        const uint8_t *rec = inode_record(cur);
        if (!rec) return false;
        if (inode_rec_child(rec)) {
            cur = inode_rec_child(rec);
            continue;
        }
        if (cur == inode) return inode_remove(inode, false);
        uint32_t parent = inode_rec_parent(rec);
        if (!inode_remove(cur, false)) return false;
        cur = parent;
    }
}

void inode_remove_children(uint32_t inode) {
    table_hold hold(inode_table_lock());
    for (;;) {
        const uint8_t *rec = inode_record(inode);
        if (!rec || !inode_rec_child(rec) || !inode_remove_tree(inode_rec_child(rec))) return;
    }
}

uint32_t inode_rename(uint32_t inode, uint32_t new_parent, const char *new_name) {
    table_hold hold(inode_table_lock());
    // The record the new name had is the replaced file's: it goes like any
    // removed record, so that the replaced file's handles answer STALE
    // instead of reaching the file moved over it.
    uint32_t replaced = inode_find(new_parent, new_name);
    if (replaced && replaced != inode) inode_remove_tree(replaced);
    // A record without children leaves its block in the spare slot, and the
    // new name's record is created in it: the file keeps its number.
    inode_remove(inode, true);
    uint32_t answer = inode_lookup(new_parent, new_name);
    // A slot left over (the new name had its record) goes back to the heap
    // at once rather than waiting, unaccounted for, for the next record.
    inode_spare_release();
    return answer;
}
