// The preamble, the clearing step and the keeping of a replaced link or
// device file, shared by the file operations.
#include <cstring>

#include "inode/inode.h"
#include "exports/export.h"
#include "names/nfs_status.h"
#include "nfsd/cache.h"
#include "nfsd/fileops_internal.h"

uint32_t fileops_target_resolve(nfs_object *dir, const char *name, uint32_t flags,
                                fileops_target *t) {
    t->dir_object = dir;
    t->inode = 0;
    uint32_t status = nfs_object_resolve(dir, true);
    if (status) return status;
    t->exp = dir->exp;
    t->dir = dir->inode;
    strcpy(t->path, dir->path);
    bool late = flags & FILEOPS_CHECK_LATE;
    bool map = flags & FILEOPS_MAP;
    if (!late && !nfs_object_check(dir, map)) return NFSERR_NXIO;
    // "." would name the directory itself: it exists, and it is not ours to
    // remove or move through its own handle.
    if (strcmp(name, ".") == 0) return (flags & FILEOPS_NEW) ? NFSERR_EXIST : NFSERR_INVAL;
    status = nfs_add_name(t->exp, t->path, name);
    if (status) return status;
    if (late && !nfs_object_check(dir, map)) return NFSERR_NXIO;
    if (!(flags & FILEOPS_NO_FIND)) {
        t->inode = inode_find(t->dir, name);
        if (t->inode) cache_close_idle(t->inode);
    }
    return NFS_OK;
}

const char *fileops_leaf(const char *path) {
    const char *slash = strrchr(path, '\\');
    return slash ? slash + 1 : path;
}

bool fileops_set_attrs(const char *path, uint32_t attributes) {
    uint32_t a = attributes & FILEOPS_MODE_ATTRS;
    return fs_set_attributes(path, a ? a : FILE_ATTRIBUTE_NORMAL);
}

void fileops_clear(const char *path, uint32_t uid, fileops_cleared *c) {
    c->changed = false;
    c->before = fs_get_attributes(path);
    if (c->before == FS_INVALID_ATTRIBUTES) return;
    uint32_t drop = FILE_ATTRIBUTE_SYSTEM | (uid == 0 ? FILE_ATTRIBUTE_READONLY : 0);
    if (!(c->before & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM))) return;
    // A failure here shows up as the failure of the call that follows.
    c->changed = fileops_set_attrs(path, c->before & ~drop);
}

void fileops_unclear(const char *path, const fileops_cleared *c) {
    if (c->changed) fileops_set_attrs(path, c->before);
}

uint32_t fileops_prior_take(const char *path, uint32_t uid, fileops_prior *p) {
    p->exists = false;
    p->length = 0;
    p->cleared = {FS_INVALID_ATTRIBUTES, false};
    uint32_t a = fs_get_attributes(path);
    if (a == FS_INVALID_ATTRIBUTES) {
        uint32_t err = win_last_error();
        return err == ERROR_FILE_NOT_FOUND ? NFS_OK : win_error_status(err);
    }
    // Writing a device header or a link text over a file would lose its
    // data, and a directory cannot hold either.
    if (!fileops_is_special(a)) return NFSERR_EXIST;
    win_handle h = fs_create_file(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    if (h == INVALID_HANDLE_VALUE) return win_error_status(win_last_error());
    uint32_t got = 0;
    uint8_t probe;
    bool ok = win_read_file(h, p->bytes, FILEOPS_KEEP_MAX, &got);
    uint32_t more = 0;
    if (ok && got == FILEOPS_KEEP_MAX) ok = win_read_file(h, &probe, 1, &more);
    uint32_t err = win_last_error();
    win_close_handle(h);
    if (!ok) return win_error_status(err);
    if (more) return NFSERR_EXIST;
    p->exists = true;
    p->length = got;
    fileops_clear(path, uid, &p->cleared);
    return NFS_OK;
}

void fileops_prior_restore(const char *path, const fileops_prior *p, bool touched) {
    if (!touched) {
        fileops_unclear(path, &p->cleared);
        return;
    }
    if (!p->exists) {
        fs_set_attributes(path, FILE_ATTRIBUTE_NORMAL);
        fs_delete_file(path);
        return;
    }
    win_handle h = fs_create_file(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL);
    if (h != INVALID_HANDLE_VALUE) {
        uint32_t written;
        win_write_file(h, p->bytes, p->length, &written);
        win_close_handle(h);
    }
    fileops_set_attrs(path, p->cleared.before);
}
