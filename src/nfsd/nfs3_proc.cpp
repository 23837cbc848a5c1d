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

// Binds and admits the request's two handles, the first before the second.
uint32_t admit2(nfs_request *q, const nfs_handle *a, const nfs_handle *b) {
    uint32_t status = nfs_request_admit(q, 0, a->bytes);
    return status != NFS_OK ? status : nfs_request_admit(q, 1, b->bytes);
}

// One attribute read for wcc data: 1 when `attr` was filled, else 0.
uint32_t read_attr(nfs_object *o, nfs_attr *attr) {
    return nfs_fh_attr(o, attr) == NFS_OK ? 1 : 0;
}

uint32_t access_granted(uint32_t mode, uint32_t requested) {
    uint32_t granted = 0;
    for (const access_rule &rule : ACCESS_RULES)
        if ((requested & rule.bit) && (mode & rule.mode)) granted |= rule.bit;
    return granted;
}

bool nfs3_null(nfs_request *, void *) {
    return true;
}

// GETATTR, and the attributes that FSINFO, PATHCONF and ACCESS answer with.
uint32_t admitted_attr(nfs_request *q, const nfs_handle *fh, nfs_attr *attr, uint32_t *present) {
    uint32_t status = nfs_request_admit(q, 0, fh->bytes);
    if (status == NFS_OK) status = nfs_fh_attr(&q->obj[0], attr);
    *present = status == NFS_OK;
    return status;
}

bool nfs3_getattr(nfs_request *q, void *result) {
    nfs3_attr_res *r = static_cast<nfs3_attr_res *>(result);
    r->status = admitted_attr(q, &nfs_args<nfs3_fh_args>(q)->fh, &r->attr, &r->present);
    return true;
}

// The guard was not decoded: the change is applied whatever the ctime.
bool nfs3_setattr(nfs_request *q, void *result) {
    const nfs3_setattr_args *a = nfs_args<nfs3_setattr_args>(q);
    nfs3_wcc_res *r = static_cast<nfs3_wcc_res *>(result);
    r->status = nfs_request_admit(q, 0, a->fh.bytes);
    if (r->status != NFS_OK) return true;
    r->before_present = read_attr(&q->obj[0], &r->before);
    r->status = nfs_setattr(&q->obj[0], &a->sattr, &r->after);
    r->after_present = r->status == NFS_OK;
    return true;
}

bool nfs3_lookup(nfs_request *q, void *result) {
    const nfs3_dirop_args *a = nfs_args<nfs3_dirop_args>(q);
    nfs3_lookup_res *r = static_cast<nfs3_lookup_res *>(result);
    r->status = nfs_request_admit(q, 0, a->dir.bytes);
    if (r->status != NFS_OK) return true;
    r->status = nfs_lookup(&q->obj[0], a->name, &r->fh, &r->obj);
    r->obj_present = r->status == NFS_OK;
    r->dir_present = read_attr(&q->obj[0], &r->dir);
    return true;
}

bool nfs3_access(nfs_request *q, void *result) {
    const nfs3_access_args *a = nfs_args<nfs3_access_args>(q);
    nfs3_access_res *r = static_cast<nfs3_access_res *>(result);
    r->status = admitted_attr(q, &a->fh, &r->attr, &r->present);
    if (r->status == NFS_OK) r->access = access_granted(r->attr.mode, a->access);
    return true;
}

bool nfs3_readlink(nfs_request *q, void *result) {
    const nfs3_fh_args *a = nfs_args<nfs3_fh_args>(q);
    nfs3_readlink_res *r = static_cast<nfs3_readlink_res *>(result);
    r->status = nfs_request_admit(q, 0, a->fh.bytes);
    if (r->status != NFS_OK) return true;
    char text[NFS_LINK_MAX];
    r->status = nfs_readlink(&q->obj[0], text, sizeof text);
    if (r->status == NFS_OK) r->status = nfs_readlink_text(text, r->text, &r->length);
    if (r->status == NFS_OK) r->present = read_attr(&q->obj[0], &r->attr);
    return true;
}

// The data goes straight to its place in the reply buffer (or the reply's
// pipe). A count above "Datasize" is lowered, not refused.
bool nfs3_read(nfs_request *q, void *result) {
    const nfs3_read_args *a = nfs_args<nfs3_read_args>(q);
    nfs3_read_res *r = static_cast<nfs3_read_res *>(result);
    r->status = nfs_request_admit(q, 0, a->fh.bytes);
    if (r->status != NFS_OK) return true;
    uint32_t room;
    uint8_t *dest = nfs_reply_data(q->xp, q->call, NFS3_READ_DATA, &room);
    uint32_t want = std::min({a->count, nfs_transfer_max(q->xp), room});
    uint32_t count = want;
    r->status = nfs_read(&q->obj[0], a->offset, &count, dest, &r->attr, q->xp);
    r->present = r->status == NFS_OK;
    r->count = count;
    r->eof = count == 0 || count < want;
    return true;
}

// DATA_SYNC is answered as FILE_SYNC: the flush covers the attributes too.
bool nfs3_write(nfs_request *q, void *result) {
    const nfs3_write_args *a = nfs_args<nfs3_write_args>(q);
    nfs3_write_res *r = static_cast<nfs3_write_res *>(result);
    r->status = nfs_request_admit(q, 0, a->fh.bytes);
    if (r->status != NFS_OK) return true;
    uint32_t count = std::min(a->count, config.datasize);
    r->status = nfs_write(&q->obj[0], a->offset, &count, a->stable != NFS3_UNSTABLE, a->data,
                          NFS3_MAX_SIZE, &r->after);
    r->after_present = r->status == NFS_OK;
    r->count = count;
    r->committed = a->stable == NFS3_DATA_SYNC ? NFS3_FILE_SYNC : a->stable;
    return true;
}

// The common frame of CREATE, MKDIR, SYMLINK and MKNOD: admission, the
// directory's attributes before, the work, the attributes after.
template <typename Args, typename Work>
bool make_in_dir(nfs_request *q, Args *a, nfs3_create_res *r, Work work) {
    r->status = nfs_request_admit(q, 0, a->where.dir.bytes);
    if (r->status != NFS_OK) return true;
    r->before_present = read_attr(&q->obj[0], &r->before);
    r->status = work(&q->obj[0]);
    r->obj_present = r->status == NFS_OK;
    r->after_present = read_attr(&q->obj[0], &r->after);
    return true;
}

bool nfs3_create(nfs_request *q, void *result) {
    nfs3_create_args *a = nfs_args<nfs3_create_args>(q);
    nfs3_create_res *r = static_cast<nfs3_create_res *>(result);
    a->sattr.mode &= NFS_PERM_BITS;
    return make_in_dir(q, a, r, [&](nfs_object *dir) {
        return nfs_create(dir, a->where.name, a->mode, &a->sattr, r->fh.bytes, &r->obj);
    });
}

// The directory's own sattr3 is not applied.
bool nfs3_mkdir(nfs_request *q, void *result) {
    nfs3_create_args *a = nfs_args<nfs3_create_args>(q);
    nfs3_create_res *r = static_cast<nfs3_create_res *>(result);
    return make_in_dir(q, a, r, [&](nfs_object *dir) {
        return file_mkdir(dir, a->where.name, r->fh.bytes, &r->obj);
    });
}

// The new link's handle and attributes come from a LOOKUP of its name.
bool nfs3_symlink(nfs_request *q, void *result) {
    nfs3_symlink_args *a = nfs_args<nfs3_symlink_args>(q);
    nfs3_create_res *r = static_cast<nfs3_create_res *>(result);
    return make_in_dir(q, a, r, [&](nfs_object *dir) {
        uint32_t status = nfs_symlink(dir, a->where.name, &a->sattr, a->text, a->text_length);
        if (status != NFS_OK) return status;
        return nfs_lookup(dir, a->where.name, &r->fh, &r->obj);
    });
}

// Devices only: sockets and FIFOs have no form on the disk.
bool nfs3_mknod(nfs_request *q, void *result) {
    nfs3_mknod_args *a = nfs_args<nfs3_mknod_args>(q);
    nfs3_create_res *r = static_cast<nfs3_create_res *>(result);
    return make_in_dir(q, a, r, [&](nfs_object *dir) -> uint32_t {
        switch (a->type) {
            case NFBLK:
            case NFCHR:
                return nfs_mknod(dir, a->where.name, a->type, &a->sattr, a->minor, a->major,
                                 r->fh.bytes, &r->obj);
            case NF3SOCK:
            case NF3FIFO:
                return NFSERR_NOTSUPP;
            default:
                return NFSERR_BADTYPE;
        }
    });
}

// REMOVE and RMDIR: the directory's attributes around the work.
bool remove_in_dir(nfs_request *q, void *result, uint32_t (*work)(nfs_object *, const char *)) {
    const nfs3_dirop_args *a = nfs_args<nfs3_dirop_args>(q);
    nfs3_wcc_res *r = static_cast<nfs3_wcc_res *>(result);
    r->status = nfs_request_admit(q, 0, a->dir.bytes);
    if (r->status != NFS_OK) return true;
    r->before_present = read_attr(&q->obj[0], &r->before);
    r->status = work(&q->obj[0], a->name);
    r->after_present = read_attr(&q->obj[0], &r->after);
    return true;
}

bool nfs3_remove(nfs_request *q, void *result) {
    return remove_in_dir(q, result, file_unlink);
}

bool nfs3_rmdir(nfs_request *q, void *result) {
    return remove_in_dir(q, result, file_rmdir);
}

bool nfs3_rename(nfs_request *q, void *result) {
    const nfs3_rename_args *a = nfs_args<nfs3_rename_args>(q);
    nfs3_rename_res *r = static_cast<nfs3_rename_res *>(result);
    r->status = admit2(q, &a->from.dir, &a->to.dir);
    if (r->status != NFS_OK) return true;
    nfs_object *from = &q->obj[0], *to = &q->obj[1];
    r->from_before_present = read_attr(from, &r->from_before);
    r->to_before_present = read_attr(to, &r->to_before);
    r->status = file_rename(from, to, a->from.name, a->to.name);
    r->from_after_present = read_attr(from, &r->from_after);
    r->to_after_present = read_attr(to, &r->to_after);
    return true;
}

bool nfs3_link(nfs_request *q, void *result) {
    const nfs3_link_args *a = nfs_args<nfs3_link_args>(q);
    nfs3_link_res *r = static_cast<nfs3_link_res *>(result);
    r->status = admit2(q, &a->file, &a->to.dir);
    if (r->status != NFS_OK) return true;
    nfs_object *file = &q->obj[0], *dir = &q->obj[1];
    r->before_present = read_attr(dir, &r->before);
    r->status = nfs_link(file, dir, a->to.name);
    r->after_present = read_attr(dir, &r->after);
    // The link count and times as they are after the link.
    if (r->status == NFS_OK) r->file_present = read_attr(file, &r->file);
    return true;
}

// READDIR and READDIRPLUS: the listing is the directory reader's;
// admission is ours. READDIRPLUS entries are written at their place in the
// reply, where the encoder finds them.
bool readdir3(nfs_request *q, void *result, uint32_t form) {
    const nfs_readdir_args *a = nfs_args<nfs_readdir_args>(q);
    nfs_dirlist *r = static_cast<nfs_dirlist *>(result);
    r->status = nfs_request_admit(q, 0, a->fh);
    if (r->status != NFS_OK) return true;
    uint32_t room;
    uint8_t *body = rpc_reply_body(q->xp, q->call, &room);
    nfs_readdir_args lowered = nfs_readdir_lowered(q->xp, a);
    nfs_dirlist_fill(r, &lowered, &q->obj[0], form, body, room);
    return true;
}

bool nfs3_readdir(nfs_request *q, void *result) {
    return readdir3(q, result, NFS_DIR_V3);
}

bool nfs3_readdirplus(nfs_request *q, void *result) {
    return readdir3(q, result, NFS_DIR_PLUS);
}

bool nfs3_fsstat(nfs_request *q, void *result) {
    const nfs3_fh_args *a = nfs_args<nfs3_fh_args>(q);
    nfs3_fsstat_res *r = static_cast<nfs3_fsstat_res *>(result);
    r->status = nfs_request_admit(q, 0, a->fh.bytes);
    if (r->status != NFS_OK) return true;
    r->status = nfs_statfs(&q->obj[0], &r->fs);
    r->present = read_attr(&q->obj[0], &r->attr);
    return true;
}

bool nfs3_fsinfo(nfs_request *q, void *result) {
    nfs3_fsinfo_res *r = static_cast<nfs3_fsinfo_res *>(result);
    r->status = admitted_attr(q, &nfs_args<nfs3_fh_args>(q)->fh, &r->attr, &r->present);
    r->datasize = nfs_transfer_max(q->xp);
    return true;
}

bool nfs3_pathconf(nfs_request *q, void *result) {
    nfs3_pathconf_res *r = static_cast<nfs3_pathconf_res *>(result);
    r->status = admitted_attr(q, &nfs_args<nfs3_fh_args>(q)->fh, &r->attr, &r->present);
    const export_entry *exp = q->obj[0].exp;
    if (r->status != NFS_OK || !exp) return true;
    r->name_max = export_load(exp->max_name);
    r->case_preserving = !(export_load(exp->flags) & EXP_LOWERCASE);
    return true;
}

bool nfs3_commit(nfs_request *q, void *result) {
    const nfs3_commit_args *a = nfs_args<nfs3_commit_args>(q);
    nfs3_write_res *r = static_cast<nfs3_write_res *>(result);
    r->status = nfs_request_admit(q, 0, a->fh.bytes);
    if (r->status == NFS_OK) r->status = nfs_commit(&q->obj[0], a->offset, a->count, &r->after);
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

const rpc_proc nfs3_procs[] = {
    {.number = 0, .name = "null", .run = nfs_request_run<nfs3_null>, .encode = rpc_void_result,
     .quick = true},
    {.number = 1, .name = "getattr", .decode = nfs3_decode_fh, .args_size = FH,
     .run = nfs_request_run<nfs3_getattr>, .encode = nfs3_encode_getattr, .result_size = ATTR,
     .garbage_log = "nfs3_getattr: cannot read args\n", .quick = true},
    {.number = 2, .name = "setattr", .decode = nfs3_decode_setattr,
     .args_size = sizeof(nfs3_setattr_args), .run = nfs_request_run<nfs3_setattr>,
     .encode = nfs3_encode_wcc, .result_size = WCC,
     .garbage_log = "nfs3_setattr: cannot read args\n", .slot = &setattr_slot,
     .save = &setattr_save, .save_size = WCC},
    {.number = 3, .name = "lookup", .decode = nfs3_decode_dirop, .args_size = DIROP,
     .run = nfs_request_run<nfs3_lookup>, .encode = nfs3_encode_lookup,
     .result_size = sizeof(nfs3_lookup_res), .garbage_log = "nfs3_lookup: cannot read args\n",
     .quick = true},
    {.number = 4, .name = "access", .decode = nfs3_decode_access,
     .args_size = sizeof(nfs3_access_args), .run = nfs_request_run<nfs3_access>,
     .encode = nfs3_encode_access, .result_size = sizeof(nfs3_access_res),
     .garbage_log = "nfs3_access: cannot read args\n", .quick = true},
    {.number = 5, .name = "readlink", .decode = nfs3_decode_fh, .args_size = FH,
     .run = nfs_request_run<nfs3_readlink>, .encode = nfs3_encode_readlink,
     .result_size = sizeof(nfs3_readlink_res), .garbage_log = "nfs3_readlink: cannot read args\n",
     .quick = true},
    {.number = 6, .name = "read", .decode = nfs3_decode_read, .args_size = sizeof(nfs3_read_args),
     .run = nfs_request_run<nfs3_read>, .encode = nfs3_encode_read,
     .result_size = sizeof(nfs3_read_res), .garbage_log = "nfs3_read: invalid read args\n"},
    {.number = 7, .name = "write", .decode = nfs3_decode_write,
     .args_size = sizeof(nfs3_write_args), .run = nfs_request_run<nfs3_write>,
     .encode = nfs3_encode_write, .result_size = sizeof(nfs3_write_res),
     .garbage_log = "nfs3_write: invalid write args\n"},
    {.number = 8, .name = "create", .decode = nfs3_decode_create,
     .args_size = sizeof(nfs3_create_args), .run = nfs_request_run<nfs3_create>,
     .encode = nfs3_encode_create, .result_size = MADE,
     .garbage_log = "nfs3_create: cannot read args\n", .slot = &create_slot, .save = &create_save,
     .save_size = MADE},
    {.number = 9, .name = "mkdir", .decode = nfs3_decode_mkdir,
     .args_size = sizeof(nfs3_create_args), .run = nfs_request_run<nfs3_mkdir>,
     .encode = nfs3_encode_create, .result_size = MADE,
     .garbage_log = "nfs3_mkdir: cannot read args\n", .slot = &mkdir_slot, .save = &mkdir_save,
     .save_size = MADE},
    {.number = 10, .name = "symlink", .decode = nfs3_decode_symlink,
     .args_size = sizeof(nfs3_symlink_args), .run = nfs_request_run<nfs3_symlink>,
     .encode = nfs3_encode_create, .result_size = MADE,
     .garbage_log = "nfs3_symlink: cannot read args\n", .slot = &symlink_slot,
     .save = &symlink_save, .save_size = MADE},
    {.number = 11, .name = "mknod", .decode = nfs3_decode_mknod,
     .args_size = sizeof(nfs3_mknod_args), .run = nfs_request_run<nfs3_mknod>,
     .encode = nfs3_encode_create, .result_size = MADE,
     .garbage_log = "nfs3_mknod: cannot read args\n", .slot = &mknod_slot, .save = &mknod_save,
     .save_size = MADE},
    {.number = 12, .name = "remove", .decode = nfs3_decode_dirop, .args_size = DIROP,
     .run = nfs_request_run<nfs3_remove>, .encode = nfs3_encode_wcc, .result_size = WCC,
     .garbage_log = "nfs3_remove: cannot read args\n", .slot = &remove_slot, .save = &remove_save,
     .save_size = WCC},
    {.number = 13, .name = "rmdir", .decode = nfs3_decode_dirop, .args_size = DIROP,
     .run = nfs_request_run<nfs3_rmdir>, .encode = nfs3_encode_wcc, .result_size = WCC,
     .garbage_log = "nfs3_rmdir: cannot read args\n", .slot = &rmdir_slot, .save = &rmdir_save,
     .save_size = WCC},
    {.number = 14, .name = "rename", .decode = nfs3_decode_rename,
     .args_size = sizeof(nfs3_rename_args), .run = nfs_request_run<nfs3_rename>,
     .encode = nfs3_encode_rename, .result_size = sizeof(nfs3_rename_res),
     .garbage_log = "nfs3_rename: cannot read args\n", .slot = &rename_slot, .save = &rename_save,
     .save_size = sizeof(nfs3_rename_res)},
    {.number = 15, .name = "link", .decode = nfs3_decode_link, .args_size = sizeof(nfs3_link_args),
     .run = nfs_request_run<nfs3_link>, .encode = nfs3_encode_link,
     .result_size = sizeof(nfs3_link_res), .garbage_log = "nfs3_link: cannot read args\n",
     .slot = &link_slot, .save = &link_save, .save_size = sizeof(nfs3_link_res)},
    {.number = 16, .name = "readdir", .decode = nfs3_readdir_decode, .args_size = READDIR,
     .run = nfs_request_run<nfs3_readdir>, .encode = xdr_readdir3res, .result_size = DIRLIST,
     .garbage_log = "nfs3_readdir: cannot read args\n"},
    {.number = 17, .name = "readdirplus", .decode = nfs3_readdirplus_decode, .args_size = READDIR,
     .run = nfs_request_run<nfs3_readdirplus>, .encode = xdr_readdirplus3res,
     .result_size = DIRLIST, .garbage_log = "nfs3_readdirplus: cannot read args\n"},
    {.number = 18, .name = "fsstat", .decode = nfs3_decode_fh, .args_size = FH,
     .run = nfs_request_run<nfs3_fsstat>, .encode = nfs3_encode_fsstat,
     .result_size = sizeof(nfs3_fsstat_res), .garbage_log = "nfs3_fsstat: cannot read args\n",
     .quick = true},
    {.number = 19, .name = "fsinfo", .decode = nfs3_decode_fh, .args_size = FH,
     .run = nfs_request_run<nfs3_fsinfo>, .encode = nfs3_encode_fsinfo,
     .result_size = sizeof(nfs3_fsinfo_res), .garbage_log = "nfs3_fsinfo: cannot read args\n",
     .quick = true},
    {.number = 20, .name = "pathconf", .decode = nfs3_decode_fh, .args_size = FH,
     .run = nfs_request_run<nfs3_pathconf>, .encode = nfs3_encode_pathconf,
     .result_size = sizeof(nfs3_pathconf_res), .garbage_log = "nfs3_pathconf: cannot read args\n",
     .quick = true},
    {.number = 21, .name = "commit", .decode = nfs3_decode_commit,
     .args_size = sizeof(nfs3_commit_args), .run = nfs_request_run<nfs3_commit>,
     .encode = nfs3_encode_commit, .result_size = sizeof(nfs3_write_res),
     .garbage_log = "nfs3_commit: cannot read args\n"},
};

}  // namespace

const rpc_program nfs3_program = {nfs3_procs, sizeof nfs3_procs / sizeof nfs3_procs[0],
                                  NFS_UNKNOWN_PROC_LOG, nullptr};

void nfs3_dispatch(xprt *xp, rpc_call *call) {
    export_hold_scope hold;  // a reload waits for this call
    rpc_serve(xp, call, &nfs3_program);
}
