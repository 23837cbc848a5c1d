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

uint32_t nfs_lookup(nfs_object *dir, const char *name, nfs_handle *fh, nfs_attr *attr) {
    char path[NFS_PATH_MAX];
    export_entry *exp;
    const rpc_cred *cred = dir->sent;
    uint32_t inode = 0;
    if (nfs_object_resolve(dir, false) == NFS_OK) {
        if (!nfs_object_check(dir, true)) return NFSERR_NXIO;
        exp = dir->exp;
        cred = nfs_object_identity(dir);
        strcpy(path, dir->path);
        if (strcmp(name, "..") == 0) {
            inode = inode_parent(exp->root_inode, exp->path, dir->inode, path);
            if (!inode) return NFSERR_NODEV;
        } else if (strcmp(name, ".") == 0) {
            inode = dir->inode;
        } else {
            uint32_t status = nfs_add_name(exp, path, name);
            if (status != NFS_OK) return status;
        }
    } else {
        // The caller's identity stays as sent: the public export maps it
        // itself (-webnfs implies -mapall).
        uint32_t status = webnfs_lookup(dir->fh, name, &exp, &inode, path);
        if (status != NFS_OK) return status;
    }
    if (inode) cache_close_idle(inode);
    uint32_t status = nfs_path_attr(inode, exp, path, attr, cred);
    if (status == NFSERR_NOENT && inode == dir->inode) nfs_object_drop(dir);
    if (status != NFS_OK) return status;
    uint32_t found = fh_for_path(exp->export_id, path, fh->bytes);
    if (!found) return NFSERR_NOENT;
    attr->fileid = found;
    return NFS_OK;
}

uint32_t nfs_statfs(nfs_object *o, nfs_fsstat *out) {
    if (nfs_object_resolve(o, false) != NFS_OK) return NFSERR_STALE;
    if (!nfs_object_check(o, false)) return NFSERR_NXIO;
    char root[NFS_PATH_MAX];
    volume_root(o->path, root);
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
