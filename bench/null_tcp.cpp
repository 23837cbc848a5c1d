// NULL calls over TCP: a program served by the select loop and its
// connection threads, called back to back over one connection and over four
// connections at once; UDP through the select loop for comparison.
//   null_tcp [seconds per case]
#include <poll.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench_null.h"
#include "rpc/clnt.h"
#include "rpc/loop.h"

namespace {

constexpr uint32_t BENCH_PROG = 0x20000999;
constexpr uint32_t CLIENT_BUFFER = 1000;

// Calls NULL until `stop`, one call in flight; returns the calls answered.
uint64_t client(uint16_t protocol, uint16_t port, const std::atomic<bool> *stop) {
    uint8_t buffer[4 + CLIENT_BUFFER];
    xprt xp;
    clnt_xprt_init(&xp, buffer, CLIENT_BUFFER);
    if (!clnt_open(&xp, protocol, port)) return 0;
    uint64_t calls = 0;
    while (!stop->load(std::memory_order_relaxed)) {
        clnt_call_header(&xp, BENCH_PROG, 1, 0);
        if (rpc_send(&xp) < 1) break;
        // A lost datagram ends this client rather than hanging the run.
        pollfd want{xp.sock, POLLIN, 0};
        bool got = protocol == RPC_TCP ? tcp_receive_record(&xp, 2000)
                                       : poll(&want, 1, 2000) > 0 && udp_receive(&xp);
        if (!got || clnt_check_reply(&xp) != 24) break;
        calls++;
    }
    sock_close(xp.sock);
    return calls;
}

double run_case(uint16_t protocol, uint16_t port, int clients, double seconds) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    std::vector<uint64_t> counts(size_t(clients), 0);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < clients; i++)
        threads.emplace_back([&, i] { counts[size_t(i)] = client(protocol, port, &stop); });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto &t : threads) t.join();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    uint64_t total = 0;
    for (uint64_t c : counts) total += c;
    return double(total) / elapsed;
}

}  // namespace

int main(int argc, char **argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 3.0;
    if (seconds <= 0) return 2;
    rpc_pmap_call = nullptr;  // no portmapper needed

    sock_t listener = tcp_listen_socket("127.0.0.1", 0);
    sock_t udp = udp_socket(htonl(INADDR_LOOPBACK), 0);
    if (listener == SOCK_INVALID || udp == SOCK_INVALID) return 1;
    uint16_t tcp_port = bench_local_port(listener), udp_port = bench_local_port(udp);
    xprt *lxp = xprt_create(listener, RPC_TCP, tcp_port, 0);
    xprt *uxp = xprt_create(udp, RPC_UDP, udp_port, 8192);
    if (!lxp || !uxp) return 1;
    lxp->size = 8192;
    if (!rpc_register(lxp, BENCH_PROG, 1, bench_null_program, RPC_TCP)) return 1;
    xprt_add(lxp);
    xprt_add(uxp);
    std::thread loop(select_loop);

    std::printf("NULL calls per second (%.1f s per case)\n", seconds);
    std::printf("  tcp, 1 connection:   %10.0f\n", run_case(RPC_TCP, tcp_port, 1, seconds));
    std::printf("  tcp, 4 connections:  %10.0f\n", run_case(RPC_TCP, tcp_port, 4, seconds));
    std::printf("  udp, select loop, 1 client: %10.0f\n", run_case(RPC_UDP, udp_port, 1, seconds));

    xprt_close_all();
    loop.join();
    return 0;
}
