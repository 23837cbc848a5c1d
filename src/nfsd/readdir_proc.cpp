// The READDIR rows' decoders and handlers: arguments in, a filled
// nfs_dirlist out for the encoders.
#include <cstring>

#include "nfsd/cache.h"
#include "nfsd/readdir.h"
#include "names/nfs_status.h"
#include "nfsd/nfs_shared.h"
#include "rpc/rpc_proc.h"

// The records live in rpc_serve's stack areas.
static_assert(sizeof(nfs_readdir_args) <= RPC_ARGS_MAX);
static_assert(sizeof(nfs_dirlist) <= RPC_RESULT_MAX);

namespace {

// cookie3 (only its low word is used) and the cookie verifier (unused).
bool get_cookie3(rpc_call *call, uint32_t *cookie) {
    uint32_t high, verf;
    return xdr_get_u32(call, &high) && xdr_get_u32(call, cookie) && xdr_get_u32(call, &verf) &&
           xdr_get_u32(call, &verf);
}

}  // namespace

void nfs_dirlist_fill(nfs_dirlist *list, const nfs_readdir_args *args, nfs_object *dir,
                      uint32_t form, uint8_t *body, uint32_t room) {
    memset(list, 0, sizeof *list);
    list->status = nfs_readdir(dir, args->cookie, &list->first);
    list->cookie = args->cookie;
    list->count = nfs_dir_limit(args->count);
    list->dircount = args->dircount != 0 ? args->dircount : list->count;
    if (list->status == NFS_OK) {
        list->export_id = dir->exp->export_id;
        list->dir = dir->inode;
    }
    // After the scan, so that the attributes show the directory as listed.
    if (form != NFS_DIR_V2) list->dir_attr_ok = nfs_fh_attr(dir, &list->dir_attr) == 0;
    if (form != NFS_DIR_PLUS || list->status != NFS_OK) return;
    // The entries go behind the status, the directory's post_op_attr and
    // the cookie verifier.
    uint32_t before = 4 + 4 + (list->dir_attr_ok ? NFS_FATTR3_SIZE : 0) + NFS_VERIFIER_SIZE;
    nfs_plus_walk(list, dir, body, room, before);
}

bool nfs2_readdir_decode(rpc_call *call, void *args) {
    nfs_readdir_args *a = static_cast<nfs_readdir_args *>(args);
    return xdr_get_fixed32(call, a->fh) && xdr_get_u32(call, &a->cookie) &&
           xdr_get_u32(call, &a->count);
}

bool nfs3_readdir_decode(rpc_call *call, void *args) {
    nfs_readdir_args *a = static_cast<nfs_readdir_args *>(args);
    return nfs_get_fh3(call, a->fh) && get_cookie3(call, &a->cookie) &&
           xdr_get_u32(call, &a->count);
}

bool nfs3_readdirplus_decode(rpc_call *call, void *args) {
    nfs_readdir_args *a = static_cast<nfs_readdir_args *>(args);
    return nfs_get_fh3(call, a->fh) && get_cookie3(call, &a->cookie) &&
           xdr_get_u32(call, &a->dircount) && xdr_get_u32(call, &a->count);
}
