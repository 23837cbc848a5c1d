// The MOUNT procedures: one table for versions 1 and 2 (fhstatus replies),
// one for version 3 (mountres3 replies). The client's address is the only
// identity used; the call's credential is not looked at.
#include <cstring>

#include "fh/fh.h"
#include "inode/inode.h"
#include "mountd/mount_internal.h"
#include "base/log.h"

namespace {

constexpr uint32_t AUTH_UNIX_FLAVOR = 1;
constexpr const char *MNT_GARBAGE = "mountd: cannot decode mount path\n";
constexpr const char *UMNT_GARBAGE = "mountd: cannot decode unmount request\n";

struct dirpath_args {
    char path[EXPORT_PATH_BUFFER];  // export_check may rewrite it in place
};

struct mnt_result {
    uint32_t status;
    uint8_t fh[FH_SIZE];
};

uint32_t client_of(const xprt *xp) {
    return xp->peer.sin_addr.s_addr;
}

bool decode_dirpath(rpc_call *call, void *args) {
    return xdr_get_string(call, static_cast<dirpath_args *>(args)->path, MOUNT_PATH_MAX) != 0;
}

// The work of MNT: match, refresh the volume, find the inode, make the
// handle, remember the mount under the path as the client sent it.
uint32_t mount_path(uint32_t client, char *path, uint8_t *fh) {
    char received[EXPORT_PATH_BUFFER];
    memcpy(received, path, strlen(path) + 1);
    export_entry *entry = nullptr;
    int status = export_check(path, client, &entry);
    if (status != EXPORT_OK) return uint32_t(status);
    if (!export_volume_refresh(entry)) return MOUNT_NODEV;
    uint32_t inode = inode_path_lookup(path);
    if (!inode) return EXPORT_NOENT;
    fh_make(inode, entry->export_id, fh);
    mount_table_update(received, client, entry);
    return EXPORT_OK;
}

bool run_mnt(xprt *xp, void *args, void *result, const char *request_log) {
    char *path = static_cast<dirpath_args *>(args)->path;
    char dotted[16];
    mount_dotted(client_of(xp), dotted);
    log_printf(LOG_DETAIL, request_log, dotted, path);
    mnt_result *r = static_cast<mnt_result *>(result);
    r->status = mount_path(client_of(xp), path, r->fh);
    return true;
}

bool run_null(xprt *, rpc_call *, void *, void *) {
    return true;
}

bool run_mnt1(xprt *xp, rpc_call *, void *args, void *result) {
    return run_mnt(xp, args, result, "mount request from %s path %s\n");
}

bool run_mnt3(xprt *xp, rpc_call *, void *args, void *result) {
    return run_mnt(xp, args, result, "mount3 request from %s path %s\n");
}

bool run_dump(xprt *xp, rpc_call *, void *, void *) {
    log_printf(LOG_DETAIL, "mount dump request from %x\n", export_address_logged(client_of(xp)));
    return true;
}

bool run_umnt(xprt *xp, rpc_call *, void *args, void *) {
    const char *path = static_cast<dirpath_args *>(args)->path;
    char dotted[16];
    mount_dotted(client_of(xp), dotted);
    log_printf(LOG_DETAIL, "unmount request from %s path %s\n", dotted, path);
    mount_table_update(path, client_of(xp), nullptr);
    return true;
}

bool run_umntall(xprt *xp, rpc_call *, void *, void *) {
    log_printf(LOG_DETAIL, "unmount all request from %x\n", export_address_logged(client_of(xp)));
    mount_table_update(nullptr, client_of(xp), nullptr);
    return true;
}

bool run_export(xprt *xp, rpc_call *, void *, void *) {
    log_printf(LOG_DETAIL, "mount exports request from %x\n", export_address_logged(client_of(xp)));
    return true;
}

// fhstatus: the status, then on success the 32-byte handle as it is.
void encode_fhstatus(xdr_out *o, const void *result) {
    const mnt_result *r = static_cast<const mnt_result *>(result);
    xdr_u32(o, r->status);
    if (r->status == EXPORT_OK) xdr_fixed(o, r->fh, FH_SIZE);
}

// mountres3: the status, then on success the handle's first 16 bytes as an
// opaque and the one accepted flavour, AUTH_UNIX.
void encode_mountres3(xdr_out *o, const void *result) {
    const mnt_result *r = static_cast<const mnt_result *>(result);
    xdr_u32(o, r->status);
    if (r->status != EXPORT_OK) return;
    xdr_opaque(o, r->fh, FH3_SIZE);
    xdr_u32(o, 1);  // one flavour
    xdr_u32(o, AUTH_UNIX_FLAVOR);
}

void encode_dump(xdr_out *o, const void *) {
    mountlist_encode(o);
}

void encode_exports(xdr_out *o, const void *) {
    exports_encode(o, export_list);
}

constexpr uint32_t DIRPATH = sizeof(dirpath_args);
constexpr uint32_t MNT = sizeof(mnt_result);

const rpc_proc mount1_procs[] = {
    {.number = 0, .name = "null", .run = run_null, .encode = rpc_void_result},
    {.number = 1, .name = "mnt", .decode = decode_dirpath, .args_size = DIRPATH, .run = run_mnt1,
     .encode = encode_fhstatus, .result_size = MNT, .garbage_log = MNT_GARBAGE},
    {.number = 2, .name = "dump", .run = run_dump, .encode = encode_dump},
    {.number = 3, .name = "umnt", .decode = decode_dirpath, .args_size = DIRPATH, .run = run_umnt,
     .encode = rpc_void_result, .garbage_log = UMNT_GARBAGE},
    {.number = 4, .name = "umntall", .run = run_umntall, .encode = rpc_void_result},
    {.number = 5, .name = "export", .run = run_export, .encode = encode_exports},
};

const rpc_proc mount3_procs[] = {
    {.number = 0, .name = "null", .run = run_null, .encode = rpc_void_result},
    {.number = 1, .name = "mnt", .decode = decode_dirpath, .args_size = DIRPATH, .run = run_mnt3,
     .encode = encode_mountres3, .result_size = MNT, .garbage_log = MNT_GARBAGE},
    {.number = 2, .name = "dump", .run = run_dump, .encode = encode_dump},
    {.number = 3, .name = "umnt", .decode = decode_dirpath, .args_size = DIRPATH, .run = run_umnt,
     .encode = rpc_void_result, .garbage_log = UMNT_GARBAGE},
    {.number = 4, .name = "umntall", .run = run_umntall, .encode = rpc_void_result},
    {.number = 5, .name = "export", .run = run_export, .encode = encode_exports},
};

}  // namespace

// Procedures 6 (EXPORTALL) and 7 (PATHCONF) lie past the rows: PROC_UNAVAIL,
// without a log line.
const rpc_program mount1_program = {mount1_procs, sizeof mount1_procs / sizeof mount1_procs[0],
                                    nullptr, nullptr};
const rpc_program mount3_program = {mount3_procs, sizeof mount3_procs / sizeof mount3_procs[0],
                                    nullptr, nullptr};

void mount1_dispatch(xprt *xp, rpc_call *call) {
    rpc_serve(xp, call, &mount1_program);
}

void mount3_dispatch(xprt *xp, rpc_call *call) {
    rpc_serve(xp, call, &mount3_program);
}
