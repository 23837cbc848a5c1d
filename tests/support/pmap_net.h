// Older names of the record-marked TCP helpers of support/rpc_msg.h, for the
// tests that still use them.
#pragma once

#include "support/rpc_msg.h"

inline sock_t pmap_tcp_connect(uint16_t port) {
    return rpc_tcp_connect(port);
}
inline bool pmap_tcp_send(sock_t s, const rpc_bytes &msg, const rpc_words &fragments = {}) {
    return rpc_tcp_send(s, msg, fragments);
}
inline rpc_bytes pmap_tcp_recv(sock_t s, int timeout_ms = 1000) {
    return rpc_tcp_recv(s, timeout_ms);
}
