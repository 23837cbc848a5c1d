// GETATTR (of a file and of a directory) and LOOKUP calls per second over
// UDP against the NFS version 3 program, served by 4 worker threads (the
// "Threads" default), with 1 and 8 client threads that each send a call and
// wait for its reply. NULL calls through the same path give the cost of
// everything but the file system, so each line also shows the share of a
// call's time spent outside it.
//
//   nfs_calls [SECONDS]     (default 3 per figure)
#include <poll.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_nfs.h"
#include "fh/fh.h"
#include "nfsd/cache.h"
#include "rpc/loop.h"

namespace {

constexpr uint32_t WORKERS = 4;

struct call_kind {
    const char *name;
    uint32_t proc;
    std::vector<uint8_t> args;
};

void client(uint16_t port, uint32_t id, const call_kind *kind, std::atomic<bool> *stop,
            std::atomic<uint64_t> *done) {
    sock_t s = udp_socket(htonl(INADDR_LOOPBACK), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<uint8_t> msg = bench_nfs3_header(0, kind->proc);
    msg.insert(msg.end(), kind->args.begin(), kind->args.end());
    uint8_t reply[9000];
    uint32_t xid = id << 24;
    uint64_t n = 0;
    while (!stop->load(std::memory_order_relaxed)) {
        xid++;
        xdr_put_u32(msg.data(), xid);
        sendto(s, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        pollfd p{s, POLLIN, 0};
        while (poll(&p, 1, 100) == 1) {
            ssize_t r = recv(s, reply, sizeof reply, 0);
            // Accepted with success, and for a procedure its status 0.
            uint32_t got, accept, status = 0;
            memcpy(&got, reply, 4);
            memcpy(&accept, reply + 20, 4);
            if (r >= 28) memcpy(&status, reply + 24, 4);
            if (r >= 24 && ntohl(got) == xid) {
                if (accept == 0 && status == 0) n++;
                break;
            }
        }
    }
    done->fetch_add(n);
    sock_close(s);
}

double measure(uint16_t port, const call_kind &kind, uint32_t clients, double seconds) {
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> done{0};
    std::vector<std::thread> threads;
    auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < clients; i++)
        threads.emplace_back(client, port, i + 1, &kind, &stop, &done);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop.store(true);
    for (auto &t : threads) t.join();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return double(done.load()) / elapsed;
}

std::vector<uint8_t> fh3(const uint8_t *fh) {
    std::vector<uint8_t> a;
    bench_put_word(a, FH3_SIZE);
    a.insert(a.end(), fh, fh + FH3_SIZE);
    return a;
}

}  // namespace

int main(int argc, char **argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 3;

    // A served tree on 4 workers.
    char home[] = "/tmp/nfs-calls-XXXXXX";
    if (!mkdtemp(home)) return 1;
    bench_server srv;
    srv.home = home;
    std::string root = srv.home + "/c";
    mkdir(root.c_str(), 0755);
    mkdir((root + "/dir").c_str(), 0755);
    std::ofstream(root + "/dir/f.txt") << "hello";
    if (!bench_serve(&srv, WORKERS, 0)) return 1;
    uint8_t dir[FH_SIZE], file[FH_SIZE];
    fh_for_path(srv.export_id, "c:\\dir", dir);
    fh_for_path(srv.export_id, "c:\\dir\\f.txt", file);
    uint16_t port = srv.port;

    std::vector<uint8_t> lookup = fh3(dir);
    bench_put_word(lookup, 5);
    lookup.insert(lookup.end(), {'f', '.', 't', 'x', 't', 0, 0, 0});
    const call_kind kinds[] = {{"NULL", 0, {}},
                               {"GETATTR", 1, fh3(file)},
                               {"LOOKUP", 3, lookup},
                               {"GETATTR of a directory", 1, fh3(dir)}};
    for (uint32_t clients : {1u, 8u}) {
        double null_rate = measure(port, kinds[0], clients, seconds);
        printf("nfs_calls: NULL     %u client%s: %8.0f calls/s\n", clients,
               clients == 1 ? " " : "s", null_rate);
        for (const call_kind &k : {kinds[1], kinds[2], kinds[3]}) {
            double rate = measure(port, k, clients, seconds);
            // Time per call outside the file system: what a NULL call costs.
            printf("nfs_calls: %-8s %u client%s: %8.0f calls/s, %3.0f%% of the time outside the "
                   "file system\n",
                   k.name, clients, clients == 1 ? " " : "s", rate,
                   rate > 0 ? 100.0 * rate / null_rate : 0.0);
        }
    }

    bench_serve_end(&srv);
    return 0;
}
