// The TCP transport: listening sockets, record-marked receive (RFC 1831
// section 10) and the connection threads that serve one client each.

#include <cstring>
#include <thread>

#include "rpc/clnt_internal.h"
#include "rpc/loop.h"
#include "server/log.h"

namespace {

constexpr uint32_t LAST_FRAGMENT = 0x80000000u;
constexpr int LISTEN_BACKLOG = 5;

enum recv_status { RECV_OK, RECV_CLOSED, RECV_TIMEOUT };

// Receives exactly n bytes. A client that stalls for timeout_ms between two
// pieces gives RECV_TIMEOUT; a closed connection or an error RECV_CLOSED.
recv_status recv_exact(sock_t s, uint8_t *p, uint32_t n, int timeout_ms) {
    uint32_t done = 0;
    while (done < n) {
        if (timeout_ms >= 0 && !clnt_wait_readable(s, timeout_ms)) return RECV_TIMEOUT;
        ssize_t r = recv(s, p + done, n - done, 0);
        if (r < 0 && sock_error_transient(sock_errno())) continue;
        if (r < 1) return RECV_CLOSED;
        done += uint32_t(r);
    }
    return RECV_OK;
}

bool resolve(const char *host, in_addr *addr) {
    if (!host || !*host) {
        addr->s_addr = htonl(INADDR_ANY);
        return true;
    }
    if (inet_pton(AF_INET, host, addr) == 1) return true;
    return net_host_address(host, &addr->s_addr);
}

}  // namespace

sock_t tcp_listen_socket(const char *host, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (!resolve(host, &addr.sin_addr)) return SOCK_INVALID;
    sock_t s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == SOCK_INVALID) return SOCK_INVALID;
    // Without it a restart fails while old connections sit in TIME_WAIT; on
    // Linux it never lets a second listener share the port.
    int on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(s, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(s, LISTEN_BACKLOG) != 0) {
        sock_close(s);
        return SOCK_INVALID;
    }
    return s;
}

tcp_accept_result tcp_accept(sock_t listener, uint16_t port, uint32_t size, void (*body)(xprt *)) {
    sockaddr_in peer{};
    socklen_t peer_len = sizeof peer;
    sock_t s = accept(listener, reinterpret_cast<sockaddr *>(&peer), &peer_len);
    if (s == SOCK_INVALID) return TCP_ACCEPT_NONE;
    // A record without a message area would take the first record mark
    // in front of nothing.
    xprt *xp = size > 0 ? xprt_create(s, RPC_TCP, port, size) : nullptr;
    if (!xp) {
        sock_close(s);
        return TCP_ACCEPT_NO_RECORD;
    }
    xp->peer = peer;
    xp->peer_len = peer_len;
    try {
        std::thread(body, xp).detach();
    } catch (...) {
        sock_close(s);
        xprt_free(xp);
        return TCP_ACCEPT_NO_THREAD;
    }
    return TCP_ACCEPT_SERVED;
}

// The record is assembled from the 4 reserved bytes in front of the message
// area on: each fragment's mark is received at the current end of the data
// and the fragment's bytes after it are moved down over the mark.
bool tcp_receive_record(xprt *xp, int timeout_ms) {
    uint32_t room = xp->size;  // bytes left from the current mark position on
    uint32_t length = 0;       // record bytes assembled at xp->msg
    for (;;) {
        // A record that filled the buffer without its last fragment does not
        // fit: it is refused rather than served cut, which would also leave
        // the stream out of step.
        if (room < 4) return false;
        uint8_t *mark = length == 0 ? xp->msg - 4 : xp->msg + length;
        recv_status st = recv_exact(xp->sock, mark, 4, timeout_ms);
        if (st == RECV_OK) {
            uint32_t word = clnt_word(mark);
            uint32_t n = word & ~LAST_FRAGMENT;
            if (n > room - 4) return false;  // record too large
            st = recv_exact(xp->sock, mark + 4, n, timeout_ms);
            if (st == RECV_OK) {
                if (length > 0) memmove(mark, mark + 4, n);
                length += n;
                room -= n;
                if (word & LAST_FRAGMENT) {
                    xp->count = int32_t(length);
                    return true;
                }
                continue;
            }
        }
        if (st == RECV_TIMEOUT) log_printf(1, "RPC tcp receive timeout\n");
        return false;
    }
}

void tcp_connection(xprt *xp) {
    rpc_call call;
    while (tcp_receive_record(xp, -1)) {
        if (!rpc_decode_call(xp, &call)) break;
        xprt_idle.store(0);
        rpc_dispatch(xp, &call);
    }
    sock_close(xp->sock);
    xprt_free(xp);
}
