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

rpc_cred *caller(rpc_call *call) {
    return &call->unix_cred;
}

uint32_t admit2(const xprt *xp, const nfs_handle *a, const nfs_handle *b) {
    uint32_t status = nfs_admit(xp, a->bytes);
    return status != NFS_OK ? status : nfs_admit(xp, b->bytes);
}

bool nfs2_null(xprt *, rpc_call *, void *, void *) {
    return true;
}

bool nfs2_getattr(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs2_fh_args *a = static_cast<const nfs2_fh_args *>(args);
    nfs2_attr_res *r = static_cast<nfs2_attr_res *>(result);
    r->status = nfs_admit(xp, a->fh.bytes);
    if (r->status == NFS_OK) r->status = nfs_fh_attr(a->fh.bytes, &r->attr, caller(call));
    return true;
}

bool nfs2_setattr(xprt *xp, rpc_call *call, void *args, void *result) {
    nfs2_sattr_args *a = static_cast<nfs2_sattr_args *>(args);
    nfs2_attr_res *r = static_cast<nfs2_attr_res *>(result);
    a->sattr.mode %= SETATTR_MODE_MOD;
    r->status = nfs_admit(xp, a->fh.bytes);
    if (r->status == NFS_OK)
        r->status = nfs_setattr(a->fh.bytes, &a->sattr, &r->attr, caller(call));
    return true;
}

bool nfs2_lookup(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs2_dirop_args *a = static_cast<const nfs2_dirop_args *>(args);
    nfs2_dirop_res *r = static_cast<nfs2_dirop_res *>(result);
    r->status = nfs_admit(xp, a->dir.bytes);
    if (r->status == NFS_OK)
        r->status = nfs_lookup(&a->dir, a->name, caller(call), &r->fh, &r->attr);
    return true;
}

bool nfs2_readlink(xprt *xp, rpc_call *, void *args, void *result) {
    const nfs2_fh_args *a = static_cast<const nfs2_fh_args *>(args);
    nfs2_readlink_res *r = static_cast<nfs2_readlink_res *>(result);
    r->status = nfs_admit(xp, a->fh.bytes);
    if (r->status != NFS_OK) return true;
    char text[NFS_LINK_MAX];
    r->status = nfs_readlink(a->fh.bytes, text, sizeof text);
    if (r->status == NFS_OK) r->status = nfs_readlink_text(text, r->text, &r->length);
    return true;
}

// The data goes straight to its place in the reply buffer.
bool nfs2_read(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs2_read_args *a = static_cast<const nfs2_read_args *>(args);
    nfs2_read_res *r = static_cast<nfs2_read_res *>(result);
    r->status = nfs_admit(xp, a->fh.bytes);
    if (r->status != NFS_OK) return true;
    uint32_t room;
    uint8_t *dest = nfs_reply_data(xp, call, NFS2_READ_DATA, &room);
    uint32_t count = std::min(a->count, room);
    r->status = nfs_read(a->fh.bytes, a->offset, &count, dest, &r->attr, caller(call));
    r->count = count;
    return true;
}

bool nfs2_write(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs2_write_args *a = static_cast<const nfs2_write_args *>(args);
    nfs2_attr_res *r = static_cast<nfs2_attr_res *>(result);
    r->status = nfs_admit(xp, a->fh.bytes);
    if (r->status != NFS_OK) return true;
    uint32_t count = a->count;
    r->status = nfs_write(a->fh.bytes, a->offset, &count, config.nfs2write != 0, a->data,
                          NFS2_MAX_SIZE, &r->attr, caller(call));
    return true;
}

// The type of the new file comes from the mode's type bits; a device's
// number travels in the size field.
bool nfs2_create(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs2_create_args *a = static_cast<const nfs2_create_args *>(args);
    nfs2_dirop_res *r = static_cast<nfs2_dirop_res *>(result);
    r->status = nfs_admit(xp, a->where.dir.bytes);
    if (r->status != NFS_OK) return true;
    const uint8_t *dir = a->where.dir.bytes;
    const nfs_sattr *s = &a->sattr;
    uint32_t device = uint32_t(s->size);
    switch (s->set_mode ? s->mode & NFS_IFMT : 0) {
        case 0:
        case NFS_IFREG:
            r->status = nfs_create(dir, a->where.name, NFS_CREATE_UNCHECKED, s, r->fh.bytes,
                                   &r->attr, caller(call));
            break;
        case NFS_IFCHR:
        case NFS_IFBLK:
            r->status = nfs_mknod(dir, a->where.name, (s->mode & NFS_IFMT) == NFS_IFCHR ? NFCHR : NFBLK,
                                  s, device & DEVICE_MINOR_MASK, device >> DEVICE_MAJOR_SHIFT,
                                  r->fh.bytes, &r->attr, caller(call));
            break;
        default:  // FIFOs, sockets and the like have no form here
            r->status = NFSERR_IO;
    }
    return true;
}

bool nfs2_remove(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs2_dirop_args *a = static_cast<const nfs2_dirop_args *>(args);
    nfs2_status_res *r = static_cast<nfs2_status_res *>(result);
    r->status = nfs_admit(xp, a->dir.bytes);
    if (r->status == NFS_OK) r->status = file_unlink(a->dir.bytes, a->name, caller(call));
    return true;
}

bool nfs2_rename(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs2_rename_args *a = static_cast<const nfs2_rename_args *>(args);
    nfs2_status_res *r = static_cast<nfs2_status_res *>(result);
    r->status = admit2(xp, &a->from.dir, &a->to.dir);
    if (r->status == NFS_OK)
        r->status = file_rename(a->from.dir.bytes, a->to.dir.bytes, a->from.name, a->to.name,
                                caller(call));
    return true;
}

bool nfs2_link(xprt *xp, rpc_call *, void *args, void *result) {
    const nfs2_link_args *a = static_cast<const nfs2_link_args *>(args);
    nfs2_status_res *r = static_cast<nfs2_status_res *>(result);
    r->status = admit2(xp, &a->from, &a->to.dir);
    if (r->status == NFS_OK)
        r->status = nfs_link(a->from.bytes, a->to.dir.bytes, a->to.name);
    return true;
}

bool nfs2_symlink(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs2_symlink_args *a = static_cast<const nfs2_symlink_args *>(args);
    nfs2_status_res *r = static_cast<nfs2_status_res *>(result);
    r->status = nfs_admit(xp, a->from.dir.bytes);
    if (r->status == NFS_OK)
        r->status = nfs_symlink(a->from.dir.bytes, a->from.name, &a->sattr, a->text,
                                a->text_length, caller(call));
    return true;
}

// The directory's own sattr is not applied.
bool nfs2_mkdir(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs2_create_args *a = static_cast<const nfs2_create_args *>(args);
    nfs2_dirop_res *r = static_cast<nfs2_dirop_res *>(result);
    r->status = nfs_admit(xp, a->where.dir.bytes);
    if (r->status == NFS_OK)
        r->status = file_mkdir(a->where.dir.bytes, a->where.name, r->fh.bytes, &r->attr,
                               caller(call));
    return true;
}

bool nfs2_rmdir(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs2_dirop_args *a = static_cast<const nfs2_dirop_args *>(args);
    nfs2_status_res *r = static_cast<nfs2_status_res *>(result);
    r->status = nfs_admit(xp, a->dir.bytes);
    if (r->status == NFS_OK) r->status = file_rmdir(a->dir.bytes, a->name, caller(call));
    return true;
}

// The listing itself is the directory reader's; admission is ours.
bool nfs2_readdir(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs_readdir_args *a = static_cast<const nfs_readdir_args *>(args);
    nfs_dirlist *r = static_cast<nfs_dirlist *>(result);
    r->status = nfs_admit(xp, a->fh);
    return r->status != NFS_OK || nfs2_readdir_run(xp, call, args, result);
}

bool nfs2_statfs(xprt *xp, rpc_call *, void *args, void *result) {
    const nfs2_fh_args *a = static_cast<const nfs2_fh_args *>(args);
    nfs2_statfs_res *r = static_cast<nfs2_statfs_res *>(result);
    r->status = nfs_admit(xp, a->fh.bytes);
    if (r->status == NFS_OK) r->status = nfs_statfs(&a->fh, &r->fs);
    r->tsize = config.datasize;
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

// clang-format off
const rpc_proc nfs2_procs[] = {
 // no  name         decoder              args                        handler        encoder               result
    {0, "null",      nullptr,             0,                          nfs2_null,     rpc_void_result,      0,
     nullptr, nullptr, nullptr, 0},
    {1, "getattr",   nfs2_decode_fh,      FH,                         nfs2_getattr,  nfs2_encode_attr,     ATTR,
     "nfs_getattr: cannot read args\n", nullptr, nullptr, 0},
    {2, "setattr",   nfs2_decode_sattr,   sizeof(nfs2_sattr_args),    nfs2_setattr,  nfs2_encode_attr,     ATTR,
     "nfs_setattr: cannot read args\n", &setattr_slot, &setattr_save, ATTR},
    {3, "root",      nullptr,             0,                          nullptr,       nullptr,              0,
     nullptr, nullptr, nullptr, 0},
    {4, "lookup",    nfs2_decode_dirop,   DIROP,                      nfs2_lookup,   nfs2_encode_dirop,    DIROPRES,
     "nfs_lookup: cannot read args\n", nullptr, nullptr, 0},
    {5, "readlink",  nfs2_decode_fh,      FH,                         nfs2_readlink, nfs2_encode_readlink, sizeof(nfs2_readlink_res),
     "nfs_readlink: cannot read args\n", nullptr, nullptr, 0},
    {6, "read",      nfs2_decode_read,    sizeof(nfs2_read_args),     nfs2_read,     nfs2_encode_read,     sizeof(nfs2_read_res),
     "nfs_read: invalid read args\n", nullptr, nullptr, 0},
    {7, "writecache", nullptr,            0,                          nullptr,       nullptr,              0,
     nullptr, nullptr, nullptr, 0},
    {8, "write",     nfs2_decode_write,   sizeof(nfs2_write_args),    nfs2_write,    nfs2_encode_attr,     ATTR,
     "nfs_write: invalid write args\n", nullptr, nullptr, 0},
    {9, "create",    nfs2_decode_create,  sizeof(nfs2_create_args),   nfs2_create,   nfs2_encode_dirop,    DIROPRES,
     "nfs_create: cannot read args\n", &create_slot, &create_save, DIROPRES},
    {10, "remove",   nfs2_decode_dirop,   DIROP,                      nfs2_remove,   nfs2_encode_status,   STATUS,
     "nfs_remove: cannot read args\n", &remove_slot, &remove_save, STATUS},
    {11, "rename",   nfs2_decode_rename,  sizeof(nfs2_rename_args),   nfs2_rename,   nfs2_encode_status,   STATUS,
     "nfs_rename: cannot read args\n", &rename_slot, &rename_save, STATUS},
    {12, "link",     nfs2_decode_link,    sizeof(nfs2_link_args),     nfs2_link,     nfs2_encode_status,   STATUS,
     "nfs_link: cannot read args\n", &link_slot, &link_save, STATUS},
    {13, "symlink",  nfs2_decode_symlink, sizeof(nfs2_symlink_args),  nfs2_symlink,  nfs2_encode_status,   STATUS,
     "nfs_symlink: cannot read args\n", &symlink_slot, &symlink_save, STATUS},
    {14, "mkdir",    nfs2_decode_create,  sizeof(nfs2_create_args),   nfs2_mkdir,    nfs2_encode_dirop,    DIROPRES,
     "nfs_mkdir: cannot read args\n", &mkdir_slot, &mkdir_save, DIROPRES},
    {15, "rmdir",    nfs2_decode_dirop,   DIROP,                      nfs2_rmdir,    nfs2_encode_status,   STATUS,
     "nfs_rmdir: cannot read args\n", &rmdir_slot, &rmdir_save, STATUS},
    {16, "readdir",  nfs2_readdir_decode, sizeof(nfs_readdir_args),   nfs2_readdir,  xdr_readdirres,       sizeof(nfs_dirlist),
     "nfs_readdir: cannot read args\n", nullptr, nullptr, 0},
    {17, "statfs",   nfs2_decode_fh,      FH,                         nfs2_statfs,   nfs2_encode_statfs,   sizeof(nfs2_statfs_res),
     "nfs_statfs: cannot read args\n", nullptr, nullptr, 0},
};
// clang-format on

}  // namespace

const rpc_program nfs2_program = {nfs2_procs, sizeof nfs2_procs / sizeof nfs2_procs[0],
                                  NFS_UNKNOWN_PROC_LOG, nullptr};

void nfs2_dispatch(xprt *xp, rpc_call *call) {
    export_hold_scope hold;  // a reload waits for this call
    rpc_serve(xp, call, &nfs2_program);
}
