// The server program when a step of its start fails, when settings leave a
// service out, when it is started twice, and when it is stopped by a signal,
// by its settings pages or while a client stays connected: exit status,
// message, log line, and what the portmapper and the ports show afterwards.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/mapfile.h"
#include "support/rpc_msg.h"
#include "support/server_proc.h"

namespace {

constexpr uint32_t NFS_PROG = 100003, MOUNT_PROG = 100005;
constexpr uint32_t UDP = 17, TCP = 6;
constexpr int EXIT_WAIT_MS = 15000;

bool holds_any(uint16_t except_port, int except_type) {
    for (uint16_t port : {uint16_t(111), uint16_t(1058), uint16_t(2049)})
        for (int type : {SOCK_DGRAM, SOCK_STREAM})
            if (!(port == except_port && type == except_type) && !server_port_free(port, type))
                return true;
    return false;
}

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

class ServerFailures : public server_test {};

struct failure_case {
    const char *name;
    uint16_t port;  // held by the test; 0: the inode table is held instead
    int type;
    int status;
    const char *line;     // in the log
    const char *message;  // on standard error
};

TEST_F(ServerFailures, EachFailedStepExitsWithItsStatusLineAndMessageAndLeavesNoPort) {
    const failure_case cases[] = {
        {"portmapper port taken", 111, SOCK_STREAM, 2, " pmapd: failed to start service\n",
         "Nimbora NFS Server: Failed to start Portmapper\n"},
        {"mount port taken", 1058, SOCK_DGRAM, 3, "mountd: cannot bind udp socket\n",
         "Nimbora NFS Server: Failed to start Mount server\n"},
        {"mount TCP port taken", 1058, SOCK_STREAM, 3, "mountd: cannot bind tcp socket\n",
         "Nimbora NFS Server: Failed to start Mount server\n"},
        {"NFS port taken", 2049, SOCK_STREAM, 4, "nfsd: cannot create nfs socket\n",
         "Nimbora NFS Server: Failed to setup NFS server\n"},
        {"NFS UDP port taken", 2049, SOCK_DGRAM, 4, "nfsd: cannot create nfs socket\n",
         "Nimbora NFS Server: Failed to setup NFS server\n"},
        {"inode table in use", 0, 0, 6, " nfsd: Inode table initialization failed\n",
         "Nimbora NFS Server: Inode table initialization failed\n"},
    };
    for (const failure_case &c : cases) {
        SCOPED_TRACE(c.name);
        server_dir dir;
        std::unique_ptr<server_port_holder> holder;
        mapfile other_owner;
        if (c.port)
            holder = std::make_unique<server_port_holder>(c.port, c.type);
        else
            ASSERT_TRUE(mapfile_open(&other_owner, dir.file("inodes.nfs").c_str(), false));

        server_proc server(dir);
        EXPECT_EQ(server.wait_exit(EXIT_WAIT_MS), c.status) << server.output();
        EXPECT_TRUE(has(dir.log(), c.line)) << dir.log();
        EXPECT_FALSE(has(dir.log(), "nfsd   started")) << dir.log();
        EXPECT_TRUE(has(server.output(), c.message)) << server.output();
        EXPECT_FALSE(holds_any(c.port, c.type));
        mapfile_close(&other_owner);
    }
}

TEST_F(ServerFailures, AFailedStartLeavesNoMappingAtTheHostsPortmapper) {
    server_rpcbind rpcbind;
    if (!rpcbind.running()) GTEST_SKIP() << "rpcbind cannot run here";
    std::vector<std::string> before = server_mappings();
    server_dir dir(server_settings{{"PortMapper", "0"}});
    server_port_holder nfs(2049, SOCK_STREAM);
    server_proc server(dir);
    EXPECT_EQ(server.wait_exit(EXIT_WAIT_MS), 4) << server.output();
    // MOUNT and NFS over UDP were registered before NFS over TCP failed.
    EXPECT_TRUE(has(dir.log(), "mountd started")) << dir.log();
    EXPECT_EQ(server_mappings(), before);
}

struct shape_case {
    const char *name;
    server_settings settings;
    std::vector<std::string> absent;   // no rpcinfo -p row contains these
    std::vector<std::string> present;  // some row contains each of these
    const char *ping;                  // an rpcinfo call that must answer
    const char *started;               // the log's start line, after the time stamp
};

TEST_F(ServerFailures, SettingsThatLeaveAServiceOutAreObeyed) {
    const shape_case cases[] = {
        {"Threads 1", {{"Threads", "1"}}, {}, {"100003    3   udp"}, "-u 127.0.0.1 100003 3",
         " nfsd   started\n"},
        {"UDP 0", {{"UDP", "0"}}, {"100003    2   udp", "100003    3   udp"}, {"100003    3   tcp"},
         "-t 127.0.0.1 100003 3", " nfsd   started, 4 udp threads\n"},
        {"Version3 0", {{"Version3", "0"}}, {"100003    3", "100005    3"},
         {"100003    2   udp", "100005    2   tcp"}, "-u 127.0.0.1 100003 2",
         " nfsd   started, 4 udp threads\n"},
    };
    for (const shape_case &c : cases) {
        SCOPED_TRACE(c.name);
        server_dir dir(c.settings);
        server_proc server(dir);
        ASSERT_TRUE(server.wait_registered(MOUNT_PROG, 1, TCP)) << server.output();
        ASSERT_TRUE(server.wait_registered(NFS_PROG, 2, c.settings.count("UDP") ? TCP : UDP));
        std::string rows = server_shell("rpcinfo -p 127.0.0.1");
        for (const std::string &a : c.absent) EXPECT_FALSE(has(rows, a)) << rows;
        for (const std::string &p : c.present) EXPECT_TRUE(has(rows, p)) << rows;
        std::string ping = server_shell(std::string("rpcinfo ") + c.ping);
        EXPECT_TRUE(has(ping, "ready and waiting")) << ping;
        EXPECT_EQ(server.stop(), 0) << server.output();
        EXPECT_TRUE(has(dir.log(), c.started)) << dir.log();
    }
}

TEST_F(ServerFailures, LogZeroWritesNoLogFile) {
    server_dir dir(server_settings{{"Log", "0"}});
    server_proc server(dir);
    ASSERT_TRUE(server.wait_registered(NFS_PROG, 3, TCP)) << server.output();
    EXPECT_EQ(server.stop(), 0);
    for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_NE(entry.path().extension(), ".log") << entry.path();
}

TEST_F(ServerFailures, ASecondStartForTheSameDirectoryLeavesAtOnce) {
    server_dir dir;
    server_proc first(dir);
    ASSERT_TRUE(first.wait_registered(NFS_PROG, 3, TCP)) << first.output();
    server_proc second(dir);
    EXPECT_EQ(second.wait_exit(5000), 0);
    EXPECT_TRUE(has(second.output(), "already running for " + dir.path())) << second.output();
    EXPECT_TRUE(first.running());
    std::string ping = server_shell("rpcinfo -t 127.0.0.1 100003 3");
    EXPECT_TRUE(has(ping, "ready and waiting")) << ping;
    EXPECT_EQ(first.stop(), 0);
}

TEST_F(ServerFailures, TheEndOfASessionStopsAnOrdinaryRunButNotAService) {
    server_dir dir;
    {
        server_proc service(dir, {"-SERVICE"});  // the word is taken in any case
        ASSERT_TRUE(service.wait_registered(NFS_PROG, 3, TCP)) << service.output();
        kill(service.pid(), SIGHUP);
        EXPECT_EQ(service.wait_exit(1500), -1);
        EXPECT_EQ(service.stop(), 0);
    }
    server_proc ordinary(dir);
    ASSERT_TRUE(ordinary.wait_registered(NFS_PROG, 3, TCP)) << ordinary.output();
    kill(ordinary.pid(), SIGHUP);
    EXPECT_EQ(ordinary.wait_exit(EXIT_WAIT_MS), 0);
    EXPECT_TRUE(has(dir.log(), "nfsd   started")) << dir.log();
}

// Sends one HTTP request to 127.0.0.1:port and answers the response.
std::string http(uint16_t port, const std::string &request) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string out;
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        send(s, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        char buf[4096];
        ssize_t n;
        while ((n = recv(s, buf, sizeof buf, 0)) > 0) out.append(buf, size_t(n));
    }
    close(s);
    return out;
}

TEST_F(ServerFailures, TheSettingsPagesExitCommandStopsTheServerInOrder) {
    server_dir dir;
    server_proc server(dir);
    ASSERT_TRUE(server.wait_registered(NFS_PROG, 3, TCP)) << server.output();
    // The address with its token is printed once the server runs.
    std::string printed;
    for (int i = 0; i < 100 && !has(printed = server.output(), "?token="); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    size_t at = printed.find("Settings pages: http://127.0.0.1:8049/?token=");
    ASSERT_NE(at, std::string::npos) << printed;
    std::string token = printed.substr(printed.find("token=", at) + 6, 32);

    EXPECT_TRUE(has(http(8049, "POST /api/exit HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n"
                               "Connection: close\r\n\r\n"),
                    "403"));
    EXPECT_TRUE(server.running());
    http(8049, "POST /api/exit HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Nimbora-Token: " + token +
                   "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(server.wait_exit(EXIT_WAIT_MS), 0) << server.output();
    EXPECT_TRUE(server_port_free(8049, SOCK_STREAM));
}

TEST_F(ServerFailures, AStopWhileATcpClientStaysConnectedEndsWithinThreeSeconds) {
    server_dir dir;
    server_proc server(dir);
    ASSERT_TRUE(server.wait_registered(NFS_PROG, 3, TCP)) << server.output();
    sock_t client = rpc_tcp_connect(2049);
    ASSERT_NE(client, SOCK_INVALID);
    ASSERT_TRUE(rpc_tcp_send(client, rpc_msg_call(9, NFS_PROG, 3, 0)));
    ASSERT_FALSE(rpc_tcp_recv(client, 2000).empty());

    auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(server.stop(5000), 0) << server.output();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(3));
    sock_close(client);
}

}  // namespace
