// The attribute encoders of NFS version 2 (RFC 1094 fattr) and version 3
// (RFC 1813 fattr3, wcc_attr, pre_op_attr, post_op_attr).
#include "nfsd/attr.h"

#include "rpc/xdr.h"

namespace {

constexpr uint32_t NSEC_PER_USEC = 1000;
constexpr uint32_t V2_RDEV_SHIFT = 8;
constexpr uint32_t V2_MINOR_MASK = 255;
constexpr uint32_t BLOCK_SHIFT = 12;  // 4096-byte blocks

}  // namespace

void xdr_fattr(xdr_out *o, const nfs_attr *a) {
    uint32_t size = uint32_t(a->size);  // a v2 client sees the low 32 bits
    const uint32_t words[] = {a->type,
                              a->mode,
                              a->nlink,
                              a->uid,
                              a->gid,
                              size,
                              NFS_BLOCK_SIZE,
                              a->rdev_major << V2_RDEV_SHIFT | (a->rdev_minor & V2_MINOR_MASK),
                              (size + (NFS_BLOCK_SIZE - 1)) >> BLOCK_SHIFT,
                              a->fsid,
                              a->fileid,
                              a->atime_sec,
                              a->atime_nsec / NSEC_PER_USEC,
                              a->mtime_sec,
                              a->mtime_nsec / NSEC_PER_USEC,
                              a->ctime_sec,
                              a->ctime_nsec / NSEC_PER_USEC};
    xdr_u32s(o, words, sizeof words / sizeof words[0]);
}

void xdr_fattr3(xdr_out *o, const nfs_attr *a) {
    // ftype3 has no NFNON: a file whose kind could not be read goes out as
    // the regular file its mode already claims.
    uint32_t type = a->type == NFNON ? NFREG : a->type;
    const uint32_t head[] = {type, a->mode & NFS_PERM_BITS, a->nlink, a->uid, a->gid};
    xdr_u32s(o, head, 5);
    xdr_u64(o, a->size);
    xdr_u64(o, a->size);  // used
    xdr_u32(o, a->rdev_major);
    xdr_u32(o, a->rdev_minor);
    xdr_u64(o, a->fsid);
    xdr_u64(o, a->fileid);
    const uint32_t times[] = {a->atime_sec, a->atime_nsec, a->mtime_sec,
                              a->mtime_nsec, a->ctime_sec, a->ctime_nsec};
    xdr_u32s(o, times, 6);
}

void xdr_wcc_attr(xdr_out *o, const nfs_attr *a) {
    xdr_u64(o, a->size);
    const uint32_t times[] = {a->mtime_sec, a->mtime_nsec, a->ctime_sec, a->ctime_nsec};
    xdr_u32s(o, times, 4);
}

void xdr_pre_op_attr(xdr_out *o, bool present, const nfs_attr *a) {
    xdr_u32(o, present ? 1 : 0);
    if (present) xdr_wcc_attr(o, a);
}

void xdr_post_op_attr(xdr_out *o, bool present, const nfs_attr *a) {
    xdr_u32(o, present ? 1 : 0);
    if (present) xdr_fattr3(o, a);
}
