// The two backends the NFS programs keep for themselves: LOOKUP, which
// turns a directory handle and a name into a handle (or starts from the
// WebNFS public handle), and STATFS, the free space of a handle's volume.
#include <cstring>

#include "fs/fs.h"
#include "inode/inode.h"
#include "names/name.h"
#include "names/nfs_status.h"
#include "nfsd/cache.h"
#include "nfsd/nfs_shared.h"
#include "base/config.h"
#include "base/log.h"

namespace {

constexpr const char *LOG_STATFS = "nfs_statfs: %s error %u\n";
constexpr uint32_t BLOCK_SHIFT = 12;  // 4096-byte blocks

}  // namespace

uint32_t nfs_lookup(const nfs_handle *dir, const char *name, rpc_cred *cred, nfs_handle *fh,
                    nfs_attr *attr) {
    char path[NFS_PATH_MAX];
    export_entry *exp;
    uint32_t inode = 0;
    uint32_t dir_inode = fh_resolve(dir->bytes, &exp, path, nullptr);
    if (dir_inode) {
        if (!nfs_check_export(exp, path, cred)) return NFSERR_NXIO;
        if (strcmp(name, "..") == 0) {
            inode = inode_parent(exp->root_inode, exp->path, dir_inode, path);
            if (!inode) return NFSERR_NODEV;
        } else if (strcmp(name, ".") == 0) {
            inode = dir_inode;
        } else {
            uint32_t status = nfs_add_name(exp, path, name);
            if (status != NFS_OK) return status;
        }
    } else {
        // The caller's identity stays as sent: the public export maps it
        // itself (-webnfs implies -mapall).
        uint32_t status = webnfs_lookup(dir->bytes, name, &exp, &inode, path);
        if (status != NFS_OK) return status;
    }
    if (inode) cache_close_idle(inode);
    uint32_t status = nfs_path_attr(inode, exp, path, attr, cred);
    if (status != NFS_OK) return status;
    uint32_t found = fh_for_path(exp->export_id, path, fh->bytes);
    if (!found) return NFSERR_NOENT;
    attr->fileid = found;
    return NFS_OK;
}

uint32_t nfs_statfs(const nfs_handle *fh, nfs_fsstat *out) {
    char path[NFS_PATH_MAX];
    export_entry *exp;
    if (!fh_resolve(fh->bytes, &exp, path, nullptr)) return NFSERR_STALE;
    if (!nfs_check_export(exp, path, nullptr)) return NFSERR_NXIO;
    char root[NFS_PATH_MAX];
    volume_root(path, root);
    uint64_t to_caller, total, total_free;
    if (!fs_disk_free_space(root, &to_caller, &total, &total_free)) {
        log_printf(LOG_DETAIL, LOG_STATFS, root, unsigned(win_last_error()));
        return NFSERR_IO;
    }
    // The volume's own free space, not the caller's share of it.
    out->blocks = total >> BLOCK_SHIFT;
    out->bfree = total_free >> BLOCK_SHIFT;
    return NFS_OK;
}
