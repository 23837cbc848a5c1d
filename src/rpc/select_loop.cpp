// The select loop: one thread waiting on every registered socket, serving
// UDP calls in place and handing accepted TCP connections to threads of
// their own, with the cache sweep and the power request on its beat.
#include <cerrno>
#include <mutex>

#include "platform/power.h"
#include "rpc/loop.h"
#include "base/config.h"
#include "base/log.h"

std::atomic<int> xprt_stop{0};
std::atomic<int> xprt_idle{0};
loop_sweep_fn select_loop_sweep = nullptr;

namespace {

constexpr uint32_t BEAT_MS = 2000;

// The served set and the transport list. xprt_add and xprt_reset fill them
// before the loop starts; afterwards only the loop's thread changes them,
// except that xprt_close_all may run on another thread at any time. The lock
// keeps those two apart; the loop walks the list without it because nobody
// else frees or links records while it runs. A listening record's entry
// carries the listener that tracks its connections.
struct served {
    xprt *xp;
    tcp_listener *listener;  // TCP listening records only
};
std::mutex loop_lock;
served set[XPRT_MAX_SOCKETS];
uint32_t set_count = 0;
xprt *transports = nullptr;
bool loop_running = false;

void serve_tcp(xprt *xp, rpc_call *call) {
    xprt_idle.store(0);
    rpc_dispatch(xp, call);
}

void set_clear() {
    for (uint32_t i = 0; i < set_count; i++) tcp_listener_release(set[i].listener);
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

void accept_connection(tcp_listener *l) {
    switch (tcp_accept(l)) {
        case TCP_ACCEPT_NO_RECORD:
            log_printf(LOG_EVENT, "nfsd: tcp create error\n");
            break;
        case TCP_ACCEPT_NO_THREAD:
            log_printf(LOG_EVENT, "nfsd: tcp thread create error\n");
            break;
        case TCP_ACCEPT_EXHAUSTED:
            log_printf(LOG_EVENT, "nfsd: tcp accept: out of descriptors\n");
            break;
        default:  // served, or a failed accept, which is ignored
            break;
    }
}

// The sockets to wait on this pass: every served record but the listeners
// that rest after running out of descriptors; *timeout_ms shrinks to the
// end of the shortest rest.
uint32_t wait_set(sock_wait *want, served *which, int *timeout_ms) {
    std::lock_guard<std::mutex> hold(loop_lock);
    uint32_t n = 0;
    for (uint32_t i = 0; i < set_count; i++) {
        uint32_t rest = set[i].listener ? tcp_listener_resting(set[i].listener) : 0;
        if (rest > 0) {
            if (int(rest) < *timeout_ms) *timeout_ms = int(rest);
            continue;
        }
        want[n] = sock_wait{set[i].xp->sock, false};
        which[n++] = set[i];
    }
    return n;
}

void serve_ready(const sock_wait *want, const served *which, uint32_t n, rpc_call *call) {
    for (uint32_t i = 0; i < n; i++) {
        if (!want[i].readable) continue;
        xprt *xp = which[i].xp;
        if (!which[i].listener) {
            if (udp_receive(xp) && rpc_decode_call(xp, call)) {
                xprt_idle.store(1);
                rpc_dispatch(xp, call);
            }
        } else {
            accept_connection(which[i].listener);
        }
    }
}

}  // namespace

void xprt_add(xprt *xp) {
    std::lock_guard<std::mutex> hold(loop_lock);
    bool present = false;
    for (uint32_t i = 0; i < set_count; i++) present = present || set[i].xp->sock == xp->sock;
    if (!present && set_count < XPRT_MAX_SOCKETS) {
        tcp_listener *l = nullptr;
        if (xp->protocol == RPC_TCP)
            l = tcp_listener_create(xp->sock, xp->port, xp->size, config.tcp_connections,
                                    config.threads, serve_tcp);
        // A listener without its record cannot accept; leave it unserved.
        if (xp->protocol != RPC_TCP || l) set[set_count++] = served{xp, l};
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
    sock_wait want[XPRT_MAX_SOCKETS];
    served which[XPRT_MAX_SOCKETS];
    for (;;) {
        if (select_loop_sweep) select_loop_sweep();
        power_beat(&awake);
        int timeout_ms = int(BEAT_MS);
        uint32_t count = wait_set(want, which, &timeout_ms);
        bool resting = timeout_ms < int(BEAT_MS);
        // Winsock refuses to wait on an empty set; do the same rather than
        // sleep for ever in a loop that can never serve anything.
        int err = EINVAL;
        int n = -1;
        if (count > 0 || resting) {
            n = sock_poll(want, count, timeout_ms);
            if (n < 0) err = sock_errno();
        }
        if (n == 0) {
            if (!resting) xprt_idle.fetch_add(1);
        } else if (n < 0) {
            if (!sock_error_transient(err)) {
                log_printf(LOG_EVENT, "nfsd: fatal read error %d\n", err);
                break;
            }
        } else {
            serve_ready(want, which, count, &call);
        }
        if (xprt_stop.load()) break;
    }
    // The request belongs to this thread on Windows and ends with it.
    if (awake) power_set_state(POWER_CONTINUOUS);
    std::lock_guard<std::mutex> hold(loop_lock);
    loop_running = false;
    if (xprt_stop.load()) free_all();
}
