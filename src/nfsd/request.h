// The request record: what one NFS request knows about its caller and its
// file handles, worked out once and reused by every step of the request
// (admission, the read-only test, the export check, attribute reads, the
// backend).
//
// A handle is decoded at its first use, its path built at the first step
// that needs one, the export's volume tested once, and the caller's
// identity mapped for that export once, into a copy: the credential as sent
// is never written. A step that drops the handle's record (an attribute
// read that finds the file gone) marks the object stale, so later steps
// answer as a fresh resolution would.
//
// Records live on the receiving thread's stack and belong to one request.
#pragma once

#include <cstdint>

#include "exports/export.h"
#include "fh/fh.h"
#include "names/name.h"
#include "platform/winfile.h"
#include "rpc/rpc.h"

// One file handle of a request.
struct nfs_object {
    const uint8_t *fh;     // 32 bytes; a version 3 handle padded with zeros
    const rpc_cred *sent;  // the caller's identity as sent (may be null: owner 0)
    export_entry *exp;     // the export the handle names, once decoded
    uint32_t inode;        // its record, once resolved; 0 when stale
    uint32_t done;         // NFS_OBJ_* steps already taken
    rpc_cred cred;         // the identity as mapped for `exp`, once mapped
    char path[NFS_PATH_MAX];
};

// What has been worked out of an object so far.
enum : uint32_t {
    NFS_OBJ_DECODED = 0x1,
    NFS_OBJ_RESOLVED = 0x2,
    NFS_OBJ_TESTED = 0x4,     // the volume test ran
    NFS_OBJ_VOLUME_OK = 0x8,  // ... and passed
    NFS_OBJ_MAPPED = 0x10,    // `cred` holds the mapped identity
};

// One request: the call, its decoded arguments, the caller as sent and up
// to two handles (RENAME and LINK name two).
struct nfs_request {
    xprt *xp;
    rpc_call *call;
    void *args;
    const rpc_cred *sent;
    nfs_object obj[2];
};

// Starts an object for `fh`; nothing is resolved yet.
void nfs_object_init(nfs_object *o, const uint8_t *fh, const rpc_cred *sent);

// The export the handle names (decoded once), or null.
export_entry *nfs_object_export(nfs_object *o);

// The handle's export, inode number and path: 0, or 70 (STALE) when the
// handle names no export or no record inside it. With `change`, a
// read-only export answers 30 (ROFS), tested before the record is.
uint32_t nfs_object_resolve(nfs_object *o, bool change);

// The export check on a resolved object: false when the export's volume
// changed (callers answer 6, NXIO). With `identity` the caller's identity
// is mapped for the export as well (nfs_map_identity), once.
bool nfs_object_check(nfs_object *o, bool identity);

// The identity the object's steps use: as mapped once a step mapped it,
// otherwise as sent.
const rpc_cred *nfs_object_identity(const nfs_object *o);

// The record is gone (its file vanished): later steps find the handle stale.
void nfs_object_drop(nfs_object *o);

// Admission of the caller (xp->peer) to the export that the object names,
// or to the public export for the WebNFS public handle: 0, or 13 (ACCES)
// with the line "mountd: access denied %s clnt %x\n" (log level 2). A
// handle that names no export is left to the backends, which answer 70.
uint32_t nfs_admit(const xprt *xp, nfs_object *o);

// The procedures' form: one request record in, a result record out. The
// table rows run them through nfs_request_run, which builds the record.
typedef bool (*nfs_handler)(nfs_request *q, void *result);

template <nfs_handler F>
bool nfs_request_run(xprt *xp, rpc_call *call, void *args, void *result) {
    // Every step of the request reaches its folders through one walk each.
    win_folder_scope folders;
    nfs_request q;
    q.xp = xp;
    q.call = call;
    q.args = args;
    q.sent = &call->unix_cred;
    return F(&q, result);
}

// The request's decoded arguments as the procedure's record.
template <typename T>
T *nfs_args(nfs_request *q) {
    return static_cast<T *>(q->args);
}

// Binds object `i` of the request to `fh` and admits the caller to it.
// Answers nfs_admit's status.
uint32_t nfs_request_admit(nfs_request *q, int i, const uint8_t *fh);
