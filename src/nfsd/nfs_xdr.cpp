// Decoders that both NFS versions use: names, link texts, opaque data left
// in the call, 64-bit numbers; and the place READ data takes in a reply.
#include <cstring>

#include "base/config.h"
#include "names/nfs_status.h"
#include "nfsd/nfs_shared.h"

namespace {

constexpr uint32_t REPLY_HEADER = 24;  // xid, REPLY, ACCEPTED, verifier flavour and length, status

}  // namespace

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

bool nfs_get_u64(rpc_call *call, uint64_t *value) {
    uint32_t high, low;
    uint32_t save = call->pos;
    if (!xdr_get_u32(call, &high) || !xdr_get_u32(call, &low)) {
        call->pos = save;
        return false;
    }
    *value = uint64_t(high) << 32 | low;
    return true;
}

uint32_t nfs_put_u64(uint8_t *out, uint64_t value) {
    xdr_put_u32(out, uint32_t(value >> 32));
    return 4 + xdr_put_u32(out + 4, uint32_t(value));
}

uint32_t nfs_readlink_text(const char *text, char *out, uint32_t *length) {
    size_t n = strnlen(text, NFS_READLINK_REPLY + 1);
    if (n > NFS_READLINK_REPLY) return NFSERR_NAMETOOLONG;
    memcpy(out, text, n);
    *length = uint32_t(n);
    return NFS_OK;
}

uint32_t nfs_transfer_max(const xprt *xp) {
    // The accepted-reply header with the longest verifier, and the fixed
    // part of a version 3 READ result (status, attributes, count, eof,
    // length), the largest in front of any data.
    constexpr uint32_t UDP_TRANSFER_MAX =
        (RPC_UDP_PAYLOAD_MAX - (REPLY_HEADER + RPC_MAX_AUTH) - 104) / 4096 * 4096;
    if (xp->protocol == RPC_UDP && config.datasize > UDP_TRANSFER_MAX) return UDP_TRANSFER_MAX;
    return config.datasize;
}

uint8_t *nfs_reply_data(xprt *xp, const rpc_call *call, uint32_t offset, uint32_t *room) {
    uint32_t at = REPLY_HEADER + call->verf_len + xdr_pad(call->verf_len) + offset;
    // Padding after the data takes up to 3 bytes more.
    uint32_t end = xp->size;
    if (xp->protocol == RPC_UDP && end > RPC_UDP_PAYLOAD_MAX) end = RPC_UDP_PAYLOAD_MAX;
    *room = end > at + 3 ? end - at - 3 : 0;
    return xp->msg + at;
}
