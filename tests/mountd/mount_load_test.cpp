// The mount service under load: 8 clients, each on its own TCP connection
// (so 8 serving threads), make 10,000 MNT, UMNT and UMNTALL calls between
// them below an -alldirs export while a slow name server answers. The table
// must end exactly as each client's own calls leave it, within its bounds,
// with every host name filled, and the process must never run more than a
// fixed number of threads.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "mountd/mount_internal.h"
#include "support/mount_rig.h"
#include "support/mount_server.h"
#include "support/rpc_msg.h"

namespace {

constexpr int CLIENTS = 8;
constexpr int CALLS_PER_CLIENT = 1250;
constexpr int PATHS = 400;

int thread_count() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') n++;
        closedir(d);
    }
    return n;
}

std::string client_address(int i) {
    return "127.0.1." + std::to_string(i + 1);
}

// What one client's calls leave in the table, newest first, by the table's
// own rules: a repeated mount keeps its place, a new one goes in front and
// pushes out the client's oldest beyond MOUNT_CLIENT_MAX.
struct expected_mounts {
    std::vector<std::string> paths;
    void mnt(const std::string &p) {
        if (std::find(paths.begin(), paths.end(), p) != paths.end()) return;
        if (paths.size() == MOUNT_CLIENT_MAX) paths.pop_back();
        paths.insert(paths.begin(), p);
    }
    void umnt(const std::string &p) {
        auto it = std::find(paths.begin(), paths.end(), p);
        if (it != paths.end()) paths.erase(it);
    }
};

// One client's calls; records what the table should hold afterwards.
void client(int i, uint16_t port, expected_mounts *expect, std::atomic<int> *failures) {
    sock_t s = mount_tcp_connect(client_address(i).c_str(), port);
    if (s == SOCK_INVALID) {
        failures->fetch_add(CALLS_PER_CLIENT);
        return;
    }
    uint32_t xid = uint32_t(i) << 16;
    for (int j = 0; j < CALLS_PER_CLIENT; j++) {
        std::string path = "/c/data/d" + std::to_string((j * 7 + i) % PATHS);
        uint32_t vers = 1 + uint32_t(j % 3);
        std::vector<uint8_t> msg;
        if (j == CALLS_PER_CLIENT / 2) {
            msg = mount_msg(++xid, vers, 4);
            expect->paths.clear();
        } else if (j % 4 == 3) {
            msg = mount_msg(++xid, vers, 3, mount_dirpath(path));
            expect->umnt(path);
        } else {
            msg = mount_msg(++xid, vers, 1, mount_dirpath(path));
            expect->mnt(path);
        }
        std::vector<uint8_t> reply;
        if (rpc_tcp_send(s, msg)) reply = rpc_tcp_recv(s, 10000);
        std::vector<uint32_t> w = rpc_msg_words(reply);
        // Accepted, and a MNT answers status 0.
        bool ok = mount_accept_status(reply) == 0 && w[0] == xid &&
                  (rpc_msg_words(msg)[5] != 1 || (w.size() > 6 && w[6] == 0));
        if (!ok) failures->fetch_add(1);
    }
    sock_close(s);
}

TEST(MountLoad, TenThousandCallsFromEightClients) {
    mount_rig rig;
    rig.env.make("data/");
    rig.env.load("c:\\data -alldirs\n");
    rig.env.log_level(1);
    for (int i = 0; i < CLIENTS; i++)
        mount_names_set(mount_addr(client_address(i).c_str()), "client" + std::to_string(i));
    mount_names_delay(20);
    mount_server server(false);
    ASSERT_TRUE(server.ok());

    int baseline = thread_count();
    std::atomic<bool> done{false};
    std::atomic<int> most{0};
    std::thread sampler([&] {
        while (!done.load()) {
            int n = thread_count();
            if (n > most.load()) most.store(n);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::atomic<int> failures{0};
    std::vector<expected_mounts> expect(CLIENTS);
    std::vector<std::thread> clients;
    for (int i = 0; i < CLIENTS; i++)
        clients.emplace_back(client, i, server.tcp_port, &expect[i], &failures);
    for (std::thread &t : clients) t.join();
    ASSERT_TRUE(mount_lookup_wait_idle(10000));
    done.store(true);
    sampler.join();

    EXPECT_EQ(failures.load(), 0);
    // The clients, the sampler, one connection thread per client and the
    // look-up threads: nothing grows with the number of mounts.
    EXPECT_LE(most.load(), baseline + CLIENTS + 1 + CLIENTS + int(MOUNT_LOOKUP_THREADS));
    EXPECT_LE(mount_lookup_peak(), MOUNT_LOOKUP_THREADS);

    // Every entry belongs to a client, carries its name, and each client's
    // paths are what its own calls left, in order.
    std::vector<std::vector<std::string>> paths(CLIENTS);
    mount_table_visit(
        [](void *ctx, const mount_entry *e) {
            auto *paths = static_cast<std::vector<std::vector<std::string>> *>(ctx);
            int i = int(ntohl(e->client) & 0xFF) - 1;
            if (i >= 0 && i < CLIENTS && e->host == "client" + std::to_string(i))
                (*paths)[i].push_back(e->path);
            else
                paths->at(0).push_back(std::string("stray entry ") + e->path);
        },
        &paths);
    for (int i = 0; i < CLIENTS; i++) EXPECT_EQ(paths[i], expect[i].paths) << client_address(i);
}

}  // namespace
