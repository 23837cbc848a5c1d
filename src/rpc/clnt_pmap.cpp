// Registration with the portmapper: SET and UNSET of the server's programs.
// They leave from one socket kept for the whole run, bound to a privileged
// port when the process has the right to bind one. The portmapper lets a
// mapping be removed only by a privileged caller or by the one that set it;
// so our UNSET at stop, coming from the port our SET came from, always
// counts as ours, and no other local program can take that port meanwhile.
#include <mutex>

#include "platform/clock.h"
#include "rpc/clnt.h"
#include "rpc/clnt_internal.h"
#include "base/log.h"

namespace {

constexpr uint32_t PMAP_SET = 1;
constexpr uint32_t PMAP_UNSET = 2;
constexpr uint32_t SET_BUFFER = 1500;

std::mutex registration_lock;
sock_t registration_sock = SOCK_INVALID;

// The socket, made at the first call. Lock held.
sock_t registration_socket() {
    if (registration_sock != SOCK_INVALID) return registration_sock;
    uint32_t lo = htonl(INADDR_LOOPBACK);
    sock_t s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == SOCK_INVALID) return s;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = lo;
    if (!sock_bind_privileged(s, lo) &&
        bind(s, reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0) {
        sock_close(s);
        return SOCK_INVALID;
    }
    registration_sock = s;
    return s;
}

// Waits up to 2 s for the portmapper's answer to the call in xp. Answers
// to earlier calls that came too late, and datagrams from anybody else, are
// passed over. The result of clnt_check_reply, or 0 on time-out.
int32_t receive_answer(xprt *xp) {
    uint32_t start = tick_count();
    for (;;) {
        uint32_t spent = tick_count() - start;
        if (spent >= uint32_t(CLNT_WAIT_MS) ||
            !clnt_wait_readable(xp->sock, int(uint32_t(CLNT_WAIT_MS) - spent))) {
            log_printf(LOG_EVENT, "RPC receive timeout\n");
            return CLNT_TIMEOUT;
        }
        if (!udp_receive(xp)) continue;
        if (xp->peer.sin_port != htons(PMAP_PORT) ||
            xp->peer.sin_addr.s_addr != htonl(INADDR_LOOPBACK))
            continue;
        int32_t r = clnt_check_reply(xp);
        if (r != CLNT_BAD_XID) return r;
    }
}

}  // namespace

bool pmap_set_unset(uint32_t prog, uint32_t vers, uint32_t protocol, uint16_t port) {
    std::lock_guard<std::mutex> hold(registration_lock);
    uint8_t buffer[4 + SET_BUFFER];
    xprt xp;
    clnt_xprt_init(&xp, buffer, SET_BUFFER);
    uint32_t len = clnt_call_header(&xp, PMAP_PROG, PMAP_VERS, port > 0 ? PMAP_SET : PMAP_UNSET);
    len += xdr_pack(xp.msg + len, "qqqw", prog, vers, protocol, port);
    xp.count = int32_t(len);
    xp.protocol = RPC_UDP;
    xp.peer.sin_family = AF_INET;
    xp.peer.sin_port = htons(PMAP_PORT);
    xp.peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    xp.sock = registration_socket();
    if (xp.sock == SOCK_INVALID) {
        log_printf(LOG_EVENT, "RPC open failed\n");
        return false;
    }
    if (rpc_send(&xp) < 1) {
        log_printf(LOG_EVENT, "RPC send failed\n");
        return false;
    }
    int32_t r = receive_answer(&xp);
    return r == int32_t(CLNT_RESULTS + 4) && clnt_word(xp.msg + CLNT_RESULTS) != 0;
}

bool clnt_pmap_call(bool set, uint32_t prog, uint32_t vers, uint32_t protocol, uint16_t port) {
    return pmap_set_unset(prog, vers, protocol, set ? port : 0);
}
