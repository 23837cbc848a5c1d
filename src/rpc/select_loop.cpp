// The select loop: one thread waiting on every registered socket, serving
// UDP calls in place and handing accepted TCP connections to threads of
// their own, with the cache sweep and the power request on its beat.
#include <cerrno>
#include <mutex>

#include "platform/power.h"
#include "rpc/loop.h"
#include "server/log.h"

std::atomic<int> xprt_stop{0};
std::atomic<int> xprt_idle{0};
loop_sweep_fn select_loop_sweep = nullptr;

namespace {

constexpr long BEAT_SECONDS = 2;

// The socket set and the transport list. xprt_add and xprt_reset fill them
// before the loop starts; afterwards only the loop's thread changes them,
// except that xprt_close_all may run on another thread at any time. The lock
// keeps those two apart; the loop walks the list without it because nobody
// else frees or links records while it runs.
std::mutex loop_lock;
fd_set master;
sock_t max_sock = SOCK_INVALID;
uint32_t set_count = 0;
xprt *transports = nullptr;
bool loop_running = false;

bool fits_set(sock_t s) {
    return s >= 0 && s < FD_SETSIZE;
}

void set_clear() {
    FD_ZERO(&master);
    max_sock = SOCK_INVALID;
    set_count = 0;
}

// Closes and frees every record. Lock held; the loop is not walking the list.
void free_all() {
    set_clear();
    while (transports) {
        xprt *xp = transports;
        transports = xp->next;
        sock_close(xp->sock);
        xprt_free(xp);
    }
}

// Asks for or releases the stay-awake request as the idle count says; the
// machine may sleep again about 20 s after the last call served.
void power_beat(bool *awake) {
    int idle = xprt_idle.load();
    if (idle < XPRT_IDLE_BEATS && !*awake) {
        power_set_state(POWER_CONTINUOUS | POWER_SYSTEM_REQUIRED);
        *awake = true;
    } else if (idle >= XPRT_IDLE_BEATS && *awake) {
        power_set_state(POWER_CONTINUOUS);
        *awake = false;
    }
}

void accept_connection(xprt *listener) {
    switch (tcp_accept(listener->sock, listener->port, listener->size, tcp_connection)) {
        case TCP_ACCEPT_NO_RECORD:
            log_printf(1, "nfsd: tcp create error\n");
            break;
        case TCP_ACCEPT_NO_THREAD:
            log_printf(1, "nfsd: tcp thread create error\n");
            break;
        default:  // served, or a failed accept, which is ignored
            break;
    }
}

void serve_ready(fd_set *ready, rpc_call *call) {
    for (xprt *xp = transports; xp; xp = xp->next) {
        if (!fits_set(xp->sock) || !FD_ISSET(xp->sock, ready)) continue;
        if (xp->protocol == RPC_UDP) {
            if (udp_receive(xp) && rpc_decode_call(xp, call)) {
                xprt_idle.store(1);
                rpc_dispatch(xp, call);
            }
        } else {
            accept_connection(xp);
        }
    }
}

}  // namespace

void xprt_add(xprt *xp) {
    std::lock_guard<std::mutex> hold(loop_lock);
    if (fits_set(xp->sock) && !FD_ISSET(xp->sock, &master) && set_count < XPRT_MAX_SOCKETS) {
        FD_SET(xp->sock, &master);
        set_count++;
        if (xp->sock > max_sock) max_sock = xp->sock;
    }
    xp->next = transports;
    transports = xp;
}

void xprt_reset() {
    std::lock_guard<std::mutex> hold(loop_lock);
    set_clear();
}

void xprt_close_all() {
    std::lock_guard<std::mutex> hold(loop_lock);
    xprt_stop.store(1);
    if (!loop_running) {
        free_all();
        return;
    }
    // Closing a descriptor that another thread waits on neither wakes it nor
    // is safe (the number may be reused at once). Shutting the sockets down
    // makes them readable, so the loop wakes, finds the flag and frees them.
    for (xprt *xp = transports; xp; xp = xp->next) shutdown(xp->sock, SHUT_RDWR);
}

void select_loop() {
    {
        std::lock_guard<std::mutex> hold(loop_lock);
        if (xprt_stop.load()) {
            free_all();
            return;
        }
        loop_running = true;
    }
    rpc_call call;
    bool awake = false;
    for (;;) {
        if (select_loop_sweep) select_loop_sweep();
        power_beat(&awake);
        fd_set ready;
        sock_t top;
        uint32_t count;
        {
            std::lock_guard<std::mutex> hold(loop_lock);
            ready = master;
            top = max_sock;
            count = set_count;
        }
        // Winsock refuses to wait on an empty set; do the same rather than
        // sleep for ever in a loop that can never serve anything.
        int err = EINVAL;
        int n = -1;
        if (count > 0) {
            timeval tv{BEAT_SECONDS, 0};
            n = select(top + 1, &ready, nullptr, nullptr, &tv);
            if (n < 0) err = sock_errno();
        }
        if (n == 0) {
            xprt_idle.fetch_add(1);
        } else if (n < 0) {
            if (!sock_error_transient(err)) {
                log_printf(1, "nfsd: fatal read error %d\n", err);
                break;
            }
        } else {
            serve_ready(&ready, &call);
        }
        if (xprt_stop.load()) break;
    }
    // The request belongs to this thread on Windows and ends with it.
    if (awake) power_set_state(POWER_CONTINUOUS);
    std::lock_guard<std::mutex> hold(loop_lock);
    loop_running = false;
    if (xprt_stop.load()) free_all();
}
