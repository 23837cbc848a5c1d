// Call decoding, authentication and dispatch to the registered handler.
#include <cstring>

#include "platform/bytes.h"
#include "rpc/rpc.h"
#include "rpc/rpc_internal.h"

namespace {

uint32_t round4(uint32_t n) {
    return n + xdr_pad(n);
}

void cred_anonymous(rpc_cred *cred) {
    cred->stamp = 0;
    cred->machine[0] = 0;
    cred->uid = RPC_ANON_ID;
    cred->gid = RPC_ANON_ID;
    cred->ngroups = 0;
}

// Parses the kept AUTH_UNIX body (authsys_parms). Every field is checked
// against the declared credential length before it is read, so a short body
// never picks up an earlier call's bytes. Returns 0 or an auth status.
uint32_t auth_unix_parse(rpc_call *call) {
    const uint8_t *body = call->cred + 4;
    const uint32_t len = call->cred_len;
    rpc_cred *cred = &call->unix_cred;
    uint32_t off = 0;
    if (len < 8) return RPC_AUTH_BADCRED;
    cred->stamp = load_be32(body);
    uint32_t name_len = load_be32(body + 4);
    if (name_len > 255) return RPC_AUTH_BADCRED;
    off = 8 + round4(name_len);
    if (uint64_t(off) + 12 > len) return RPC_AUTH_BADCRED;
    memcpy(cred->machine, body + 8, name_len);
    cred->machine[name_len] = 0;
    cred->uid = load_be32(body + off);
    cred->gid = load_be32(body + off + 4);
    uint32_t ngroups = load_be32(body + off + 8);
    if (ngroups > 32) return RPC_AUTH_BADCRED;
    off += 12;
    if (uint64_t(off) + 4 * ngroups > len) return RPC_AUTH_BADCRED;
    for (uint32_t i = 0; i < ngroups; i++) cred->groups[i] = load_be32(body + off + 4 * i);
    cred->ngroups = ngroups;
    return 0;
}

}  // namespace

bool rpc_decode_call(xprt *xp, rpc_call *call) {
    if (xp->count < 32) return false;
    uint32_t count = uint32_t(xp->count);
    if (count > xp->size) count = xp->size;
    const uint8_t *m = xp->msg;

    xp->xid = load_be32(m);
    call->msg_type = load_be32(m + 4);
    if (call->msg_type != RPC_MSG_CALL) return false;
    call->rpc_version = load_be32(m + 8);
    if (call->rpc_version != RPC_VERSION) {
        // The verifier is not known yet; the denied reply does not carry one.
        rpc_version_mismatch_reply(xp, call, RPC_VERSION, RPC_VERSION);
        return false;
    }
    call->prog = load_be32(m + 12);
    call->vers = load_be32(m + 16);
    call->proc = load_be32(m + 20);
    call->cred_flavor = load_be32(m + 24);
    call->cred_len = load_be32(m + 28);
    if (call->cred_len > RPC_MAX_AUTH) {
        rpc_auth_error_reply(xp, call, RPC_AUTH_BADCRED);
        return false;
    }
    // Credential body, then the verifier's flavour and length words.
    uint32_t verf_at = 32 + round4(call->cred_len);
    if (verf_at + 8 > count) return false;
    memcpy(call->cred, m + 28, 4 + call->cred_len);

    call->verf_flavor = load_be32(m + verf_at);
    call->verf_len = load_be32(m + verf_at + 4);
    if (call->verf_len > RPC_MAX_AUTH) {
        rpc_auth_error_reply(xp, call, RPC_AUTH_BADVERF);
        return false;
    }
    uint32_t args_at = verf_at + 8 + round4(call->verf_len);
    if (args_at > count) return false;
    memcpy(call->verf, m + verf_at + 4, 4 + call->verf_len);

    call->args = reinterpret_cast<const uint32_t *>(m + args_at);
    call->pos = 0;
    call->arg_len = count - args_at;
    return true;
}

void rpc_dispatch(xprt *xp, rpc_call *call) {
    uint32_t status;
    switch (call->cred_flavor) {
        case 0:
            cred_anonymous(&call->unix_cred);
            status = 0;
            break;
        case 1:
            status = auth_unix_parse(call);
            break;
        default:
            status = RPC_AUTH_REJECTEDCRED;
            break;
    }
    if (status != 0) {
        rpc_auth_error_reply(xp, call, status);
        return;
    }

    uint32_t low = 0xFFFFFFFF, high = 0;
    bool known = false;
    for (rpc_entry *e = rpc_registry_first(); e; e = e->next.load(std::memory_order_acquire)) {
        if (e->prog != call->prog) continue;
        if (e->vers == call->vers) {
            e->handler(xp, call);
            return;
        }
        known = true;
        if (e->vers < low) low = e->vers;
        if (e->vers > high) high = e->vers;
    }
    if (known)
        rpc_prog_mismatch_reply(xp, call, low, high);
    else
        rpc_error_reply(xp, call, RPC_PROG_UNAVAIL);
}
