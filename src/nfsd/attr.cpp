// Attributes of a Windows path as NFS sees them, and the export check that
// maps the caller's identity. See attr.h for the mode table.
#include "nfsd/attr.h"
#include "nfsd/attr_status.h"

#include <cstring>
#include <ctime>

#include "fs/fs.h"
#include "inode/inode.h"
#include "names/name.h"
#include "names/nfs_status.h"
#include "platform/bytes.h"
#include "platform/drive.h"
#include "base/log.h"

namespace {

constexpr uint32_t ATTR_BITS = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                               FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY;
constexpr uint32_t WRITE_BITS_CLEAR = 0177555;  // READONLY: no write permission at all
constexpr uint32_t DIR_SIZE = 4096;
constexpr uint32_t NLINK_MASK = 0xFFFF;
// Longer directory paths are not listed for their link count.
constexpr size_t LISTABLE_PATH_MAX = 1021;
constexpr char LIST_ALL[] = "\\*.*";
constexpr uint32_t ROOT_MODE = NFS_IFDIR | 0777;
constexpr uint32_t LINK_MODE = NFS_IFLNK | 0777;
constexpr uint32_t UNKNOWN_MODE = NFS_IFREG | 0666;

constexpr const char *LOG_SPECIAL = "nfs_get_special: %s error %u\n";

// Directory entries of a "\*.*" listing of `dir` (a Windows path without a
// trailing '\'); 0 when it cannot be listed.
uint32_t count_subdirectories(const char *dir) {
    size_t n = strlen(dir);
    if (n >= LISTABLE_PATH_MAX) return 0;
    char pattern[LISTABLE_PATH_MAX + sizeof LIST_ALL];
    memcpy(pattern, dir, n);
    // A drive root comes as "c:\" already.
    if (n > 0 && dir[n - 1] == '\\') n--;
    memcpy(pattern + n, LIST_ALL, sizeof LIST_ALL);
    uint32_t count = 0;
    return fs_count_directories(pattern, &count) ? count : 0;
}

void set_owner(nfs_attr *attr, const rpc_cred *cred) {
    if (!cred) return;
    // The anonymous identity is reported as root, as clients expect of
    // files that belong to whoever looks at them.
    attr->uid = cred->uid == RPC_ANON_ID ? 0 : cred->uid;
    attr->gid = cred->gid == RPC_ANON_ID ? 0 : cred->gid;
}

uint32_t now_seconds() {
    return uint32_t(std::time(nullptr));
}

}  // namespace

uint32_t nfs_unix_time(uint64_t windows_time) {
    // Signed, so that a time before 1970 wraps as the 32-bit field expects.
    return uint32_t((int64_t(windows_time) - int64_t(WIN_EPOCH_OFFSET)) / 10000000);
}

uint32_t nfs_mode_of(uint32_t attributes, uint32_t umask) {
    bool hidden = attributes & FILE_ATTRIBUTE_HIDDEN;
    bool system = attributes & FILE_ATTRIBUTE_SYSTEM;
    uint32_t mode;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        // HIDDEN takes away search permission, SYSTEM is the sticky bit.
        mode = NFS_IFDIR | (hidden ? 0666 : 0777) | (system ? 01000 : 0);
    } else {
        // HIDDEN means executable, HIDDEN with SYSTEM set-uid.
        mode = NFS_IFREG | (hidden ? 0777 : 0666) | (hidden && system ? 04000 : 0);
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) mode &= WRITE_BITS_CLEAR;
    return mode & ~umask;
}

uint32_t nfs_get_special(const char *path, uint32_t *major, uint32_t *minor, uint32_t *mode) {
    uint32_t dummy;
    if (!major) major = &dummy;
    if (!minor) minor = &dummy;
    if (!mode) mode = &dummy;
    *major = *minor = 0;

    uint8_t header[NFS_SPECIAL_SIZE];
    uint32_t got = 0;
    bool ok = false;
    win_handle h = fs_create_file(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    if (h != INVALID_HANDLE_VALUE) {
        uint32_t n = 0;
        ok = true;
        while (got < sizeof header) {
            if (!win_read_file(h, header + got, sizeof header - got, &n)) {
                ok = false;
                break;
            }
            if (n == 0) break;
            got += n;
        }
        uint32_t error = win_last_error();
        win_close_handle(h);
        win_set_last_error(error);
    }
    if (!ok) {
        log_printf(LOG_DETAIL, LOG_SPECIAL, path, win_last_error());
        *mode = UNKNOWN_MODE;
        return NFNON;
    }
    uint32_t type = got == sizeof header ? load_le32(header + NFS_SPECIAL_TYPE) : NFNON;
    // Only a whole header naming a block or character device is a device
    // file; anything else a SYSTEM file holds is the text of a link.
    if (got < sizeof header || load_le32(header) != 0 ||
        memcmp(header + DEVICE_HEADER_MAGIC, DEVICE_HEADER_TEXT, sizeof DEVICE_HEADER_TEXT) != 0 ||
        (type != NFBLK && type != NFCHR)) {
        *mode = LINK_MODE;
        return NFLNK;
    }
    *major = load_le32(header + NFS_SPECIAL_MAJOR);
    *minor = load_le32(header + NFS_SPECIAL_MINOR);
    *mode = (load_le32(header + NFS_SPECIAL_MODE) & NFS_PERM_BITS) |
            (type == NFCHR ? NFS_IFCHR : NFS_IFBLK);
    return type;
}

bool nfs_check_export(const export_entry *exp, const char *path, rpc_cred *cred) {
    // A fixed disk cannot change under us; anything else may hold another
    // medium by now, whose files the handles do not name.
    if (exp->drive_type != DRIVE_FIXED) {
        char root[NFS_PATH_MAX];
        uint32_t serial = 0;
        volume_root(path, root);
        if (!fs_volume_information(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0) ||
            serial != export_load(exp->volume_serial))
            return false;
    }
    if (cred) nfs_map_identity(exp, cred);
    return true;
}

void nfs_map_identity(const export_entry *exp, rpc_cred *cred) {
    uint32_t flags = export_load(exp->flags);
    if (flags & EXP_MAPALL_UID) {
        cred->uid = exp->mapall_uid;
        if (flags & EXP_MAPALL_GID) cred->gid = exp->mapall_gid;
    } else if (cred->uid == 0) {
        if (flags & EXP_MAPROOT_UID) {
            cred->uid = exp->maproot_uid;
            cred->gid = (flags & EXP_MAPROOT_GID) ? exp->maproot_gid : RPC_ANON_ID;
        } else {
            cred->uid = RPC_ANON_ID;
            cred->gid = RPC_ANON_ID;
        }
    }
}

uint32_t nfs_path_attr(uint32_t inode, const export_entry *exp, const char *path, nfs_attr *attr,
                       const rpc_cred *cred) {
    memset(attr, 0, sizeof *attr);
    attr->fsid = export_load(exp->volume_serial);
    attr->fileid = inode;
    set_owner(attr, cred);

    char root[NFS_PATH_MAX];
    if (volume_root(path, root)) {
        attr->type = NFDIR;
        attr->mode = ROOT_MODE & ~exp->umask;
        attr->nlink = (count_subdirectories(root) + 1) & NLINK_MASK;
        attr->size = DIR_SIZE;
        attr->atime_sec = attr->mtime_sec = now_seconds();
        return NFS_OK;
    }

    // One walk of the path gives the entry and, for a directory, its count.
    win_find_data data;
    uint32_t directories;
    if (!fs_find_entry(path, &data, &directories)) {
        uint32_t error = win_last_error();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            return win_error_status(error);
        // Gone from disk: so is every handle below it.
        if (inode) inode_remove_tree(inode);
        return NFSERR_NOENT;
    }

    attr->size = uint64_t(data.size_high) << 32 | data.size_low;
    attr->mtime_sec = nfs_unix_time(data.write_time);
    attr->atime_sec = nfs_unix_time(data.access_time);
    attr->ctime_sec = nfs_unix_time(data.creation_time);

    uint32_t attributes = data.attributes & ATTR_BITS;
    uint32_t kind = attributes & (FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_DIRECTORY);
    if (kind == FILE_ATTRIBUTE_SYSTEM) {
        attr->type = nfs_get_special(path, &attr->rdev_major, &attr->rdev_minor, &attr->mode);
        attr->nlink = 1;
        if (attributes & FILE_ATTRIBUTE_READONLY) attr->mode &= WRITE_BITS_CLEAR;
        return NFS_OK;
    }
    attr->mode = nfs_mode_of(attributes, exp->umask);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        attr->type = NFDIR;
        attr->size = DIR_SIZE;
        attr->nlink = (strlen(path) < LISTABLE_PATH_MAX ? directories : 0) & NLINK_MASK;
    } else {
        attr->type = NFREG;
        attr->nlink = 1;
    }
    return NFS_OK;
}
