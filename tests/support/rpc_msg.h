// Calls built byte by byte, replies read as words, a transport whose replies
// land on a client socket, UDP and record-marked TCP to a running service,
// and a fake UDP service. Waits poll, so any descriptor number works.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rpc/rpc.h"

using rpc_bytes = std::vector<uint8_t>;
using rpc_words = std::vector<uint32_t>;

// Appends one big-endian word / raw bytes with zero padding to `out`.
void rpc_msg_word(rpc_bytes &out, uint32_t value);
void rpc_msg_opaque(rpc_bytes &out, const void *bytes, uint32_t n);
rpc_bytes rpc_msg_bytes(const rpc_words &words);
// An authsys_parms body (stamp, machine name, uid, gid, groups).
rpc_bytes rpc_msg_auth_unix(uint32_t stamp, const char *machine, uint32_t uid, uint32_t gid,
                            const rpc_words &groups);
// A call header: xid, CALL, RPC version 2, program, version, procedure, the
// credential and the verifier (flavour, length word, body, padding).
rpc_bytes rpc_msg_call(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc,
                       uint32_t cred_flavor = 0, const rpc_bytes &cred = {},
                       uint32_t verf_flavor = 0, const rpc_bytes &verf = {});
// A call with AUTH_NULL and the argument words.
rpc_bytes rpc_msg_args(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc,
                       const rpc_words &args);
// The message as big-endian words (a trailing partial word is dropped), and
// word i alone (0 past the end).
rpc_words rpc_msg_words(const rpc_bytes &m);
uint32_t rpc_msg_word_at(const rpc_bytes &m, size_t i);
// The accept status of an accepted reply with an empty verifier (the word
// after it); ~0 for anything else.
uint32_t rpc_msg_accept_status(const rpc_bytes &reply);

// A bounded reader of XDR replies as a client reads them, written from the
// RFC layouts rather than from the server's encoders. It keeps the first
// fault ("short", "bad boolean", ...) and the byte where it happened.
struct rpc_reader {
    rpc_reader(const uint8_t *bytes, uint32_t size) : p(bytes), n(size) {}
    const uint8_t *p;
    uint32_t n, at = 0;
    std::string error;

    uint32_t fail(const char *why);
    uint32_t word();
    uint64_t hyper();
    bool boolean();  // a word that is not 0 or 1 is a fault
    // `len` bytes (at most 1024) and their padding, which must be 0; with
    // `zero`, all of them.
    std::string opaque(uint32_t len, bool zero = false);
    bool done() const { return error.empty() && at == n; }  // read exactly
};

// Local port of a bound socket, host order.
uint16_t rpc_sock_port(sock_t sock);

// A UDP transport on 127.0.0.1 whose peer is a client socket bound to
// `client_addr` ("127.0.0.2" plays a remote caller); with `tcp`, a TCP
// connection's transport and the client's end of it.
struct rpc_rig {
    explicit rpc_rig(uint32_t size = 8192, const char *client_addr = "127.0.0.1",
                     bool tcp = false);
    ~rpc_rig();
    rpc_rig(const rpc_rig &) = delete;
    rpc_rig &operator=(const rpc_rig &) = delete;
    bool ok() const { return xp && client != SOCK_INVALID; }
    // Receives `msg` as if the client had sent it, decodes it and, when that
    // succeeds, runs `serve`. Returns the reply that came within `timeout_ms`.
    rpc_bytes serve(const rpc_bytes &msg, void (*serve)(xprt *, rpc_call *) = rpc_dispatch,
                    rpc_call *call = nullptr, int timeout_ms = 300);
    xprt *xp = nullptr;
    sock_t client = SOCK_INVALID;
    sockaddr_in client_addr{};
};

// One datagram on `sock` within `timeout_ms`; empty on timeout.
rpc_bytes rpc_recv_datagram(sock_t sock, int timeout_ms);
// Sends `msg` from socket `s` (or from a fresh socket bound to `from`) to
// the loopback address `to`:port and returns the reply (empty after
// `timeout_ms`). The socket is connected, so a reply counts only when it
// leaves from the address and port called, as a client's connected socket
// would take it.
rpc_bytes rpc_udp_exchange(sock_t s, uint16_t port, const rpc_bytes &msg, int timeout_ms = 1000,
                           const char *to = "127.0.0.1");
rpc_bytes rpc_udp_call(uint16_t port, const rpc_bytes &msg, int timeout_ms = 1000,
                       const char *from = "127.0.0.1", const char *to = "127.0.0.1");

// Record-marked TCP to 127.0.0.1:port (from the loopback address `from`): a
// record as it goes on the wire (in fragments of the given sizes), sent, or
// received (empty when the peer closes or is silent).
sock_t rpc_tcp_connect(uint16_t port, const char *from = nullptr);
rpc_bytes rpc_tcp_record(const rpc_bytes &msg, const rpc_words &fragments = {});
bool rpc_tcp_send(sock_t s, const rpc_bytes &msg, const rpc_words &fragments = {});
rpc_bytes rpc_tcp_recv(sock_t s, int timeout_ms = 1000);
// True when the peer closed the connection within `timeout_ms`.
bool rpc_tcp_closed(sock_t s, int timeout_ms = 2000);

// A fake UDP service on 127.0.0.1:port (0: any) answering each call with a
// successful reply of `results`, or (`silent`) not at all.
class rpc_fake {
   public:
    rpc_fake(uint16_t port, rpc_bytes results, bool silent = false);
    ~rpc_fake();
    rpc_fake(const rpc_fake &) = delete;
    rpc_fake &operator=(const rpc_fake &) = delete;
    // The last call received (waits up to 3 s for a first one).
    rpc_bytes last_call();
    int calls() const { return calls_.load(); }
    uint16_t port = 0;

   private:
    rpc_bytes results_;
    bool silent_;
    sock_t sock_;
    std::atomic<bool> stop_{false};
    std::atomic<int> calls_{0};
    std::mutex lock_;
    rpc_bytes last_;
    std::thread thread_;
};
