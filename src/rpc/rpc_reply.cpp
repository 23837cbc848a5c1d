// Reply headers and sending: one datagram over UDP, record-marked fragments
// over TCP. Every reply is written over the call at the start of the message
// area; the verifier it echoes was copied out by rpc_decode_call.
#include <cstring>
#include <mutex>
#include <thread>

#include "rpc/rpc.h"
#include "rpc/rpc_internal.h"
#include "base/log.h"

namespace {

constexpr uint32_t RPC_MISMATCH = 0;
constexpr uint32_t AUTH_ERROR = 1;
constexpr uint32_t LAST_FRAGMENT = 0x80000000u;
// xid, REPLY, ACCEPTED, verifier flavour and length, accept status: the
// accepted reply's words besides the verifier's body.

uint32_t accepted_header(xprt *xp, rpc_call *call, uint32_t status) {
    return xdr_pack(xp->msg, "qqqqOq", xp->xid, RPC_MSG_REPLY, RPC_MSG_ACCEPTED, call->verf_flavor,
                    call->verf, status);
}

// The result of a send that failed: its negated error number, or 0 when it
// took nothing without an error (so no stale errno is ever reported).
int send_failure(ssize_t r) {
    return r < 0 ? -sock_errno() : 0;
}

// Sends all of [p, p + n) on a stream socket, with MSG_MORE when `more`;
// the bytes sent, or the failure (below 1).
int send_all(sock_t sock, const uint8_t *p, uint32_t n, bool more) {
    uint32_t done = 0;
    int flags = MSG_NOSIGNAL | (more ? SOCK_MSG_MORE : 0);
    while (done < n) {
        ssize_t r = send(sock, p + done, n - done, flags);
        // Only an interrupted send is repeated: "would block" here means a
        // send time-out or a non-blocking socket, and retrying it would spin.
        if (r < 0 && sock_error_interrupted(sock_errno())) continue;
        if (r < 1) return send_failure(r);
        done += uint32_t(r);
    }
    return int(done);
}

uint32_t clamp(uint32_t v, uint32_t low, uint32_t high) {
    return v < low ? low : v > high ? high : v;
}

// Sends the fragment of the reply's bytes [at, at + n) with its mark: the
// part in front of piped data from the message area, the piped part from
// the pipe, the rest from the message area again. Every send but the
// reply's last says more follows, so the pieces leave in full segments.
int send_fragment(xprt *xp, uint32_t at, uint32_t n, uint32_t mark) {
    const uint32_t end = at + n;
    uint32_t pipe_from = end, pipe_to = end;
    if (xp->pipe) {
        pipe_from = clamp(xp->pipe_at, at, end);
        pipe_to = clamp(xp->pipe_at + xp->pipe_count, pipe_from, end);
    }
    const bool last = mark != 0;
    // The 4 bytes in front of the fragment take its mark for the one send.
    uint8_t *data = xp->msg + at;
    uint8_t saved[4];
    memcpy(saved, data - 4, 4);
    xdr_put_u32(data - 4, mark | n);
    int r = send_all(xp->sock, data - 4, pipe_from - at + 4, !last || pipe_from < end);
    memcpy(data - 4, saved, 4);
    if (r < 1) return r;
    if (pipe_to > pipe_from) {
        r = sock_pipe_send(xp->pipe, xp->sock, pipe_to - pipe_from, !last || pipe_to < end);
        if (r < 1) return r;
    }
    if (end > pipe_to) r = send_all(xp->sock, xp->msg + pipe_to, end - pipe_to, !last);
    return r < 1 ? r : int(n + 4);
}

// Record marking: fragments of at most size - 4 bytes, only the last with
// the top bit of its mark set.
int send_record(xprt *xp) {
    const uint32_t max_fragment = xp->size - 4;
    uint32_t at = 0;
    uint32_t left = uint32_t(xp->count);
    while (left > max_fragment) {
        int r = send_fragment(xp, at, max_fragment, 0);
        if (r < 1) return r;
        at += max_fragment;
        left -= max_fragment;
    }
    return send_fragment(xp, at, left, LAST_FRAGMENT);
}

}  // namespace

void rpc_void_result(xdr_out *, const void *) {}

sock_pipe *rpc_reply_pipe(xprt *xp, uint32_t count) {
    return xp->protocol == RPC_TCP ? sock_pipe_thread(count) : nullptr;
}

void rpc_reply_piped(xprt *xp, sock_pipe *pipe, const uint8_t *at, uint32_t count) {
    xp->pipe = pipe;
    xp->pipe_at = uint32_t(at - xp->msg);
    xp->pipe_count = count;
}

uint32_t rpc_reply_header_size(const rpc_call *call) {
    return RPC_ACCEPTED_WORDS + call->verf_len + xdr_pad(call->verf_len);
}

uint8_t *rpc_reply_body(xprt *xp, const rpc_call *call, uint32_t *room) {
    uint32_t at = rpc_reply_header_size(call);
    uint32_t end = xp->size;
    if (xp->protocol == RPC_UDP && end > RPC_UDP_PAYLOAD_MAX) end = RPC_UDP_PAYLOAD_MAX;
    *room = end > at ? end - at : 0;
    return xp->msg + at;
}

bool rpc_reply(xprt *xp, rpc_call *call, rpc_encoder encoder, const void *result) {
    uint32_t len = accepted_header(xp, call, RPC_SUCCESS);
    xdr_out out;
    xdr_out_init(&out, xp->msg + len, xp->size > len ? xp->size - len : 0);
    encoder(&out, result);
    // A result that would run past the buffer was cut off where it stopped:
    // the client learns the call failed rather than reading half a reply.
    if (out.overflow) len = accepted_header(xp, call, RPC_SYSTEM_ERR);
    else len += xdr_out_length(&out);
    xp->count = int32_t(len);
    int sent = rpc_send(xp);
    if (sent < 1) {
        log_printf(LOG_EVENT, "rpc: error cannot transmit reply %u\n", unsigned(-sent));
        return false;
    }
    return true;
}

void rpc_error_reply(xprt *xp, rpc_call *call, uint32_t accept_status) {
    xp->count = int32_t(accepted_header(xp, call, accept_status));
    rpc_send(xp);
}

void rpc_prog_mismatch_reply(xprt *xp, rpc_call *call, uint32_t low, uint32_t high) {
    xp->count = int32_t(xdr_pack(xp->msg, "qqqqOqqq", xp->xid, RPC_MSG_REPLY, RPC_MSG_ACCEPTED,
                                 call->verf_flavor, call->verf, RPC_PROG_MISMATCH, low, high));
    rpc_send(xp);
}

void rpc_version_mismatch_reply(xprt *xp, rpc_call *, uint32_t low, uint32_t high) {
    xp->count = int32_t(
        xdr_pack(xp->msg, "qqqqqq", xp->xid, RPC_MSG_REPLY, RPC_MSG_DENIED, RPC_MISMATCH, low, high));
    rpc_send(xp);
}

void rpc_auth_error_reply(xprt *xp, rpc_call *, uint32_t auth_status) {
    xp->count = int32_t(
        xdr_pack(xp->msg, "qqqqq", xp->xid, RPC_MSG_REPLY, RPC_MSG_DENIED, AUTH_ERROR, auth_status));
    rpc_send(xp);
}

int rpc_send(xprt *xp) {
    if (xp->protocol != RPC_TCP) {
        long r = 0;
        for (int attempt = 0; attempt < 3; attempt++) {
            if (attempt > 0) std::this_thread::yield();
            r = sock_send_datagram(xp->sock, xp->msg, uint32_t(xp->count), &xp->peer, xp->peer_len,
                                   xp->local);
            if (r >= 0) break;
        }
        return r > 0 ? int(r) : send_failure(r);
    }
    std::unique_lock<std::mutex> hold;
    if (xp->send_lock) hold = std::unique_lock<std::mutex>(*xp->send_lock);
    int r = send_record(xp);
    // Piped data this reply did not carry (or a send that failed part-way)
    // must not ride along with the next reply from this thread's pipe.
    if (xp->pipe) {
        sock_pipe_discard(xp->pipe);
        xp->pipe = nullptr;
    }
    return r;
}
