// A minimal server built from the real RPC runtime for end-to-end tests:
// UDP worker threads (or the plain receive loop with one thread) serving
// program 100003 versions 2 and 3 with a NULL procedure, and on UDP port 111
// a stand-in portmapper (below).
//
//   rpc_test_server PORT [THREADS]
//
// Prints "ready PORT" on standard output once it serves, and runs until
// SIGTERM or SIGINT.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "rpc/loop.h"
#include "rpc/rpc.h"

namespace {

void null_program(xprt *xp, rpc_call *call) {
    if (call->proc == 0)
        rpc_reply(xp, call, rpc_void_result, nullptr);
    else
        rpc_error_reply(xp, call, RPC_PROC_UNAVAIL);
}

// Just enough of a portmapper on port 111 for clients that ask it first
// (rpcinfo does, even when given a port): version 2 NULL and GETPORT, which
// names the test port for every program over UDP, so that each call, also
// one to a program nobody serves, reaches the runtime under test.
uint16_t served_port;
// Served until the process ends, by threads that are never joined.
xprt *base;
xprt *pmap;
uint32_t port_result(uint8_t *out, const void *r) {
    return xdr_put_u32(out, *static_cast<const uint32_t *>(r));
}
void pmap_program(xprt *xp, rpc_call *call) {
    uint32_t prog, vers, prot, port;
    switch (call->proc) {
        case 0:
            rpc_reply(xp, call, rpc_void_result, nullptr);
            return;
        case 3:
            if (!xdr_get_u32(call, &prog) || !xdr_get_u32(call, &vers) ||
                !xdr_get_u32(call, &prot) || !xdr_get_u32(call, &port)) {
                rpc_error_reply(xp, call, RPC_GARBAGE_ARGS);
                return;
            }
            port = prot == RPC_UDP ? served_port : 0;
            rpc_reply(xp, call, port_result, &port);
            return;
        default:
            rpc_error_reply(xp, call, RPC_PROC_UNAVAIL);
    }
}

void serve_loop(xprt *xp) {
    rpc_call call;
    while (!xprt_stop.load())
        if (udp_receive(xp) && rpc_decode_call(xp, &call)) rpc_dispatch(xp, &call);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: rpc_test_server PORT [THREADS]\n");
        return 2;
    }
    uint16_t port = uint16_t(atoi(argv[1]));
    uint32_t threads = argc > 2 ? uint32_t(atoi(argv[2])) : 4;

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // workers inherit the mask

    sock_t s = udp_socket(0, port);
    if (s == SOCK_INVALID) {
        perror("rpc_test_server: udp_socket");
        return 1;
    }
    base = xprt_create(s, RPC_UDP, port, 8192);
    if (!base) return 1;
    rpc_pmap_call = nullptr;  // clients are pointed at the port directly
    bool workers = udp_workers_start(threads, base);
    if (!rpc_register(base, 100003, 2, null_program, RPC_UDP) ||
        !rpc_register(base, 100003, 3, null_program, RPC_UDP)) {
        fprintf(stderr, "rpc_test_server: cannot register\n");
        return 1;
    }
    // One thread: serve the socket on a thread of our own, as the select
    // loop would, so that this thread can wait for the signal.
    if (!workers) std::thread(serve_loop, base).detach();
    served_port = port;
    sock_t ps = udp_socket(0, 111);
    pmap = ps == SOCK_INVALID ? nullptr : xprt_create(ps, RPC_UDP, 111, 1024);
    if (!pmap || !rpc_register(pmap, 100000, 2, pmap_program, RPC_UDP)) {
        fprintf(stderr, "rpc_test_server: cannot serve port 111\n");
        return 1;
    }
    std::thread(serve_loop, pmap).detach();
    printf("ready %u\n", unsigned(port));
    fflush(stdout);

    int sig = 0;
    sigwait(&stop, &sig);
    xprt_stop.store(1);
    rpc_unregister(100003, 2, RPC_UDP);
    rpc_unregister(100003, 3, RPC_UDP);
    return 0;
}
