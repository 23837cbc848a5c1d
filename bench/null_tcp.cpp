// NULL calls over TCP: a program served by the select loop and its
// connection threads, over one connection and over four, with one call in
// flight per connection and with several (pipelined: a batch of calls in
// one send, then their replies); UDP through the select loop for
// comparison. The clients run in a child process, so the server's own CPU
// time per call can be told apart from theirs.
//   null_tcp [seconds per case] [calls in flight]    (defaults 3 and 8)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "bench_null.h"
#include "rpc/clnt.h"
#include "rpc/loop.h"

namespace {

constexpr uint32_t BENCH_PROG = 0x20000999;
constexpr uint32_t CALL_LEN = 40;       // a NULL call with AUTH_NULL
constexpr uint32_t REPLY_LEN = 4 + 24;  // mark and accepted reply
constexpr uint32_t MAX_FLIGHT = 64;

// Sends `flight` record-marked NULL calls in one write, then reads as many
// replies; repeats until `stop`. Returns the calls answered.
uint64_t tcp_client(uint16_t port, uint32_t flight, const std::atomic<bool> *stop) {
    uint8_t buffer[4 + 1000];
    xprt xp;
    clnt_xprt_init(&xp, buffer, 1000);
    if (!clnt_open(&xp, RPC_TCP, port)) return 0;
    uint8_t out[MAX_FLIGHT * (4 + CALL_LEN)], in[MAX_FLIGHT * REPLY_LEN];
    uint64_t calls = 0;
    while (!stop->load(std::memory_order_relaxed)) {
        for (uint32_t i = 0; i < flight; i++) {
            uint8_t *m = out + i * (4 + CALL_LEN);
            xdr_put_u32(m, 0x80000000u | CALL_LEN);
            clnt_call_header(&xp, BENCH_PROG, 1, 0);
            memcpy(m + 4, xp.msg, CALL_LEN);
        }
        size_t len = flight * (4 + CALL_LEN);
        if (send(xp.sock, out, len, MSG_NOSIGNAL) != ssize_t(len)) break;
        // Every reply is a single 28-byte record: read them by count.
        size_t want = flight * REPLY_LEN, got = 0;
        while (got < want) {
            ssize_t r = recv(xp.sock, in + got, want - got, 0);
            if (r < 1) break;
            got += size_t(r);
        }
        if (got < want) break;
        calls += flight;
    }
    sock_close(xp.sock);
    return calls;
}

uint64_t udp_client(uint16_t port, const std::atomic<bool> *stop) {
    uint8_t buffer[4 + 1000];
    xprt xp;
    clnt_xprt_init(&xp, buffer, 1000);
    if (!clnt_open(&xp, RPC_UDP, port)) return 0;
    uint64_t calls = 0;
    while (!stop->load(std::memory_order_relaxed)) {
        clnt_call_header(&xp, BENCH_PROG, 1, 0);
        if (rpc_send(&xp) < 1) break;
        if (!udp_receive(&xp) || clnt_check_reply(&xp) != 24) break;
        calls++;
    }
    sock_close(xp.sock);
    return calls;
}

// Runs `clients` client threads for `seconds`; calls per second.
double run_clients(uint16_t protocol, uint16_t port, int clients, uint32_t flight, double seconds) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    std::vector<uint64_t> counts(size_t(clients), 0);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < clients; i++)
        threads.emplace_back([&, i] {
            counts[size_t(i)] =
                protocol == RPC_TCP ? tcp_client(port, flight, &stop) : udp_client(port, &stop);
        });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto &t : threads) t.join();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    uint64_t total = 0;
    for (uint64_t c : counts) total += c;
    return double(total) / elapsed;
}

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct bench_case {
    const char *name;
    uint16_t protocol;
    int clients;
    uint32_t flight;
};

}  // namespace

int main(int argc, char **argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 3.0;
    uint32_t flight = argc > 2 ? uint32_t(atoi(argv[2])) : 8;
    if (seconds <= 0 || flight < 1 || flight > MAX_FLIGHT) return 2;
    rpc_pmap_call = nullptr;  // no portmapper needed

    sock_t listener = tcp_listen_socket("127.0.0.1", 0);
    sock_t udp = udp_socket(htonl(INADDR_LOOPBACK), 0);
    if (listener == SOCK_INVALID || udp == SOCK_INVALID) return 1;
    uint16_t tcp_port = bench_local_port(listener), udp_port = bench_local_port(udp);
    const bench_case cases[] = {
        {"tcp, 1 connection, 1 in flight", RPC_TCP, 1, 1},
        {"tcp, 4 connections, 1 in flight", RPC_TCP, 4, 1},
        {"tcp, 4 connections, N in flight", RPC_TCP, 4, flight},
        {"udp, select loop, 1 client", RPC_UDP, 1, 1},
    };
    constexpr int CASES = sizeof cases / sizeof cases[0];

    // Each case: the child says "go" and the server notes its CPU time; the
    // child runs the case and writes its rate; the server notes it again.
    int go[2], done[2];
    if (pipe(go) != 0 || pipe(done) != 0) return 1;
    pid_t child = fork();
    if (child == 0) {
        for (const bench_case &c : cases) {
            char byte = 1;
            if (write(go[1], &byte, 1) != 1) _exit(1);
            if (read(done[0], &byte, 1) != 1) _exit(1);  // the server has its start time
            double rate = run_clients(c.protocol, c.protocol == RPC_TCP ? tcp_port : udp_port,
                                      c.clients, c.flight, seconds);
            if (write(go[1], &rate, sizeof rate) != sizeof rate) _exit(1);
        }
        _exit(0);
    }

    xprt *lxp = xprt_create(listener, RPC_TCP, tcp_port, 0);
    xprt *uxp = xprt_create(udp, RPC_UDP, udp_port, 8192);
    if (!lxp || !uxp) return 1;
    lxp->size = 8192;
    if (!rpc_register(lxp, BENCH_PROG, 1, bench_null_program, RPC_TCP)) return 1;
    xprt_add(lxp);
    xprt_add(uxp);
    std::thread loop(select_loop);

    std::printf("NULL calls per second and server CPU per call (%.1f s per case, N = %u)\n",
                seconds, flight);
    for (int i = 0; i < CASES; i++) {
        char byte;
        if (read(go[0], &byte, 1) != 1) break;
        double cpu0 = cpu_seconds();
        if (write(done[1], &byte, 1) != 1) break;
        double rate = 0;
        if (read(go[0], &rate, sizeof rate) != sizeof rate) break;
        double cpu = cpu_seconds() - cpu0;
        double per_call = rate > 0 ? cpu / (rate * seconds) * 1e6 : 0;
        std::printf("  %-34s %10.0f calls/s %6.1f us/call\n", cases[i].name, rate, per_call);
    }
    waitpid(child, nullptr, 0);
    xprt_close_all();
    loop.join();
    return 0;
}
