// REMOVE and RMDIR.
#include <cstring>

#include "inode/inode.h"
#include "exports/export.h"
#include "names/nfs_status.h"
#include "nfsd/fileops.h"
#include "nfsd/fileops_internal.h"
#include "base/log.h"

uint32_t file_unlink(nfs_object *dir, const char *name) {
    fileops_target t;
    uint32_t status = fileops_target_resolve(dir, name, FILEOPS_CHECK_LATE, &t);
    if (status) return status;
    fileops_cleared cleared;
    fileops_clear(t.path, fileops_identity(&t)->uid, &cleared);
    if (!fs_delete_file(t.path)) {
        uint32_t err = win_last_error();
        log_printf(FILEOPS_LOG, "file_unlink %s error %d\n", t.path, int(err));
        fileops_unclear(t.path, &cleared);
        return win_error_status(err);
    }
    if (t.inode) inode_remove(t.inode, false);
    return NFS_OK;
}

uint32_t file_rmdir(nfs_object *dir_object, const char *name) {
    uint32_t status = nfs_object_resolve(dir_object, true);
    if (status) return status;
    if (!nfs_object_check(dir_object, false)) return NFSERR_NXIO;
    if (strcmp(name, "..") == 0) return NFSERR_EXIST;
    // "." is the directory the handle names, possibly the export's root.
    if (strcmp(name, ".") == 0) return NFSERR_INVAL;
    char path[NFS_PATH_MAX];
    strcpy(path, dir_object->path);
    status = nfs_add_name(dir_object->exp, path, name);
    if (status) return status;
    uint32_t dir = dir_object->inode;
    const rpc_cred *cred = nfs_object_identity(dir_object);

    uint32_t before = fs_get_attributes(path);
    bool unlocked = cred->uid == 0 && before != FS_INVALID_ATTRIBUTES &&
                    (before & FILE_ATTRIBUTE_DIRECTORY) && (before & FILE_ATTRIBUTE_READONLY) &&
                    fileops_set_attrs(path, before & ~FILE_ATTRIBUTE_READONLY);
    if (!fs_remove_directory(path)) {
        uint32_t err = win_last_error();
        if (err != ERROR_FILE_NOT_FOUND && err != ERROR_DIR_NOT_EMPTY)
            log_printf(FILEOPS_LOG, "file_rmdir %s error %d\n", path, int(err));
        if (unlocked) fileops_set_attrs(path, before);
        status = win_error_status(err);
        return status == NFSERR_ACCES ? NFSERR_EXIST : status;
    }
    // The directory was empty on disk, so records below it are stale.
    uint32_t inode = inode_find(dir, name);
    if (inode) inode_remove_tree(inode);
    return NFS_OK;
}
