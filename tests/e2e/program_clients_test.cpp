// The server program against the clients of the host (rpcinfo, showmount,
// the libnfs tools, the host's own rpcbind), the services its settings
// leave, and a stop that leaves no mapping and no port behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "rpc/loop.h"
#include "support/home.h"
#include "support/mount_rig.h"
#include "support/server_proc.h"

namespace {

// Every mapping of a default start, in the order of registration.
const std::vector<std::string> ALL_ROWS = {
    "100000 2 tcp 111",  "100000 2 udp 111",  "100005 3 udp 1058", "100005 2 udp 1058",
    "100005 1 udp 1058", "100005 3 tcp 1058", "100005 2 tcp 1058", "100005 1 tcp 1058",
    "100003 2 udp 2049", "100003 3 udp 2049", "100003 2 tcp 2049", "100003 3 tcp 2049"};

// How DUMP names a client: its host name, else its dotted address.
std::string host_of(const char *dotted) {
    char name[512];
    return net_host_name(inet_addr(dotted), name, sizeof name) ? name : dotted;
}

class ServerClients : public server_test {};

// showmount lists the exports with their options and the mounts the libnfs
// tools made.
TEST_F(ServerClients, RpcinfoShowmountAndTheLibnfsToolsListReadAndCarry64MiB) {
    server_dir dir({},
                   "c:\\data -ro -maproot:0:0 127.0.0.1 127.0.0.2\n"
                   "c:\\pub -name:public -alldirs\n");
    std::filesystem::create_directories(dir.drive() + "/data/docs");
    std::filesystem::create_directories(dir.drive() + "/pub/photos");
    write_file(dir.drive() + "/data/notes.txt", "notes\n");
    server_proc server(dir);
    ASSERT_TRUE(server.wait_registered()) << server.output();
    // Without a version rpcinfo learns the served range from a mismatch and
    // tries each version in it.
    int status = -1;
    EXPECT_EQ(server_shell("rpcinfo -t 127.0.0.1 100003", &status),
              "program 100003 version 2 ready and waiting\n"
              "program 100003 version 3 ready and waiting\n");
    EXPECT_EQ(server_shell("showmount -e 127.0.0.1"),
              "Export list for 127.0.0.1:\n"
              "/c/data 127.0.0.1,127.0.0.2,-readonly,-maproot:0,0\n"
              "/public -alldirs\n");

    std::string listing = server_shell("nfs-ls nfs://127.0.0.1/c/data", &status);
    EXPECT_EQ(status, 0) << listing;
    EXPECT_TRUE(server_has(listing, "notes.txt") && server_has(listing, "docs")) << listing;
    EXPECT_EQ(server_shell("nfs-cat nfs://127.0.0.1/c/data/notes.txt"), "notes\n");
    std::string out = server_shell("nfs-ls nfs://127.0.0.1/public/photos", &status);
    EXPECT_EQ(status, 0) << out;

    std::string original = dir.file("original.bin"), back = dir.file("back.bin");
    server_shell("head -c 64M /dev/urandom > " + original);
    out = server_shell("nfs-cp " + original + " nfs://127.0.0.1/public/big.bin", &status);
    ASSERT_EQ(status, 0) << out;
    out = server_shell("nfs-cp nfs://127.0.0.1/public/big.bin " + back, &status);
    ASSERT_EQ(status, 0) << out;
    for (const std::string &copy : {dir.drive() + "/pub/big.bin", back}) {
        server_shell("cmp " + original + " " + copy, &status);
        EXPECT_EQ(status, 0) << copy;
    }

    // The names are looked up after the replies: wait for them.
    std::string local = host_of("127.0.0.1"), all;
    std::string expect = "All mount points on 127.0.0.1:\n" + local + ":/c/data\n" + local +
                         ":/public\n" + local + ":/public/photos\n";
    for (int i = 0; i < 50 && (all = server_shell("showmount -a 127.0.0.1")) != expect; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(all, expect);
    EXPECT_EQ(server_shell("showmount -d 127.0.0.1"),
              "Directories on 127.0.0.1:\n/c/data\n/public\n/public/photos\n");
    EXPECT_EQ(server.stop(), 0) << server.output();
    server_expect_ports_free();
}

// The portmapper lists what each start registers, in the order of start-up
// (what rpcinfo -p makes of such a list is the Wine test's), and each
// service answers rpcinfo's ping on its transport.
TEST_F(ServerClients, SettingsDecideWhichServicesRunAndEachOneAnswers) {
    const struct {
        server_settings settings;
        std::vector<std::string> gone;  // rows left out, by a part of their text
        const char *started;            // the log's start line
    } cases[] = {
        {{{"Threads", "1"}}, {}, " nfsd   started\n"},
        {{{"UDP", "0"}, {"Version3", "0"}},
         {"100003 2 udp", "100003 3", "100005 3"},
         " nfsd   started, 4 udp threads\n"},
        {{{"TCP", "0"}}, {" tcp 1058", " tcp 2049"}, " nfsd   started, 4 udp threads\n"},
        {{{"TCP", "0"}, {"Mount-TCP", "1"}, {"Threads", "2"}},
         {" tcp 2049"},
         " nfsd   started, 2 udp threads\n"},
        {{{"Mount-UDP", "0"}, {"Version2", "0"}},
         {" udp 1058", "100003 2"},
         " nfsd   started, 4 udp threads\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> want;
        for (const std::string &row : ALL_ROWS)
            if (std::none_of(c.gone.begin(), c.gone.end(),
                             [&](auto &g) { return server_has(row, g); }))
                want.push_back(row);
        SCOPED_TRACE(want.back() + ", " + c.started);
        server_dir dir(c.settings);
        server_proc server(dir);
        ASSERT_TRUE(server.wait_registered(want.back().substr(0, 12))) << server.output();
        EXPECT_EQ(server_mappings(), want);
        for (const std::string &row : want) {
            // "100005 3 udp 1058": rpcinfo -u 127.0.0.1 100005 3
            std::string ping =
                server_shell("rpcinfo -" + row.substr(9, 1) + " 127.0.0.1 " + row.substr(0, 8));
            EXPECT_TRUE(server_has(ping, "ready and waiting")) << row << ": " << ping;
        }
        EXPECT_EQ(server.stop(), 0) << server.output();
        EXPECT_TRUE(server_has(dir.log(), c.started)) << dir.log();
        EXPECT_TRUE(server_has(dir.log(), " nfsd   stopping\n")) << dir.log();
        server_expect_ports_free();
    }
}

// The host's rpcbind in this namespace, with a /run of its own for its lock
// and socket, while the object lives.
struct rpcbind_run {
    pid_t pid = server_spawn(
        {"unshare", "--mount", "sh", "-c", "mount -t tmpfs tmpfs /run && exec rpcbind -f"},
        "/dev/null");
    ~rpcbind_run() {
        if (pid > 0) kill(pid, SIGKILL);
        server_wait_child(pid, 5000);
    }
};

TEST_F(ServerClients, TheHostsPortmapperHoldsTheMappingsOnlyWhileTheServerRuns) {
    rpcbind_run rpcbind;
    std::vector<std::string> before;
    for (int i = 0; i < 50 && before.empty() && server_wait_child(rpcbind.pid, 100) < 0; i++)
        before = server_mappings();
    ASSERT_FALSE(before.empty()) << "rpcbind did not start";
    server_dir dir(server_settings{{"PortMapper", "0"}});
    {
        // MOUNT and NFS over UDP are registered before NFS over TCP fails.
        sock_t nfs = tcp_listen_socket(nullptr, SERVER_NFS_PORT);
        server_proc failed(dir);
        EXPECT_EQ(failed.wait_exit(15000), 4) << failed.output();
        EXPECT_TRUE(server_has(dir.log(), "mountd started")) << dir.log();
        EXPECT_EQ(server_mappings(), before);
        sock_close(nfs);
    }
    server_proc server(dir);
    ASSERT_TRUE(server.wait_registered()) << server.output();
    EXPECT_EQ(server_mappings().size(), before.size() + 10);
    EXPECT_EQ(server.stop(), 0) << server.output();
    EXPECT_EQ(server_mappings(), before);
}

}  // namespace
