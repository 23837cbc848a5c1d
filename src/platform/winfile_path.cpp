// Name resolution below a drive's directory.
//
// This is where exported data is kept inside its drive: a path is split at
// '\' only, "." and ".." are folded textually (clamped at the root, as
// Windows does) before the disk is touched, and every component is opened
// relative to its parent with O_NOFOLLOW. A symbolic link on disk is
// therefore never followed at any depth; as an intermediate component it is
// a file, not a directory, and the path is not found.
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/winfile_internal.h"

namespace {

// Characters the Windows file calls refuse in a name: the control
// characters and / " * : < > ? | ('\\' separates names and never reaches
// here). This is the file system's rule and no more: DEL and every byte from
// 128 up pass whatever "CharSet" says, so that a name another program put on
// disk can still be listed, opened and removed. The server's rule for the
// names clients send, name_char_valid (src/names), is stricter on purpose.
bool name_char_bad(unsigned char c) {
    return c < 32 || c == '/' || c == '"' || c == '*' || c == ':' || c == '<' || c == '>' ||
           c == '?' || c == '|';
}

struct component {
    uint16_t start;
    uint16_t length;
};

constexpr int MAX_COMPONENTS = WIN_PATH_LIMIT / 2;

// Splits `rest` into components, folding "." and "..". Wildcards are
// allowed in the last component when `pattern`.
uint32_t split(const char *rest, component *parts, int *count, bool pattern) {
    int n = 0;
    size_t i = 0;
    while (rest[i]) {
        while (rest[i] == '\\') i++;
        if (!rest[i]) break;
        size_t start = i;
        while (rest[i] && rest[i] != '\\') i++;
        size_t len = i - start;
        bool last = rest[i] == 0 || rest[i + strspn(rest + i, "\\")] == 0;
        for (size_t k = start; k < i; k++) {
            unsigned char c = rest[k];
            if (pattern && last && (c == '*' || c == '?')) continue;
            if (name_char_bad(c)) return ERROR_INVALID_NAME;
        }
        if (len > WIN_NAME_LIMIT) return ERROR_FILENAME_EXCED_RANGE;
        if (len == 1 && rest[start] == '.') continue;
        if (len == 2 && rest[start] == '.' && rest[start + 1] == '.') {
            if (n > 0) n--;
            continue;
        }
        if (n == MAX_COMPONENTS) return ERROR_FILENAME_EXCED_RANGE;
        parts[n].start = uint16_t(start);
        parts[n].length = uint16_t(len);
        n++;
    }
    *count = n;
    return ERROR_SUCCESS;
}

// A process out of descriptors or memory is no missing or forbidden file:
// the caller must be able to tell, or it would drop what still exists.
bool shortage(int err) {
    return err == EMFILE || err == ENFILE || err == ENOMEM;
}

uint32_t open_drive(wpath *r) {
    int fd = open(r->drive.dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return ERROR_NOT_READY;
        if (errno == ENOTDIR) return ERROR_NOT_READY;
        if (shortage(errno)) return win_error_from_errno(errno);
        return ERROR_ACCESS_DENIED;
    }
    r->dirfd = fd;
    return ERROR_SUCCESS;
}

// Finds component `name` in `dirfd`: exact first, then ignoring case.
// Copies the on-disk name into `out`; false when there is none. *exact
// says whether the exact name was found; `sx` then holds its statx.
bool find_name(int dirfd, const char *name, char *out, struct statx *sx, bool *exact) {
    *exact = statx(dirfd, name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, sx) == 0 &&
             wkind_of(*sx) != WK_NONE;
    if (*exact) {
        if (out != name) strcpy(out, name);
        return true;
    }
    return dircache_find(dirfd, name, out);
}

// The scope key of the folder of the path's first `k` components: the
// path's text up to the end of the last of them ("c:" for k 0). It folds to
// exactly those components: a later ".." that removed one would have
// removed every one after it.
size_t scope_key_length(const char *path, const char *rest, const component *parts, int k) {
    return size_t(rest - path) + (k > 0 ? parts[k - 1].start + parts[k - 1].length : 0);
}

// Starts a walk at the longest folder of the request's scope on the path:
// the folder of its first `*from` components, `upto` at most.
int scope_start(const char *path, const char *rest, const component *parts, int upto, path_hold *h,
                int *from) {
    for (int k = upto; k >= 0; k--) {
        int fd = scope_folder(path, scope_key_length(path, rest, parts, k), h);
        if (fd >= 0) {
            *from = k;
            return fd;
        }
    }
    return -1;
}

// `itself`: a read that may be answered by a kept folder that the whole
// path names (dirfd that folder, name ""); never for a change, which needs
// the folder's parent.
uint32_t walk(const char *path, wpath *r, char *last, uint32_t last_size, bool itself) {
    const char *rest;
    if (strlen(path) >= WIN_PATH_LIMIT) return ERROR_FILENAME_EXCED_RANGE;
    uint32_t e = drive_lookup(path, &r->drive, &rest);
    if (e) return e;
    component parts[MAX_COMPONENTS];
    int n = 0;
    e = split(rest, parts, &n, last != nullptr);
    if (e) return e;
    int dirs = n - 1;  // components below the drive that must be directories
    int from = 0;
    int kept =
        n > 0 ? scope_start(path, rest, parts, itself && !last ? n : dirs, &r->hold, &from) : -1;
    if (kept >= 0 && from < dirs && !pathcache_refresh(&r->hold)) {
        // Names below the kept folder come from the cache, which must have
        // seen the changes queued meanwhile (the layer's own among them).
        pathcache_release(&r->hold);
        kept = -1;
        from = 0;
    }
    int root_fd = kept >= 0 ? -1 : pathcache_root(r->drive.dir, &r->hold);
    if (kept >= 0) {
        r->dirfd = kept;
    } else if (root_fd >= 0) {
        r->dirfd = root_fd;
    } else {
        e = open_drive(r);
        if (e) return e;
        pathcache_add_root(r->drive.dir, r->dirfd, &r->hold);
    }
    if (kept < 0) scope_count_walk();
    if (from == n && n > 0) {
        // The kept folder is the path itself.
        r->name[0] = 0;
        r->given[0] = 0;
        wpath_restat(r);
        return ERROR_SUCCESS;
    }
    if (last) {
        if (n == 0) {
            last[0] = 0;
        } else {
            if (parts[n - 1].length >= last_size) return ERROR_FILENAME_EXCED_RANGE;
            memcpy(last, rest + parts[n - 1].start, parts[n - 1].length);
            last[parts[n - 1].length] = 0;
        }
    }
    char name[WIN_NAME_LIMIT + 1];
    char found[WIN_NAME_LIMIT + 1];
    for (int i = from; i < dirs; i++) {
        memcpy(name, rest + parts[i].start, parts[i].length);
        name[parts[i].length] = 0;
        if (r->hold.node) {
            int cached = pathcache_child(&r->hold, name);
            if (cached >= 0) {
                r->dirfd = cached;
                continue;
            }
        }
        int fd = openat(r->dirfd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int err = errno;
        struct statx sx;
        bool exact;
        const char *disk = name;
        if (fd < 0 && err == ENOENT) {
            if (find_name(r->dirfd, name, found, &sx, &exact)) {
                disk = found;
                fd = openat(r->dirfd, found, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                err = errno;
            } else if (shortage(errno)) {
                err = errno;  // the directory could not be searched
            }
        }
        if (fd < 0 && shortage(err)) {
            pathcache_clear();  // its descriptors go back for the next request
            return win_error_from_errno(err);
        }
        if (fd < 0) return err == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
        if (r->hold.node)
            pathcache_add(&r->hold, name, disk, fd);  // refused: the hold is gone and fd is ours
        else
            close(r->dirfd);
        r->dirfd = fd;
    }
    if (n > 0 && (kept < 0 || from < dirs))
        scope_keep(path, scope_key_length(path, rest, parts, dirs), &r->hold);
    if (last) {
        // The pattern's directory is the dirfd itself; root says whether it
        // is the drive's root.
        r->root = dirs <= 0;
        r->name[0] = 0;
        r->given[0] = 0;
        wpath_restat(r);
        return ERROR_SUCCESS;
    }
    if (n == 0) {
        r->root = true;
        r->name[0] = 0;
        r->given[0] = 0;
        wpath_restat(r);
        return ERROR_SUCCESS;
    }
    memcpy(name, rest + parts[n - 1].start, parts[n - 1].length);
    name[parts[n - 1].length] = 0;
    strcpy(r->given, name);
    bool exact;
    if (!find_name(r->dirfd, name, r->name, &r->sx, &exact)) {
        if (shortage(errno)) return win_error_from_errno(errno);
        strcpy(r->name, name);
        r->kind = WK_NONE;  // the exact name's statx has just failed
    } else if (exact) {
        r->kind = wkind_of(r->sx);  // already taken
    } else {
        wpath_restat(r);
    }
    // A name that does not exist is created as the caller wrote it, even if
    // the index offered a spelling that has gone meanwhile.
    if (r->kind == WK_NONE) strcpy(r->name, r->given);
    return ERROR_SUCCESS;
}

}  // namespace

wkind wkind_of(const struct statx &sx) {
    switch (sx.stx_mode & S_IFMT) {
        case S_IFREG:
            return WK_FILE;
        case S_IFDIR:
            return WK_DIR;
        case S_IFLNK:
            return WK_LINK;
        case S_IFBLK:
        case S_IFCHR:
            return WK_DEVICE;
        default:
            return WK_NONE;
    }
}

void wpath_restat(wpath *r) {
    int flags = AT_SYMLINK_NOFOLLOW | (r->name[0] ? 0 : AT_EMPTY_PATH);
    if (statx(r->dirfd, r->name, flags, STATX_BASIC_STATS | STATX_BTIME, &r->sx) == 0)
        r->kind = wkind_of(r->sx);
    else
        r->kind = WK_NONE;
}

uint32_t wpath_resolve(const char *path, wpath *r) {
    return walk(path, r, nullptr, 0, false);
}

uint32_t wpath_resolve_read(const char *path, wpath *r) {
    return walk(path, r, nullptr, 0, true);
}

uint32_t wpath_resolve_parent(const char *path, wpath *r, char *last, uint32_t last_size) {
    return walk(path, r, last, last_size, false);
}

int wpath_take_dirfd(wpath *r) {
    int fd = r->dirfd;
    if (r->hold.node) {
        fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        pathcache_release(&r->hold);
    }
    r->dirfd = -1;
    return fd;
}

void proc_path(char *buf, size_t size, int fd, const char *name) {
    if (name[0])
        snprintf(buf, size, "/proc/self/fd/%d/%s", fd, name);
    else
        snprintf(buf, size, "/proc/self/fd/%d", fd);
}

int wpath_open_path(const wpath *r, int flags) {
    return r->name[0] ? openat(r->dirfd, r->name, O_PATH | O_NOFOLLOW | O_CLOEXEC | flags)
                      : openat(r->dirfd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int open_resolved(wpath *r, int flags) {
    int pfd = wpath_open_path(r, 0);
    if (pfd < 0) return -1;
    struct stat st;
    if (fstat(pfd, &st) != 0) {
        int e = errno;
        close(pfd);
        errno = e;
        return -1;
    }
    // Only regular files and directories are ever opened for real; the
    // checked O_PATH descriptor is reopened, so nothing can be swapped in.
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        close(pfd);
        errno = ENOENT;
        return -1;
    }
    char proc[64];
    proc_path(proc, sizeof proc, pfd, "");
    int fd = open(proc, flags | O_CLOEXEC);
    int e = errno;
    close(pfd);
    errno = e;
    return fd;
}

void device_header(const struct statx &sx, uint8_t out[DEVICE_HEADER_SIZE]) {
    win_device_header(out, (sx.stx_mode & S_IFMT) == S_IFBLK ? 3 : 4, sx.stx_rdev_major,
                      sx.stx_rdev_minor, sx.stx_mode & 07777);
}

int64_t virtual_read(int dirfd, const char *name, wkind kind, const struct statx &sx,
                     uint64_t offset, void *buf, uint32_t size) {
    char text[4096];
    int64_t length;
    if (kind == WK_DEVICE) {
        device_header(sx, reinterpret_cast<uint8_t *>(text));
        length = DEVICE_HEADER_SIZE;
    } else {
        length = readlinkat(dirfd, name, text, sizeof text);
        if (length < 0) return -1;
    }
    if (offset >= uint64_t(length)) return 0;
    int64_t n = length - int64_t(offset);
    if (n > int64_t(size)) n = size;
    memcpy(buf, text + offset, size_t(n));
    return n;
}
