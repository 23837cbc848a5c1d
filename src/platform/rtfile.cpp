// The runtime library's file descriptors over Windows paths. They share the
// handle table and the name resolution of the Windows calls; failures
// report a host errno, as the runtime library does.
#include "platform/rtfile.h"

#include <cerrno>
#include <cstring>

#include "platform/winfile_internal.h"

namespace {

// The errno the runtime library gives for a resolution error, which comes
// as a Windows error. A missing directory is ENOENT as a missing file is;
// the runtime has no errno for "not ready", so a drive without its medium
// gives ENXIO ("no such device"), which win_error_from_errno maps back to
// 21; everything the runtime would not name is EIO.
int errno_of(uint32_t win_error) {
    switch (win_error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_NET_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
            return EACCES;
        case ERROR_INVALID_NAME:
            return EINVAL;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_NOT_READY:
            return ENXIO;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_NOT_ENOUGH_MEMORY:
            return ENOMEM;
        default:
            return EIO;
    }
}

int fail_errno(int err) {
    errno = err;
    return -1;
}

bool injected(const char *call) {
    uint32_t e;
    if (!win_fail_check(call, &e)) return false;
    errno = int(e);
    return true;
}

}  // namespace

int rt_open(const char *path, int flags, int pmode) {
    if (injected("_open")) return -1;
    int acc = flags & 3;
    if (acc == 3) return fail_errno(EINVAL);
    bool write = acc != RT_O_RDONLY || (flags & RT_O_TRUNC);
    wpath r;
    uint32_t e = wpath_resolve(path, &r);
    if (e) return fail_errno(errno_of(e));
    hfile f{};
    f.drive = r.drive.index;
    f.kind = r.kind;
    f.can_read = acc != RT_O_WRONLY;
    f.can_write = acc != RT_O_RDONLY;
    f.append = flags & RT_O_APPEND;
    int oflags = acc == RT_O_RDWR ? O_RDWR : acc == RT_O_WRONLY ? O_WRONLY : O_RDONLY;
    if (f.append) oflags |= O_APPEND;
    if (r.kind == WK_NONE) {
        if (!(flags & RT_O_CREAT) || r.root) return fail_errno(ENOENT);
        mode_t mode = (pmode & RT_S_IWRITE) ? 0666 : 0444;
        dir_mark mark;
        dircache_mark(r.dirfd, &mark);
        f.fd = openat(r.dirfd, r.name, oflags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (f.fd < 0) return -1;
        f.kind = WK_FILE;
        dircache_added(r.dirfd, r.name, &mark);
    } else {
        if ((flags & RT_O_CREAT) && (flags & RT_O_EXCL)) return fail_errno(EEXIST);
        switch (r.kind) {
            case WK_DIR:
                return fail_errno(EACCES);
            case WK_LINK:
            case WK_DEVICE:
                if (write) return fail_errno(EACCES);
                f.fd = openat(r.dirfd, r.name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
                break;
            default:
                // READONLY holds for root too; see winfile.h.
                if (write && !(r.sx.stx_mode & S_IWUSR)) return fail_errno(EACCES);
                f.fd = open_resolved(&r, oflags);
                break;
        }
        if (f.fd < 0) return -1;
        if ((flags & RT_O_TRUNC) && f.kind == WK_FILE && ftruncate(f.fd, 0) != 0) {
            int err = errno;
            close(f.fd);
            return fail_errno(err);
        }
    }
    int slot = hfile_add(f);
    if (slot < 0) {
        close(f.fd);
        return fail_errno(EMFILE);
    }
    return slot;
}

int64_t rt_lseek(int fd, int64_t offset, int whence) {
    if (injected("_lseeki64")) return -1;
    hfile *f = hfile_get(fd);
    if (!f) return fail_errno(EBADF);
    if (whence < RT_SEEK_SET || whence > RT_SEEK_END) return fail_errno(EINVAL);
    if (wkind_virtual(f->kind)) {
        win_handle h = fd;
        int64_t pos;
        if (!win_set_file_pointer(h, offset, &pos, uint32_t(whence))) return fail_errno(EINVAL);
        return pos;
    }
    off_t pos = lseek(f->fd, offset, whence);
    return pos < 0 ? -1 : int64_t(pos);
}

int rt_read(int fd, void *buf, uint32_t size) {
    if (injected("_read")) return -1;
    hfile *f = hfile_get(fd);
    if (!f || !f->can_read) return fail_errno(EBADF);
    if (wkind_virtual(f->kind)) {
        uint32_t n;
        if (!win_read_file(fd, buf, size, &n)) return fail_errno(EIO);
        return int(n);
    }
    // The count must fit the int result.
    if (size > INT32_MAX) size = INT32_MAX;
    ssize_t n;
    do n = read(f->fd, buf, size);
    while (n < 0 && errno == EINTR);
    return int(n);
}

int rt_write(int fd, const void *buf, uint32_t size) {
    if (injected("_write")) return -1;
    hfile *f = hfile_get(fd);
    if (!f || !f->can_write || f->kind != WK_FILE) return fail_errno(EBADF);
    if (size > INT32_MAX) size = INT32_MAX;
    // As the runtime does, a write cut short answers what was written.
    size_t done = write_all(f->fd, buf, size);
    return done > 0 || size == 0 ? int(done) : -1;
}

int rt_commit(int fd) {
    if (injected("_commit")) return -1;
    hfile *f = hfile_get(fd);
    if (!f) return fail_errno(EBADF);
    if (f->kind != WK_FILE || !f->can_write) return 0;
    return fsync(f->fd);
}

int rt_close(int fd) {
    return hfile_remove(fd) ? 0 : fail_errno(EBADF);
}

int64_t rt_filelength(int fd) {
    hfile *f = hfile_get(fd);
    if (!f) return fail_errno(EBADF);
    uint64_t size;
    if (!win_get_file_size(fd, &size)) return fail_errno(EIO);
    return int64_t(size);
}

int rt_utime(const char *path, int64_t atime, int64_t mtime) {
    if (injected("_utime")) return -1;
    wpath r;
    uint32_t e = wpath_resolve(path, &r);
    if (e) return fail_errno(errno_of(e));
    if (r.kind == WK_NONE) return fail_errno(ENOENT);
    // The runtime opens the file for writing to set its times: a READONLY
    // file, a directory, and link and device files refuse.
    if (r.kind != WK_FILE || !(r.sx.stx_mode & S_IWUSR)) return fail_errno(EACCES);
    struct timespec ts[2] = {{atime, 0}, {mtime, 0}};
    return utimensat(r.dirfd, r.name, ts, AT_SYMLINK_NOFOLLOW);
}
