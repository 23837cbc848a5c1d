// Client calls to this host: the call header, one exchange over UDP or TCP,
// and the judgement of the reply.
#include "rpc/clnt.h"

#include <atomic>
#include <ctime>
#include <mutex>

#include "platform/bytes.h"
#include "rpc/clnt_internal.h"
#include "rpc/rpc_internal.h"
#include "rpc/loop.h"
#include "base/log.h"

namespace {

constexpr uint32_t AUTH_NULL = 0;

// Shared by every calling thread; atomic so that two calls never take the
// same id.
std::atomic<uint32_t> next_xid{0};
std::once_flag xid_start;

uint32_t take_xid() {
    std::call_once(xid_start, [] { next_xid.store(uint32_t(time(nullptr)) & 0xFFFF); });
    return next_xid.fetch_add(1);
}

}  // namespace

uint32_t clnt_word(const uint8_t *p) {
    return load_be32(p);
}

bool clnt_wait_readable(sock_t s, int timeout_ms) {
    // poll, not select: a client call may run while the server holds more
    // descriptors than an fd_set can name, and FD_SET would write past it.
    sock_wait want{s, false};
    for (;;) {
        int r = sock_poll(&want, 1, timeout_ms);
        if (r > 0) return true;
        // An interrupted wait restarts with the whole limit.
        if (r == 0 || !sock_error_transient(sock_errno())) return false;
    }
}

void clnt_xprt_init(xprt *xp, uint8_t *buffer, uint32_t size) {
    *xp = xprt{};
    xp->sock = SOCK_INVALID;
    xp->buffer = buffer;
    xp->msg = buffer + 4;
    xp->size = size;
    xp->peer_len = sizeof(sockaddr_in);
}

uint32_t clnt_call_header(xprt *xp, uint32_t prog, uint32_t vers, uint32_t proc) {
    static const uint32_t empty = 0;  // length word of an empty body
    xp->xid = take_xid();
    uint32_t len = xdr_pack(xp->msg, "qqqqqqqoqo", xp->xid, RPC_MSG_CALL, RPC_VERSION, prog, vers,
                            proc, AUTH_NULL, &empty, AUTH_NULL, &empty);
    xp->count = int32_t(len);
    return len;
}

bool clnt_open(xprt *xp, uint16_t protocol, uint16_t port) {
    xp->protocol = protocol;
    xp->peer = sockaddr_in{};
    xp->peer.sin_family = AF_INET;
    xp->peer.sin_port = htons(port);
    xp->peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    xp->peer_len = sizeof(sockaddr_in);
    if (protocol == RPC_UDP) {
        xp->sock = udp_socket(0, 0);
        return xp->sock != SOCK_INVALID;
    }
    xp->sock = socket(AF_INET, SOCK_STREAM, 0);
    if (xp->sock == SOCK_INVALID) return false;
    if (connect(xp->sock, reinterpret_cast<const sockaddr *>(&xp->peer), xp->peer_len) != 0) {
        sock_close(xp->sock);
        xp->sock = SOCK_INVALID;
        return false;
    }
    return true;
}

int32_t clnt_check_reply(const xprt *xp) {
    if (xp->count < 20) return CLNT_SHORT;
    const uint8_t *m = xp->msg;
    if (clnt_word(m) != xp->xid) return CLNT_BAD_XID;
    if (clnt_word(m + 4) != RPC_MSG_REPLY) return CLNT_NOT_REPLY;
    uint32_t stat = clnt_word(m + 8);
    if (stat == RPC_MSG_DENIED) return clnt_word(m + 12) == 0 ? CLNT_RPC_MISMATCH : CLNT_AUTH_ERROR;
    if (stat != RPC_MSG_ACCEPTED) return CLNT_NOT_REPLY;
    // The accept status lies in word 5 only when it was received.
    if (xp->count < int32_t(CLNT_RESULTS)) return CLNT_SHORT;
    switch (clnt_word(m + 20)) {
        case RPC_SUCCESS:
            return xp->count;
        case RPC_PROG_MISMATCH:
            return CLNT_PROG_MISMATCH;
        case RPC_PROG_UNAVAIL:
            return CLNT_PROG_UNAVAIL;
        case RPC_PROC_UNAVAIL:
            return CLNT_PROC_UNAVAIL;
        default:
            return CLNT_SYSTEM_ERR;
    }
}

int32_t clnt_receive(xprt *xp) {
    int32_t result = CLNT_TIMEOUT;
    if (!clnt_wait_readable(xp->sock, CLNT_WAIT_MS)) {
        log_printf(LOG_EVENT, "RPC receive timeout\n");
    } else {
        bool got = xp->protocol == RPC_UDP ? udp_receive(xp) : tcp_receive_record(xp, CLNT_WAIT_MS);
        if (!got) xp->count = 0;
        result = clnt_check_reply(xp);
    }
    sock_close(xp->sock);
    xp->sock = SOCK_INVALID;
    return result;
}

int32_t clnt_exchange(xprt *xp, uint16_t protocol, uint16_t port) {
    if (!clnt_open(xp, protocol, port)) {
        log_printf(LOG_EVENT, "RPC open failed\n");
        return CLNT_TIMEOUT;
    }
    if (rpc_send(xp) < 1) {
        log_printf(LOG_EVENT, "RPC send failed\n");
        sock_close(xp->sock);
        xp->sock = SOCK_INVALID;
        return CLNT_TIMEOUT;
    }
    return clnt_receive(xp);
}

bool is_local_address(uint32_t addr) {
    return net_is_local_address(addr);
}
