#include "support/nfs_mnt.h"

#include <cstring>

#include "fh/fh.h"
#include "mountd/export.h"
#include "rpc/rpc_proc.h"

namespace {

constexpr uint32_t AUTH_UNIX = 1;

struct mnt_args {
    char path[EXPORT_PATH_BUFFER];
};
struct mnt_res {
    uint32_t status;
    uint8_t fh[FH_SIZE];
};

bool decode_path(rpc_call *call, void *args) {
    return xdr_get_string(call, static_cast<mnt_args *>(args)->path, EXPORT_PATH_BUFFER - 1) != 0;
}

bool mnt_null(xprt *, rpc_call *, void *, void *) {
    return true;
}

bool mnt_mnt(xprt *xp, rpc_call *, void *args, void *result) {
    mnt_res *r = static_cast<mnt_res *>(result);
    export_entry *e = nullptr;
    r->status = uint32_t(export_check(static_cast<mnt_args *>(args)->path,
                                      xp->peer.sin_addr.s_addr, &e));
    if (r->status == EXPORT_OK) {
        export_volume_refresh(e);
        fh_make(e->root_inode, e->export_id, r->fh);
    }
    return true;
}

// EXPORT: the export names, without their client lists.
uint32_t encode_exports(uint8_t *out, const void *) {
    uint32_t len = 0;
    for (const export_entry *e = export_list; e; e = e->next) {
        char name[EXPORT_PATH_BUFFER];
        export_name(e->path, name);
        len += xdr_put_u32(out + len, 1);
        len += xdr_put_opaque(out + len, name, uint32_t(strlen(name)));
        len += xdr_put_u32(out + len, 0);  // no groups
    }
    return len + xdr_put_u32(out + len, 0);
}

uint32_t encode_fhstatus(uint8_t *out, const void *result) {
    const mnt_res *r = static_cast<const mnt_res *>(result);
    uint32_t len = xdr_put_u32(out, r->status);
    if (r->status == EXPORT_OK) len += xdr_put_fixed(out + len, r->fh, FH_SIZE);
    return len;
}

uint32_t encode_mountres3(uint8_t *out, const void *result) {
    const mnt_res *r = static_cast<const mnt_res *>(result);
    uint32_t len = xdr_put_u32(out, r->status);
    if (r->status != EXPORT_OK) return len;
    len += xdr_put_opaque(out + len, r->fh, FH3_SIZE);
    return len + xdr_pack(out + len, "qq", 1u, AUTH_UNIX);
}

// clang-format off
const rpc_proc mnt1_procs[] = {
    {0, "null", nullptr, 0, mnt_null, rpc_void_result, 0, nullptr, nullptr, nullptr, 0},
    {1, "mnt", decode_path, sizeof(mnt_args), mnt_mnt, encode_fhstatus, sizeof(mnt_res),
     "test mount: bad MNT\n", nullptr, nullptr, 0},
    {2, "dump", nullptr, 0, nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0},
    {3, "umnt", decode_path, sizeof(mnt_args), mnt_null, rpc_void_result, 0,
     "test mount: bad UMNT\n", nullptr, nullptr, 0},
    {4, "umntall", nullptr, 0, mnt_null, rpc_void_result, 0, nullptr, nullptr, nullptr, 0},
    {5, "export", nullptr, 0, mnt_null, encode_exports, 0, nullptr, nullptr, nullptr, 0},
};
const rpc_proc mnt3_procs[] = {
    {0, "null", nullptr, 0, mnt_null, rpc_void_result, 0, nullptr, nullptr, nullptr, 0},
    {1, "mnt", decode_path, sizeof(mnt_args), mnt_mnt, encode_mountres3, sizeof(mnt_res),
     "test mount: bad MNT\n", nullptr, nullptr, 0},
    {2, "dump", nullptr, 0, nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0},
    {3, "umnt", decode_path, sizeof(mnt_args), mnt_null, rpc_void_result, 0,
     "test mount: bad UMNT\n", nullptr, nullptr, 0},
    {4, "umntall", nullptr, 0, mnt_null, rpc_void_result, 0, nullptr, nullptr, nullptr, 0},
    {5, "export", nullptr, 0, mnt_null, encode_exports, 0, nullptr, nullptr, nullptr, 0},
};
// clang-format on
const rpc_program mnt1_program = {mnt1_procs, 6, nullptr, nullptr};
const rpc_program mnt3_program = {mnt3_procs, 6, nullptr, nullptr};

}  // namespace

void nfs_mnt1_dispatch(xprt *xp, rpc_call *call) {
    rpc_serve(xp, call, &mnt1_program);
}

void nfs_mnt3_dispatch(xprt *xp, rpc_call *call) {
    rpc_serve(xp, call, &mnt3_program);
}
