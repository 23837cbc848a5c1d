// The server program when a step of its start fails, when it is started
// twice, and when it is stopped by a signal or while a client stays
// connected: exit status, message, log line, and what is left behind. Then
// what a new user meets: the example as shipped exports nothing and says
// why, and the command line answers with its own statuses.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/mapfile.h"
#include "rpc/loop.h"
#include "rpc/rpc.h"
#include "support/home.h"
#include "support/rpc_msg.h"
#include "support/server_proc.h"

namespace {

constexpr int EXIT_WAIT_MS = 15000;

class ServerFailures : public server_test {};

TEST_F(ServerFailures, EachFailedStepExitsWithItsStatusLineAndMessageAndLeavesNothing) {
    const struct {
        uint16_t port;  // held by the test; 0: the inode table is held instead
        int type;
        int status;
        const char *line;     // in the log
        const char *message;  // on standard error
        const char *reason;   // the line after it, in both places ("" for none)
    } cases[] = {
        {111, SOCK_STREAM, 2, " pmapd: failed to start service\n", "Failed to start Portmapper\n",
         "nfsd: portmapper: cannot bind port 111/tcp: Address already in use\n"},
        {1058, SOCK_DGRAM, 3, "mountd: cannot bind udp socket\n", "Failed to start Mount server\n",
         "nfsd: mount service: cannot bind port 1058/udp: Address already in use\n"},
        {1058, SOCK_STREAM, 3, "mountd: cannot bind tcp socket\n",
         "Failed to start Mount server\n",
         "nfsd: mount service: cannot bind port 1058/tcp: Address already in use\n"},
        {2049, SOCK_STREAM, 4, "nfsd: cannot create nfs socket\n", "Failed to setup NFS server\n",
         "nfsd: NFS service: cannot bind port 2049/tcp: Address already in use\n"},
        {2049, SOCK_DGRAM, 4, "nfsd: cannot create nfs socket\n", "Failed to setup NFS server\n",
         "nfsd: NFS service: cannot bind port 2049/udp: Address already in use\n"},
        {0, 0, 6, " nfsd: Inode table initialization failed\n",
         "Inode table initialization failed\n",
         "nfsd: inode table: cannot open the inode table: Resource temporarily unavailable\n"},
    };
    const std::string mounts = "a000001 /c\n";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        server_dir dir;
        write_file(dir.file("mounttab"), mounts);
        mapfile other_owner;
        sock_t held = !c.port                ? SOCK_INVALID
                      : c.type == SOCK_DGRAM ? udp_socket(0, c.port)
                                             : tcp_listen_socket(nullptr, c.port);
        ASSERT_TRUE(c.port ? held != SOCK_INVALID
                           : mapfile_open(&other_owner, dir.file("inodes.nfs").c_str(), false));

        server_proc server(dir);
        EXPECT_EQ(server.wait_exit(EXIT_WAIT_MS), c.status) << server.output();
        EXPECT_TRUE(server_has(dir.log(), c.line)) << dir.log();
        EXPECT_FALSE(server_has(dir.log(), "nfsd   started")) << dir.log();
        EXPECT_TRUE(server_has(server.output(), std::string("Nimbora NFS Server: ") + c.message))
            << server.output();
        EXPECT_TRUE(server_has(server.output(), c.reason)) << server.output();
        EXPECT_TRUE(server_has(dir.log(), c.reason + strlen("nfsd: "))) << dir.log();
        // Nothing after the failed step pretends to be another failure.
        EXPECT_FALSE(server_has(dir.log(), "fatal")) << dir.log();
        if (c.port == 111) {
            EXPECT_TRUE(server_has(server.output(), "held by the host's portmapper (rpcbind, and "
                                                    "rpcbind.socket on Debian)"));
        }
        EXPECT_EQ(read_file(dir.file("mounttab")), mounts);
        if (held != SOCK_INVALID) sock_close(held);
        server_expect_ports_free();
        mapfile_close(&other_owner);
    }
}

// With one server running: a second start for the same directory leaves at
// once; a hangup is the reload of the exports file, never a stop (a service
// run is tested with the reload itself); a stop while a TCP client stays
// connected ends within three seconds.
TEST_F(ServerFailures, ASecondStartLeavesAHangupReloadsAndAStopIgnoresAClient) {
    server_dir dir;
    server_proc server(dir);
    ASSERT_TRUE(server.wait_registered()) << server.output();
    server_proc second(dir);
    EXPECT_EQ(second.wait_exit(5000), 7);  // never read as success
    EXPECT_TRUE(server_has(second.output(), "already running for " + dir.path()))
        << second.output();

    kill(server.pid(), SIGHUP);
    EXPECT_EQ(server.wait_exit(3000), -1);
    EXPECT_TRUE(server_has(server.output(), "nfsd: exports reloaded, 1 exports\n"))
        << server.output();

    sock_t client = rpc_tcp_connect(SERVER_NFS_PORT);
    ASSERT_NE(client, SOCK_INVALID);
    ASSERT_TRUE(rpc_tcp_send(client, rpc_msg_call(9, 100003, 3, 0)));
    ASSERT_FALSE(rpc_tcp_recv(client, 2000).empty()) << "the first server still serves";
    auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(server.stop(5000), 0) << server.output();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(3));
    sock_close(client);
}

class ServerSafety : public server_test {};

// The example's settings hold a placeholder for drive C:, which the run
// script fills in; a copy taken as it is must serve nothing at all.
TEST_F(ServerSafety, AnUnmodifiedCopyOfTheExampleExportsNothing) {
    server_dir dir;
    std::filesystem::copy(NIMBORA_SOURCE_DIR "/example", dir.path(),
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing);
    server_proc server(dir);
    ASSERT_TRUE(server.wait_registered()) << server.output();
    std::string out = server.output();
    const std::string maps = "nfsd: drive C: \"@EXAMPLE@/demo\" maps nothing";
    EXPECT_TRUE(server_has(out, maps + ": not an absolute path")) << out;
    EXPECT_TRUE(server_has(out, "unsupported drive type: c: (drive c: maps no directory)")) << out;
    EXPECT_TRUE(server_has(dir.log(), maps)) << dir.log();

    std::string fh;
    for (const char *path : {"/demo", "/c", "/", "/etc"})
        EXPECT_EQ(raw_mnt3(path, &fh), 2u) << path;
    EXPECT_FALSE(server_has(server_shell("showmount -e 127.0.0.1"), "/"));
    int status = 0;
    std::string cat = server_shell("nfs-cat nfs://127.0.0.1/demo/hello.txt", &status, 30);
    EXPECT_NE(status, 0);
    EXPECT_FALSE(server_has(cat, "Hello")) << cat;
    EXPECT_EQ(server.stop(), 0);
}

TEST_F(ServerSafety, TheCommandLineAnswersWithItsOwnStatuses) {
    server_dir dir;
    const struct {
        const char *arg;
        int status;
        const char *output, *also;
    } cases[] = {
        {"--help", 0, "Exit status:\n  0   stopped", "  settings.reg "},
        {"--version", 0, "nfsd (Nimbora NFS Server) ", ""},
        {"--bogus", 64, "usage: nfsd [-service] [--home DIR]", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arg);
        std::filesystem::remove(dir.file("output.txt"));
        server_proc run(dir, {c.arg});
        EXPECT_EQ(run.wait_exit(5000), c.status);
        EXPECT_TRUE(server_has(run.output(), c.output)) << run.output();
        EXPECT_TRUE(server_has(run.output(), c.also)) << run.output();
    }
}

}  // namespace
