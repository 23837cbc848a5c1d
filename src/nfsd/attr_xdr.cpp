// The attribute encoders of NFS version 2 (RFC 1094 fattr) and version 3
// (RFC 1813 fattr3, wcc_attr, pre_op_attr, post_op_attr).
#include "nfsd/attr.h"

#include "rpc/xdr.h"

namespace {

constexpr uint32_t NSEC_PER_USEC = 1000;
constexpr uint32_t V2_RDEV_SHIFT = 8;
constexpr uint32_t V2_MINOR_MASK = 255;
constexpr uint32_t BLOCK_SHIFT = 12;  // 4096-byte blocks

uint32_t put_u64(uint8_t *out, uint64_t v) {
    xdr_put_u32(out, uint32_t(v >> 32));
    return 4 + xdr_put_u32(out + 4, uint32_t(v));
}

uint32_t put_time(uint8_t *out, uint32_t sec, uint32_t sub) {
    xdr_put_u32(out, sec);
    return 4 + xdr_put_u32(out + 4, sub);
}

}  // namespace

uint32_t xdr_fattr(uint8_t *out, const nfs_attr *a) {
    uint32_t size = uint32_t(a->size);  // a v2 client sees the low 32 bits
    uint8_t *p = out;
    p += xdr_put_u32(p, a->type);
    p += xdr_put_u32(p, a->mode);
    p += xdr_put_u32(p, a->nlink);
    p += xdr_put_u32(p, a->uid);
    p += xdr_put_u32(p, a->gid);
    p += xdr_put_u32(p, size);
    p += xdr_put_u32(p, NFS_BLOCK_SIZE);
    p += xdr_put_u32(p, a->rdev_major << V2_RDEV_SHIFT | (a->rdev_minor & V2_MINOR_MASK));
    p += xdr_put_u32(p, (size + (NFS_BLOCK_SIZE - 1)) >> BLOCK_SHIFT);
    p += xdr_put_u32(p, a->fsid);
    p += xdr_put_u32(p, a->fileid);
    p += put_time(p, a->atime_sec, a->atime_nsec / NSEC_PER_USEC);
    p += put_time(p, a->mtime_sec, a->mtime_nsec / NSEC_PER_USEC);
    p += put_time(p, a->ctime_sec, a->ctime_nsec / NSEC_PER_USEC);
    return uint32_t(p - out);
}

uint32_t xdr_fattr3(uint8_t *out, const nfs_attr *a) {
    // ftype3 has no NFNON: a file whose kind could not be read goes out as
    // the regular file its mode already claims.
    uint32_t type = a->type == NFNON ? NFREG : a->type;
    uint8_t *p = out;
    p += xdr_put_u32(p, type);
    p += xdr_put_u32(p, a->mode & NFS_PERM_BITS);
    p += xdr_put_u32(p, a->nlink);
    p += xdr_put_u32(p, a->uid);
    p += xdr_put_u32(p, a->gid);
    p += put_u64(p, a->size);
    p += put_u64(p, a->size);  // used
    p += xdr_put_u32(p, a->rdev_major);
    p += xdr_put_u32(p, a->rdev_minor);
    p += put_u64(p, a->fsid);
    p += put_u64(p, a->fileid);
    p += put_time(p, a->atime_sec, a->atime_nsec);
    p += put_time(p, a->mtime_sec, a->mtime_nsec);
    p += put_time(p, a->ctime_sec, a->ctime_nsec);
    return uint32_t(p - out);
}

uint32_t xdr_wcc_attr(uint8_t *out, const nfs_attr *a) {
    uint8_t *p = out;
    p += put_u64(p, a->size);
    p += put_time(p, a->mtime_sec, a->mtime_nsec);
    p += put_time(p, a->ctime_sec, a->ctime_nsec);
    return uint32_t(p - out);
}

uint32_t xdr_pre_op_attr(uint8_t *out, bool present, const nfs_attr *a) {
    if (!present) return xdr_put_u32(out, 0);
    xdr_put_u32(out, 1);
    return 4 + xdr_wcc_attr(out + 4, a);
}

uint32_t xdr_post_op_attr(uint8_t *out, bool present, const nfs_attr *a) {
    if (!present) return xdr_put_u32(out, 0);
    xdr_put_u32(out, 1);
    return 4 + xdr_fattr3(out + 4, a);
}
