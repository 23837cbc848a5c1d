// CREATE, MKNOD and MKDIR: new names, each answered with its handle and
// attributes.
#include <cerrno>

#include "fh/fh.h"
#include "exports/export.h"
#include "names/nfs_status.h"
#include "nfsd/fileops.h"
#include "nfsd/fileops_internal.h"
#include "base/log.h"

namespace {

// CREATE makes the file read-only when the requested mode grants none of
// these bits; the mode itself is stored afterwards.
constexpr uint32_t CREATE_WRITABLE_BITS = 0722;

int create_permission(const nfs_sattr *s) {
    if (s->set_mode && !(s->mode & CREATE_WRITABLE_BITS)) return RT_S_IREAD;
    return RT_S_IREAD | RT_S_IWRITE;
}

// The handle and attributes of a name just made.
uint32_t answer_new(const fileops_target *t, uint32_t inode, nfs_attr *attr) {
    if (!inode) return NFSERR_IO;
    return nfs_path_attr(inode, t->exp, t->path, attr, fileops_identity(t)) ? NFSERR_IO : NFS_OK;
}

}  // namespace

uint32_t nfs_create(nfs_object *dir, const char *name, uint32_t how, const nfs_sattr *s,
                    uint8_t *fh_out, nfs_attr *attr) {
    fileops_target t;
    uint32_t status = fileops_target_resolve(dir, name, FILEOPS_NEW | FILEOPS_MAP, &t);
    if (status) return status;
    int pmode = create_permission(s);
    if (how == NFS_CREATE_EXCLUSIVE) return NFSERR_NOTSUPP;
    if (how != NFS_CREATE_UNCHECKED && how != NFS_CREATE_GUARDED) return NFSERR_INVAL;
    int flags = RT_O_BINARY | RT_O_RDWR | RT_O_CREAT;
    flags |= how == NFS_CREATE_GUARDED ? RT_O_EXCL : RT_O_TRUNC;
    int fd = fs_open(t.path, flags, pmode);
    if (fd < 0) return errno_status(errno);
    rt_close(fd);
    uint32_t inode = fh_for_path(t.exp->export_id, t.path, fh_out);
    // The size goes first: a mode without write permission would refuse it.
    if (s->set_size) nfs_setsize(t.path, s->size);
    nfs_setugmode(t.path, s->set_uid, s->set_gid, s->set_mode, s->uid, s->gid, NFREG, s->mode);
    return answer_new(&t, inode, attr);
}

uint32_t nfs_mknod(nfs_object *dir, const char *name, uint32_t type, const nfs_sattr *s,
                   uint32_t minor, uint32_t major, uint8_t *fh_out, nfs_attr *attr) {
    fileops_target t;
    uint32_t status = fileops_target_resolve(dir, name, FILEOPS_NEW | FILEOPS_MAP, &t);
    if (status) return status;
    if (type != NFBLK && type != NFCHR) return NFSERR_INVAL;
    int pmode = create_permission(s);
    fileops_prior prior;
    status = fileops_prior_take(t.path, fileops_identity(&t)->uid, &prior);
    if (status) return status;

    int fd = fs_open(t.path, RT_O_BINARY | RT_O_RDWR | RT_O_CREAT | RT_O_TRUNC, pmode);
    if (fd < 0) {
        int err = errno;
        log_printf(FILEOPS_LOG, "nfs_mknod: %s error %u\n", t.path, unsigned(err));
        fileops_prior_restore(t.path, &prior, false);
        return errno_status(err);
    }
    uint8_t header[NFS_SPECIAL_SIZE];
    nfs_special_header(header, type, major, minor, 0);
    if (rt_write(fd, header, sizeof header) != int(sizeof header)) {
        int err = errno;
        log_printf(FILEOPS_LOG, "nfs_mknod: %s error %u\n", t.path, unsigned(err));
        rt_close(fd);
        fileops_prior_restore(t.path, &prior, true);
        return errno_status(err);
    }
    rt_close(fd);
    // Without SYSTEM the header would read as a regular file: that is no
    // device file, so it is not answered as one.
    status = nfs_setugmode(t.path, s->set_uid, s->set_gid, s->set_mode, s->uid, s->gid, type,
                           s->mode);
    if (status) {
        fileops_prior_restore(t.path, &prior, true);
        return status;
    }
    uint32_t inode = fh_for_path(t.exp->export_id, t.path, fh_out);
    return answer_new(&t, inode, attr);
}

uint32_t file_mkdir(nfs_object *dir, const char *name, uint8_t *fh_out, nfs_attr *attr) {
    fileops_target t;
    uint32_t status =
        fileops_target_resolve(dir, name, FILEOPS_NEW | FILEOPS_NO_FIND | FILEOPS_MAP, &t);
    if (status) return status;
    if (!fs_create_directory(t.path)) {
        uint32_t err = win_last_error();
        if (err != ERROR_ALREADY_EXISTS)
            log_printf(FILEOPS_LOG, "file_mkdir: %s error %d\n", t.path, int(err));
        return win_error_status(err);
    }
    uint32_t inode = fh_for_path(t.exp->export_id, t.path, fh_out);
    return answer_new(&t, inode, attr);
}
