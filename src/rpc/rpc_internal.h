// Shared between the RPC runtime's own sources; not for other folders.
#pragma once

#include <atomic>
#include <cstdint>

#include "rpc/rpc.h"

// Words of the RPC message header (RFC 1831).
constexpr uint32_t RPC_MSG_CALL = 0;
constexpr uint32_t RPC_MSG_REPLY = 1;
constexpr uint32_t RPC_MSG_ACCEPTED = 0;
constexpr uint32_t RPC_MSG_DENIED = 1;
constexpr uint32_t RPC_VERSION = 2;

// One served (program, version). prog, vers and handler never change once
// the entry is linked; readers walk the list without a lock.
struct rpc_entry {
    std::atomic<rpc_entry *> next;
    uint32_t prog;
    uint32_t vers;
    rpc_handler handler;
    rpc_entry *retired_next;  // chain of unlinked entries (writers only)
    std::atomic<uint64_t> quick;  // bit n: procedure n is quick (rpc_set_quick)
};

// The front of the registry, loaded with acquire.
rpc_entry *rpc_registry_first();

// tcp_receive_record with an idle limit besides: with idle_ms above 0 the
// receive fails once idle_ms have passed since the tick `since` (a peer that
// trickles bytes without ever completing a record). The connections of a
// tcp_listener receive through it.
bool tcp_receive(xprt *xp, int timeout_ms, uint32_t since, uint32_t idle_ms);

// Another record for a thread serving the same TCP connection as `first`
// (the connection's first record, or one made from it): a message area of
// its own; the socket, peer, port, ahead area and send lock are the
// connection's, and its first record must outlive it. Null when memory is
// short.
xprt *xprt_create_sibling(const xprt *first);
