// Version 3 decoders and encoders (RFC 1813 layouts).
#include "nfsd/nfs3_xdr.h"

#include <cstring>
#include <ctime>

#include "names/nfs_status.h"

namespace {

enum : uint32_t {  // time_how
    DONT_CHANGE = 0,
    SET_TO_SERVER_TIME = 1,
    SET_TO_CLIENT_TIME = 2,
};
enum : uint32_t {  // createmode3
    UNCHECKED = 0,
    GUARDED = 1,
    EXCLUSIVE = 2,
};

// FSINFO's fixed answers.
constexpr uint32_t FSINFO_MULT = 4096;
constexpr uint64_t FSINFO_MAX_FILE_SIZE = 0xFFFFFFFFFFFFFFFEull;
constexpr uint32_t FSINFO_TIME_DELTA_SEC = 1;
constexpr uint32_t FSF3_LINK = 0x1, FSF3_SYMLINK = 0x2, FSF3_HOMOGENEOUS = 0x8,
                   FSF3_CANSETTIME = 0x10;
constexpr uint32_t FSINFO_PROPERTIES = FSF3_LINK | FSF3_SYMLINK | FSF3_HOMOGENEOUS | FSF3_CANSETTIME;
// FSSTAT: file counts the volume cannot tell.
constexpr uint64_t FSSTAT_FILES = 65535;
// PATHCONF
constexpr uint32_t PATHCONF_LINK_MAX = 1;

const uint8_t zero_verifier[NFS_VERIFIER_SIZE] = {};

bool get_fh(rpc_call *call, nfs_handle *fh) {
    return nfs_get_fh3(call, fh->bytes);
}

bool get_dirop(rpc_call *call, nfs3_dirop_args *a) {
    return get_fh(call, &a->dir) && nfs_get_name(call, a->name);
}

// An XDR bool: 0 or 1, nothing else.
bool get_bool(rpc_call *call, uint32_t *value) {
    return xdr_get_u32(call, value) && *value <= 1;
}

bool get_time(rpc_call *call, uint32_t *how, uint32_t *sec, uint32_t *nsec) {
    if (!xdr_get_u32(call, how)) return false;
    switch (*how) {
        case DONT_CHANGE:
            return true;
        case SET_TO_SERVER_TIME:
            *sec = uint32_t(time(nullptr));
            *nsec = 0;
            return true;
        case SET_TO_CLIENT_TIME:
            return xdr_get_u32(call, sec) && xdr_get_u32(call, nsec);
        default:
            return false;
    }
}

// sattr3: four optional values and two time_how; six words at least.
bool get_sattr(rpc_call *call, nfs_sattr *s) {
    return get_bool(call, &s->set_mode) && (!s->set_mode || xdr_get_u32(call, &s->mode)) &&
           get_bool(call, &s->set_uid) && (!s->set_uid || xdr_get_u32(call, &s->uid)) &&
           get_bool(call, &s->set_gid) && (!s->set_gid || xdr_get_u32(call, &s->gid)) &&
           get_bool(call, &s->set_size) && (!s->set_size || xdr_get_u64(call, &s->size)) &&
           get_time(call, &s->set_atime, &s->atime_sec, &s->atime_nsec) &&
           get_time(call, &s->set_mtime, &s->mtime_sec, &s->mtime_nsec);
}

// A new file's owner, when the client names none, is the caller as sent.
void default_owner(const rpc_call *call, nfs_sattr *s) {
    if (!s->set_uid) s->uid = call->unix_cred.uid;
    if (!s->set_gid) s->gid = call->unix_cred.gid;
}

void put_fh(xdr_out *o, const nfs_handle *fh) {
    xdr_opaque(o, fh->bytes, FH3_SIZE);
}

void put_wcc(xdr_out *o, uint32_t before_present, const nfs_attr *before,
             uint32_t after_present, const nfs_attr *after) {
    xdr_pre_op_attr(o, before_present != 0, before);
    xdr_post_op_attr(o, after_present != 0, after);
}

// Status and post_op_attr: the start of every reply with object attributes.
void put_status_attr(xdr_out *o, uint32_t status, uint32_t present, const nfs_attr *attr) {
    xdr_u32(o, status);
    xdr_post_op_attr(o, present != 0, attr);
}

}  // namespace

// ---- Decoders ----------------------------------------------------------------

bool nfs3_decode_fh(rpc_call *call, void *args) {
    return get_fh(call, &static_cast<nfs3_fh_args *>(args)->fh);
}

bool nfs3_decode_setattr(rpc_call *call, void *args) {
    nfs3_setattr_args *a = static_cast<nfs3_setattr_args *>(args);
    return get_fh(call, &a->fh) && get_sattr(call, &a->sattr);
}

bool nfs3_decode_dirop(rpc_call *call, void *args) {
    return get_dirop(call, static_cast<nfs3_dirop_args *>(args));
}

bool nfs3_decode_access(rpc_call *call, void *args) {
    nfs3_access_args *a = static_cast<nfs3_access_args *>(args);
    return get_fh(call, &a->fh) && xdr_get_u32(call, &a->access);
}

bool nfs3_decode_read(rpc_call *call, void *args) {
    nfs3_read_args *a = static_cast<nfs3_read_args *>(args);
    return get_fh(call, &a->fh) && xdr_get_u64(call, &a->offset) && xdr_get_u32(call, &a->count);
}

// The data's length word must repeat count, and all of it must be there.
bool nfs3_decode_write(rpc_call *call, void *args) {
    nfs3_write_args *a = static_cast<nfs3_write_args *>(args);
    uint32_t length;
    return get_fh(call, &a->fh) && xdr_get_u64(call, &a->offset) &&
           xdr_get_u32(call, &a->count) && xdr_get_u32(call, &a->stable) &&
           a->stable <= NFS3_FILE_SYNC && nfs_get_opaque_ref(call, a->count, &a->data, &length) &&
           length == a->count;
}

bool nfs3_decode_create(rpc_call *call, void *args) {
    nfs3_create_args *a = static_cast<nfs3_create_args *>(args);
    if (!get_dirop(call, &a->where) || !xdr_get_u32(call, &a->mode)) return false;
    if (a->mode == EXCLUSIVE) {
        uint32_t verifier[2];
        return xdr_get_u32(call, &verifier[0]) && xdr_get_u32(call, &verifier[1]);
    }
    if (a->mode != UNCHECKED && a->mode != GUARDED) return false;
    if (!get_sattr(call, &a->sattr)) return false;
    default_owner(call, &a->sattr);
    return true;
}

bool nfs3_decode_mkdir(rpc_call *call, void *args) {
    nfs3_create_args *a = static_cast<nfs3_create_args *>(args);
    if (!get_dirop(call, &a->where) || !get_sattr(call, &a->sattr)) return false;
    default_owner(call, &a->sattr);
    return true;
}

bool nfs3_decode_symlink(rpc_call *call, void *args) {
    nfs3_symlink_args *a = static_cast<nfs3_symlink_args *>(args);
    if (!get_dirop(call, &a->where) || !get_sattr(call, &a->sattr) ||
        !nfs_get_link_text(call, a->text, &a->text_length))
        return false;
    default_owner(call, &a->sattr);
    return true;
}

// Devices carry attributes and numbers, sockets and FIFOs attributes; for
// any other type nothing follows.
bool nfs3_decode_mknod(rpc_call *call, void *args) {
    nfs3_mknod_args *a = static_cast<nfs3_mknod_args *>(args);
    if (!get_dirop(call, &a->where) || !xdr_get_u32(call, &a->type)) return false;
    switch (a->type) {
        case NFBLK:
        case NFCHR:
            if (!get_sattr(call, &a->sattr) || !xdr_get_u32(call, &a->major) ||
                !xdr_get_u32(call, &a->minor))
                return false;
            break;
        case NF3SOCK:
        case NF3FIFO:
            if (!get_sattr(call, &a->sattr)) return false;
            break;
        default:
            return true;
    }
    default_owner(call, &a->sattr);
    return true;
}

bool nfs3_decode_rename(rpc_call *call, void *args) {
    nfs3_rename_args *a = static_cast<nfs3_rename_args *>(args);
    return get_dirop(call, &a->from) && get_dirop(call, &a->to);
}

bool nfs3_decode_link(rpc_call *call, void *args) {
    nfs3_link_args *a = static_cast<nfs3_link_args *>(args);
    return get_fh(call, &a->file) && get_dirop(call, &a->to);
}

bool nfs3_decode_commit(rpc_call *call, void *args) {
    nfs3_commit_args *a = static_cast<nfs3_commit_args *>(args);
    return get_fh(call, &a->fh) && xdr_get_u64(call, &a->offset) && xdr_get_u32(call, &a->count);
}

// ---- Encoders ----------------------------------------------------------------

void nfs3_encode_getattr(xdr_out *o, const void *result) {
    const nfs3_attr_res *r = static_cast<const nfs3_attr_res *>(result);
    xdr_u32(o, r->status);
    if (r->status == NFS_OK) xdr_fattr3(o, &r->attr);
}

void nfs3_encode_wcc(xdr_out *o, const void *result) {
    const nfs3_wcc_res *r = static_cast<const nfs3_wcc_res *>(result);
    xdr_u32(o, r->status);
    put_wcc(o, r->before_present, &r->before, r->after_present, &r->after);
}

void nfs3_encode_lookup(xdr_out *o, const void *result) {
    const nfs3_lookup_res *r = static_cast<const nfs3_lookup_res *>(result);
    xdr_u32(o, r->status);
    if (r->status == NFS_OK) {
        put_fh(o, &r->fh);
        xdr_post_op_attr(o, r->obj_present != 0, &r->obj);
    }
    xdr_post_op_attr(o, r->dir_present != 0, &r->dir);
}

void nfs3_encode_access(xdr_out *o, const void *result) {
    const nfs3_access_res *r = static_cast<const nfs3_access_res *>(result);
    put_status_attr(o, r->status, r->present, &r->attr);
    if (r->status == NFS_OK) xdr_u32(o, r->access);
}

void nfs3_encode_readlink(xdr_out *o, const void *result) {
    const nfs3_readlink_res *r = static_cast<const nfs3_readlink_res *>(result);
    put_status_attr(o, r->status, r->present, &r->attr);
    if (r->status == NFS_OK) xdr_opaque(o, r->text, r->length);
}

void nfs3_encode_read(xdr_out *o, const void *result) {
    const nfs3_read_res *r = static_cast<const nfs3_read_res *>(result);
    put_status_attr(o, r->status, r->present, &r->attr);
    if (r->status != NFS_OK) return;
    const uint32_t words[] = {r->count, r->eof, r->count};
    xdr_u32s(o, words, 3);
    nfs_put_data_in_place(o, r->count);
}

void nfs3_encode_write(xdr_out *o, const void *result) {
    const nfs3_write_res *r = static_cast<const nfs3_write_res *>(result);
    xdr_u32(o, r->status);
    put_wcc(o, 0, nullptr, r->after_present, &r->after);
    if (r->status != NFS_OK) return;
    xdr_u32(o, r->count);
    xdr_u32(o, r->committed);
    xdr_fixed(o, zero_verifier, NFS_VERIFIER_SIZE);
}

void nfs3_encode_create(xdr_out *o, const void *result) {
    const nfs3_create_res *r = static_cast<const nfs3_create_res *>(result);
    xdr_u32(o, r->status);
    if (r->status == NFS_OK) {
        xdr_u32(o, 1);  // handle follows
        put_fh(o, &r->fh);
        xdr_post_op_attr(o, r->obj_present != 0, &r->obj);
    }
    put_wcc(o, r->before_present, &r->before, r->after_present, &r->after);
}

void nfs3_encode_rename(xdr_out *o, const void *result) {
    const nfs3_rename_res *r = static_cast<const nfs3_rename_res *>(result);
    xdr_u32(o, r->status);
    put_wcc(o, r->from_before_present, &r->from_before, r->from_after_present, &r->from_after);
    put_wcc(o, r->to_before_present, &r->to_before, r->to_after_present, &r->to_after);
}

void nfs3_encode_link(xdr_out *o, const void *result) {
    const nfs3_link_res *r = static_cast<const nfs3_link_res *>(result);
    put_status_attr(o, r->status, r->file_present, &r->file);
    put_wcc(o, r->before_present, &r->before, r->after_present, &r->after);
}

void nfs3_encode_fsstat(xdr_out *o, const void *result) {
    const nfs3_fsstat_res *r = static_cast<const nfs3_fsstat_res *>(result);
    put_status_attr(o, r->status, r->present, &r->attr);
    if (r->status != NFS_OK) return;
    uint64_t free_bytes = r->fs.bfree * NFS_BLOCK_SIZE;
    xdr_u64(o, r->fs.blocks * NFS_BLOCK_SIZE);
    xdr_u64(o, free_bytes);
    xdr_u64(o, free_bytes);
    for (int i = 0; i < 3; i++) xdr_u64(o, FSSTAT_FILES);
    xdr_u32(o, 0);  // invarsec: may change at any time
}

void nfs3_encode_fsinfo(xdr_out *o, const void *result) {
    const nfs3_fsinfo_res *r = static_cast<const nfs3_fsinfo_res *>(result);
    put_status_attr(o, r->status, r->present, &r->attr);
    if (r->status != NFS_OK) return;
    uint32_t d = r->datasize;
    const uint32_t sizes[] = {d, d, FSINFO_MULT, d, d, FSINFO_MULT, d};
    xdr_u32s(o, sizes, 7);
    xdr_u64(o, FSINFO_MAX_FILE_SIZE);
    const uint32_t rest[] = {FSINFO_TIME_DELTA_SEC, 0, FSINFO_PROPERTIES};
    xdr_u32s(o, rest, 3);
}

void nfs3_encode_pathconf(xdr_out *o, const void *result) {
    const nfs3_pathconf_res *r = static_cast<const nfs3_pathconf_res *>(result);
    put_status_attr(o, r->status, r->present, &r->attr);
    if (r->status != NFS_OK) return;
    // linkmax, name_max, no_trunc, chown_restricted, case_insensitive, case_preserving
    const uint32_t words[] = {PATHCONF_LINK_MAX, r->name_max, 1, 0, 1, r->case_preserving};
    xdr_u32s(o, words, 6);
}

void nfs3_encode_commit(xdr_out *o, const void *result) {
    const nfs3_write_res *r = static_cast<const nfs3_write_res *>(result);
    xdr_u32(o, r->status);
    put_wcc(o, 0, nullptr, r->after_present, &r->after);
    if (r->status == NFS_OK) xdr_fixed(o, zero_verifier, NFS_VERIFIER_SIZE);
}
