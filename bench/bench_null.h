// What the NULL-call benchmarks share: a program that answers NULL and
// nothing else, and the port a socket was bound to.
#pragma once

#include <chrono>
#include <thread>

#include "rpc/loop.h"
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

// Sets the stop flag and wakes the UDP workers serving `port` with stray
// datagrams until every one has seen it and ended (at most about a second).
inline void bench_stop_udp_workers(uint16_t port) {
    xprt_stop.store(1);
    sock_t w = udp_socket(htonl(INADDR_LOOPBACK), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 200 && udp_workers_running.load() > 0; i++) {
        sendto(w, "x", 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    sock_close(w);
}
