// Attributes, times and find data.
//
// READONLY is the owner's write bit. HIDDEN and SYSTEM have no POSIX
// counterpart and are kept as decimal text in the extended attribute
// "user.nimbora.attrib". Link and device files are exactly SYSTEM: their
// attribute follows from their type and cannot be changed.
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/ascii.h"
#include "platform/winfile_internal.h"

namespace {

constexpr const char *ATTRIB_XATTR = "user.nimbora.attrib";
constexpr uint32_t XATTR_BITS = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// `follow` for a bare /proc/self/fd/N path, whose magic link must be
// followed to reach the file; never for a name below it.
uint32_t xattr_bits_at(const char *path, bool follow) {
    char text[16];
    ssize_t n = follow ? getxattr(path, ATTRIB_XATTR, text, sizeof text - 1)
                       : lgetxattr(path, ATTRIB_XATTR, text, sizeof text - 1);
    if (n <= 0) return 0;
    text[n] = 0;
    return uint32_t(strtoul(text, nullptr, 10)) & XATTR_BITS;
}

// The bits of the file `name` in `dirfd` (the directory itself when empty),
// a link never followed. Kernels from 6.13 read it relative to the
// descriptor in one call; older ones answer ENOSYS once, and the name is
// then reached through /proc, which costs a path walk of its own.
#ifndef __NR_getxattrat
#define __NR_getxattrat 464
#endif
struct xattr_at_args {
    uint64_t value;
    uint32_t size;
    uint32_t flags;
};
std::atomic<bool> no_getxattrat{false};

uint32_t xattr_bits_in(int dirfd, const char *name) {
    if (!no_getxattrat.load(std::memory_order_relaxed)) {
        char text[16];
        xattr_at_args args{reinterpret_cast<uintptr_t>(text), sizeof text - 1, 0};
        long n = syscall(__NR_getxattrat, dirfd, name,
                         AT_SYMLINK_NOFOLLOW | (name[0] ? 0 : AT_EMPTY_PATH), ATTRIB_XATTR, &args,
                         sizeof args);
        if (n >= 0 || errno != ENOSYS) {
            if (n <= 0) return 0;
            text[n] = 0;
            return uint32_t(strtoul(text, nullptr, 10)) & XATTR_BITS;
        }
        no_getxattrat.store(true, std::memory_order_relaxed);
    }
    char path[WIN_NAME_LIMIT + 40];
    proc_path(path, sizeof path, dirfd, name);
    return xattr_bits_at(path, name[0] == 0);
}

// The permission bits `mode` becomes with READONLY as in `attributes`.
mode_t mode_with(mode_t mode, uint32_t attributes) {
    return (attributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~mode_t(0222)) : (mode | S_IWUSR);
}

bool short_name_ok(const char *name) {
    const char *dot = strchr(name, '.');
    size_t base = dot ? size_t(dot - name) : strlen(name);
    if (base == 0 || base > 8) return false;
    if (dot && (strchr(dot + 1, '.') || strlen(dot + 1) > 3)) return false;
    for (const char *p = name; *p; p++) {
        unsigned char c = *p;
        if (c <= ' ' || c >= 127 || strchr("+,;=[]", c) || (c >= 'a' && c <= 'z')) return false;
    }
    return true;
}

// An 8.3 alias in the manner of Windows ("LONGNA~1.TXT"); not made unique
// within its directory.
void make_short_name(const char *name, char out[14]) {
    if (short_name_ok(name)) {
        out[0] = 0;
        return;
    }
    const char *dot = strrchr(name, '.');
    if (dot == name) dot = nullptr;
    auto keep = [](unsigned char c) {
        return c > ' ' && c < 127 && !strchr(".+,;=[]\"*/:<>?\\|", c);
    };
    size_t n = 0;
    for (const char *p = name; *p && p != dot && n < 6; p++)
        if (keep(*p)) out[n++] = ascii_upper(*p);
    if (n == 0) out[n++] = '_';
    out[n++] = '~';
    out[n++] = '1';
    if (dot) {
        size_t m = 0;
        out[n++] = '.';
        for (const char *p = dot + 1; *p && m < 3; p++)
            if (keep(*p)) out[n++] = ascii_upper(*p), m++;
        if (m == 0) n--;
    }
    out[n] = 0;
}

}  // namespace

uint32_t attributes_of(int dirfd, const char *name, const struct statx &sx) {
    wkind kind = wkind_of(sx);
    if (wkind_virtual(kind)) return FILE_ATTRIBUTE_SYSTEM;
    uint32_t a;
    if (!bitscache_get(sx, &a)) {
        a = xattr_bits_in(dirfd, name);
        bitscache_put(dirfd, name, sx, a);
    }
    if (!(sx.stx_mode & S_IWUSR)) a |= FILE_ATTRIBUTE_READONLY;
    if (kind == WK_DIR) a |= FILE_ATTRIBUTE_DIRECTORY;
    return a ? a : FILE_ATTRIBUTE_NORMAL;
}

void find_data_from(int dirfd, const char *name, const struct statx &sx, const char *shown,
                    win_find_data *data) {
    memset(data, 0, sizeof *data);
    data->attributes = attributes_of(dirfd, name, sx);
    const struct statx_timestamp &birth = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime;
    data->creation_time = win_time_from_unix(birth.tv_sec, birth.tv_nsec);
    data->access_time = win_time_from_unix(sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec);
    data->write_time = win_time_from_unix(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
    wkind kind = wkind_of(sx);
    uint64_t size = kind == WK_DIR ? 0 : kind == WK_DEVICE ? DEVICE_HEADER_SIZE : sx.stx_size;
    data->size_high = uint32_t(size >> 32);
    data->size_low = uint32_t(size);
    snprintf(data->name, sizeof data->name, "%s", shown);
    if (strcmp(shown, ".") != 0 && strcmp(shown, "..") != 0)
        make_short_name(shown, data->short_name);
}

// HIDDEN and SYSTEM first, then READONLY, undoing the first step when the
// second fails. Through /proc/self/fd the calls reach exactly the inode
// behind `fd`, which may be an O_PATH descriptor.
bool set_attributes_fd(int fd, uint32_t mode_now, uint32_t attributes) {
    char proc[64];
    proc_path(proc, sizeof proc, fd, "");
    char text[16];
    uint32_t old_bits = xattr_bits_at(proc, true);
    uint32_t bits = attributes & XATTR_BITS;
    if (bits != old_bits) {
        int rc;
        if (bits == 0) {
            rc = removexattr(proc, ATTRIB_XATTR);
            if (rc != 0 && errno == ENODATA) rc = 0;
        } else {
            snprintf(text, sizeof text, "%u", bits);
            rc = setxattr(proc, ATTRIB_XATTR, text, strlen(text), 0);
        }
        if (rc != 0) {
            int err = errno;
            if (err == ENOTSUP || err == EOPNOTSUPP) return fail(ERROR_NOT_SUPPORTED);
            return fail(win_error_from_errno(err));
        }
    }
    mode_t mode = mode_now & 07777;
    mode_t want = mode_with(mode, attributes);
    if (want != mode && chmod(proc, want) != 0) {
        int err = errno;
        // Put HIDDEN and SYSTEM back: a failed call changes nothing.
        if (bits != old_bits) {
            if (old_bits == 0) {
                removexattr(proc, ATTRIB_XATTR);
            } else {
                snprintf(text, sizeof text, "%u", old_bits);
                setxattr(proc, ATTRIB_XATTR, text, strlen(text), 0);
            }
        }
        return fail(win_error_from_errno(err));
    }
    return true;
}

uint32_t win_get_file_attributes(const char *path) {
    uint32_t e;
    if (win_fail_check("GetFileAttributes", &e)) return INVALID_FILE_ATTRIBUTES;
    wpath r;
    e = wpath_resolve(path, &r);
    if (e) return fail(e), INVALID_FILE_ATTRIBUTES;
    if (r.kind == WK_NONE) return fail(ERROR_FILE_NOT_FOUND), INVALID_FILE_ATTRIBUTES;
    return attributes_of(r.dirfd, r.name, r.sx);
}

bool win_set_file_attributes(const char *path, uint32_t attributes) {
    uint32_t e;
    if (win_fail_check("SetFileAttributes", &e)) return false;
    wpath r;
    e = wpath_resolve(path, &r);
    if (e) return fail(e);
    if (r.kind == WK_NONE) return fail(ERROR_FILE_NOT_FOUND);
    if (wkind_virtual(r.kind)) return true;
    // Attributes as they are already (a new file's, a mode given again) need
    // no change: the walk's statx and the extended attribute tell.
    mode_t mode = r.sx.stx_mode & 07777;
    if (mode_with(mode, attributes) == mode &&
        xattr_bits_in(r.dirfd, r.name) == (attributes & XATTR_BITS))
        return true;
    // Work on the checked inode through an O_PATH descriptor, so that a name
    // swapped for a symbolic link meanwhile cannot redirect the change.
    int pfd = wpath_open_path(&r, 0);
    if (pfd < 0) return fail(win_error_from_errno(errno));
    struct stat st;
    if (fstat(pfd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
        close(pfd);
        return fail(ERROR_FILE_NOT_FOUND);
    }
    bool ok = set_attributes_fd(pfd, st.st_mode, attributes);
    close(pfd);
    return ok;
}
