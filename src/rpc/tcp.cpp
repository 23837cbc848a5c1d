// The TCP transport: listening sockets and the record-marked receive
// (RFC 1831 section 10) of connections and client calls.
//
// A connection receives into its buffer from the 4 reserved bytes in front
// of the message area on, as much as fits, so that one receive usually
// brings the record mark, the call and any calls sent behind it. Each
// fragment's data is moved down over the marks that precede it, so the
// record lies whole at the message area; whatever follows the record is
// kept in the connection's `ahead` area while the reply overwrites the
// message area, and is put back in front before the next record is read.
#include <cstring>

#include "platform/clock.h"
#include "rpc/clnt_internal.h"
#include "rpc/loop.h"
#include "rpc/rpc_internal.h"
#include "base/log.h"

namespace {

constexpr uint32_t LAST_FRAGMENT = 0x80000000u;

bool resolve(const char *host, in_addr *addr) {
    if (!host || !*host) {
        addr->s_addr = htonl(INADDR_ANY);
        return true;
    }
    if (inet_pton(AF_INET, host, addr) == 1) return true;
    // s_addr is no uint32_t everywhere (Winsock: unsigned long).
    uint32_t found;
    if (!net_host_address(host, &found)) return false;
    addr->s_addr = found;
    return true;
}

enum recv_status { RECV_OK, RECV_CLOSED, RECV_TIMEOUT };

// The receive window of one record: bytes [r, w) of the buffer arrived but
// are not used yet; the record assembled so far lies at msg[0, length).
struct window {
    xprt *xp;
    uint8_t *b;    // xp->buffer: the 4 reserved bytes, then the message area
    uint32_t cap;  // bytes the buffer holds: xp->size + 4
    uint32_t r, w;
    int timeout_ms;    // >= 0: the longest wait for each piece (clients)
    uint32_t since;    // tick the idle limit counts from
    uint32_t idle_ms;  // > 0: fail once this long has passed since `since`
};

// Makes at least `need` bytes available from r on.
recv_status fill(window *win, uint32_t need) {
    while (win->w - win->r < need) {
        xprt *xp = win->xp;
        if (win->timeout_ms >= 0 && !clnt_wait_readable(xp->sock, win->timeout_ms))
            return RECV_TIMEOUT;
        // A connection takes whatever has arrived; a client no more than
        // its record, since nothing behind it is any use to it.
        uint32_t want = xp->ahead ? win->cap - win->w : win->r + need - win->w;
        ssize_t n = recv(xp->sock, win->b + win->w, want, 0);
        // Only an interrupted receive is repeated: "would block" on a
        // blocking socket is the receive time-out of an idle connection.
        if (n < 0 && sock_error_interrupted(sock_errno())) continue;
        if (n < 1) return RECV_CLOSED;
        win->w += uint32_t(n);
        if (win->idle_ms > 0 && tick_count() - win->since > win->idle_ms) return RECV_CLOSED;
    }
    return RECV_OK;
}

bool filled(window *win, uint32_t need) {
    recv_status st = fill(win, need);
    if (st == RECV_TIMEOUT) log_printf(LOG_EVENT, "RPC tcp receive timeout\n");
    return st == RECV_OK;
}

// Makes sure `need` bytes from r on fit the buffer, moving the unused bytes
// down to `home` (where the next mark would stand had every earlier mark
// been moved out) when they would not. False when they cannot fit at all.
bool make_room(window *win, uint32_t home, uint32_t need) {
    if (win->r + need <= win->cap) return true;
    if (home + need > win->cap) return false;
    memmove(win->b + home, win->b + win->r, win->w - win->r);
    win->w -= win->r - home;
    win->r = home;
    return true;
}

void log_fragments(const xprt *xp) {
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &xp->peer.sin_addr, addr, sizeof addr);
    log_printf(LOG_EVENT, "rpc: tcp record in more than %u fragments from %s, connection closed\n",
               TCP_FRAGMENTS_MAX, addr);
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
        listen(s, SOMAXCONN) != 0) {
        sock_close(s);
        return SOCK_INVALID;
    }
    return s;
}

bool tcp_receive(xprt *xp, int timeout_ms, uint32_t since, uint32_t idle_ms) {
    window win{xp, xp->buffer, xp->size + 4, 0, 0, timeout_ms, since, idle_ms};
    if (xp->ahead && xp->ahead_count > 0) {
        memcpy(win.b, xp->ahead, xp->ahead_count);
        win.w = xp->ahead_count;
        xp->ahead_count = 0;
    }
    uint32_t length = 0;
    for (uint32_t fragments = 0;; fragments++) {
        if (fragments == TCP_FRAGMENTS_MAX) {
            log_fragments(xp);
            return false;
        }
        // The mark of a later fragment takes 4 bytes behind the data; a
        // record that does not fit is refused rather than served cut, which
        // would also leave the stream out of step.
        uint32_t home = length == 0 ? 0 : 4 + length;
        if (!make_room(&win, home, 4)) return false;
        if (!filled(&win, 4)) return false;
        uint32_t mark = clnt_word(win.b + win.r);
        uint32_t n = mark & ~LAST_FRAGMENT;
        if (uint64_t(length) + 4 + n > xp->size || !make_room(&win, home, 4 + n)) return false;
        if (!filled(&win, 4 + n)) return false;
        if (win.r + 4 != 4 + length) memmove(xp->msg + length, win.b + win.r + 4, n);
        win.r += 4 + n;
        length += n;
        if (mark & LAST_FRAGMENT) break;
    }
    if (xp->ahead && win.w > win.r) {
        xp->ahead_count = win.w - win.r;
        memcpy(xp->ahead, win.b + win.r, xp->ahead_count);
    }
    xp->count = int32_t(length);
    return true;
}

bool tcp_receive_record(xprt *xp, int timeout_ms) {
    return tcp_receive(xp, timeout_ms, 0, 0);
}

