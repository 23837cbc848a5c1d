// The runtime library's file descriptors on Windows: the runtime's own
// calls, narrow or wide as the path asks (winfile_win32.h), always binary.
// Failures leave the runtime's errno.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/utime.h>

#include <cerrno>

#include "platform/winfile_win32.h"

namespace {

bool injected(const char *call) {
    uint32_t e;
    if (!win_fail_check(call, &e)) return false;
    errno = int(e);
    return true;
}

// The errno of a path the layer refuses before the runtime sees it.
int errno_of(uint32_t error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
            return EACCES;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_INVALID_NAME:
            return EINVAL;
        default:
            return ENOENT;
    }
}

int fail_errno(int err) {
    errno = err;
    return -1;
}

bool path_ok(const char *path, hpath *p) {
    uint32_t e = hpath_make(path, p);
    if (e == ERROR_SUCCESS) return true;
    errno = errno_of(e);
    return false;
}

}  // namespace

int rt_open(const char *path, int flags, int pmode) {
    if (injected("_open")) return -1;
    hpath p;
    if (!path_ok(path, &p)) return -1;
    bool changes = (flags & (RT_O_WRONLY | RT_O_RDWR | RT_O_TRUNC)) != 0;
    if (changes && !(flags & RT_O_EXCL) && hpath_readonly_file(p)) return fail_errno(EACCES);
    // Never text translation, and no child process inherits the file.
    flags = (flags & ~RT_O_TEXT) | _O_BINARY | _O_NOINHERIT;
    pmode &= _S_IREAD | _S_IWRITE;
    return p.narrow ? _open(p.bytes, flags, pmode) : _wopen(p.wide, flags, pmode);
}

int64_t rt_lseek(int fd, int64_t offset, int whence) {
    if (injected("_lseeki64")) return -1;
    return _lseeki64(fd, offset, whence);
}

int rt_read(int fd, void *buf, uint32_t size) {
    if (injected("_read")) return -1;
    return _read(fd, buf, size);
}

int rt_write(int fd, const void *buf, uint32_t size) {
    if (injected("_write")) return -1;
    return _write(fd, buf, size);
}

int rt_commit(int fd) {
    if (injected("_commit")) return -1;
    return _commit(fd);
}

int rt_close(int fd) {
    return _close(fd);
}

int64_t rt_filelength(int fd) {
    return _filelengthi64(fd);
}

int rt_utime(const char *path, int64_t atime, int64_t mtime) {
    if (injected("_utime")) return -1;
    hpath p;
    if (!path_ok(path, &p)) return -1;
    if (hpath_readonly_file(p)) return fail_errno(EACCES);
    __utimbuf64 times;
    times.actime = atime;
    times.modtime = mtime;
    return p.narrow ? _utime64(p.bytes, &times) : _wutime64(p.wide, &times);
}
