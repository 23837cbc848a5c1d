// What the NULL-call benchmarks share: a program that answers NULL and
// nothing else, and the port a socket was bound to.
#pragma once

#include "rpc/rpc.h"

inline void bench_null_program(xprt *xp, rpc_call *call) {
    if (call->proc == 0)
        rpc_reply(xp, call, rpc_void_result, nullptr);
    else
        rpc_error_reply(xp, call, RPC_PROC_UNAVAIL);
}

inline uint16_t bench_local_port(sock_t s) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}
