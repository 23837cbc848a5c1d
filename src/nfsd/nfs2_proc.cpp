// The NFS version 2 program: one handler per procedure and the table that
// serves them. A handler admits the caller to the export of each handle it
// was sent, calls the backend and puts its status into the result record;
// the table's encoder writes the reply.
#include <algorithm>
#include <cstring>

#include "exports/export.h"
#include "names/nfs_status.h"
#include "nfsd/cache.h"
#include "nfsd/fileops.h"
#include "nfsd/nfs.h"
#include "nfsd/nfs2_xdr.h"
#include "nfsd/readdir.h"
#include "base/config.h"

namespace {

// SETATTR keeps the permission bits and set-id/sticky bits of a mode.
constexpr uint32_t SETATTR_MODE_MOD = 4096;
// A device number in a CREATE's size field: major in the high bits.
constexpr uint32_t DEVICE_MINOR_MASK = 255;
constexpr uint32_t DEVICE_MAJOR_SHIFT = 8;

// Binds and admits the request's two handles, the first before the second.
uint32_t admit2(nfs_request *q, const nfs_handle *a, const nfs_handle *b) {
    uint32_t status = nfs_request_admit(q, 0, a->bytes);
    return status != NFS_OK ? status : nfs_request_admit(q, 1, b->bytes);
}

bool nfs2_null(nfs_request *, void *) {
    return true;
}

bool nfs2_getattr(nfs_request *q, void *result) {
    const nfs2_fh_args *a = nfs_args<nfs2_fh_args>(q);
    nfs2_attr_res *r = static_cast<nfs2_attr_res *>(result);
    r->status = nfs_request_admit(q, 0, a->fh.bytes);
    if (r->status == NFS_OK) r->status = nfs_fh_attr(&q->obj[0], &r->attr);
    return true;
}

bool nfs2_setattr(nfs_request *q, void *result) {
    nfs2_sattr_args *a = nfs_args<nfs2_sattr_args>(q);
    nfs2_attr_res *r = static_cast<nfs2_attr_res *>(result);
    a->sattr.mode %= SETATTR_MODE_MOD;
    r->status = nfs_request_admit(q, 0, a->fh.bytes);
    if (r->status == NFS_OK) r->status = nfs_setattr(&q->obj[0], &a->sattr, &r->attr);
    return true;
}

bool nfs2_lookup(nfs_request *q, void *result) {
    const nfs2_dirop_args *a = nfs_args<nfs2_dirop_args>(q);
    nfs2_dirop_res *r = static_cast<nfs2_dirop_res *>(result);
    r->status = nfs_request_admit(q, 0, a->dir.bytes);
    if (r->status == NFS_OK) r->status = nfs_lookup(&q->obj[0], a->name, &r->fh, &r->attr);
    return true;
}

bool nfs2_readlink(nfs_request *q, void *result) {
    const nfs2_fh_args *a = nfs_args<nfs2_fh_args>(q);
    nfs2_readlink_res *r = static_cast<nfs2_readlink_res *>(result);
    r->status = nfs_request_admit(q, 0, a->fh.bytes);
    if (r->status != NFS_OK) return true;
    char text[NFS_LINK_MAX];
    r->status = nfs_readlink(&q->obj[0], text, sizeof text);
    if (r->status == NFS_OK) r->status = nfs_readlink_text(text, r->text, &r->length);
    return true;
}

// The data goes straight to its place in the reply buffer, or waits in the
// reply's pipe.
bool nfs2_read(nfs_request *q, void *result) {
    const nfs2_read_args *a = nfs_args<nfs2_read_args>(q);
    nfs2_read_res *r = static_cast<nfs2_read_res *>(result);
    r->status = nfs_request_admit(q, 0, a->fh.bytes);
    if (r->status != NFS_OK) return true;
    uint32_t room;
    uint8_t *dest = nfs_reply_data(q->xp, q->call, NFS2_READ_DATA, &room);
    uint32_t count = std::min({a->count, nfs_transfer_max(q->xp), room});
    r->status = nfs_read(&q->obj[0], a->offset, &count, dest, &r->attr, q->xp);
    r->count = count;
    return true;
}

bool nfs2_write(nfs_request *q, void *result) {
    const nfs2_write_args *a = nfs_args<nfs2_write_args>(q);
    nfs2_attr_res *r = static_cast<nfs2_attr_res *>(result);
    r->status = nfs_request_admit(q, 0, a->fh.bytes);
    if (r->status != NFS_OK) return true;
    uint32_t count = a->count;
    r->status = nfs_write(&q->obj[0], a->offset, &count, config.nfs2write != 0, a->data,
                          NFS2_MAX_SIZE, &r->attr);
    return true;
}

// The type of the new file comes from the mode's type bits; a device's
// number travels in the size field.
bool nfs2_create(nfs_request *q, void *result) {
    const nfs2_create_args *a = nfs_args<nfs2_create_args>(q);
    nfs2_dirop_res *r = static_cast<nfs2_dirop_res *>(result);
    r->status = nfs_request_admit(q, 0, a->where.dir.bytes);
    if (r->status != NFS_OK) return true;
    nfs_object *dir = &q->obj[0];
    const nfs_sattr *s = &a->sattr;
    uint32_t device = uint32_t(s->size);
    switch (s->set_mode ? s->mode & NFS_IFMT : 0) {
        case 0:
        case NFS_IFREG:
            r->status = nfs_create(dir, a->where.name, NFS_CREATE_UNCHECKED, s, r->fh.bytes,
                                   &r->attr);
            break;
        case NFS_IFCHR:
        case NFS_IFBLK:
            r->status = nfs_mknod(dir, a->where.name, (s->mode & NFS_IFMT) == NFS_IFCHR ? NFCHR : NFBLK,
                                  s, device & DEVICE_MINOR_MASK, device >> DEVICE_MAJOR_SHIFT,
                                  r->fh.bytes, &r->attr);
            break;
        default:  // FIFOs, sockets and the like have no form here
            r->status = NFSERR_IO;
    }
    return true;
}

bool nfs2_remove(nfs_request *q, void *result) {
    const nfs2_dirop_args *a = nfs_args<nfs2_dirop_args>(q);
    nfs2_status_res *r = static_cast<nfs2_status_res *>(result);
    r->status = nfs_request_admit(q, 0, a->dir.bytes);
    if (r->status == NFS_OK) r->status = file_unlink(&q->obj[0], a->name);
    return true;
}

bool nfs2_rename(nfs_request *q, void *result) {
    const nfs2_rename_args *a = nfs_args<nfs2_rename_args>(q);
    nfs2_status_res *r = static_cast<nfs2_status_res *>(result);
    r->status = admit2(q, &a->from.dir, &a->to.dir);
    if (r->status == NFS_OK)
        r->status = file_rename(&q->obj[0], &q->obj[1], a->from.name, a->to.name);
    return true;
}

bool nfs2_link(nfs_request *q, void *result) {
    const nfs2_link_args *a = nfs_args<nfs2_link_args>(q);
    nfs2_status_res *r = static_cast<nfs2_status_res *>(result);
    r->status = admit2(q, &a->from, &a->to.dir);
    if (r->status == NFS_OK) r->status = nfs_link(&q->obj[0], &q->obj[1], a->to.name);
    return true;
}

bool nfs2_symlink(nfs_request *q, void *result) {
    const nfs2_symlink_args *a = nfs_args<nfs2_symlink_args>(q);
    nfs2_status_res *r = static_cast<nfs2_status_res *>(result);
    r->status = nfs_request_admit(q, 0, a->from.dir.bytes);
    if (r->status == NFS_OK)
        r->status = nfs_symlink(&q->obj[0], a->from.name, &a->sattr, a->text, a->text_length);
    return true;
}

// The directory's own sattr is not applied.
bool nfs2_mkdir(nfs_request *q, void *result) {
    const nfs2_create_args *a = nfs_args<nfs2_create_args>(q);
    nfs2_dirop_res *r = static_cast<nfs2_dirop_res *>(result);
    r->status = nfs_request_admit(q, 0, a->where.dir.bytes);
    if (r->status == NFS_OK)
        r->status = file_mkdir(&q->obj[0], a->where.name, r->fh.bytes, &r->attr);
    return true;
}

bool nfs2_rmdir(nfs_request *q, void *result) {
    const nfs2_dirop_args *a = nfs_args<nfs2_dirop_args>(q);
    nfs2_status_res *r = static_cast<nfs2_status_res *>(result);
    r->status = nfs_request_admit(q, 0, a->dir.bytes);
    if (r->status == NFS_OK) r->status = file_rmdir(&q->obj[0], a->name);
    return true;
}

// The listing itself is the directory reader's; admission is ours.
bool nfs2_readdir(nfs_request *q, void *result) {
    const nfs_readdir_args *a = nfs_args<nfs_readdir_args>(q);
    nfs_dirlist *r = static_cast<nfs_dirlist *>(result);
    r->status = nfs_request_admit(q, 0, a->fh);
    if (r->status != NFS_OK) return true;
    nfs_readdir_args lowered = nfs_readdir_lowered(q->xp, a);
    nfs_dirlist_fill(r, &lowered, &q->obj[0], NFS_DIR_V2, nullptr, 0);
    return true;
}

bool nfs2_statfs(nfs_request *q, void *result) {
    const nfs2_fh_args *a = nfs_args<nfs2_fh_args>(q);
    nfs2_statfs_res *r = static_cast<nfs2_statfs_res *>(result);
    r->status = nfs_request_admit(q, 0, a->fh.bytes);
    if (r->status == NFS_OK) r->status = nfs_statfs(&q->obj[0], &r->fs);
    r->tsize = nfs_transfer_max(q->xp);
    return true;
}

// Replay slots of the non-idempotent procedures, each with the result
// record its last call answered.
rpc_replay_slot setattr_slot, create_slot, remove_slot, rename_slot, link_slot, symlink_slot,
    mkdir_slot, rmdir_slot;
nfs2_attr_res setattr_save;
nfs2_dirop_res create_save, mkdir_save;
nfs2_status_res remove_save, rename_save, link_save, symlink_save, rmdir_save;

constexpr uint32_t FH = sizeof(nfs2_fh_args);
constexpr uint32_t DIROP = sizeof(nfs2_dirop_args);
constexpr uint32_t STATUS = sizeof(nfs2_status_res);
constexpr uint32_t ATTR = sizeof(nfs2_attr_res);
constexpr uint32_t DIROPRES = sizeof(nfs2_dirop_res);

const rpc_proc nfs2_procs[] = {
    {.number = 0, .name = "null", .run = nfs_request_run<nfs2_null>, .encode = rpc_void_result,
     .quick = true},
    {.number = 1, .name = "getattr", .decode = nfs2_decode_fh, .args_size = FH,
     .run = nfs_request_run<nfs2_getattr>, .encode = nfs2_encode_attr, .result_size = ATTR,
     .garbage_log = "nfs_getattr: cannot read args\n", .quick = true},
    {.number = 2, .name = "setattr", .decode = nfs2_decode_sattr,
     .args_size = sizeof(nfs2_sattr_args), .run = nfs_request_run<nfs2_setattr>,
     .encode = nfs2_encode_attr, .result_size = ATTR,
     .garbage_log = "nfs_setattr: cannot read args\n", .slot = &setattr_slot,
     .save = &setattr_save, .save_size = ATTR},
    {.number = 3, .name = "root"},
    {.number = 4, .name = "lookup", .decode = nfs2_decode_dirop, .args_size = DIROP,
     .run = nfs_request_run<nfs2_lookup>, .encode = nfs2_encode_dirop, .result_size = DIROPRES,
     .garbage_log = "nfs_lookup: cannot read args\n", .quick = true},
    {.number = 5, .name = "readlink", .decode = nfs2_decode_fh, .args_size = FH,
     .run = nfs_request_run<nfs2_readlink>, .encode = nfs2_encode_readlink,
     .result_size = sizeof(nfs2_readlink_res), .garbage_log = "nfs_readlink: cannot read args\n",
     .quick = true},
    {.number = 6, .name = "read", .decode = nfs2_decode_read, .args_size = sizeof(nfs2_read_args),
     .run = nfs_request_run<nfs2_read>, .encode = nfs2_encode_read,
     .result_size = sizeof(nfs2_read_res), .garbage_log = "nfs_read: invalid read args\n"},
    {.number = 7, .name = "writecache"},
    {.number = 8, .name = "write", .decode = nfs2_decode_write,
     .args_size = sizeof(nfs2_write_args), .run = nfs_request_run<nfs2_write>,
     .encode = nfs2_encode_attr, .result_size = ATTR,
     .garbage_log = "nfs_write: invalid write args\n"},
    {.number = 9, .name = "create", .decode = nfs2_decode_create,
     .args_size = sizeof(nfs2_create_args), .run = nfs_request_run<nfs2_create>,
     .encode = nfs2_encode_dirop, .result_size = DIROPRES,
     .garbage_log = "nfs_create: cannot read args\n", .slot = &create_slot, .save = &create_save,
     .save_size = DIROPRES},
    {.number = 10, .name = "remove", .decode = nfs2_decode_dirop, .args_size = DIROP,
     .run = nfs_request_run<nfs2_remove>, .encode = nfs2_encode_status, .result_size = STATUS,
     .garbage_log = "nfs_remove: cannot read args\n", .slot = &remove_slot, .save = &remove_save,
     .save_size = STATUS},
    {.number = 11, .name = "rename", .decode = nfs2_decode_rename,
     .args_size = sizeof(nfs2_rename_args), .run = nfs_request_run<nfs2_rename>,
     .encode = nfs2_encode_status, .result_size = STATUS,
     .garbage_log = "nfs_rename: cannot read args\n", .slot = &rename_slot, .save = &rename_save,
     .save_size = STATUS},
    {.number = 12, .name = "link", .decode = nfs2_decode_link, .args_size = sizeof(nfs2_link_args),
     .run = nfs_request_run<nfs2_link>, .encode = nfs2_encode_status, .result_size = STATUS,
     .garbage_log = "nfs_link: cannot read args\n", .slot = &link_slot, .save = &link_save,
     .save_size = STATUS},
    {.number = 13, .name = "symlink", .decode = nfs2_decode_symlink,
     .args_size = sizeof(nfs2_symlink_args), .run = nfs_request_run<nfs2_symlink>,
     .encode = nfs2_encode_status, .result_size = STATUS,
     .garbage_log = "nfs_symlink: cannot read args\n", .slot = &symlink_slot,
     .save = &symlink_save, .save_size = STATUS},
    {.number = 14, .name = "mkdir", .decode = nfs2_decode_create,
     .args_size = sizeof(nfs2_create_args), .run = nfs_request_run<nfs2_mkdir>,
     .encode = nfs2_encode_dirop, .result_size = DIROPRES,
     .garbage_log = "nfs_mkdir: cannot read args\n", .slot = &mkdir_slot, .save = &mkdir_save,
     .save_size = DIROPRES},
    {.number = 15, .name = "rmdir", .decode = nfs2_decode_dirop, .args_size = DIROP,
     .run = nfs_request_run<nfs2_rmdir>, .encode = nfs2_encode_status, .result_size = STATUS,
     .garbage_log = "nfs_rmdir: cannot read args\n", .slot = &rmdir_slot, .save = &rmdir_save,
     .save_size = STATUS},
    {.number = 16, .name = "readdir", .decode = nfs2_readdir_decode,
     .args_size = sizeof(nfs_readdir_args), .run = nfs_request_run<nfs2_readdir>,
     .encode = xdr_readdirres, .result_size = sizeof(nfs_dirlist),
     .garbage_log = "nfs_readdir: cannot read args\n"},
    {.number = 17, .name = "statfs", .decode = nfs2_decode_fh, .args_size = FH,
     .run = nfs_request_run<nfs2_statfs>, .encode = nfs2_encode_statfs,
     .result_size = sizeof(nfs2_statfs_res), .garbage_log = "nfs_statfs: cannot read args\n",
     .quick = true},
};

}  // namespace

const rpc_program nfs2_program = {nfs2_procs, sizeof nfs2_procs / sizeof nfs2_procs[0],
                                  NFS_UNKNOWN_PROC_LOG, nullptr};

void nfs2_dispatch(xprt *xp, rpc_call *call) {
    export_hold_scope hold;  // a reload waits for this call
    rpc_serve(xp, call, &nfs2_program);
}
