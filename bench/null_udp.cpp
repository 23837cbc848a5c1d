// NULL calls over UDP against the worker threads: calls per second with 1
// worker and with 4. Client threads send a call and wait for its reply, so
// the figure is a round-trip rate over loopback.
//
//   null_udp [SECONDS] [CLIENTS]     (defaults 3 and 8)
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "bench_null.h"
#include "rpc/loop.h"
#include "rpc/rpc.h"

namespace {

// One client: NULL calls back to back until told to stop; counts replies.
void client(uint16_t port, uint32_t id, std::atomic<bool> *stop, std::atomic<uint64_t> *done) {
    sock_t s = udp_socket(htonl(INADDR_LOOPBACK), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint8_t msg[40], reply[512];
    uint32_t xid = id << 24;
    uint64_t n = 0;
    while (!stop->load(std::memory_order_relaxed)) {
        xid++;
        uint32_t len = xdr_pack(msg, "qqqqqqqqqq", xid, 0u, 2u, 100003u, 3u, 0u, 0u, 0u, 0u, 0u);
        sendto(s, msg, len, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        pollfd p{s, POLLIN, 0};
        // A lost datagram costs 100 ms, then the next call goes out.
        while (poll(&p, 1, 100) == 1) {
            ssize_t r = recv(s, reply, sizeof reply, 0);
            uint32_t got;
            memcpy(&got, reply, 4);
            if (r >= 24 && ntohl(got) == xid) {
                n++;
                break;
            }
        }
    }
    done->fetch_add(n);
    sock_close(s);
}

// Serves a fresh socket with `workers` threads and measures.
double run(uint32_t workers, uint32_t clients, double seconds) {
    xprt_stop.store(0);
    sock_t s = udp_socket(htonl(INADDR_LOOPBACK), 0);
    int rcvbuf = 1 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    uint16_t port = bench_local_port(s);
    xprt *base = xprt_create(s, RPC_UDP, port, 8192);
    if (workers >= 2) {
        udp_workers_start(workers, base);
    } else {
        // One worker: the same thread body on one record, as udp_workers_start
        // does not start a single worker (the select loop would serve it).
        udp_workers_running.fetch_add(1);
        std::thread(udp_worker, xprt_create(s, RPC_UDP, port, base->size)).detach();
    }

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> done{0};
    std::vector<std::thread> threads;
    auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < clients; i++) threads.emplace_back(client, port, i, &stop, &done);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop.store(true);
    for (auto &t : threads) t.join();
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    bench_stop_udp_workers(port);
    sock_close(s);
    return double(done.load()) / elapsed;
}

}  // namespace

int main(int argc, char **argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 3;
    uint32_t clients = argc > 2 ? uint32_t(atoi(argv[2])) : 8;
    rpc_pmap_call = nullptr;
    if (!rpc_register(nullptr, 100003, 3, bench_null_program, RPC_UDP)) return 1;
    for (uint32_t workers : {1u, 4u})
        printf("null_udp: %u worker%s, %u clients: %.0f calls/s\n", workers,
               workers == 1 ? "" : "s", clients, run(workers, clients, seconds));
    return 0;
}
