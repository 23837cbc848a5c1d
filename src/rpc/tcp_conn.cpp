// Accepted connections: each listener keeps the connections open on it, so
// that their number stays within its bound and a client that says nothing
// cannot hold a descriptor for ever. A connection is served by threads of
// its own, at most the listener's `calls` of them, each with its own message
// area. They take turns reading: the one that has read a call hands the turn
// on (to a waiting thread, or to one it starts while under the bound) and
// serves the call, so a slow call never holds back the calls sent behind it,
// and each reply goes out as soon as it is ready. The listener only ever
// shuts a connection's socket down (which wakes its reader); the last of its
// threads to leave closes and frees it, so no reply is ever sent on a
// descriptor that another connection has since been given.
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "platform/clock.h"
#include "rpc/loop.h"
#include "rpc/rpc_internal.h"
#include "rpc/rpc_proc.h"
#include "base/config.h"
#include "base/log.h"

std::atomic<uint32_t> tcp_idle_ms{6 * 60 * 1000};

namespace {

struct tcp_conn {
    xprt *xp;  // the first thread's record: owns the socket and the ahead area
    tcp_listener *owner;
    tcp_conn *prev, *next;         // the owner's list; under its lock
    std::atomic<uint32_t> active;  // tick of accept, of the last complete record or reply
    bool shut;                     // shut down by the listener; under its lock
    // The threads serving it; under `turn`.
    std::mutex turn;
    std::condition_variable turn_free;
    uint32_t threads;   // running
    uint32_t waiting;   // waiting for the turn to read
    bool reading;       // one of them holds the turn
    bool ended;         // the stream failed or a call did not decode: no more reads
    uint32_t ahead_count;  // calls sent ahead, passed from reader to reader
    std::mutex send;    // the xprt's send_lock
};

}  // namespace

struct tcp_listener {
    tcp_listener *next_listener;  // every listener of the process; under listeners_lock
    sock_t sock;
    uint16_t port;
    uint32_t size;
    uint32_t limit;
    uint32_t calls;  // calls of one connection served at once
    void (*serve)(xprt *, rpc_call *);
    uint32_t rest_from;  // tick of the last exhausted accept
    bool resting;
    // The open connections, those shut down among them, and whether the
    // owner has let go: the last one out frees the listener.
    std::mutex lock;
    tcp_conn *conns;
    uint32_t open;
    uint32_t shut;
    bool released;
};

namespace {

// Every listener, so that a port short of descriptors can close the idle
// connections of another. Taken before any listener's own lock.
std::mutex listeners_lock;
tcp_listener *listeners = nullptr;

uint32_t peer_of(const tcp_conn *c) {
    return c->xp->peer.sin_addr.s_addr;
}

// Connections of the listener from `addr` that are not on their way out.
// Lock held.
uint32_t open_from(const tcp_listener *l, uint32_t addr) {
    uint32_t n = 0;
    for (const tcp_conn *c = l->conns; c; c = c->next) n += !c->shut && peer_of(c) == addr;
    return n;
}

// The connection that has gone longest without a complete record, among
// those from `addr` (any address when `any`), not counting one already on
// its way out. Lock held.
tcp_conn *longest_idle(tcp_listener *l, bool any, uint32_t addr) {
    uint32_t now = tick_count();
    tcp_conn *oldest = nullptr;
    for (tcp_conn *c = l->conns; c; c = c->next)
        if (!c->shut && (any || peer_of(c) == addr) &&
            (!oldest || now - c->active.load() > now - oldest->active.load()))
            oldest = c;
    return oldest;
}

// Still open: its thread closes the socket only after unlinking it. Lock held.
void shut(tcp_listener *l, tcp_conn *c) {
    if (!c) return;
    shutdown(c->xp->sock, SHUT_RDWR);
    c->shut = true;
    l->shut++;
}

// The bound is reached: the longest idle connection of the address that
// holds the most goes, so that a host opening connections disconnects its
// own before anybody else's. Lock held.
void shut_crowded(tcp_listener *l) {
    uint32_t now = tick_count(), most = 0;
    tcp_conn *victim = nullptr;
    for (tcp_conn *c = l->conns; c; c = c->next) {
        if (c->shut) continue;
        uint32_t n = open_from(l, peer_of(c));
        if (n > most || (n == most && now - c->active.load() > now - victim->active.load()))
            most = n, victim = c;
    }
    shut(l, victim);
}

// Short of descriptors: the longest idle connection of any listener goes.
void shut_longest_idle_anywhere() {
    std::lock_guard<std::mutex> all(listeners_lock);
    uint32_t now = tick_count(), best_idle = 0;
    tcp_listener *best = nullptr;
    for (tcp_listener *l = listeners; l; l = l->next_listener) {
        std::lock_guard<std::mutex> hold(l->lock);
        tcp_conn *c = longest_idle(l, true, 0);
        if (c && (!best || now - c->active.load() > best_idle))
            best = l, best_idle = now - c->active.load();
    }
    if (!best) return;
    std::lock_guard<std::mutex> hold(best->lock);
    shut(best, longest_idle(best, true, 0));
}

// Connections one client address may hold on one listener.
uint32_t per_address_limit(const tcp_listener *l) {
    return l->limit / 4 > 0 ? l->limit / 4 : 1;
}

void link(tcp_listener *l, tcp_conn *c) {
    std::lock_guard<std::mutex> hold(l->lock);
    if (l->open - l->shut >= l->limit) shut_crowded(l);
    // The newest is the most recently active: an address over its share
    // loses its longest idle connection instead.
    if (open_from(l, peer_of(c)) >= per_address_limit(l))
        shut(l, longest_idle(l, false, peer_of(c)));
    c->next = l->conns;
    if (l->conns) l->conns->prev = c;
    l->conns = c;
    l->open++;
}

void listener_free(tcp_listener *l) {
    {
        std::lock_guard<std::mutex> all(listeners_lock);
        tcp_listener **at = &listeners;
        while (*at && *at != l) at = &(*at)->next_listener;
        if (*at) *at = l->next_listener;
    }
    delete l;
}

// Whether the descriptor just given out leaves less than the reserve: the
// host hands out the lowest free number, so one this high means that few
// are left for the listeners and the files requests open.
bool descriptors_short(sock_t s) {
    uint32_t limit = sock_descriptor_limit();
    if (limit == 0) return false;
    uint32_t reserve = limit / 4;
    if (reserve < TCP_DESCRIPTOR_RESERVE_MIN) reserve = TCP_DESCRIPTOR_RESERVE_MIN;
    if (reserve > TCP_DESCRIPTOR_RESERVE_MAX) reserve = TCP_DESCRIPTOR_RESERVE_MAX;
    return uint32_t(s) + reserve >= limit;
}

// Unlinks and frees the connection; frees the listener too when it was the
// last one and the owner has let go.
void conn_end(tcp_conn *c) {
    tcp_listener *l = c->owner;
    bool last;
    {
        std::lock_guard<std::mutex> hold(l->lock);
        if (c->prev)
            c->prev->next = c->next;
        else
            l->conns = c->next;
        if (c->next) c->next->prev = c->prev;
        l->open--;
        if (c->shut) l->shut--;
        last = l->released && l->open == 0;
    }
    sock_close(c->xp->sock);
    xprt_free(c->xp);
    delete c;
    if (last) listener_free(l);
}

void conn_thread(tcp_conn *c, xprt *xp);

// Another thread for the connection, so that the next call can be read
// while this one is served; its record is made from the calling thread's
// own `mine` (the first record may be in use on another thread). Without
// memory or a thread the connection goes on with the threads it has.
void conn_grow(tcp_conn *c, const xprt *mine) {
    xprt *xp = xprt_create_sibling(mine);
    if (xp) {
        try {
            std::thread(conn_thread, c, xp).detach();
            return;
        } catch (...) {
            xprt_free(xp);
        }
    }
    std::lock_guard<std::mutex> hold(c->turn);
    c->threads--;
}

// Waits for the turn to read; false once the connection has ended.
bool conn_take_turn(tcp_conn *c) {
    std::unique_lock<std::mutex> hold(c->turn);
    c->waiting++;
    c->turn_free.wait(hold, [c] { return !c->reading || c->ended; });
    c->waiting--;
    if (c->ended) return false;
    c->reading = true;
    return true;
}

// Hands the turn on after a read; true when this thread is to start another.
bool conn_pass_turn(tcp_conn *c, bool ok) {
    std::lock_guard<std::mutex> hold(c->turn);
    c->reading = false;
    if (!ok) {
        c->ended = true;
        c->turn_free.notify_all();
        return false;
    }
    if (c->waiting > 0) {
        c->turn_free.notify_one();
        return false;
    }
    if (c->threads >= c->owner->calls) return false;  // the next reader is the first one done
    c->threads++;
    return true;
}

// Whether bytes of a later call have come: kept from the last receive or
// waiting on the socket.
bool more_waiting(const xprt *xp) {
    if (xp->ahead_count > 0) return true;
    sock_wait w{xp->sock, false};
    return sock_poll(&w, 1, 0) != 0;
}

// One of the connection's threads, serving through its own record `xp`. A
// connection counts as active when a record completes and again when its
// reply is out, so that a call that takes long to serve neither makes its
// connection the longest idle nor eats into the next record's time.
void conn_thread(tcp_conn *c, xprt *xp) {
    rpc_call call;
    bool turn = conn_take_turn(c);
    while (turn) {
        xp->ahead_count = c->ahead_count;
        bool ok = tcp_receive(xp, -1, c->active.load(), tcp_idle_ms.load());
        c->ahead_count = xp->ahead_count;
        if (ok) c->active.store(tick_count());
        ok = ok && rpc_decode_call(xp, &call);
        // A quick call with nothing sent behind it is served by its reader,
        // which keeps the turn: a client that waits for each reply then
        // costs no hand-over between threads, and one that sends ahead is
        // still served side by side.
        bool keep = ok && rpc_call_quick(&call) && !more_waiting(xp);
        if (!keep && conn_pass_turn(c, ok)) conn_grow(c, xp);
        if (!ok) break;
        c->owner->serve(xp, &call);
        c->active.store(tick_count());
        if (!keep) turn = conn_take_turn(c);
    }
    if (xp != c->xp) xprt_free(xp);
    bool last;
    {
        std::lock_guard<std::mutex> hold(c->turn);
        last = --c->threads == 0;
    }
    if (last) conn_end(c);
}

}  // namespace

tcp_listener *tcp_listener_create(sock_t sock, uint16_t port, uint32_t size, uint32_t limit,
                                  uint32_t calls, void (*serve)(xprt *, rpc_call *)) {
    tcp_listener *l = new (std::nothrow) tcp_listener{};
    if (!l) return nullptr;
    l->sock = sock;
    l->port = port;
    l->size = size;
    l->limit = limit > 0 ? limit : CONFIG_TCP_CONNECTIONS;
    l->calls = calls > 0 ? calls : 1;
    l->serve = serve;
    std::lock_guard<std::mutex> all(listeners_lock);
    l->next_listener = listeners;
    listeners = l;
    return l;
}

void tcp_listener_release(tcp_listener *l) {
    if (!l) return;
    bool last;
    {
        std::lock_guard<std::mutex> hold(l->lock);
        l->released = true;
        last = l->open == 0;
    }
    if (last) listener_free(l);
}

uint32_t tcp_listener_resting(tcp_listener *l) {
    if (!l->resting) return 0;
    uint32_t since = tick_count() - l->rest_from;
    if (since < TCP_EXHAUSTED_PAUSE_MS) return TCP_EXHAUSTED_PAUSE_MS - since;
    l->resting = false;
    return 0;
}

tcp_accept_result tcp_accept(tcp_listener *l) {
    sockaddr_in peer{};
    socklen_t peer_len = sizeof peer;
    sock_t s = accept(l->sock, reinterpret_cast<sockaddr *>(&peer), &peer_len);
    if (s == SOCK_INVALID) {
        if (!sock_error_exhausted(sock_errno())) return TCP_ACCEPT_NONE;
        // The connection stays queued; retrying at once would only fail
        // again, at full speed. Closing an idle connection, of whichever
        // port, frees a descriptor for the next try.
        shut_longest_idle_anywhere();
        l->resting = true;
        l->rest_from = tick_count();
        return TCP_ACCEPT_EXHAUSTED;
    }
    sock_set_nodelay(s);
    sock_set_receive_timeout(s, tcp_idle_ms.load());
    if (descriptors_short(s)) shut_longest_idle_anywhere();
    // A record without a message area would take the first record mark
    // in front of nothing.
    xprt *xp = l->size > 0 ? xprt_create(s, RPC_TCP, l->port, l->size) : nullptr;
    tcp_conn *c = xp ? new (std::nothrow) tcp_conn{} : nullptr;
    if (!c) {
        sock_close(s);
        xprt_free(xp);
        return TCP_ACCEPT_NO_RECORD;
    }
    xp->peer = peer;
    xp->peer_len = peer_len;
    xp->send_lock = &c->send;
    c->xp = xp;
    c->owner = l;
    c->threads = 1;
    c->active.store(tick_count());
    link(l, c);
    try {
        std::thread(conn_thread, c, xp).detach();
    } catch (...) {
        conn_end(c);
        return TCP_ACCEPT_NO_THREAD;
    }
    return TCP_ACCEPT_SERVED;
}
