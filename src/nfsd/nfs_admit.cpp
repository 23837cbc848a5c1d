// Admission of a caller to the export its file handle names. MNT checks
// the client list once, but a handle is easy to forge (an export id is a
// CRC of the export's line, an inode number a small offset), so each
// request asks again. Names on the list were resolved when the exports file
// was read: a request costs a walk of the export list and of its addresses.
#include <cstring>

#include "exports/export.h"
#include "names/nfs_status.h"
#include "nfsd/nfs_shared.h"

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

uint32_t nfs_admit(const xprt *xp, const uint8_t *fh) {
    const export_entry *e = fh_decode(fh);
    if (!e) e = public_export(fh);
    if (!e || e->client_count == 0) return NFS_OK;
    return export_admits(e, xp->peer.sin_addr.s_addr) ? NFS_OK : NFSERR_ACCES;
}
