// Forwarding of indirect calls (CALLIT) on a small pool of threads. A
// target that never answers holds one forwarder for the 2 s of the client
// call, never the thread that answers GETPORT, DUMP, SET and UNSET. Each
// forwarder owns fixed buffers: the forwarded call and its reply, and the
// caller's answer.
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "pmap/pmap_internal.h"
#include "rpc/clnt.h"
#include "base/log.h"

namespace {

constexpr uint32_t FORWARD_SIZE = 8704;  // buffer of a forwarded call
constexpr uint32_t ANSWER_SIZE = 8192 + 512;

struct callit_result {
    uint32_t port;
    const uint8_t *results;
    uint32_t length;
};

void encode_callit(xdr_out *o, const void *result) {
    const callit_result *c = static_cast<const callit_result *>(result);
    xdr_u32(o, c->port);
    xdr_opaque(o, c->results, c->length);
}

struct forwarder {
    std::thread thread;
    bool alive;  // its thread runs; under pool_lock
    bool busy;   // under pool_lock
    // The caller: the transport it called on, and its call (for the xid
    // and the verifier the answer echoes).
    sock_t sock;
    sockaddr_in peer;
    uint32_t xid;
    uint32_t answer_size;  // what the caller's transport could have held
    rpc_call call;
    uint16_t port;  // the target's
    uint8_t fwd_buffer[4 + FORWARD_SIZE];
    xprt fwd;
    uint8_t answer_buffer[4 + ANSWER_SIZE];
};

std::mutex pool_lock;
std::condition_variable pool_wake;
forwarder pool[PMAP_FORWARDERS];
bool pool_running = false;
bool pool_stopping = false;

// Sends the forwarded call and, when the target answers SUCCESS, answers the
// caller with the port and the target's results. Every failure is silent.
void forward(forwarder *f) {
    xprt *fwd = &f->fwd;
    if (!clnt_open(fwd, RPC_UDP, f->port)) return;
    if (rpc_send(fwd) < 1) {
        sock_close(fwd->sock);
        return;
    }
    int32_t r = clnt_receive(fwd);
    if (r < int32_t(CLNT_RESULTS)) return;
    callit_result res{f->port, fwd->msg + CLNT_RESULTS, uint32_t(r) - CLNT_RESULTS};
    // Accepted header (echoing the verifier), port, length and results must
    // fit what the caller's own transport could have answered.
    const rpc_call &c = f->call;
    uint64_t need = rpc_reply_header_size(&c) + 8 + uint64_t(res.length) + xdr_pad(res.length);
    if (need > f->answer_size) return;
    xprt answer;
    clnt_xprt_init(&answer, f->answer_buffer, ANSWER_SIZE);
    answer.sock = f->sock;
    answer.protocol = RPC_UDP;
    answer.peer = f->peer;
    answer.xid = f->xid;
    if (!rpc_reply(&answer, &f->call, encode_callit, &res))
        log_printf(LOG_EVENT, "%s pmapd: rpc send reply failed\n", log_time());
}

void forwarder_thread(forwarder *f) {
    std::unique_lock<std::mutex> hold(pool_lock);
    for (;;) {
        pool_wake.wait(hold, [f] { return f->busy || pool_stopping; });
        if (!f->busy) return;
        hold.unlock();
        forward(f);
        hold.lock();
        f->busy = false;
    }
}

}  // namespace

bool pmap_forward_start() {
    std::lock_guard<std::mutex> hold(pool_lock);
    if (pool_running) return true;
    pool_stopping = false;
    uint32_t started = 0;
    try {
        for (; started < PMAP_FORWARDERS; started++) {
            pool[started].busy = false;
            pool[started].thread = std::thread(forwarder_thread, &pool[started]);
            pool[started].alive = true;
        }
    } catch (...) {
        // Fewer forwarders still forward; none at all drops every CALLIT.
    }
    pool_running = started > 0;
    return pool_running;
}

void pmap_forward_stop() {
    {
        std::lock_guard<std::mutex> hold(pool_lock);
        if (!pool_running) return;
        pool_stopping = true;
    }
    pool_wake.notify_all();
    for (forwarder &f : pool)
        if (f.thread.joinable()) f.thread.join();
    std::lock_guard<std::mutex> hold(pool_lock);
    for (forwarder &f : pool) f.alive = false;
    pool_running = false;
}

bool pmap_forward(const xprt *xp, const rpc_call *call, uint32_t prog, uint32_t vers, uint32_t proc,
                  uint16_t port, const uint8_t *args, uint32_t n) {
    std::lock_guard<std::mutex> hold(pool_lock);
    if (!pool_running || pool_stopping) return false;
    forwarder *f = nullptr;
    for (forwarder &candidate : pool)
        if (candidate.alive && !candidate.busy) {
            f = &candidate;
            break;
        }
    if (!f) return false;
    clnt_xprt_init(&f->fwd, f->fwd_buffer, FORWARD_SIZE);
    uint32_t len = clnt_call_header(&f->fwd, prog, vers, proc);
    if (n > FORWARD_SIZE - len) return false;
    memcpy(f->fwd.msg + len, args, n);
    f->fwd.count = int32_t(len + n);
    f->sock = xp->sock;
    f->peer = xp->peer;
    f->xid = xp->xid;
    f->answer_size = xp->size < ANSWER_SIZE ? xp->size : ANSWER_SIZE;
    f->call = *call;
    f->port = port;
    f->busy = true;
    pool_wake.notify_all();
    return true;
}
