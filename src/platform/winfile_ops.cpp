// Calls that change names on disk: delete, directories, copy, move, links.
//
// Each checks what Windows checks before it touches anything, so a failed
// call leaves the disk as it was. READONLY is tested here because the host
// would let root through.
#include <sys/sendfile.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/winfile_internal.h"

namespace {

bool readonly(const wpath &r) {
    return r.kind == WK_FILE && !(r.sx.stx_mode & S_IWUSR);
}

bool same_file(const wpath &a, const wpath &b) {
    return a.kind != WK_NONE && b.kind != WK_NONE && a.sx.stx_ino == b.sx.stx_ino &&
           a.sx.stx_dev_major == b.sx.stx_dev_major && a.sx.stx_dev_minor == b.sx.stx_dev_minor;
}

// Copies the content of the resolved source into `out`.
bool copy_content(wpath &src, int out) {
    if (wkind_virtual(src.kind)) {
        char buf[4096];
        int64_t n = virtual_read(src.dirfd, src.name, src.kind, src.sx, 0, buf, sizeof buf);
        if (n < 0) return fail(win_error_from_errno(errno));
        if (write_all(out, buf, size_t(n)) != size_t(n)) return fail(win_error_from_errno(errno));
        return true;
    }
    int in = open_resolved(&src, O_RDONLY);
    if (in < 0) return fail(win_error_from_errno(errno));
    bool ok = true;
    for (;;) {
        ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (n == 0) break;
        if (n > 0) continue;
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
            ok = fail(win_error_from_errno(errno));
            break;
        }
        // Fall back to plain reads and writes from the current offsets.
        char buf[65536];
        for (;;) {
            ssize_t r = read(in, buf, sizeof buf);
            if (r == 0) break;
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 || write_all(out, buf, size_t(r)) != size_t(r)) {
                ok = fail(win_error_from_errno(errno));
                break;
            }
        }
        break;
    }
    close(in);
    return ok;
}

// The common body of CopyFile and of MoveFile across file systems.
bool copy_resolved(wpath &src, wpath &dst, bool fail_if_exists) {
    if (src.kind == WK_NONE) return fail(ERROR_FILE_NOT_FOUND);
    if (src.kind == WK_DIR) return fail(ERROR_ACCESS_DENIED);
    if (dst.root) return fail(ERROR_ACCESS_DENIED);
    if (dst.kind != WK_NONE) {
        if (fail_if_exists) return fail(ERROR_FILE_EXISTS);
        if (dst.kind == WK_DIR || readonly(dst)) return fail(ERROR_ACCESS_DENIED);
        if (same_file(src, dst)) return fail(ERROR_SHARING_VIOLATION);
    }
    uint32_t attrs = attributes_of(src.dirfd, src.name, src.sx) &
                     (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    bool created = false;
    int out;
    dir_mark mark{};
    if (dst.kind == WK_FILE) {
        out = open_resolved(&dst, O_WRONLY | O_TRUNC);
    } else {
        // A link or device file is replaced by the ordinary file Windows
        // would have written over it.
        dircache_mark(dst.dirfd, &mark);
        if (dst.kind != WK_NONE) {
            if (unlinkat(dst.dirfd, dst.name, 0) != 0) return fail(win_error_from_errno(errno));
            dircache_removed(dst.dirfd, dst.name, &mark);
        }
        const char *name = dst.kind == WK_NONE ? dst.given : dst.name;
        out = openat(dst.dirfd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (out >= 0) {
            created = true;
            snprintf(dst.name, sizeof dst.name, "%s", name);
            dircache_added(dst.dirfd, dst.name, &mark);
        }
    }
    if (out < 0) return fail(errno == EEXIST ? ERROR_FILE_EXISTS : win_error_from_errno(errno));
    struct stat st;
    bool ok = copy_content(src, out) && fstat(out, &st) == 0;
    if (ok) {
        struct timespec ts[2] = {{src.sx.stx_atime.tv_sec, src.sx.stx_atime.tv_nsec},
                                 {src.sx.stx_mtime.tv_sec, src.sx.stx_mtime.tv_nsec}};
        // Not a reason to fail: an existing target this host lets us write
        // but not own refuses new times (EPERM), yet holds the whole copy,
        // and Windows copies onto such a file.
        (void)futimens(out, ts);
        ok = set_attributes_fd(out, st.st_mode, attrs);
    }
    uint32_t err = win_last_error();
    close(out);
    if (!ok) {
        // No half-made new file is left behind.
        if (created && unlinkat(dst.dirfd, dst.name, 0) == 0)
            dircache_removed(dst.dirfd, dst.name, &mark);
        return fail(err);
    }
    return true;
}

}  // namespace

bool win_delete_file(const char *path) {
    uint32_t e;
    if (win_fail_check("DeleteFile", &e)) return false;
    wpath r;
    e = wpath_resolve(path, &r);
    if (e) return fail(e);
    if (r.kind == WK_NONE) return fail(ERROR_FILE_NOT_FOUND);
    if (r.root || r.kind == WK_DIR || readonly(r)) return fail(ERROR_ACCESS_DENIED);
    dir_mark mark;
    dircache_mark(r.dirfd, &mark);
    if (unlinkat(r.dirfd, r.name, 0) != 0) return fail(win_error_from_errno(errno));
    dircache_removed(r.dirfd, r.name, &mark);
    return true;
}

bool win_create_directory(const char *path) {
    uint32_t e;
    if (win_fail_check("CreateDirectory", &e)) return false;
    wpath r;
    e = wpath_resolve(path, &r);
    if (e) return fail(e);
    if (r.kind != WK_NONE || r.root) return fail(ERROR_ALREADY_EXISTS);
    dir_mark mark;
    dircache_mark(r.dirfd, &mark);
    if (mkdirat(r.dirfd, r.given, 0777) != 0)
        return fail(errno == EEXIST ? ERROR_ALREADY_EXISTS : win_error_from_errno(errno));
    dircache_added(r.dirfd, r.given, &mark);
    return true;
}

bool win_remove_directory(const char *path) {
    uint32_t e;
    if (win_fail_check("RemoveDirectory", &e)) return false;
    // A folder kept for the request may be the one that goes; the walks
    // below keep only folders above it.
    scope_forget();
    wpath r;
    e = wpath_resolve(path, &r);
    if (e) return fail(e);
    if (r.kind == WK_NONE) return fail(ERROR_FILE_NOT_FOUND);
    if (r.kind != WK_DIR) return fail(ERROR_DIRECTORY);
    if (r.root || !(r.sx.stx_mode & S_IWUSR)) return fail(ERROR_ACCESS_DENIED);
    dir_mark mark;
    dircache_mark(r.dirfd, &mark);
    if (unlinkat(r.dirfd, r.name, AT_REMOVEDIR) != 0) {
        if (errno == ENOTEMPTY || errno == EEXIST) return fail(ERROR_DIR_NOT_EMPTY);
        if (errno == ENOTDIR) return fail(ERROR_DIRECTORY);
        return fail(win_error_from_errno(errno));
    }
    dircache_removed(r.dirfd, r.name, &mark);
    return true;
}

bool win_copy_file(const char *existing, const char *new_path, bool fail_if_exists) {
    uint32_t e;
    if (win_fail_check("CopyFile", &e)) return false;
    wpath src, dst;
    e = wpath_resolve(existing, &src);
    if (e) return fail(e);
    e = wpath_resolve(new_path, &dst);
    if (e) return fail(e);
    return copy_resolved(src, dst, fail_if_exists);
}

bool win_move_file(const char *existing, const char *new_path) {
    uint32_t e;
    if (win_fail_check("MoveFile", &e)) return false;
    // A folder kept for the request may be the one that goes; the walks
    // below keep only folders above it.
    scope_forget();
    wpath src, dst;
    e = wpath_resolve(existing, &src);
    if (e) return fail(e);
    if (src.kind == WK_NONE) return fail(ERROR_FILE_NOT_FOUND);
    if (src.root) return fail(ERROR_ACCESS_DENIED);
    e = wpath_resolve(new_path, &dst);
    if (e) return fail(e);
    if (dst.root) return fail(ERROR_ACCESS_DENIED);
    // Within one directory both halves of the rename follow one mark.
    dir_mark src_mark, dst_mark;
    dircache_mark(src.dirfd, &src_mark);
    dircache_mark(dst.dirfd, &dst_mark);
    bool one_dir =
        src_mark.ok && dst_mark.ok && src_mark.dev == dst_mark.dev && src_mark.ino == dst_mark.ino;
    dir_mark &to_mark = one_dir ? src_mark : dst_mark;
    if (dst.kind != WK_NONE) {
        // Only a change of case of the same name may land on an existing name.
        if (!same_file(src, dst) || strcmp(src.name, dst.name) != 0 || !one_dir)
            return fail(ERROR_ALREADY_EXISTS);
        if (strcmp(dst.given, src.name) == 0) return true;
        if (renameat(src.dirfd, src.name, dst.dirfd, dst.given) != 0)
            return fail(win_error_from_errno(errno));
        dircache_removed(src.dirfd, src.name, &src_mark);
        dircache_added(dst.dirfd, dst.given, &to_mark);
        return true;
    }
    int rc = renameat2(src.dirfd, src.name, dst.dirfd, dst.given, RENAME_NOREPLACE);
    if (rc != 0 && errno == EINVAL) {
        // File systems without RENAME_NOREPLACE; the name was free just now.
        struct stat st;
        if (fstatat(dst.dirfd, dst.given, &st, AT_SYMLINK_NOFOLLOW) == 0)
            return fail(ERROR_ALREADY_EXISTS);
        rc = renameat(src.dirfd, src.name, dst.dirfd, dst.given);
        if (rc != 0 && errno == EINVAL) return fail(ERROR_ACCESS_DENIED);  // into itself
    }
    if (rc != 0) {
        if (errno == EEXIST || errno == ENOTEMPTY) return fail(ERROR_ALREADY_EXISTS);
        if (errno != EXDEV) return fail(win_error_from_errno(errno));
        if (src.kind == WK_DIR) return fail(ERROR_NOT_SAME_DEVICE);
        // Windows moves a file to another volume by copying it.
        if (!copy_resolved(src, dst, true)) return false;
        dircache_mark(src.dirfd, &src_mark);
        if (unlinkat(src.dirfd, src.name, 0) != 0) {
            uint32_t err = win_error_from_errno(errno);
            if (unlinkat(dst.dirfd, dst.name, 0) == 0) dircache_changed(dst.dirfd);
            return fail(err);
        }
        dircache_removed(src.dirfd, src.name, &src_mark);
        return true;
    }
    dircache_removed(src.dirfd, src.name, &src_mark);
    dircache_added(dst.dirfd, dst.given, &to_mark);
    return true;
}

bool win_create_hard_link(const char *new_path, const char *existing) {
    uint32_t e;
    if (win_fail_check("CreateHardLink", &e)) return false;
    wpath src, dst;
    e = wpath_resolve(existing, &src);
    if (e) return fail(e);
    if (src.kind == WK_NONE) return fail(ERROR_FILE_NOT_FOUND);
    if (src.kind == WK_DIR || src.root) return fail(ERROR_ACCESS_DENIED);
    e = wpath_resolve(new_path, &dst);
    if (e) return fail(e);
    if (dst.kind != WK_NONE || dst.root) return fail(ERROR_ALREADY_EXISTS);
    dir_mark mark;
    dircache_mark(dst.dirfd, &mark);
    if (linkat(src.dirfd, src.name, dst.dirfd, dst.given, 0) != 0) {
        if (errno == EEXIST) return fail(ERROR_ALREADY_EXISTS);
        if (errno == EPERM || errno == EOPNOTSUPP) return fail(ERROR_INVALID_FUNCTION);
        return fail(win_error_from_errno(errno));
    }
    dircache_added(dst.dirfd, dst.given, &mark);
    return true;
}
