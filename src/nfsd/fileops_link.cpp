// LINK, SYMLINK and READLINK: hard links (native or copied) and symbolic
// links stored as SYSTEM files whose content is the link text.
#include <cstring>

#include "fh/fh.h"
#include "inode/inode.h"
#include "exports/export.h"
#include "names/nfs_status.h"
#include "nfsd/cache.h"
#include "nfsd/fileops.h"
#include "nfsd/fileops_internal.h"
#include "base/config.h"
#include "base/log.h"

uint32_t nfs_link(nfs_object *file, nfs_object *dir, const char *name) {
    if (nfs_object_resolve(file, false) != NFS_OK) return NFSERR_STALE;
    const char *src = file->path;
    uint32_t status = nfs_object_resolve(dir, true);
    if (status) return status;
    fileops_target t;
    t.exp = dir->exp;
    strcpy(t.path, dir->path);
    if (export_load(file->exp->volume_serial) != export_load(t.exp->volume_serial))
        return NFSERR_IO;
    // A native link into another export would let that export change the
    // file; a copy would carry it out of its export.
    if (file->exp != t.exp) return NFSERR_XDEV;
    if (!nfs_object_check(dir, false)) return NFSERR_NXIO;
    uint32_t a = fs_get_attributes(src);
    if (a == FS_INVALID_ATTRIBUTES) return NFSERR_NOENT;
    if (a & FILE_ATTRIBUTE_DIRECTORY) return NFSERR_ISDIR;
    if (!strcmp(name, ".")) return NFSERR_EXIST;
    status = nfs_add_name(t.exp, t.path, name);
    if (status) return status;
    cache_close_idle(file->inode);
    if (hardlink_available() && (export_load(t.exp->flags) & EXP_NTFS))
        return fs_create_hard_link(t.path, src) ? NFS_OK : NFSERR_EXIST;
    if (!config.hardlinks) return NFSERR_ACCES;
    // The copy is independent from now on; a failed one leaves no file.
    return fs_copy_file(src, t.path, true) ? NFS_OK : NFSERR_EXIST;
}

uint32_t nfs_symlink(nfs_object *dir, const char *name, const nfs_sattr *s, const char *text,
                     uint32_t length) {
    if (!config.softlinks) return NFSERR_ACCES;
    fileops_target t;
    uint32_t status = fileops_target_resolve(dir, name, FILEOPS_NEW, &t);
    if (status) return status;
    // An empty text, or one with a NUL byte, would not read back as itself
    // (a first byte 0 reads as a device file).
    if (length == 0) return NFSERR_NOENT;
    if (memchr(text, 0, length)) return NFSERR_INVAL;
    fileops_prior prior;
    status = fileops_prior_take(t.path, fileops_identity(&t)->uid, &prior);
    if (status) return status;

    win_handle h = fs_create_file(t.path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE) {
        uint32_t err = win_last_error();
        log_printf(FILEOPS_LOG, "nfs_symlink: %s to %.*s error %d\n", t.path, int(length), text,
                   int(err));
        fileops_prior_restore(t.path, &prior, false);
        return win_error_status(err);
    }
    uint32_t written = 0;
    if (!win_write_file(h, text, length, &written) || written != length) {
        uint32_t err = win_last_error();
        log_printf(FILEOPS_LOG, "nfs_symlink: %s to %.*s error %d\n", t.path, int(length), text,
                   int(err));
        win_close_handle(h);
        // Still NORMAL, so never read as a link; and not left behind at all.
        fileops_prior_restore(t.path, &prior, true);
        return NFSERR_IO;
    }
    win_close_handle(h);
    // Without SYSTEM the text would read as an ordinary file's content.
    status = nfs_setugmode(t.path, s->set_uid, s->set_gid, 1, s->uid, s->gid, NFLNK, NFS_LINK_MODE);
    if (status) {
        fileops_prior_restore(t.path, &prior, true);
        return status;
    }
    inode_lookup(t.dir, fileops_leaf(t.path));
    return NFS_OK;
}

uint32_t nfs_readlink(nfs_object *o, char *buffer, uint32_t size) {
    if (!config.softlinks) return NFSERR_ACCES;
    if (nfs_object_resolve(o, false) != NFS_OK) return NFSERR_STALE;
    const export_entry *exp = o->exp;
    const char *path = o->path;
    uint32_t inode = o->inode;
    win_handle h = fs_create_file(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    if (h == INVALID_HANDLE_VALUE) return NFSERR_NOENT;
    win_file_info info;
    if (!win_get_file_information_by_handle(h, &info) ||
        info.volume_serial != export_load(exp->volume_serial)) {
        inode_remove_tree(inode);
        nfs_object_drop(o);
        win_close_handle(h);
        return NFSERR_NOENT;
    }
    uint32_t got = 0;
    if (fileops_is_special(info.attributes) && size > 0 &&
        win_read_file(h, buffer, size - 1, &got) && got > 0 && buffer[0] != 0) {
        buffer[got] = 0;
        // A text cut to the buffer would be another link's text.
        uint8_t more;
        uint32_t extra = 0;
        bool longer = got == size - 1 && win_read_file(h, &more, 1, &extra) && extra > 0;
        win_close_handle(h);
        return longer ? NFSERR_NAMETOOLONG : NFS_OK;
    }
    uint32_t err = win_last_error();
    log_printf(FILEOPS_LOG, "nfs_readlink: %s error %u\n", path, err);
    inode_remove_tree(inode);
    nfs_object_drop(o);
    win_close_handle(h);
    return NFSERR_IO;
}
