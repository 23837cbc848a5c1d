// The NFS version 3 program: one handler per procedure and the table that
// serves them. The handlers share the version 2 backends and add the weak
// cache consistency data: the attributes of the directory (or object) read
// before and after a change, each present when its read succeeded.
#include <algorithm>
#include <cstring>

#include "exports/export.h"
#include "names/nfs_status.h"
#include "nfsd/cache.h"
#include "nfsd/fileops.h"
#include "nfsd/nfs.h"
#include "nfsd/nfs3_xdr.h"
#include "nfsd/readdir.h"
#include "base/config.h"

namespace {

// ACCESS: each requested bit is granted by one owner bit of the mode (every
// file is reported as the caller's own).
struct access_rule {
    uint32_t bit;
    uint32_t mode;
};
constexpr access_rule ACCESS_RULES[] = {
    {0x01, 0400},  // ACCESS3_READ
    {0x02, 0400},  // ACCESS3_LOOKUP
    {0x04, 0200},  // ACCESS3_MODIFY
    {0x08, 0200},  // ACCESS3_EXTEND
    {0x10, 0200},  // ACCESS3_DELETE
    {0x20, 0100},  // ACCESS3_EXECUTE
};

rpc_cred *caller(rpc_call *call) {
    return &call->unix_cred;
}

uint32_t admit2(const xprt *xp, const nfs_handle *a, const nfs_handle *b) {
    uint32_t status = nfs_admit(xp, a->bytes);
    return status != NFS_OK ? status : nfs_admit(xp, b->bytes);
}

// One attribute read for wcc data: 1 when `attr` was filled, else 0.
uint32_t read_attr(const nfs_handle *fh, nfs_attr *attr, rpc_cred *cred) {
    return nfs_fh_attr(fh->bytes, attr, cred) == NFS_OK ? 1 : 0;
}

uint32_t access_granted(uint32_t mode, uint32_t requested) {
    uint32_t granted = 0;
    for (const access_rule &rule : ACCESS_RULES)
        if ((requested & rule.bit) && (mode & rule.mode)) granted |= rule.bit;
    return granted;
}

bool nfs3_null(xprt *, rpc_call *, void *, void *) {
    return true;
}

bool nfs3_getattr(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs3_fh_args *a = static_cast<const nfs3_fh_args *>(args);
    nfs3_attr_res *r = static_cast<nfs3_attr_res *>(result);
    r->status = nfs_admit(xp, a->fh.bytes);
    if (r->status == NFS_OK) r->status = nfs_fh_attr(a->fh.bytes, &r->attr, caller(call));
    r->present = r->status == NFS_OK;
    return true;
}

// The guard was not decoded: the change is applied whatever the ctime.
bool nfs3_setattr(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs3_setattr_args *a = static_cast<const nfs3_setattr_args *>(args);
    nfs3_wcc_res *r = static_cast<nfs3_wcc_res *>(result);
    r->status = nfs_admit(xp, a->fh.bytes);
    if (r->status != NFS_OK) return true;
    r->before_present = read_attr(&a->fh, &r->before, caller(call));
    r->status = nfs_setattr(a->fh.bytes, &a->sattr, &r->after, caller(call));
    r->after_present = r->status == NFS_OK;
    return true;
}

bool nfs3_lookup(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs3_dirop_args *a = static_cast<const nfs3_dirop_args *>(args);
    nfs3_lookup_res *r = static_cast<nfs3_lookup_res *>(result);
    r->status = nfs_admit(xp, a->dir.bytes);
    if (r->status != NFS_OK) return true;
    r->status = nfs_lookup(&a->dir, a->name, caller(call), &r->fh, &r->obj);
    r->obj_present = r->status == NFS_OK;
    r->dir_present = read_attr(&a->dir, &r->dir, caller(call));
    return true;
}

bool nfs3_access(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs3_access_args *a = static_cast<const nfs3_access_args *>(args);
    nfs3_access_res *r = static_cast<nfs3_access_res *>(result);
    r->status = nfs_admit(xp, a->fh.bytes);
    if (r->status == NFS_OK) r->status = nfs_fh_attr(a->fh.bytes, &r->attr, caller(call));
    r->present = r->status == NFS_OK;
    if (r->status == NFS_OK) r->access = access_granted(r->attr.mode, a->access);
    return true;
}

bool nfs3_readlink(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs3_fh_args *a = static_cast<const nfs3_fh_args *>(args);
    nfs3_readlink_res *r = static_cast<nfs3_readlink_res *>(result);
    r->status = nfs_admit(xp, a->fh.bytes);
    if (r->status != NFS_OK) return true;
    char text[NFS_LINK_MAX];
    r->status = nfs_readlink(a->fh.bytes, text, sizeof text);
    if (r->status == NFS_OK) r->status = nfs_readlink_text(text, r->text, &r->length);
    if (r->status == NFS_OK) r->present = read_attr(&a->fh, &r->attr, caller(call));
    return true;
}

// The data goes straight to its place in the reply buffer. A count above
// "Datasize" is lowered, not refused.
bool nfs3_read(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs3_read_args *a = static_cast<const nfs3_read_args *>(args);
    nfs3_read_res *r = static_cast<nfs3_read_res *>(result);
    r->status = nfs_admit(xp, a->fh.bytes);
    if (r->status != NFS_OK) return true;
    uint32_t room;
    uint8_t *dest = nfs_reply_data(xp, call, NFS3_READ_DATA, &room);
    uint32_t want = std::min({a->count, config.datasize, room});
    uint32_t count = want;
    r->status = nfs_read(a->fh.bytes, a->offset, &count, dest, &r->attr, caller(call));
    r->present = r->status == NFS_OK;
    r->count = count;
    r->eof = count == 0 || count < want;
    return true;
}

// DATA_SYNC is answered as FILE_SYNC: the flush covers the attributes too.
bool nfs3_write(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs3_write_args *a = static_cast<const nfs3_write_args *>(args);
    nfs3_write_res *r = static_cast<nfs3_write_res *>(result);
    r->status = nfs_admit(xp, a->fh.bytes);
    if (r->status != NFS_OK) return true;
    uint32_t count = std::min(a->count, config.datasize);
    r->status = nfs_write(a->fh.bytes, a->offset, &count, a->stable != NFS3_UNSTABLE, a->data,
                          NFS3_MAX_SIZE, &r->after, caller(call));
    r->after_present = r->status == NFS_OK;
    r->count = count;
    r->committed = a->stable == NFS3_DATA_SYNC ? NFS3_FILE_SYNC : a->stable;
    return true;
}

// The common frame of CREATE, MKDIR, SYMLINK and MKNOD: admission, the
// directory's attributes before, the work, the attributes after.
template <typename Args, typename Work>
bool make_in_dir(xprt *xp, rpc_call *call, Args *a, nfs3_create_res *r, Work work) {
    r->status = nfs_admit(xp, a->where.dir.bytes);
    if (r->status != NFS_OK) return true;
    r->before_present = read_attr(&a->where.dir, &r->before, caller(call));
    r->status = work();
    r->obj_present = r->status == NFS_OK;
    r->after_present = read_attr(&a->where.dir, &r->after, caller(call));
    return true;
}

bool nfs3_create(xprt *xp, rpc_call *call, void *args, void *result) {
    nfs3_create_args *a = static_cast<nfs3_create_args *>(args);
    nfs3_create_res *r = static_cast<nfs3_create_res *>(result);
    a->sattr.mode &= NFS_PERM_BITS;
    return make_in_dir(xp, call, a, r, [&] {
        return nfs_create(a->where.dir.bytes, a->where.name, a->mode, &a->sattr, r->fh.bytes,
                          &r->obj, caller(call));
    });
}

// The directory's own sattr3 is not applied.
bool nfs3_mkdir(xprt *xp, rpc_call *call, void *args, void *result) {
    nfs3_create_args *a = static_cast<nfs3_create_args *>(args);
    nfs3_create_res *r = static_cast<nfs3_create_res *>(result);
    return make_in_dir(xp, call, a, r, [&] {
        return file_mkdir(a->where.dir.bytes, a->where.name, r->fh.bytes, &r->obj, caller(call));
    });
}

// The new link's handle and attributes come from a LOOKUP of its name.
bool nfs3_symlink(xprt *xp, rpc_call *call, void *args, void *result) {
    nfs3_symlink_args *a = static_cast<nfs3_symlink_args *>(args);
    nfs3_create_res *r = static_cast<nfs3_create_res *>(result);
    return make_in_dir(xp, call, a, r, [&] {
        uint32_t status = nfs_symlink(a->where.dir.bytes, a->where.name, &a->sattr, a->text,
                                      a->text_length, caller(call));
        if (status != NFS_OK) return status;
        return nfs_lookup(&a->where.dir, a->where.name, caller(call), &r->fh, &r->obj);
    });
}

// Devices only: sockets and FIFOs have no form on the disk.
bool nfs3_mknod(xprt *xp, rpc_call *call, void *args, void *result) {
    nfs3_mknod_args *a = static_cast<nfs3_mknod_args *>(args);
    nfs3_create_res *r = static_cast<nfs3_create_res *>(result);
    return make_in_dir(xp, call, a, r, [&]() -> uint32_t {
        switch (a->type) {
            case NFBLK:
            case NFCHR:
                return nfs_mknod(a->where.dir.bytes, a->where.name, a->type, &a->sattr, a->minor,
                                 a->major, r->fh.bytes, &r->obj, caller(call));
            case NF3SOCK:
            case NF3FIFO:
                return NFSERR_NOTSUPP;
            default:
                return NFSERR_BADTYPE;
        }
    });
}

// REMOVE and RMDIR: the directory's attributes around the work.
template <typename Work>
bool remove_in_dir(xprt *xp, rpc_call *call, const nfs3_dirop_args *a, nfs3_wcc_res *r, Work work) {
    r->status = nfs_admit(xp, a->dir.bytes);
    if (r->status != NFS_OK) return true;
    r->before_present = read_attr(&a->dir, &r->before, caller(call));
    r->status = work();
    r->after_present = read_attr(&a->dir, &r->after, caller(call));
    return true;
}

bool nfs3_remove(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs3_dirop_args *a = static_cast<const nfs3_dirop_args *>(args);
    return remove_in_dir(xp, call, a, static_cast<nfs3_wcc_res *>(result),
                         [&] { return file_unlink(a->dir.bytes, a->name, caller(call)); });
}

bool nfs3_rmdir(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs3_dirop_args *a = static_cast<const nfs3_dirop_args *>(args);
    return remove_in_dir(xp, call, a, static_cast<nfs3_wcc_res *>(result),
                         [&] { return file_rmdir(a->dir.bytes, a->name, caller(call)); });
}

bool nfs3_rename(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs3_rename_args *a = static_cast<const nfs3_rename_args *>(args);
    nfs3_rename_res *r = static_cast<nfs3_rename_res *>(result);
    rpc_cred *cred = caller(call);
    r->status = admit2(xp, &a->from.dir, &a->to.dir);
    if (r->status != NFS_OK) return true;
    r->from_before_present = read_attr(&a->from.dir, &r->from_before, cred);
    r->to_before_present = read_attr(&a->to.dir, &r->to_before, cred);
    r->status = file_rename(a->from.dir.bytes, a->to.dir.bytes, a->from.name, a->to.name, cred);
    r->from_after_present = read_attr(&a->from.dir, &r->from_after, cred);
    r->to_after_present = read_attr(&a->to.dir, &r->to_after, cred);
    return true;
}

bool nfs3_link(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs3_link_args *a = static_cast<const nfs3_link_args *>(args);
    nfs3_link_res *r = static_cast<nfs3_link_res *>(result);
    rpc_cred *cred = caller(call);
    r->status = admit2(xp, &a->file, &a->to.dir);
    if (r->status != NFS_OK) return true;
    r->before_present = read_attr(&a->to.dir, &r->before, cred);
    r->status = nfs_link(a->file.bytes, a->to.dir.bytes, a->to.name);
    r->after_present = read_attr(&a->to.dir, &r->after, cred);
    // The link count and times as they are after the link.
    if (r->status == NFS_OK) r->file_present = read_attr(&a->file, &r->file, cred);
    return true;
}

// READDIR and READDIRPLUS: the listing is the directory reader's;
// admission is ours.
bool nfs3_readdir(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs_readdir_args *a = static_cast<const nfs_readdir_args *>(args);
    nfs_dirlist *r = static_cast<nfs_dirlist *>(result);
    r->status = nfs_admit(xp, a->fh);
    return r->status != NFS_OK || nfs3_readdir_run(xp, call, args, result);
}

bool nfs3_fsstat(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs3_fh_args *a = static_cast<const nfs3_fh_args *>(args);
    nfs3_fsstat_res *r = static_cast<nfs3_fsstat_res *>(result);
    r->status = nfs_admit(xp, a->fh.bytes);
    if (r->status != NFS_OK) return true;
    r->status = nfs_statfs(&a->fh, &r->fs);
    r->present = read_attr(&a->fh, &r->attr, caller(call));
    return true;
}

bool nfs3_fsinfo(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs3_fh_args *a = static_cast<const nfs3_fh_args *>(args);
    nfs3_fsinfo_res *r = static_cast<nfs3_fsinfo_res *>(result);
    r->status = nfs_admit(xp, a->fh.bytes);
    if (r->status == NFS_OK) r->status = nfs_fh_attr(a->fh.bytes, &r->attr, caller(call));
    r->present = r->status == NFS_OK;
    r->datasize = config.datasize;
    return true;
}

bool nfs3_pathconf(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs3_fh_args *a = static_cast<const nfs3_fh_args *>(args);
    nfs3_pathconf_res *r = static_cast<nfs3_pathconf_res *>(result);
    r->status = nfs_admit(xp, a->fh.bytes);
    if (r->status == NFS_OK) r->status = nfs_fh_attr(a->fh.bytes, &r->attr, caller(call));
    r->present = r->status == NFS_OK;
    const export_entry *exp = fh_decode(a->fh.bytes);
    if (r->status != NFS_OK || !exp) return true;
    r->name_max = export_load(exp->max_name);
    r->case_preserving = !(export_load(exp->flags) & EXP_LOWERCASE);
    return true;
}

bool nfs3_commit(xprt *xp, rpc_call *call, void *args, void *result) {
    const nfs3_commit_args *a = static_cast<const nfs3_commit_args *>(args);
    nfs3_write_res *r = static_cast<nfs3_write_res *>(result);
    r->status = nfs_admit(xp, a->fh.bytes);
    if (r->status == NFS_OK)
        r->status = nfs_commit(a->fh.bytes, a->offset, a->count, &r->after, caller(call));
    r->after_present = r->status == NFS_OK;
    return true;
}

// Replay slots of the non-idempotent procedures, each with the result
// record its last call answered.
rpc_replay_slot setattr_slot, create_slot, mkdir_slot, symlink_slot, mknod_slot, remove_slot,
    rmdir_slot, rename_slot, link_slot;
nfs3_wcc_res setattr_save, remove_save, rmdir_save;
nfs3_create_res create_save, mkdir_save, symlink_save, mknod_save;
nfs3_rename_res rename_save;
nfs3_link_res link_save;

constexpr uint32_t FH = sizeof(nfs3_fh_args);
constexpr uint32_t DIROP = sizeof(nfs3_dirop_args);
constexpr uint32_t WCC = sizeof(nfs3_wcc_res);
constexpr uint32_t MADE = sizeof(nfs3_create_res);
constexpr uint32_t ATTR = sizeof(nfs3_attr_res);
constexpr uint32_t READDIR = sizeof(nfs_readdir_args);
constexpr uint32_t DIRLIST = sizeof(nfs_dirlist);

// clang-format off
const rpc_proc nfs3_procs[] = {
 // no  name           decoder                  args                        handler           encoder                  result
    {0, "null",        nullptr,                 0,                          nfs3_null,        rpc_void_result,         0,
     nullptr, nullptr, nullptr, 0},
    {1, "getattr",     nfs3_decode_fh,          FH,                         nfs3_getattr,     nfs3_encode_getattr,     ATTR,
     "nfs3_getattr: cannot read args\n", nullptr, nullptr, 0},
    {2, "setattr",     nfs3_decode_setattr,     sizeof(nfs3_setattr_args),  nfs3_setattr,     nfs3_encode_wcc,         WCC,
     "nfs3_setattr: cannot read args\n", &setattr_slot, &setattr_save, WCC},
    {3, "lookup",      nfs3_decode_dirop,       DIROP,                      nfs3_lookup,      nfs3_encode_lookup,      sizeof(nfs3_lookup_res),
     "nfs3_lookup: cannot read args\n", nullptr, nullptr, 0},
    {4, "access",      nfs3_decode_access,      sizeof(nfs3_access_args),   nfs3_access,      nfs3_encode_access,      sizeof(nfs3_access_res),
     "nfs3_access: cannot read args\n", nullptr, nullptr, 0},
    {5, "readlink",    nfs3_decode_fh,          FH,                         nfs3_readlink,    nfs3_encode_readlink,    sizeof(nfs3_readlink_res),
     "nfs3_readlink: cannot read args\n", nullptr, nullptr, 0},
    {6, "read",        nfs3_decode_read,        sizeof(nfs3_read_args),     nfs3_read,        nfs3_encode_read,        sizeof(nfs3_read_res),
     "nfs3_read: invalid read args\n", nullptr, nullptr, 0},
    {7, "write",       nfs3_decode_write,       sizeof(nfs3_write_args),    nfs3_write,       nfs3_encode_write,       sizeof(nfs3_write_res),
     "nfs3_write: invalid write args\n", nullptr, nullptr, 0},
    {8, "create",      nfs3_decode_create,      sizeof(nfs3_create_args),   nfs3_create,      nfs3_encode_create,      MADE,
     "nfs3_create: cannot read args\n", &create_slot, &create_save, MADE},
    {9, "mkdir",       nfs3_decode_mkdir,       sizeof(nfs3_create_args),   nfs3_mkdir,       nfs3_encode_create,      MADE,
     "nfs3_mkdir: cannot read args\n", &mkdir_slot, &mkdir_save, MADE},
    {10, "symlink",    nfs3_decode_symlink,     sizeof(nfs3_symlink_args),  nfs3_symlink,     nfs3_encode_create,      MADE,
     "nfs3_symlink: cannot read args\n", &symlink_slot, &symlink_save, MADE},
    {11, "mknod",      nfs3_decode_mknod,       sizeof(nfs3_mknod_args),    nfs3_mknod,       nfs3_encode_create,      MADE,
     "nfs3_mknod: cannot read args\n", &mknod_slot, &mknod_save, MADE},
    {12, "remove",     nfs3_decode_dirop,       DIROP,                      nfs3_remove,      nfs3_encode_wcc,         WCC,
     "nfs3_remove: cannot read args\n", &remove_slot, &remove_save, WCC},
    {13, "rmdir",      nfs3_decode_dirop,       DIROP,                      nfs3_rmdir,       nfs3_encode_wcc,         WCC,
     "nfs3_rmdir: cannot read args\n", &rmdir_slot, &rmdir_save, WCC},
    {14, "rename",     nfs3_decode_rename,      sizeof(nfs3_rename_args),   nfs3_rename,      nfs3_encode_rename,      sizeof(nfs3_rename_res),
     "nfs3_rename: cannot read args\n", &rename_slot, &rename_save, sizeof(nfs3_rename_res)},
    {15, "link",       nfs3_decode_link,        sizeof(nfs3_link_args),     nfs3_link,        nfs3_encode_link,        sizeof(nfs3_link_res),
     "nfs3_link: cannot read args\n", &link_slot, &link_save, sizeof(nfs3_link_res)},
    {16, "readdir",    nfs3_readdir_decode,     READDIR,                    nfs3_readdir,     xdr_readdir3res,         DIRLIST,
     "nfs3_readdir: cannot read args\n", nullptr, nullptr, 0},
    {17, "readdirplus", nfs3_readdirplus_decode, READDIR,                   nfs3_readdir,     xdr_readdirplus3res,     DIRLIST,
     "nfs3_readdirplus: cannot read args\n", nullptr, nullptr, 0},
    {18, "fsstat",     nfs3_decode_fh,          FH,                         nfs3_fsstat,      nfs3_encode_fsstat,      sizeof(nfs3_fsstat_res),
     "nfs3_fsstat: cannot read args\n", nullptr, nullptr, 0},
    {19, "fsinfo",     nfs3_decode_fh,          FH,                         nfs3_fsinfo,      nfs3_encode_fsinfo,      sizeof(nfs3_fsinfo_res),
     "nfs3_fsinfo: cannot read args\n", nullptr, nullptr, 0},
    {20, "pathconf",   nfs3_decode_fh,          FH,                         nfs3_pathconf,    nfs3_encode_pathconf,    sizeof(nfs3_pathconf_res),
     "nfs3_pathconf: cannot read args\n", nullptr, nullptr, 0},
    {21, "commit",     nfs3_decode_commit,      sizeof(nfs3_commit_args),   nfs3_commit,      nfs3_encode_commit,      sizeof(nfs3_write_res),
     "nfs3_commit: cannot read args\n", nullptr, nullptr, 0},
};
// clang-format on

}  // namespace

const rpc_program nfs3_program = {nfs3_procs, sizeof nfs3_procs / sizeof nfs3_procs[0],
                                  NFS_UNKNOWN_PROC_LOG, nullptr};

void nfs3_dispatch(xprt *xp, rpc_call *call) {
    export_hold_scope hold;  // a reload waits for this call
    rpc_serve(xp, call, &nfs3_program);
}
