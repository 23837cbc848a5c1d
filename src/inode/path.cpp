// Paths and inode numbers: splitting a Windows path into the components of
// the index, walking it, and rebuilding a path from a record.
#include <cstring>

#include "inode/inode.h"
#include "names/name.h"
#include "platform/ascii.h"
#include "base/config.h"

namespace {

using table_hold = std::lock_guard<std::recursive_mutex>;

enum class part { end, name, bad };

// The next component of `path` from *pos: a run of valid name characters.
// One separator before it is skipped; before a later component, every
// separator. The first component of a UNC path ("\\srv") becomes "/srv" when
// "Remote" is on, and a ':' after the first component is skipped (C: is C).
part next_component(const char *path, size_t *pos, bool first, char *out) {
    const auto *p = reinterpret_cast<const unsigned char *>(path) + *pos;
    size_t n = 0;
    if (*p && !name_char_valid(*p)) p++;
    if (first) {
        if (config.remote && *p && !name_char_valid(*p)) {
            out[n++] = '/';
            p++;
        }
    } else {
        while (*p && !name_char_valid(*p)) p++;
    }
    if (!*p && n == 0) return part::end;
    size_t start = n;
    while (*p && name_char_valid(*p)) {
        if (n + 1 >= INODE_PATH_MAX) return part::bad;
        out[n++] = char(*p++);
    }
    if (n == start) return part::bad;  // "\\srv" without "Remote", or "\\\\"
    out[n] = 0;
    if (first && *p == ':') p++;
    *pos = size_t(p - reinterpret_cast<const unsigned char *>(path));
    return part::name;
}

// True when `path` names something strictly below `root`, comparing letters
// without case: the path may carry the stored case of its records ("C:\Data")
// while the export was written in another ("c:\data").
bool below_root(const char *path, const char *root) {
    size_t n = std::strlen(root);
    if (!ascii_equal_n(path, root, n)) return false;
    if (n > 0 && root[n - 1] == '\\') return path[n] != 0;
    return path[n] == '\\' && path[n + 1] != 0;
}

// Appends `text` of `n` bytes at *at, keeping room for the NUL.
bool append(char *buffer, uint32_t *at, const char *text, size_t n) {
    if (*at + n + 1 > INODE_PATH_MAX) return false;
    std::memcpy(buffer + *at, text, n);
    *at += uint32_t(n);
    buffer[*at] = 0;
    return true;
}

// Walks `path` from the top level one component at a time; `step`
// (inode_lookup or inode_find) takes each from the record reached so far.
uint32_t walk(const char *path, uint32_t (*step)(uint32_t dir, const char *name)) {
    table_hold hold(inode_table_lock());
    char comp[INODE_PATH_MAX];
    uint32_t cur = 0;
    size_t pos = 0;
    for (bool first = true;; first = false) {
        part p = next_component(path, &pos, first, comp);
        if (p == part::end) return cur;
        if (p == part::bad) return 0;
        cur = step(cur, comp);
        if (!cur) return 0;
    }
}

}  // namespace

uint32_t inode_path_lookup(const char *path) {
    return walk(path, inode_lookup);
}

uint32_t inode_path_find(const char *path) {
    // A final "." or ".." names no record of its own here.
    char copy[INODE_PATH_MAX];
    size_t length = std::strlen(path);
    if (length >= sizeof copy) return 0;
    std::memcpy(copy, path, length + 1);
    if (char *last = std::strrchr(copy, '\\')) {
        if (std::strcmp(last + 1, ".") == 0 || std::strcmp(last + 1, "..") == 0) *last = 0;
    }
    return walk(copy, inode_find);
}

char *inode_path(uint32_t inode, char *buffer) {
    buffer[0] = 0;
    table_hold hold(inode_table_lock());
    uint32_t chain[INODE_DEPTH_MAX + 1];
    uint32_t n = 0;
    for (uint32_t cur = inode;;) {
        const uint8_t *rec = inode_record(cur);
        if (!rec) return nullptr;
        chain[n++] = cur;
        cur = inode_rec_parent(rec);
        if (cur == 0) break;
        if (n == INODE_DEPTH_MAX + 1) return nullptr;  // too deep for a path
    }
    char name[INODE_PATH_MAX];
    uint32_t length = inode_name(inode_record(chain[n - 1]), name, sizeof name);
    if (length == 0 || length >= sizeof name) return nullptr;
    uint32_t at = 0;
    bool ok = config.remote && name[0] == '/'
                  ? append(buffer, &at, "\\\\", 2) && append(buffer, &at, name + 1, length - 1)
                  : append(buffer, &at, name, 1) && append(buffer, &at, ":", 1);
    for (uint32_t i = n - 1; ok && i-- > 0;) {
        length = inode_name(inode_record(chain[i]), name, sizeof name);
        ok = length < sizeof name && append(buffer, &at, "\\", 1) &&
             append(buffer, &at, name, length);
    }
    if (!ok) {
        buffer[0] = 0;
        return nullptr;
    }
    return buffer;
}

uint32_t inode_parent(uint32_t root_inode, const char *root_path, uint32_t inode, char *path) {
    table_hold hold(inode_table_lock());
    const uint8_t *rec = inode_record(inode);
    if (!rec) return 0;
    // ".." of the export's root stays there. Whatever is not plainly below
    // the root is taken as the root too: a byte-wise order would let a path in
    // another letter case than the export's climb out of it.
    if (inode == root_inode || !below_root(path, root_path)) {
        size_t length = std::strlen(root_path);
        if (length >= INODE_PATH_MAX) return 0;
        std::memcpy(path, root_path, length + 1);
        return inode_path_find(root_path);
    }
    uint32_t parent = inode_rec_parent(rec);
    if (!parent) return 0;
    char rebuilt[INODE_PATH_MAX];
    if (!inode_path(parent, rebuilt)) return 0;
    std::strcpy(path, rebuilt);
    return parent;
}
