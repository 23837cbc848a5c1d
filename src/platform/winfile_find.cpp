// FindFirstFile and FindNextFile, and the count of a listing's directories.
//
// A search reads the directory with getdents into its own buffer and takes
// one statx per entry (a search of names alone, and a count, only for an
// entry whose type getdents does not say); records come from a small fixed pool, so the searches
// of attribute reads (an exact path) allocate nothing. "." and ".." come
// first except in a drive's root, as Windows lists them.
#include <dirent.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/ascii.h"
#include "platform/pool.h"
#include "platform/winfile_internal.h"

struct win_find {
    int fd;     // directory being read; -1 for an exact-path search
    int dirfd;  // O_PATH of the same directory
    bool all;   // "*" or "*.*"
    bool names_only;  // the records get their names alone
    int dots;   // dot entries still to give: 2, 1 or 0
    char pattern[WIN_NAME_LIMIT + 1];
    long length, offset;
    alignas(8) char buf[8192];
};

namespace {

constexpr int POOL = 32;
fixed_pool<win_find, POOL> pool;

win_find *find_alloc() {
    return pool.take();
}

void find_free(win_find *f) {
    if (f->fd >= 0) close(f->fd);
    if (f->dirfd >= 0) close(f->dirfd);
    pool.give(f);
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

// The next entry of the directory, or null at its end or on a read error.
const linux_dirent64 *next_dirent(win_find *f) {
    if (f->offset >= f->length) {
        long n = syscall(SYS_getdents64, f->fd, f->buf, sizeof f->buf);
        if (n <= 0) return nullptr;
        f->length = n;
        f->offset = 0;
    }
    auto *d = reinterpret_cast<const linux_dirent64 *>(f->buf + f->offset);
    f->offset += d->d_reclen;
    return d;
}

// Whether a listing may show `d`, as far as its name and type say: the dot
// entries come from the search itself, FIFOs and sockets do not exist here.
// Listings and counts both ask this, so that they agree.
bool shown_by_name(const win_find *f, const linux_dirent64 *d) {
    const char *name = d->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
    if (d->d_type == DT_FIFO || d->d_type == DT_SOCK || !listable(name)) return false;
    return f->all || match(f->pattern, name);
}

// The next dot entry the pattern matches, with its statx.
bool next_dot(win_find *f, const char **shown, struct statx *sx) {
    while (f->dots > 0) {
        *shown = f->dots == 2 ? "." : "..";
        f->dots--;
        if (!f->all && !match(f->pattern, *shown)) continue;
        if (statx(f->dirfd, *shown, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, sx) == 0)
            return true;
    }
    return false;
}

// A record that holds a name and nothing else.
void name_data(const char *name, win_find_data *data) {
    memset(data, 0, sizeof *data);
    snprintf(data->name, sizeof data->name, "%s", name);
}

// The next record of the search. A search of names alone takes an entry's
// statx only when getdents does not say its type, and reads no attributes.
bool next_entry(win_find *f, win_find_data *data) {
    const char *shown;
    struct statx sx;
    if (next_dot(f, &shown, &sx)) {
        if (f->names_only)
            name_data(shown, data);
        else
            find_data_from(f->dirfd, shown, sx, shown, data);
        return true;
    }
    if (f->fd < 0) return false;
    while (const linux_dirent64 *d = next_dirent(f)) {
        if (!shown_by_name(f, d)) continue;
        if (f->names_only && d->d_type != DT_UNKNOWN) {
            name_data(d->d_name, data);
            return true;
        }
        if (statx(f->dirfd, d->d_name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
                  &sx) != 0)
            continue;  // gone meanwhile
        if (wkind_of(sx) == WK_NONE) continue;
        if (f->names_only)
            name_data(d->d_name, data);
        else
            find_data_from(f->dirfd, d->d_name, sx, d->d_name, data);
        return true;
    }
    return false;
}

// Whether the entries of the searched directory can be looked at: without
// search permission no entry's statx succeeds, and a listing shows none.
bool searchable(win_find *f) {
    struct statx sx;
    return statx(f->dirfd, ".", AT_SYMLINK_NOFOLLOW, STATX_TYPE, &sx) == 0;
}

// The directories that next_entry would list from here on. An entry's type
// is looked up only when getdents does not give it; a listing takes the
// attributes (a statx and an extended attribute) of every entry.
uint32_t count_directories(win_find *f) {
    if (!searchable(f)) return 0;
    struct statx sx;
    uint32_t count = 0;
    const char *shown;
    while (next_dot(f, &shown, &sx)) count++;
    while (const linux_dirent64 *d = next_dirent(f)) {
        if (!shown_by_name(f, d)) continue;
        if (d->d_type == DT_DIR)
            count++;
        else if (d->d_type == DT_UNKNOWN &&
                 statx(f->dirfd, d->d_name, AT_SYMLINK_NOFOLLOW, STATX_TYPE, &sx) == 0 &&
                 S_ISDIR(sx.stx_mode))
            count++;
    }
    return count;
}

bool has_wildcard(const char *path) {
    const char *last = strrchr(path, '\\');
    last = last ? last + 1 : path;
    return strpbrk(last, "*?") != nullptr;
}

// Resolves the directory of a wildcard pattern; its last component goes to
// `last` (WIN_NAME_LIMIT + 1 bytes). The error is returned.
uint32_t resolve_search(const char *pattern, wpath *r, char *last) {
    uint32_t e = wpath_resolve_parent(pattern, r, last, WIN_NAME_LIMIT + 1);
    if (e) return e;
    return r->kind == WK_DIR ? ERROR_SUCCESS : ERROR_PATH_NOT_FOUND;
}

bool matches_all(const char *last) {
    return strcmp(last, "*") == 0 || strcmp(last, "*.*") == 0;
}

// A search of the directory that resolve_search left in `r`, whose parent
// descriptor it takes over; null with the last error.
win_find *open_search(wpath *r, const char *last) {
    int fd = openat(r->dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return fail(win_error_from_errno(errno)), nullptr;
    int dirfd = wpath_take_dirfd(r);
    if (dirfd < 0) {
        int err = errno;
        close(fd);
        return fail(win_error_from_errno(err)), nullptr;
    }
    win_find *f = find_alloc();
    f->fd = fd;
    f->dirfd = dirfd;
    f->all = matches_all(last);
    f->names_only = false;
    strcpy(f->pattern, last);
    f->dots = r->root ? 0 : 2;
    f->length = f->offset = 0;
    return f;
}

win_find_handle find_first(const char *pattern, win_find_data *data, bool names_only) {
    uint32_t e;
    if (win_fail_check("FindFirstFile", &e)) return nullptr;
    wpath r;
    if (!has_wildcard(pattern)) {
        e = wpath_resolve(pattern, &r);
        if (e) return fail(e), nullptr;
        if (r.kind == WK_NONE || r.root) return fail(ERROR_FILE_NOT_FOUND), nullptr;
        if (names_only)
            name_data(r.name, data);
        else
            find_data_from(r.dirfd, r.name, r.sx, r.name, data);
        win_find *f = find_alloc();
        f->fd = -1;
        f->dirfd = -1;
        f->dots = 0;
        f->names_only = names_only;
        return f;
    }
    char last[WIN_NAME_LIMIT + 1];
    e = resolve_search(pattern, &r, last);
    if (e) return fail(e), nullptr;
    win_find *f = open_search(&r, last);
    if (!f) return nullptr;
    f->names_only = names_only;
    if ((names_only && !searchable(f)) || !next_entry(f, data)) {
        find_free(f);
        return fail(ERROR_FILE_NOT_FOUND), nullptr;
    }
    return f;
}

}  // namespace

win_find_handle win_find_first_file(const char *pattern, win_find_data *data) {
    return find_first(pattern, data, false);
}

win_find_handle win_find_first_name(const char *pattern, win_find_data *data) {
    return find_first(pattern, data, true);
}

bool win_find_next_file(win_find_handle h, win_find_data *data) {
    uint32_t e;
    if (!h) return fail(ERROR_INVALID_HANDLE);
    if (win_fail_check("FindNextFile", &e)) return false;
    if (!next_entry(h, data)) return fail(ERROR_NO_MORE_FILES);
    return true;
}

bool win_count_directories(const char *pattern, uint32_t *count) {
    *count = 0;
    uint32_t e;
    if (win_fail_check("FindFirstFile", &e)) return false;
    // Read before the directory's times: a change after this moment gives
    // them a later time than any that counts as settled.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    wpath r;
    if (!has_wildcard(pattern)) {
        e = wpath_resolve(pattern, &r);
        if (e) return fail(e);
        *count = r.kind == WK_DIR && !r.root ? 1 : 0;
        return true;
    }
    char last[WIN_NAME_LIMIT + 1];
    e = resolve_search(pattern, &r, last);
    if (e) return fail(e);
    // Other media and remote shares may change without our clock seeing it.
    bool remember = matches_all(last) && r.drive.type == DRIVE_FIXED;
    if (remember && dircache_count_get(r.sx, r.root, count)) return true;
    win_find *f = open_search(&r, last);
    if (!f) return false;
    *count = count_directories(f);
    bool fine = remember && dircache_fine_times(f->fd);
    find_free(f);
    if (remember) dircache_count_put(r.sx, r.root, *count, now.tv_sec, fine);
    return true;
}

bool win_find_entry(const char *path, win_find_data *data, uint32_t *count) {
    *count = 0;
    uint32_t e;
    if (win_fail_check("FindFirstFile", &e)) return false;
    if (has_wildcard(path)) return fail(ERROR_INVALID_NAME);
    struct timespec now;  // before the directory's times, as in the count
    clock_gettime(CLOCK_REALTIME, &now);
    wpath r;
    e = wpath_resolve_read(path, &r);
    if (e) return fail(e);
    if (r.kind == WK_NONE || r.root) return fail(ERROR_FILE_NOT_FOUND);
    char shown[WIN_NAME_LIMIT + 1];
    if (r.name[0])
        strcpy(shown, r.name);
    else
        pathcache_disk_name(&r.hold, shown);  // a kept folder answers for itself
    find_data_from(r.dirfd, r.name, r.sx, shown, data);
    if (r.kind != WK_DIR) return true;
    bool remember = r.drive.type == DRIVE_FIXED;
    if (remember && dircache_count_get(r.sx, false, count)) return true;
    // The directory itself, held as a search of "path\*.*" holds it.
    wpath dir;
    dir.drive = r.drive;
    dir.dirfd = wpath_open_path(&r, O_DIRECTORY);
    if (dir.dirfd < 0) return true;
    win_find *f = open_search(&dir, "*.*");
    if (!f) return true;
    *count = count_directories(f);
    bool fine = remember && dircache_fine_times(f->fd);
    find_free(f);
    if (remember) dircache_count_put(r.sx, false, *count, now.tv_sec, fine);
    return true;
}

bool win_find_close(win_find_handle h) {
    if (!h) return fail(ERROR_INVALID_HANDLE);
    find_free(h);
    return true;
}
