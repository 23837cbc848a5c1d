// The request record's handles, each resolved once, and the admission of a
// caller to the export a handle names. MNT checks the client list once, but
// a handle is easy to forge (an export id is a CRC of the export's line, an
// inode number a small offset), so each request asks again.
#include "nfsd/request.h"

#include <cstring>

#include "names/nfs_status.h"
#include "nfsd/attr.h"

namespace {

// The export the public handle reaches, as webnfs_lookup picks it.
const export_entry *public_export(const uint8_t *fh) {
    static const uint8_t public_handle[FH_SIZE] = {};
    if (!export_public_seen || memcmp(fh, public_handle, FH_SIZE) != 0) return nullptr;
    for (const export_entry *e = export_list; e; e = e->next)
        if (export_load(e->flags) & EXP_PUBLIC) return e;
    return nullptr;
}

}  // namespace

void nfs_object_init(nfs_object *o, const uint8_t *fh, const rpc_cred *sent) {
    o->fh = fh;
    o->sent = sent;
    o->exp = nullptr;
    o->inode = 0;
    o->done = 0;
}

export_entry *nfs_object_export(nfs_object *o) {
    if (!(o->done & NFS_OBJ_DECODED)) {
        o->exp = fh_decode(o->fh);
        o->done |= NFS_OBJ_DECODED;
    }
    return o->exp;
}

uint32_t nfs_object_resolve(nfs_object *o, bool change) {
    export_entry *e = nfs_object_export(o);
    if (!e) return NFSERR_STALE;
    if (change && (export_load(e->flags) & EXP_READONLY)) return NFSERR_ROFS;
    if (!(o->done & NFS_OBJ_RESOLVED)) {
        o->inode = fh_path(e, o->fh, o->path);
        o->done |= NFS_OBJ_RESOLVED;
    }
    return o->inode ? NFS_OK : NFSERR_STALE;
}

bool nfs_object_check(nfs_object *o, bool identity) {
    if (!(o->done & NFS_OBJ_TESTED)) {
        o->done |= NFS_OBJ_TESTED;
        if (nfs_check_export(o->exp, o->path, nullptr)) o->done |= NFS_OBJ_VOLUME_OK;
    }
    if (!(o->done & NFS_OBJ_VOLUME_OK)) return false;
    if (identity && o->sent && !(o->done & NFS_OBJ_MAPPED)) {
        o->cred = *o->sent;
        nfs_map_identity(o->exp, &o->cred);
        o->done |= NFS_OBJ_MAPPED;
    }
    return true;
}

const rpc_cred *nfs_object_identity(const nfs_object *o) {
    return (o->done & NFS_OBJ_MAPPED) ? &o->cred : o->sent;
}

void nfs_object_drop(nfs_object *o) {
    o->inode = 0;
}

uint32_t nfs_admit(const xprt *xp, nfs_object *o) {
    const export_entry *e = nfs_object_export(o);
    if (!e) e = public_export(o->fh);
    if (!e || e->client_count == 0) return NFS_OK;
    return export_admits(e, xp->peer.sin_addr.s_addr) ? NFS_OK : NFSERR_ACCES;
}

uint32_t nfs_request_admit(nfs_request *q, int i, const uint8_t *fh) {
    nfs_object_init(&q->obj[i], fh, q->sent);
    return nfs_admit(q->xp, &q->obj[i]);
}
