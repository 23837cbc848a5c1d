// FindFirstFile and FindNextFile.
//
// A search reads the directory with getdents into its own buffer and takes
// one statx per entry; records come from a small fixed pool, so the searches
// of attribute reads (an exact path) allocate nothing. "." and ".." come
// first except in a drive's root, as Windows lists them.
#include <dirent.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/ascii.h"
#include "platform/winfile_internal.h"

struct win_find {
    bool pooled;
    int fd;     // directory being read; -1 for an exact-path search
    int dirfd;  // O_PATH of the same directory
    bool all;   // "*" or "*.*"
    int dots;   // dot entries still to give: 2, 1 or 0
    char pattern[WIN_NAME_LIMIT + 1];
    long length, offset;
    alignas(8) char buf[8192];
};

namespace {

constexpr int POOL = 32;
std::mutex pool_lock;
win_find pool[POOL];
bool pool_used[POOL];

win_find *find_alloc() {
    {
        std::lock_guard<std::mutex> g(pool_lock);
        for (int i = 0; i < POOL; i++)
            if (!pool_used[i]) {
                pool_used[i] = true;
                pool[i].pooled = true;
                return &pool[i];
            }
    }
    win_find *f = new win_find;
    f->pooled = false;
    return f;
}

void find_free(win_find *f) {
    if (f->fd >= 0) close(f->fd);
    if (f->dirfd >= 0) close(f->dirfd);
    if (!f->pooled) {
        delete f;
        return;
    }
    std::lock_guard<std::mutex> g(pool_lock);
    pool_used[f - pool] = false;
}

// Windows wildcards: '*' any run, '?' one character, letters without case.
bool match(const char *p, const char *s) {
    const char *star = nullptr, *resume = nullptr;
    while (*s) {
        if (*p == '*') {
            star = p++;
            resume = s;
        } else if (*p == '?' || (*p && ascii_lower(*p) == ascii_lower(*s))) {
            p++;
            s++;
        } else if (star) {
            p = star + 1;
            s = ++resume;
        } else {
            return false;
        }
    }
    while (*p == '*') p++;
    return *p == 0;
}

// Names these calls could not address again are left out of listings.
bool listable(const char *name) {
    size_t n = strlen(name);
    if (n >= sizeof(win_find_data::name)) return false;
    for (const char *p = name; *p; p++) {
        unsigned char c = *p;
        if (c < 32 || strchr("\\/\"*:<>?|", c)) return false;
    }
    return true;
}

bool next_entry(win_find *f, win_find_data *data) {
    while (f->dots > 0) {
        const char *shown = f->dots == 2 ? "." : "..";
        f->dots--;
        if (!f->all && !match(f->pattern, shown)) continue;
        struct statx sx;
        if (statx(f->dirfd, shown, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
            continue;
        find_data_from(f->dirfd, shown, sx, shown, data);
        return true;
    }
    if (f->fd < 0) return false;
    for (;;) {
        if (f->offset >= f->length) {
            long n = syscall(SYS_getdents64, f->fd, f->buf, sizeof f->buf);
            if (n <= 0) return false;
            f->length = n;
            f->offset = 0;
        }
        auto *d = reinterpret_cast<linux_dirent64 *>(f->buf + f->offset);
        f->offset += d->d_reclen;
        const char *name = d->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        if (d->d_type == DT_FIFO || d->d_type == DT_SOCK || !listable(name)) continue;
        if (!f->all && !match(f->pattern, name)) continue;
        struct statx sx;
        if (statx(f->dirfd, name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
            continue;  // gone meanwhile
        if (wkind_of(sx) == WK_NONE) continue;
        find_data_from(f->dirfd, name, sx, name, data);
        return true;
    }
}

bool has_wildcard(const char *path) {
    const char *last = strrchr(path, '\\');
    last = last ? last + 1 : path;
    return strpbrk(last, "*?") != nullptr;
}

}  // namespace

win_find_handle win_find_first_file(const char *pattern, win_find_data *data) {
    uint32_t e;
    if (win_fail_check("FindFirstFile", &e)) return nullptr;
    wpath r;
    if (!has_wildcard(pattern)) {
        e = wpath_resolve(pattern, &r);
        if (e) return fail(e), nullptr;
        if (r.kind == WK_NONE || r.root) return fail(ERROR_FILE_NOT_FOUND), nullptr;
        find_data_from(r.dirfd, r.name, r.sx, r.name, data);
        win_find *f = find_alloc();
        f->fd = -1;
        f->dirfd = -1;
        f->dots = 0;
        return f;
    }
    char last[WIN_NAME_LIMIT + 1];
    e = wpath_resolve_parent(pattern, &r, last, sizeof last);
    if (e) return fail(e), nullptr;
    if (r.kind != WK_DIR) return fail(ERROR_PATH_NOT_FOUND), nullptr;
    int fd = openat(r.dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return fail(win_error_from_errno(errno)), nullptr;
    win_find *f = find_alloc();
    f->fd = fd;
    f->dirfd = r.dirfd;
    r.dirfd = -1;  // now owned by the search
    f->all = strcmp(last, "*") == 0 || strcmp(last, "*.*") == 0;
    strcpy(f->pattern, last);
    f->dots = r.root ? 0 : 2;
    f->length = f->offset = 0;
    if (!next_entry(f, data)) {
        find_free(f);
        return fail(ERROR_FILE_NOT_FOUND), nullptr;
    }
    return f;
}

bool win_find_next_file(win_find_handle h, win_find_data *data) {
    uint32_t e;
    if (!h) return fail(ERROR_INVALID_HANDLE);
    if (win_fail_check("FindNextFile", &e)) return false;
    if (!next_entry(h, data)) return fail(ERROR_NO_MORE_FILES);
    return true;
}

bool win_find_close(win_find_handle h) {
    if (!h) return fail(ERROR_INVALID_HANDLE);
    find_free(h);
    return true;
}
