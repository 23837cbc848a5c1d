// Decoders that both NFS versions use: names, link texts, opaque data left
// in the call, 64-bit numbers; and the place READ data takes in a reply.
#include <cstring>

#include "names/nfs_status.h"
#include "nfsd/nfs_shared.h"

bool nfs_get_name(rpc_call *call, char *name) {
    uint32_t n = xdr_get_string(call, name, NFS_NAME_MAX);
    return n != 0 && strlen(name) == n - 1;
}

bool nfs_get_link_text(rpc_call *call, char *text, uint32_t *length) {
    uint32_t n = xdr_get_string(call, text, NFS_LINK_MAX);
    if (n == 0) return false;
    *length = n - 1;
    return true;
}

bool nfs_get_opaque_ref(rpc_call *call, uint32_t max, const uint8_t **data, uint32_t *length) {
    uint32_t save = call->pos;
    uint32_t n;
    if (!xdr_get_u32(call, &n)) return false;
    // The bytes must be there; the padding behind them need not be.
    if (n > max || uint64_t(call->pos) * 4 + n > call->arg_len) {
        call->pos = save;
        return false;
    }
    *data = reinterpret_cast<const uint8_t *>(call->args + call->pos);
    *length = n;
    call->pos += (n + 3) / 4;
    return true;
}

bool nfs_get_fh3(rpc_call *call, uint8_t *fh) {
    uint32_t save = call->pos;
    uint32_t length;
    if (!xdr_get_u32(call, &length) || length != FH3_SIZE ||
        (uint64_t(call->pos) * 4 + FH3_SIZE) > call->arg_len) {
        call->pos = save;
        return false;
    }
    memcpy(fh, call->args + call->pos, FH3_SIZE);
    call->pos += FH3_SIZE / 4;
    return true;
}

uint32_t nfs_readlink_text(const char *text, char *out, uint32_t *length) {
    size_t n = strnlen(text, NFS_READLINK_REPLY + 1);
    if (n > NFS_READLINK_REPLY) return NFSERR_NAMETOOLONG;
    memcpy(out, text, n);
    *length = uint32_t(n);
    return NFS_OK;
}

uint8_t *nfs_reply_data(xprt *xp, const rpc_call *call, uint32_t offset, uint32_t *room) {
    uint32_t body_room;
    uint8_t *body = rpc_reply_body(xp, call, &body_room);
    // Padding after the data takes up to 3 bytes more.
    *room = body_room > offset + 3 ? body_room - offset - 3 : 0;
    return body + offset;
}

void nfs_put_data_in_place(xdr_out *o, uint32_t count) {
    uint32_t pad = xdr_pad(count);
    if (uint8_t *at = xdr_reserve(o, count + pad)) memset(at + count, 0, pad);
}
