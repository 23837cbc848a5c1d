// Case-insensitive name index of recently scanned directories.
//
// A name that exists in its exact case never comes here. Otherwise Windows
// semantics need the directory searched ignoring case, and a scan per call
// would make a directory of n files cost n^2 to fill or to look up under
// other cases. So the folded names of a scanned directory are kept, keyed by
// its device, inode, times, size and link count: any change made outside
// this layer changes one of them and the next miss scans again, while the
// layer's own creations, removals and renames update the index in place
// (checked against the directory's key taken just before the change, so
// that a change by anyone else in between drops the index instead). Among
// names that differ only in case, the byte-wise smallest wins, independent
// of directory order.
//
// The layer's own changes are also counted: a scan that overlapped one of
// them is used for its answer but never kept, because with coarse directory
// times the key alone cannot tell that the scan missed the change.
// A change from outside that lands in the same timestamp tick as the scan,
// or between a mark and the layer's own change, would go unseen on a kernel
// with coarse directory times; kernels with multigrain timestamps (6.13 on)
// give a change after a query its own time.
// Building an index allocates; a lookup in it allocates at most the folded
// key of a long name.
// Under the same key it remembers how many directories a listing of a
// directory holds, which every attribute read of a directory reports; the
// layer's own changes carry the count along by the directory's host link
// count, with the same exposure to a change from outside in the same tick.
#include <dirent.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/utsname.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/ascii.h"
#include "platform/winfile_internal.h"

namespace {

// One folded name: the on-disk spelling shown for it and how many names on
// disk fold to it.
struct folded {
    std::string shown;
    uint32_t count;
};

struct dir_index {
    bool used = false;
    uint64_t dev = 0, ino = 0;
    uint64_t times[4] = {};
    std::unordered_map<std::string, folded> names;
};

constexpr int INDEX_SLOTS = 16;
std::mutex index_lock;
dir_index indexes[INDEX_SLOTS];
int next_slot = 0;
uint64_t changes = 0;  // the layer's own changes so far, under index_lock

std::string fold(const char *name) {
    std::string s(name);
    for (char &c : s) c = ascii_lower(c);
    return s;
}

void key_of(const struct statx &sx, dir_mark *m) {
    m->ok = true;
    m->dev = (uint64_t(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
    m->ino = sx.stx_ino;
    m->times[0] = uint64_t(sx.stx_mtime.tv_sec) * 1000000000ULL + sx.stx_mtime.tv_nsec;
    m->times[1] = uint64_t(sx.stx_ctime.tv_sec) * 1000000000ULL + sx.stx_ctime.tv_nsec;
    m->times[2] = sx.stx_size;
    m->times[3] = sx.stx_nlink;
}

bool dir_key(int dirfd, dir_mark *m) {
    struct statx sx;
    m->ok = statx(dirfd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) == 0;
    if (m->ok) key_of(sx, m);
    return m->ok;
}

// Directory counts: one slot per inode number modulo the table's size.
struct count_entry {
    bool used = false;
    bool root = false;
    uint64_t dev = 0, ino = 0;
    uint64_t times[4] = {};
    uint32_t count = 0;
};

constexpr int COUNT_SLOTS = 256;
// Times this close to the clock may not change at the next change: file
// system clocks tick coarsely (2 s on FAT).
constexpr int64_t SETTLED_SECONDS = 3;
std::mutex count_lock;
count_entry counts[COUNT_SLOTS];

count_entry &count_slot(const dir_mark &m) {
    return counts[(m.ino ^ (m.dev * 31)) % COUNT_SLOTS];
}

// The layer changed the directory whose key was `before` and now is `after`.
// A count remembered as of `before` moves with the host's link count of the
// directory, which is 2 plus its subdirectories on the file systems that
// keep it (1 on those that do not, and past their limit): one change moves
// it by one at most. Otherwise the count is forgotten.
void follow_count(const dir_mark &before, const dir_mark &after) {
    std::lock_guard<std::mutex> g(count_lock);
    count_entry &e = count_slot(after);
    if (!e.used || e.dev != after.dev || e.ino != after.ino) return;
    int64_t delta = int64_t(after.times[3]) - int64_t(before.times[3]);
    if (!before.ok || before.dev != after.dev || before.ino != after.ino ||
        memcmp(e.times, before.times, sizeof e.times) != 0 || before.times[3] < 2 ||
        after.times[3] < 2 || delta < -1 || delta > 1 || int64_t(e.count) + delta < 0) {
        e.used = false;
        return;
    }
    e.count = uint32_t(int64_t(e.count) + delta);
    memcpy(e.times, after.times, sizeof e.times);
}

// `name` is a new name in the directory (no two names on disk are equal).
void insert(std::unordered_map<std::string, folded> &names, const char *name) {
    auto [it, fresh] = names.try_emplace(fold(name), folded{name, 0});
    it->second.count++;
    if (!fresh && strcmp(name, it->second.shown.c_str()) < 0) it->second.shown = name;
}

// False when the index cannot follow the removal by itself: the name is
// unknown, or it was the shown one of several and the next is not known.
bool erase(std::unordered_map<std::string, folded> &names, const char *name) {
    auto it = names.find(fold(name));
    if (it == names.end()) return false;
    if (it->second.count <= 1) {
        if (it->second.shown != name) return false;
        names.erase(it);
        return true;
    }
    if (it->second.shown == name) return false;
    it->second.count--;
    return true;
}

// False with errno ENOENT: the name is not there (as against a directory
// that could not be read, which leaves the errno of the failing call).
bool not_found() {
    errno = ENOENT;
    return false;
}

bool scan(int dirfd, std::unordered_map<std::string, folded> &names) {
    int fd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    alignas(8) char buf[16384];
    for (;;) {
        long n = syscall(SYS_getdents64, fd, buf, sizeof buf);
        if (n <= 0) break;
        for (long off = 0; off < n;) {
            auto *d = reinterpret_cast<linux_dirent64 *>(buf + off);
            off += d->d_reclen;
            if (d->d_type == DT_FIFO || d->d_type == DT_SOCK) continue;
            if (strcmp(d->d_name, ".") == 0 || strcmp(d->d_name, "..") == 0) continue;
            insert(names, d->d_name);
        }
    }
    close(fd);
    return true;
}

dir_index *find_slot(uint64_t dev, uint64_t ino) {
    for (auto &x : indexes)
        if (x.used && x.dev == dev && x.ino == ino) return &x;
    return nullptr;
}

void drop(dir_index *x) {
    x->used = false;
    x->names.clear();
}

// Applies one change the layer made to the directory of mark `m`: the index
// follows it when it was current at the mark, otherwise it is dropped (some
// other change came between). The mark then holds the directory's new times.
template <typename Change>
void after_change(int dirfd, dir_mark *m, Change change) {
    dir_mark now;
    bool known = dir_key(dirfd, &now);
    std::lock_guard<std::mutex> g(index_lock);
    changes++;
    if (!known) {
        m->ok = false;
        return;
    }
    follow_count(*m, now);
    if (!m->ok || now.dev != m->dev || now.ino != m->ino) {
        // Without a usable mark the change cannot be followed.
        if (dir_index *x = find_slot(now.dev, now.ino)) drop(x);
        m->ok = false;
        return;
    }
    dir_index *x = find_slot(m->dev, m->ino);
    if (x) {
        if (memcmp(x->times, m->times, sizeof x->times) == 0 && change(x->names))
            memcpy(x->times, now.times, sizeof now.times);
        else
            drop(x);
    }
    memcpy(m->times, now.times, sizeof now.times);
}

}  // namespace

void dircache_mark(int dirfd, dir_mark *m) {
    dir_key(dirfd, m);
}

bool dircache_find(int dirfd, const char *name, char *out) {
    dir_mark before;
    if (!dir_key(dirfd, &before)) return not_found();
    std::string key = fold(name);
    uint64_t changes_before;
    {
        std::lock_guard<std::mutex> g(index_lock);
        changes_before = changes;
        dir_index *x = find_slot(before.dev, before.ino);
        if (x && memcmp(x->times, before.times, sizeof x->times) == 0) {
            auto it = x->names.find(key);
            if (it == x->names.end()) return not_found();
            strcpy(out, it->second.shown.c_str());
            return true;
        }
    }
    std::unordered_map<std::string, folded> names;
    if (!scan(dirfd, names)) return false;  // errno says why
    dir_mark after;
    bool stable =
        dir_key(dirfd, &after) && memcmp(after.times, before.times, sizeof after.times) == 0;
    bool found = false;
    auto it = names.find(key);
    if (it != names.end()) {
        strcpy(out, it->second.shown.c_str());
        found = true;
    }
    if (stable) {
        std::lock_guard<std::mutex> g(index_lock);
        if (changes != changes_before) return found || not_found();
        dir_index *x = find_slot(before.dev, before.ino);
        if (!x) {
            x = &indexes[next_slot];
            next_slot = (next_slot + 1) % INDEX_SLOTS;
        }
        x->used = true;
        x->dev = before.dev;
        x->ino = before.ino;
        memcpy(x->times, before.times, sizeof x->times);
        x->names = std::move(names);
    }
    return found || not_found();
}

void dircache_added(int dirfd, const char *name, dir_mark *m) {
    after_change(dirfd, m, [name](std::unordered_map<std::string, folded> &names) {
        insert(names, name);
        return true;
    });
}

void dircache_removed(int dirfd, const char *name, dir_mark *m) {
    after_change(dirfd, m, [name](std::unordered_map<std::string, folded> &names) {
        return erase(names, name);
    });
}

void dircache_changed(int dirfd) {
    dir_mark m;
    if (!dir_key(dirfd, &m)) return;
    follow_count(dir_mark{}, m);  // no usable mark: forgotten
    std::lock_guard<std::mutex> g(index_lock);
    dir_index *x = find_slot(m.dev, m.ino);
    if (x) drop(x);
}

bool dircache_count_get(const struct statx &sx, bool root, uint32_t *count) {
    dir_mark m;
    key_of(sx, &m);
    std::lock_guard<std::mutex> g(count_lock);
    const count_entry &e = count_slot(m);
    if (!e.used || e.root != root || e.dev != m.dev || e.ino != m.ino ||
        memcmp(e.times, m.times, sizeof e.times) != 0)
        return false;
    *count = e.count;
    return true;
}

bool dircache_fine_times(int fd) {
    static const bool new_kernel = [] {
        struct utsname u;
        unsigned major = 0, minor = 0;
        return uname(&u) == 0 && sscanf(u.release, "%u.%u", &major, &minor) == 2 &&
               (major > 6 || (major == 6 && minor >= 13));
    }();
    struct statfs fs;
    if (!new_kernel || fstatfs(fd, &fs) != 0) return false;
    switch (uint64_t(fs.f_type)) {
        case 0xEF53:      // ext2/3/4
        case 0x58465342:  // XFS
        case 0x9123683E:  // Btrfs
        case 0x01021994:  // tmpfs
            return true;
        default:
            return false;
    }
}

void dircache_count_put(const struct statx &sx, bool root, uint32_t count, int64_t now,
                        bool fine_times) {
    if (!fine_times && (sx.stx_mtime.tv_sec > now - SETTLED_SECONDS ||
                        sx.stx_ctime.tv_sec > now - SETTLED_SECONDS))
        return;
    dir_mark m;
    key_of(sx, &m);
    std::lock_guard<std::mutex> g(count_lock);
    count_entry &e = count_slot(m);
    e.used = true;
    e.root = root;
    e.dev = m.dev;
    e.ino = m.ino;
    memcpy(e.times, m.times, sizeof e.times);
    e.count = count;
}
