// The READDIR rows' decoders and handlers: arguments in, a filled
// nfs_dirlist out for the encoders.
#include <cstring>

#include "nfsd/cache.h"
#include "nfsd/nfs_shared.h"
#include "nfsd/readdir.h"
#include "platform/bytes.h"
#include "rpc/rpc_proc.h"

// The records live in rpc_serve's stack areas.
static_assert(sizeof(nfs_readdir_args) <= RPC_ARGS_MAX);
static_assert(sizeof(nfs_dirlist) <= RPC_RESULT_MAX);

namespace {

// A version 3 handle: a length word that must be 16, then its bytes, kept
// in their order in the first 16 bytes of `fh` (the rest stays zero).
bool get_fh3(rpc_call *call, uint8_t *fh) {
    uint32_t length;
    if (!xdr_get_u32(call, &length) || length != FH3_SIZE) return false;
    for (uint32_t i = 0; i < FH3_SIZE; i += 4) {
        uint32_t word;
        if (!xdr_get_u32(call, &word)) return false;
        store_be32(fh + i, word);
    }
    return true;
}

// cookie3 (only its low word is used) and the cookie verifier (unused).
bool get_cookie3(rpc_call *call, uint32_t *cookie) {
    uint32_t high, verf;
    return xdr_get_u32(call, &high) && xdr_get_u32(call, cookie) && xdr_get_u32(call, &verf) &&
           xdr_get_u32(call, &verf);
}

// A listing is one reply: over UDP no larger than a datagram holds.
void lower_to_transport(const xprt *xp, nfs_readdir_args *a) {
    uint32_t max = nfs_transfer_max(xp);
    if (a->count == 0 || a->count > max) a->count = max;
}

}  // namespace

void nfs_dirlist_fill(nfs_dirlist *list, const nfs_readdir_args *args, const rpc_cred *cred,
                      bool v3) {
    memset(list, 0, sizeof *list);
    list->status = nfs_readdir(args->fh, args->cookie, &list->first);
    list->export_id = load_le32(args->fh + 4);
    list->dir = load_le32(args->fh + 8);
    list->cookie = args->cookie;
    list->count = nfs_dir_limit(args->count);
    list->dircount = args->dircount != 0 ? args->dircount : list->count;
    list->cred = *cred;
    // After the scan, so that the attributes show the directory as listed.
    if (v3) list->dir_attr_ok = nfs_fh_attr(args->fh, &list->dir_attr, &list->cred) == 0;
}

bool nfs2_readdir_decode(rpc_call *call, void *args) {
    nfs_readdir_args *a = static_cast<nfs_readdir_args *>(args);
    return xdr_get_fixed32(call, a->fh) && xdr_get_u32(call, &a->cookie) &&
           xdr_get_u32(call, &a->count);
}

bool nfs3_readdir_decode(rpc_call *call, void *args) {
    nfs_readdir_args *a = static_cast<nfs_readdir_args *>(args);
    return get_fh3(call, a->fh) && get_cookie3(call, &a->cookie) && xdr_get_u32(call, &a->count);
}

bool nfs3_readdirplus_decode(rpc_call *call, void *args) {
    nfs_readdir_args *a = static_cast<nfs_readdir_args *>(args);
    return get_fh3(call, a->fh) && get_cookie3(call, &a->cookie) &&
           xdr_get_u32(call, &a->dircount) && xdr_get_u32(call, &a->count);
}

bool nfs2_readdir_run(xprt *xp, rpc_call *call, void *args, void *result) {
    lower_to_transport(xp, static_cast<nfs_readdir_args *>(args));
    nfs_dirlist_fill(static_cast<nfs_dirlist *>(result), static_cast<nfs_readdir_args *>(args),
                     &call->unix_cred, false);
    return true;
}

bool nfs3_readdir_run(xprt *xp, rpc_call *call, void *args, void *result) {
    lower_to_transport(xp, static_cast<nfs_readdir_args *>(args));
    nfs_dirlist_fill(static_cast<nfs_dirlist *>(result), static_cast<nfs_readdir_args *>(args),
                     &call->unix_cred, true);
    return true;
}
