// The MOUNT procedures: one table for versions 1 and 2 (fhstatus replies),
// one for version 3 (mountres3 replies). The client's address is the only
// identity used; the call's credential is not looked at.
#include <cstring>

#include "exports/export.h"
#include "fh/fh.h"
#include "inode/inode.h"
#include "mountd/mount_internal.h"
#include "base/log.h"

namespace {

constexpr uint32_t AUTH_UNIX_FLAVOR = 1;
// An accepted reply's header without its verifier body: xid, REPLY,
// MSG_ACCEPTED, verifier flavour, verifier length, accept status.
constexpr uint32_t REPLY_HEADER = 24;

constexpr const char *MNT_GARBAGE = "mountd: cannot decode mount path\n";
constexpr const char *UMNT_GARBAGE = "mountd: cannot decode unmount request\n";

struct dirpath_args {
    char path[EXPORT_PATH_BUFFER];  // export_check may rewrite it in place
};

struct mnt_result {
    uint32_t status;
    uint8_t fh[FH_SIZE];
};

// DUMP and EXPORT: the bytes the list may take in the message area.
struct list_result {
    uint32_t room;
};

uint32_t client_of(const xprt *xp) {
    return xp->peer.sin_addr.s_addr;
}

uint32_t reply_room(const xprt *xp, const rpc_call *call) {
    uint32_t header = REPLY_HEADER + call->verf_len + xdr_pad(call->verf_len);
    return xp->size - header;  // the 512 bytes xprt_create adds exceed any header
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

bool run_dump(xprt *xp, rpc_call *call, void *, void *result) {
    log_printf(LOG_DETAIL, "mount dump request from %x\n", export_address_logged(client_of(xp)));
    static_cast<list_result *>(result)->room = reply_room(xp, call);
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

bool run_export(xprt *xp, rpc_call *call, void *, void *result) {
    log_printf(LOG_DETAIL, "mount exports request from %x\n", export_address_logged(client_of(xp)));
    static_cast<list_result *>(result)->room = reply_room(xp, call);
    return true;
}

// fhstatus: the status, then on success the 32-byte handle as it is.
uint32_t encode_fhstatus(uint8_t *out, const void *result) {
    const mnt_result *r = static_cast<const mnt_result *>(result);
    uint32_t len = xdr_put_u32(out, r->status);
    if (r->status == EXPORT_OK) len += xdr_put_fixed(out + len, r->fh, FH_SIZE);
    return len;
}

// mountres3: the status, then on success the handle's first 16 bytes as an
// opaque and the one accepted flavour, AUTH_UNIX.
uint32_t encode_mountres3(uint8_t *out, const void *result) {
    const mnt_result *r = static_cast<const mnt_result *>(result);
    uint32_t len = xdr_put_u32(out, r->status);
    if (r->status != EXPORT_OK) return len;
    len += xdr_put_opaque(out + len, r->fh, FH3_SIZE);
    return len + xdr_pack(out + len, "qq", 1u, AUTH_UNIX_FLAVOR);
}

uint32_t encode_dump(uint8_t *out, const void *result) {
    return mountlist_encode(out, static_cast<const list_result *>(result)->room);
}

uint32_t encode_exports(uint8_t *out, const void *result) {
    return exports_encode(out, export_list, static_cast<const list_result *>(result)->room);
}

constexpr uint32_t DIRPATH = sizeof(dirpath_args);
constexpr uint32_t MNT = sizeof(mnt_result);
constexpr uint32_t LIST = sizeof(list_result);

// clang-format off
const rpc_proc mount1_procs[] = {
 // no  name       decoder         args     handler      encoder          result garbage line
    {0, "null",    nullptr,        0,       run_null,    rpc_void_result, 0,     nullptr,
     nullptr, nullptr, 0},
    {1, "mnt",     decode_dirpath, DIRPATH, run_mnt1,    encode_fhstatus, MNT,   MNT_GARBAGE,
     nullptr, nullptr, 0},
    {2, "dump",    nullptr,        0,       run_dump,    encode_dump,     LIST,  nullptr,
     nullptr, nullptr, 0},
    {3, "umnt",    decode_dirpath, DIRPATH, run_umnt,    rpc_void_result, 0,     UMNT_GARBAGE,
     nullptr, nullptr, 0},
    {4, "umntall", nullptr,        0,       run_umntall, rpc_void_result, 0,     nullptr,
     nullptr, nullptr, 0},
    {5, "export",  nullptr,        0,       run_export,  encode_exports,  LIST,  nullptr,
     nullptr, nullptr, 0},
};

const rpc_proc mount3_procs[] = {
    {0, "null",    nullptr,        0,       run_null,    rpc_void_result, 0,     nullptr,
     nullptr, nullptr, 0},
    {1, "mnt",     decode_dirpath, DIRPATH, run_mnt3,    encode_mountres3, MNT,  MNT_GARBAGE,
     nullptr, nullptr, 0},
    {2, "dump",    nullptr,        0,       run_dump,    encode_dump,     LIST,  nullptr,
     nullptr, nullptr, 0},
    {3, "umnt",    decode_dirpath, DIRPATH, run_umnt,    rpc_void_result, 0,     UMNT_GARBAGE,
     nullptr, nullptr, 0},
    {4, "umntall", nullptr,        0,       run_umntall, rpc_void_result, 0,     nullptr,
     nullptr, nullptr, 0},
    {5, "export",  nullptr,        0,       run_export,  encode_exports,  LIST,  nullptr,
     nullptr, nullptr, 0},
};
// clang-format on

}  // namespace

// Procedures 6 (EXPORTALL) and 7 (PATHCONF) lie past the rows: PROC_UNAVAIL,
// without a log line.
const rpc_program mount1_program = {mount1_procs, sizeof mount1_procs / sizeof mount1_procs[0],
                                    nullptr, nullptr};
const rpc_program mount3_program = {mount3_procs, sizeof mount3_procs / sizeof mount3_procs[0],
                                    nullptr, nullptr};

void mount1_dispatch(xprt *xp, rpc_call *call) {
    export_hold_scope hold;  // a reload waits for this call
    rpc_serve(xp, call, &mount1_program);
}

void mount3_dispatch(xprt *xp, rpc_call *call) {
    export_hold_scope hold;  // a reload waits for this call
    rpc_serve(xp, call, &mount3_program);
}
