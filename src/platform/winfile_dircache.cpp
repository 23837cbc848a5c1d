// Case-insensitive name index of recently scanned directories.
//
// A name that exists in its exact case never comes here. Otherwise Windows
// semantics need the directory searched ignoring case, and a scan per call
// would make a directory of n files cost n^2 to fill or to look up under
// other cases. So the folded names of a scanned directory are kept, keyed by
// its device, inode, times, size and link count: any change made outside
// this layer changes one of them and the next miss scans again, while the
// layer's own additions update the index in place. Among names that differ
// only in case, the byte-wise smallest wins, independent of directory order.
//
// A change from outside that lands in the same timestamp tick as the scan
// would go unseen on a kernel with coarse directory times; kernels with
// multigrain timestamps (6.13 on) give a change after a query its own time.
// Building an index allocates; lookups in it do not.
#include <dirent.h>
#include <sys/syscall.h>

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/ascii.h"
#include "platform/winfile_internal.h"

namespace {

struct dir_index {
    bool used = false;
    uint64_t dev = 0, ino = 0;
    uint64_t times[4] = {};
    std::unordered_map<std::string, std::string> names;  // folded -> on disk
};

constexpr int INDEX_SLOTS = 16;
std::mutex index_lock;
dir_index indexes[INDEX_SLOTS];
int next_slot = 0;

std::string fold(const char *name) {
    std::string s(name);
    for (char &c : s) c = ascii_lower(c);
    return s;
}

bool dir_key(int dirfd, uint64_t *dev, uint64_t *ino, uint64_t times[4]) {
    struct statx sx;
    if (statx(dirfd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) != 0) return false;
    *dev = (uint64_t(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
    *ino = sx.stx_ino;
    times[0] = uint64_t(sx.stx_mtime.tv_sec) * 1000000000ULL + sx.stx_mtime.tv_nsec;
    times[1] = uint64_t(sx.stx_ctime.tv_sec) * 1000000000ULL + sx.stx_ctime.tv_nsec;
    times[2] = sx.stx_size;
    times[3] = sx.stx_nlink;
    return true;
}

void insert(std::unordered_map<std::string, std::string> &names, const char *name) {
    auto [it, fresh] = names.try_emplace(fold(name), name);
    if (!fresh && strcmp(name, it->second.c_str()) < 0) it->second = name;
}

bool scan(int dirfd, std::unordered_map<std::string, std::string> &names) {
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

}  // namespace

bool dircache_find(int dirfd, const char *name, char *out, uint64_t times[4], bool *seen) {
    uint64_t dev, ino;
    *seen = false;
    if (!dir_key(dirfd, &dev, &ino, times)) return false;
    std::string key = fold(name);
    {
        std::lock_guard<std::mutex> g(index_lock);
        dir_index *x = find_slot(dev, ino);
        if (x && memcmp(x->times, times, sizeof x->times) == 0) {
            *seen = true;
            auto it = x->names.find(key);
            if (it == x->names.end()) return false;
            strcpy(out, it->second.c_str());
            return true;
        }
    }
    std::unordered_map<std::string, std::string> names;
    if (!scan(dirfd, names)) return false;
    uint64_t after[4];
    uint64_t dev2, ino2;
    bool stable = dir_key(dirfd, &dev2, &ino2, after) && memcmp(after, times, sizeof after) == 0;
    bool found = false;
    auto it = names.find(key);
    if (it != names.end()) {
        strcpy(out, it->second.c_str());
        found = true;
    }
    if (stable) {
        std::lock_guard<std::mutex> g(index_lock);
        dir_index *x = find_slot(dev, ino);
        if (!x) {
            x = &indexes[next_slot];
            next_slot = (next_slot + 1) % INDEX_SLOTS;
        }
        x->used = true;
        x->dev = dev;
        x->ino = ino;
        memcpy(x->times, times, sizeof x->times);
        x->names = std::move(names);
        *seen = true;
    }
    return found;
}

void dircache_added(int dirfd, const char *name, const uint64_t times[4], bool seen) {
    uint64_t dev, ino, now[4];
    if (!dir_key(dirfd, &dev, &ino, now)) return;
    std::lock_guard<std::mutex> g(index_lock);
    dir_index *x = find_slot(dev, ino);
    if (!x) return;
    if (seen && memcmp(x->times, times, sizeof x->times) == 0) {
        insert(x->names, name);
        memcpy(x->times, now, sizeof now);
    } else {
        x->used = false;
        x->names.clear();
    }
}

void dircache_changed(int dirfd) {
    uint64_t dev, ino, now[4];
    if (!dir_key(dirfd, &dev, &ino, now)) return;
    std::lock_guard<std::mutex> g(index_lock);
    dir_index *x = find_slot(dev, ino);
    if (x) {
        x->used = false;
        x->names.clear();
    }
}
