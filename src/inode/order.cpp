// The order of sibling lists, held in memory: for every directory whose list
// has been used since the table was opened, a balanced tree (a treap ordered
// by position) of its children's record numbers in list order. Finding a
// name, its place in the list and the n-th child then take O(log n) steps
// instead of a walk from the front. A tree is built from the list in the file
// on its first use and changed with every link and unlink; the lists in the
// file stay the truth, and any doubt drops the tree to be built again.
#include <unordered_map>
#include <vector>

#include "inode/inode.h"
#include "inode/internal.h"

namespace {

// 16 bytes a child; node 0 is "none" and has size 0.
struct node {
    uint32_t rec, left, right, size;
};

std::vector<node> pool(1);
uint32_t free_nodes;                            // linked through `left`
std::unordered_map<uint32_t, uint32_t> roots;  // directory -> root node (0: empty)
char key[0x10000];                             // a record's name, under the table lock

// The last position answered: a listing asks for n, n + 1, ... and is then
// answered by following the list, while no list has changed since.
struct position {
    uint32_t dir, n, rec, changes;
};
position last;
uint32_t changes;  // counts every change of any order

// A fixed pseudo-random priority per node keeps the trees balanced.
uint32_t priority(uint32_t n) {
    n *= 0x9E3779B1u;
    n ^= n >> 15;
    n *= 0x85EBCA6Bu;
    return n ^ (n >> 13);
}

uint32_t size(uint32_t t) {
    return pool[t].size;
}

void fix(uint32_t t) {
    pool[t].size = 1 + size(pool[t].left) + size(pool[t].right);
}

uint32_t make(uint32_t rec) {
    uint32_t n = free_nodes;
    if (n) {
        free_nodes = pool[n].left;
    } else {
        n = uint32_t(pool.size());
        pool.push_back({});
    }
    pool[n] = {rec, 0, 0, 1};
    return n;
}

void release(uint32_t n) {
    pool[n] = {0, free_nodes, 0, 0};
    free_nodes = n;
}

void release_tree(uint32_t t) {
    if (!t) return;
    release_tree(pool[t].left);
    release_tree(pool[t].right);
    release(t);
}

uint32_t merge(uint32_t a, uint32_t b) {
    if (!a || !b) return a ? a : b;
    if (priority(a) > priority(b)) {
        uint32_t r = merge(pool[a].right, b);
        pool[a].right = r;
        fix(a);
        return a;
    }
    uint32_t l = merge(a, pool[b].left);
    pool[b].left = l;
    fix(b);
    return b;
}

// Splits `t` into its first `k` children (*a) and the rest (*b).
void split(uint32_t t, uint32_t k, uint32_t *a, uint32_t *b) {
    if (!t) {
        *a = *b = 0;
        return;
    }
    uint32_t l = pool[t].left, r = pool[t].right;
    if (size(l) < k) {
        split(r, k - size(l) - 1, &r, b);
        pool[t].right = r;
        *a = t;
    } else {
        split(l, k, a, &l);
        pool[t].left = l;
        *b = t;
    }
    fix(t);
}

uint32_t select(uint32_t t, uint32_t n) {
    while (t) {
        uint32_t l = size(pool[t].left);
        if (n == l) return pool[t].rec;
        if (n < l) {
            t = pool[t].left;
        } else {
            n -= l + 1;
            t = pool[t].right;
        }
    }
    return 0;
}

void drop(uint32_t dir) {
    auto it = roots.find(dir);
    if (it == roots.end()) return;
    changes++;
    release_tree(it->second);
    roots.erase(it);
}

// The root of `dir`'s tree, built from its list when missing; null when `dir`
// is neither 0 nor a record, or the table is closed. The list is taken up to
// its first link that is not a record, as the start-up walk does.
uint32_t *tree(uint32_t dir) {
    auto it = roots.find(dir);
    if (it != roots.end()) return &it->second;
    const uint8_t *head = dir ? inode_record(dir) : inode_at(INODE_HDR_ROOT);
    if (!head) return nullptr;
    uint32_t root = 0;
    for (uint32_t cur = inode_get32(head + (dir ? INODE_CHILD : 0)); cur != 0;) {
        const uint8_t *rec = inode_record(cur);
        if (!rec) break;
        root = merge(root, make(cur));
        cur = inode_rec_next(rec);
    }
    return &roots.emplace(dir, root).first->second;
}

// One search of `dir`'s tree; false when it meets a number that is no longer
// a child of `dir` (the tree is then dropped).
bool search(uint32_t dir, const char *name, inode_place *at) {
    uint32_t *root = tree(dir);
    if (!root) return false;
    *at = {};
    for (uint32_t t = *root; t;) {
        const uint8_t *rec = inode_record(pool[t].rec);
        if (!rec || inode_rec_parent(rec) != dir) {
            drop(dir);
            return false;
        }
        int d = inode_name_cmp(rec, name);
        if (d == 0) {
            at->found = pool[t].rec;
            at->rank += size(pool[t].left);
            return true;
        }
        if (d > 0) {
            t = pool[t].left;
        } else {
            at->prev = pool[t].rec;
            at->rank += size(pool[t].left) + 1;
            t = pool[t].right;
        }
    }
    return true;
}

}  // namespace

bool inode_order_find(uint32_t dir, const char *name, inode_place *at) {
    // A dropped tree is built once more from the file.
    return search(dir, name, at) || search(dir, name, at);
}

bool inode_order_rank(uint32_t dir, uint32_t inode, uint32_t *rank) {
    const uint8_t *rec = inode_record(inode);
    if (!rec) return false;
    inode_name(rec, key, sizeof key);
    inode_place at;
    if (!inode_order_find(dir, key, &at) || at.found != inode) return false;
    *rank = at.rank;
    return true;
}

uint32_t inode_order_at(uint32_t dir, uint32_t n) {
    if (last.changes == changes && last.dir == dir && last.rec && n - last.n <= 1) {
        const uint8_t *rec = inode_record(last.rec);
        if (rec && inode_rec_parent(rec) == dir) {
            if (n != last.n) last = {dir, n, inode_rec_next(rec), changes};
            return last.rec;
        }
    }
    uint32_t *root = tree(dir);
    if (!root) return 0;
    last = {dir, n, select(*root, n), changes};
    return last.rec;
}

void inode_order_insert(uint32_t dir, uint32_t rank, uint32_t inode) {
    auto it = roots.find(dir);
    if (it == roots.end()) return;
    uint32_t a, b;
    changes++;
    split(it->second, rank, &a, &b);
    it->second = merge(merge(a, make(inode)), b);
}

void inode_order_unlinked(uint32_t dir, uint32_t rank, uint32_t inode) {
    auto it = roots.find(dir);
    if (it == roots.end()) return;
    if (select(it->second, rank) != inode) {
        drop(dir);
        return;
    }
    uint32_t a, b, one;
    changes++;
    split(it->second, rank, &a, &b);
    split(b, 1, &one, &b);
    release(one);
    it->second = merge(a, b);
}

void inode_order_forget(uint32_t inode) {
    drop(inode);
}

void inode_order_clear() {
    changes++;
    roots = {};
    pool = std::vector<node>(1);
    free_nodes = 0;
}
