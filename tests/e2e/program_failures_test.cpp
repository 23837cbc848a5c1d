// The server program when a step of its start fails, when it is started
// twice, and when it is stopped by a signal or while a client stays
// connected: exit status, message, log line, and what is left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <string>

#include "platform/mapfile.h"
#include "rpc/loop.h"
#include "rpc/rpc.h"
#include "support/home.h"
#include "support/rpc_msg.h"
#include "support/server_proc.h"

namespace {

constexpr int EXIT_WAIT_MS = 15000;

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

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
        EXPECT_TRUE(has(dir.log(), c.line)) << dir.log();
        EXPECT_FALSE(has(dir.log(), "nfsd   started")) << dir.log();
        EXPECT_TRUE(has(server.output(), std::string("Nimbora NFS Server: ") + c.message))
            << server.output();
        EXPECT_TRUE(has(server.output(), c.reason)) << server.output();
        EXPECT_TRUE(has(dir.log(), c.reason + strlen("nfsd: "))) << dir.log();
        // Nothing after the failed step pretends to be another failure.
        EXPECT_FALSE(has(dir.log(), "fatal")) << dir.log();
        if (c.port == 111)
            EXPECT_TRUE(has(server.output(), "held by the host's portmapper (rpcbind, and "
                                             "rpcbind.socket on Debian)"));
        EXPECT_EQ(read_file(dir.file("mounttab")), mounts);
        if (held != SOCK_INVALID) sock_close(held);
        for (uint16_t port : {uint16_t(111), SERVER_MOUNT_PORT, SERVER_NFS_PORT})
            for (int type : {SOCK_DGRAM, SOCK_STREAM})
                EXPECT_TRUE(server_port_free(port, type)) << port << "/" << type;
        mapfile_close(&other_owner);
    }
}

TEST_F(ServerFailures, ASecondStartForTheSameDirectoryLeavesAtOnce) {
    server_dir dir;
    server_proc first(dir);
    ASSERT_TRUE(first.wait_registered()) << first.output();
    server_proc second(dir);
    EXPECT_EQ(second.wait_exit(5000), 7);  // never read as success
    EXPECT_TRUE(has(second.output(), "already running for " + dir.path())) << second.output();
    std::string ping = server_shell("rpcinfo -t 127.0.0.1 100003 3");
    EXPECT_TRUE(has(ping, "ready and waiting")) << ping;
    EXPECT_EQ(first.stop(), 0);
}

TEST_F(ServerFailures, TheEndOfASessionStopsAnOrdinaryRunButNotAService) {
    server_dir dir;
    {
        server_proc service(dir, {"-SERVICE"});  // the word is taken in any case
        ASSERT_TRUE(service.wait_registered()) << service.output();
        kill(service.pid(), SIGHUP);
        EXPECT_EQ(service.wait_exit(3000), -1);
        EXPECT_EQ(service.stop(), 0);
    }
    server_proc ordinary(dir);
    ASSERT_TRUE(ordinary.wait_registered()) << ordinary.output();
    kill(ordinary.pid(), SIGHUP);
    EXPECT_EQ(ordinary.wait_exit(EXIT_WAIT_MS), 0);
}

TEST_F(ServerFailures, AStopWhileATcpClientStaysConnectedEndsWithinThreeSeconds) {
    server_dir dir;
    server_proc server(dir);
    ASSERT_TRUE(server.wait_registered()) << server.output();
    sock_t client = rpc_tcp_connect(SERVER_NFS_PORT);
    ASSERT_NE(client, SOCK_INVALID);
    ASSERT_TRUE(rpc_tcp_send(client, rpc_msg_call(9, 100003, 3, 0)));
    ASSERT_FALSE(rpc_tcp_recv(client, 2000).empty());

    auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(server.stop(5000), 0) << server.output();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(3));
    sock_close(client);
}

}  // namespace
