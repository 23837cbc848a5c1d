// Test helpers for the RPC runtime: build call messages byte by byte, serve
// them through a transport whose replies land on a loopback socket, and make
// plain UDP calls to a running server.
#pragma once

#include <cstdint>
#include <vector>

#include "rpc/rpc.h"

// Appends one big-endian word / raw bytes with zero padding to `out`.
void rpc_msg_word(std::vector<uint8_t> &out, uint32_t value);
void rpc_msg_opaque(std::vector<uint8_t> &out, const void *bytes, uint32_t n);

// An authsys_parms body (stamp, machine name, uid, gid, groups).
std::vector<uint8_t> rpc_msg_auth_unix(uint32_t stamp, const char *machine, uint32_t uid,
                                       uint32_t gid, const std::vector<uint32_t> &groups);

// A call header: xid, CALL, RPC version 2, program, version, procedure, the
// credential and the verifier (flavour, length word, body, padding).
std::vector<uint8_t> rpc_msg_call(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc,
                                  uint32_t cred_flavor = 0, const std::vector<uint8_t> &cred = {},
                                  uint32_t verf_flavor = 0, const std::vector<uint8_t> &verf = {});

// The message as big-endian words (a trailing partial word is dropped).
std::vector<uint32_t> rpc_msg_words(const uint8_t *bytes, uint32_t n);
inline std::vector<uint32_t> rpc_msg_words(const std::vector<uint8_t> &m) {
    return rpc_msg_words(m.data(), uint32_t(m.size()));
}

// A UDP transport bound to 127.0.0.1 whose peer is a second loopback socket
// (`client`), so whatever the runtime sends can be read back.
struct rpc_loop {
    xprt *xp = nullptr;
    sock_t client = SOCK_INVALID;
};
bool rpc_loop_open(rpc_loop *loop, uint32_t size = 8192);
void rpc_loop_close(rpc_loop *loop);
// Puts `msg` into the message area and runs rpc_decode_call and, when that
// succeeds, rpc_dispatch with `call` (a fresh one when null). Returns the
// reply received within `timeout_ms` (empty when none came).
std::vector<uint8_t> rpc_loop_serve(rpc_loop *loop, const std::vector<uint8_t> &msg,
                                    rpc_call *call = nullptr, int timeout_ms = 20);
// Waits up to `timeout_ms` for one datagram on `sock`; empty on timeout.
std::vector<uint8_t> rpc_recv_datagram(sock_t sock, int timeout_ms);

// Sends `msg` from a fresh socket to 127.0.0.1:port and returns the reply
// (empty after `timeout_ms`).
std::vector<uint8_t> rpc_udp_call(uint16_t port, const std::vector<uint8_t> &msg,
                                  int timeout_ms = 1000);

// Local port of a bound socket, host order.
uint16_t rpc_sock_port(sock_t sock);
