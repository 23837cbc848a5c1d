// SETATTR and its parts: times, size, and the mode stored as Windows
// attributes (or, for a device file, in its header).
#include <cerrno>

#include "names/nfs_status.h"
#include "nfsd/cache.h"
#include "nfsd/fileops.h"
#include "nfsd/fileops_internal.h"
#include "platform/bytes.h"
#include "base/log.h"

namespace {

constexpr uint32_t MODE_SETUID = 04000;
constexpr uint32_t MODE_STICKY = 01000;
constexpr uint32_t MODE_OWNER_WRITE = 0200;
constexpr uint32_t MODE_OWNER_EXEC = 0100;
constexpr uint32_t SPECIAL_MODE_MAX = 4096;  // the mode word keeps the permission bits only

// The attributes that store `mode` for a regular file or a directory.
uint32_t attributes_of_mode(uint32_t type, uint32_t mode) {
    uint32_t a = 0;
    if (type == NFDIR) {
        if (mode & MODE_STICKY) a |= FILE_ATTRIBUTE_SYSTEM;
        if (!(mode & MODE_OWNER_EXEC)) a |= FILE_ATTRIBUTE_HIDDEN;
    } else {
        // SYSTEM only with HIDDEN: SYSTEM alone would read as a link.
        if (mode & MODE_SETUID) a |= FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        if (mode & MODE_OWNER_EXEC) a |= FILE_ATTRIBUTE_HIDDEN;
    }
    if (!(mode & MODE_OWNER_WRITE)) a |= FILE_ATTRIBUTE_READONLY;
    return a;
}

// The file type SETATTR stores a mode for, from the file's attributes `a`;
// unreadable attributes count as a regular file.
uint32_t type_of(const char *path, uint32_t a) {
    if (a == FS_INVALID_ATTRIBUTES) return NFREG;
    if (a & FILE_ATTRIBUTE_DIRECTORY) return NFDIR;
    if ((a & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) ==
        FILE_ATTRIBUTE_SYSTEM)
        return nfs_get_special(path, nullptr, nullptr, nullptr);
    return NFREG;
}

// Access and modification times in seconds. Windows refuses new times on a
// READONLY file, so the attribute is lifted around the call. `a`: the
// file's attributes.
uint32_t set_times(const char *path, const nfs_sattr *s, uint32_t a) {
    if (a != FS_INVALID_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) return NFS_OK;
    bool locked = a != FS_INVALID_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY);
    if (locked) fileops_set_attrs(path, a & ~FILE_ATTRIBUTE_READONLY);
    int rc = fs_utime(path, s->atime_sec, s->mtime_sec);
    int err = errno;
    if (locked) fileops_set_attrs(path, a);
    return rc == 0 ? NFS_OK : errno_status(err);
}

}  // namespace

uint32_t nfs_setattr(nfs_object *o, const nfs_sattr *s, nfs_attr *attr) {
    uint32_t status = nfs_object_resolve(o, true);
    if (status) return status;
    if (!nfs_object_check(o, true)) return NFSERR_NXIO;
    const char *path = o->path;
    cache_close_idle(o->inode);
    // Read once: the times put READONLY back as it was, and a new size
    // changes no attribute.
    uint32_t attributes = FS_INVALID_ATTRIBUTES;
    bool set_ugmode = s->set_mode || s->set_uid || s->set_gid;
    if ((s->set_atime && s->set_mtime) || set_ugmode) attributes = fs_get_attributes(path);
    if (s->set_atime && s->set_mtime) {
        status = set_times(path, s, attributes);
        if (status) return status;
    }
    if (s->set_size) {
        status = nfs_setsize(path, s->size);
        if (status) return status;
    }
    if (set_ugmode) {
        status = nfs_setugmode(path, s->set_uid, s->set_gid, s->set_mode, s->uid, s->gid,
                               type_of(path, attributes), s->mode);
        if (status) return status;
    }
    return nfs_fh_attr(o, attr);
}

uint32_t nfs_setugmode(const char *path, uint32_t set_uid, uint32_t set_gid, uint32_t set_mode,
                       uint32_t uid, uint32_t gid, uint32_t type, uint32_t mode) {
    // Owners are not stored: every file is reported as the caller's.
    (void)set_uid, (void)set_gid, (void)uid, (void)gid;
    uint32_t attributes;
    if (type == NFREG || type == NFDIR) {
        if (!set_mode) return NFS_OK;
        attributes = attributes_of_mode(type, mode);
    } else {
        if (set_mode) {
            // A device file keeps its mode in its header; a SYSTEM file that
            // could not be read is not written on a guess.
            if (type == NFNON) return NFSERR_IO;
            if (type != NFLNK && !nfs_put_special(path, mode)) return NFSERR_IO;
        }
        attributes = FILE_ATTRIBUTE_SYSTEM;
    }
    if (!fileops_set_attrs(path, attributes)) {
        uint32_t err = win_last_error();
        log_printf(FILEOPS_LOG, "nfs_setugmode: %s error %u\n", path, err);
        return win_error_status(err);
    }
    return NFS_OK;
}

uint32_t nfs_setsize(const char *path, uint64_t size) {
    win_handle h = fs_create_file(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, 0);
    uint32_t err = 0;
    if (h == INVALID_HANDLE_VALUE) {
        err = win_last_error();
    } else {
        if (!win_set_file_pointer(h, int64_t(size), nullptr, FILE_BEGIN) || !win_set_end_of_file(h))
            err = win_last_error();
        win_close_handle(h);
    }
    if (!err) return NFS_OK;
    log_printf(FILEOPS_LOG, "nfs_setsize: %s error %u\n", path, err);
    return win_error_status(err);
}

bool nfs_put_special(const char *path, uint32_t mode) {
    uint8_t word[4];
    store_le32(word, mode % SPECIAL_MODE_MAX);
    uint32_t before = fs_get_attributes(path);
    uint32_t err = 0;
    win_handle h = INVALID_HANDLE_VALUE;
    uint32_t written = 0;
    // The SYSTEM attribute comes off so that the file can be written.
    if (!fs_set_attributes(path, FILE_ATTRIBUTE_NORMAL) ||
        (h = fs_create_file(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, 0)) ==
            INVALID_HANDLE_VALUE ||
        !win_set_file_pointer(h, NFS_SPECIAL_MODE, nullptr, FILE_BEGIN) ||
        !win_write_file(h, word, sizeof word, &written) || written != sizeof word)
        err = win_last_error();
    if (h != INVALID_HANDLE_VALUE) win_close_handle(h);
    if (!err && written == sizeof word) return true;
    log_printf(FILEOPS_LOG, "nfs_put_special: %s error %u\n", path, err);
    if (before != FS_INVALID_ATTRIBUTES) fileops_set_attrs(path, before);
    return false;
}
