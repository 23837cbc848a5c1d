// Version 2 decoders and encoders (RFC 1094 layouts).
#include "nfsd/nfs2_xdr.h"

#include <cstring>

#include "names/nfs_status.h"
#include "base/config.h"

namespace {

constexpr uint32_t NOT_SET = 0xFFFFFFFF;  // a sattr field the client leaves alone
constexpr uint32_t USEC_NSEC = 1000;

bool get_fh(rpc_call *call, nfs_handle *fh) {
    return xdr_get_fixed32(call, fh->bytes);
}

bool get_dirop(rpc_call *call, nfs2_dirop_args *a) {
    return get_fh(call, &a->dir) && nfs_get_name(call, a->name);
}

// sattr: mode, uid, gid, size, atime, mtime; 0xFFFFFFFF (for a time: in
// its seconds) leaves a field alone.
bool get_sattr(rpc_call *call, nfs_sattr *s) {
    uint32_t w[8];
    for (uint32_t &word : w)
        if (!xdr_get_u32(call, &word)) return false;
    if (w[0] != NOT_SET) s->set_mode = 1, s->mode = w[0];
    if (w[1] != NOT_SET) s->set_uid = 1, s->uid = w[1];
    if (w[2] != NOT_SET) s->set_gid = 1, s->gid = w[2];
    if (w[3] != NOT_SET) s->set_size = 1, s->size = w[3];
    if (w[4] != NOT_SET) {
        s->set_atime = NFS_TIME_SERVER;
        s->atime_sec = w[4];
        s->atime_nsec = w[5] * USEC_NSEC;
    }
    if (w[6] != NOT_SET) {
        s->set_mtime = NFS_TIME_SERVER;
        s->mtime_sec = w[6];
        s->mtime_nsec = w[7] * USEC_NSEC;
    }
    return true;
}

// A new file's owner, when the client names none, is the caller as sent.
void default_owner(const rpc_call *call, nfs_sattr *s) {
    if (!s->set_uid) s->uid = call->unix_cred.uid;
    if (!s->set_gid) s->gid = call->unix_cred.gid;
}

void put_fattr_result(xdr_out *o, uint32_t status, const nfs_attr *attr) {
    xdr_u32(o, status);
    if (status == NFS_OK) xdr_fattr(o, attr);
}

// Block counts go out as 32-bit words; a volume too large for them shows
// the largest count rather than a wrapped one.
uint32_t blocks32(uint64_t blocks) {
    return blocks > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(blocks);
}

}  // namespace

// ---- Decoders ----------------------------------------------------------------

bool nfs2_decode_fh(rpc_call *call, void *args) {
    return get_fh(call, &static_cast<nfs2_fh_args *>(args)->fh);
}

bool nfs2_decode_sattr(rpc_call *call, void *args) {
    nfs2_sattr_args *a = static_cast<nfs2_sattr_args *>(args);
    return get_fh(call, &a->fh) && get_sattr(call, &a->sattr);
}

bool nfs2_decode_dirop(rpc_call *call, void *args) {
    return get_dirop(call, static_cast<nfs2_dirop_args *>(args));
}

// file, offset, count, totalcount (which must be there and is not used).
bool nfs2_decode_read(rpc_call *call, void *args) {
    nfs2_read_args *a = static_cast<nfs2_read_args *>(args);
    uint32_t total;
    return get_fh(call, &a->fh) && xdr_get_u32(call, &a->offset) &&
           xdr_get_u32(call, &a->count) && xdr_get_u32(call, &total) &&
           a->count <= config.datasize;
}

// file, beginoffset and totalcount (not used), offset, data.
bool nfs2_decode_write(rpc_call *call, void *args) {
    nfs2_write_args *a = static_cast<nfs2_write_args *>(args);
    uint32_t begin, total;
    return get_fh(call, &a->fh) && xdr_get_u32(call, &begin) && xdr_get_u32(call, &a->offset) &&
           xdr_get_u32(call, &total) &&
           nfs_get_opaque_ref(call, config.datasize, &a->data, &a->count);
}

bool nfs2_decode_create(rpc_call *call, void *args) {
    nfs2_create_args *a = static_cast<nfs2_create_args *>(args);
    if (!get_dirop(call, &a->where) || !get_sattr(call, &a->sattr)) return false;
    default_owner(call, &a->sattr);
    return true;
}

bool nfs2_decode_rename(rpc_call *call, void *args) {
    nfs2_rename_args *a = static_cast<nfs2_rename_args *>(args);
    return get_dirop(call, &a->from) && get_dirop(call, &a->to);
}

bool nfs2_decode_link(rpc_call *call, void *args) {
    nfs2_link_args *a = static_cast<nfs2_link_args *>(args);
    return get_fh(call, &a->from) && get_dirop(call, &a->to);
}

bool nfs2_decode_symlink(rpc_call *call, void *args) {
    nfs2_symlink_args *a = static_cast<nfs2_symlink_args *>(args);
    return get_dirop(call, &a->from) && nfs_get_link_text(call, a->text, &a->text_length) &&
           get_sattr(call, &a->sattr);
}

// ---- Encoders ----------------------------------------------------------------

void nfs2_encode_status(xdr_out *o, const void *result) {
    xdr_u32(o, static_cast<const nfs2_status_res *>(result)->status);
}

void nfs2_encode_attr(xdr_out *o, const void *result) {
    const nfs2_attr_res *r = static_cast<const nfs2_attr_res *>(result);
    put_fattr_result(o, r->status, &r->attr);
}

void nfs2_encode_dirop(xdr_out *o, const void *result) {
    const nfs2_dirop_res *r = static_cast<const nfs2_dirop_res *>(result);
    xdr_u32(o, r->status);
    if (r->status != NFS_OK) return;
    xdr_fixed(o, r->fh.bytes, FH_SIZE);
    xdr_fattr(o, &r->attr);
}

void nfs2_encode_readlink(xdr_out *o, const void *result) {
    const nfs2_readlink_res *r = static_cast<const nfs2_readlink_res *>(result);
    xdr_u32(o, r->status);
    if (r->status == NFS_OK) xdr_opaque(o, r->text, r->length);
}

void nfs2_encode_read(xdr_out *o, const void *result) {
    const nfs2_read_res *r = static_cast<const nfs2_read_res *>(result);
    put_fattr_result(o, r->status, &r->attr);
    if (r->status != NFS_OK) return;
    xdr_u32(o, r->count);
    nfs_put_data_in_place(o, r->count);
}

void nfs2_encode_statfs(xdr_out *o, const void *result) {
    const nfs2_statfs_res *r = static_cast<const nfs2_statfs_res *>(result);
    xdr_u32(o, r->status);
    if (r->status != NFS_OK) return;
    uint32_t bfree = blocks32(r->fs.bfree);
    const uint32_t words[] = {r->tsize, NFS_BLOCK_SIZE, blocks32(r->fs.blocks), bfree, bfree};
    xdr_u32s(o, words, 5);
}
