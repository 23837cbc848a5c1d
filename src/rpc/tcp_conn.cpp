// Accepted connections: each listener keeps the connections open on it, so
// that their number stays within its bound and a client that says nothing
// cannot hold a descriptor for ever. Each connection is served by a thread
// of its own; the listener only ever shuts a connection's socket down (which
// wakes its thread), and the thread itself closes and frees it.
#include <mutex>
#include <new>
#include <thread>

#include "platform/clock.h"
#include "rpc/loop.h"
#include "rpc/rpc_internal.h"
#include "base/config.h"
#include "base/log.h"

std::atomic<uint32_t> tcp_idle_ms{6 * 60 * 1000};

namespace {

struct tcp_conn {
    xprt *xp;
    tcp_listener *owner;
    tcp_conn *prev, *next;         // the owner's list; under its lock
    std::atomic<uint32_t> active;  // tick of accept, of the last complete record or reply
    bool shut;                     // shut down by the listener; under its lock
};

}  // namespace

struct tcp_listener {
    sock_t sock;
    uint16_t port;
    uint32_t size;
    uint32_t limit;
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

// Shuts down the connection that has gone longest without a complete
// record, unless it is already on its way out. Lock held.
void shut_longest_idle(tcp_listener *l) {
    uint32_t now = tick_count();
    tcp_conn *oldest = nullptr;
    for (tcp_conn *c = l->conns; c; c = c->next)
        if (!c->shut && (!oldest || now - c->active.load() > now - oldest->active.load()))
            oldest = c;
    if (!oldest) return;
    // Still open: its thread closes the socket only after unlinking it.
    shutdown(oldest->xp->sock, SHUT_RDWR);
    oldest->shut = true;
    l->shut++;
}

void link(tcp_listener *l, tcp_conn *c) {
    std::lock_guard<std::mutex> hold(l->lock);
    if (l->open - l->shut >= l->limit) shut_longest_idle(l);
    c->next = l->conns;
    if (l->conns) l->conns->prev = c;
    l->conns = c;
    l->open++;
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
    if (last) delete l;
}

// A connection counts as active when a record completes and again when its
// reply is out, so that a call that takes long to serve neither makes its
// connection the longest idle nor eats into the next record's time.
void conn_thread(tcp_conn *c) {
    rpc_call call;
    while (tcp_receive(c->xp, -1, c->active.load(), tcp_idle_ms.load())) {
        c->active.store(tick_count());
        if (!rpc_decode_call(c->xp, &call)) break;
        c->owner->serve(c->xp, &call);
        c->active.store(tick_count());
    }
    conn_end(c);
}

}  // namespace

tcp_listener *tcp_listener_create(sock_t sock, uint16_t port, uint32_t size, uint32_t limit,
                                  void (*serve)(xprt *, rpc_call *)) {
    tcp_listener *l = new (std::nothrow) tcp_listener{};
    if (!l) return nullptr;
    l->sock = sock;
    l->port = port;
    l->size = size;
    l->limit = limit > 0 ? limit : CONFIG_TCP_CONNECTIONS;
    l->serve = serve;
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
    if (last) delete l;
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
        // again, at full speed. Closing an idle connection frees a descriptor
        // for the next try.
        {
            std::lock_guard<std::mutex> hold(l->lock);
            shut_longest_idle(l);
        }
        l->resting = true;
        l->rest_from = tick_count();
        return TCP_ACCEPT_EXHAUSTED;
    }
    sock_set_nodelay(s);
    sock_set_receive_timeout(s, tcp_idle_ms.load());
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
    c->xp = xp;
    c->owner = l;
    c->active.store(tick_count());
    link(l, c);
    try {
        std::thread(conn_thread, c).detach();
    } catch (...) {
        conn_end(c);
        return TCP_ACCEPT_NO_THREAD;
    }
    return TCP_ACCEPT_SERVED;
}
