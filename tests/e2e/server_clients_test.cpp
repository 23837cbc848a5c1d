// The server program against the clients of the host: rpcinfo, showmount,
// and the libnfs tools, in this test's own network namespace; file handles
// kept across a restart; a stop that leaves no mapping and no port behind.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/server_client.h"
#include "nfsd/nfs.h"
#include "rpc/clnt.h"
#include "support/server_proc.h"

namespace {


// The rows of `rpcinfo -p` as "program version protocol port".
std::vector<std::string> rpcinfo_rows() {
    std::istringstream in(server_shell("rpcinfo -p 127.0.0.1"));
    std::vector<std::string> rows;
    std::string line;
    std::getline(in, line);  // heading
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string prog, vers, proto, port;
        if (f >> prog >> vers >> proto >> port) rows.push_back(prog + " " + vers + " " + proto + " " + port);
    }
    return rows;
}

void write_bytes(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

bool same_file(const std::string &a, const std::string &b) {
    int status = -1;
    server_shell("cmp '" + a + "' '" + b + "'", &status);
    return status == 0;
}

class ServerClients : public server_test {
   protected:
    void SetUp() override {
        server_test::SetUp();
        if (IsSkipped()) return;
        std::filesystem::create_directory(dir.drive() + "/docs");
        write_bytes(dir.drive() + "/hello.txt", "Hello from the server.\n");
        write_bytes(dir.drive() + "/docs/notes.txt", "notes\n");
        server = std::make_unique<server_proc>(dir);
        ASSERT_TRUE(server->wait_registered(NFS_PROG, 3, RPC_TCP)) << server->output();
    }
    void TearDown() override {
        if (server) {
            EXPECT_EQ(server->stop(), 0) << server->output();
        }
    }
    void restart() {
        ASSERT_EQ(server->stop(), 0) << server->output();
        server = std::make_unique<server_proc>(dir);
        ASSERT_TRUE(server->wait_registered(NFS_PROG, 3, RPC_TCP)) << server->output();
    }

    server_dir dir;
    std::unique_ptr<server_proc> server;
};

TEST_F(ServerClients, RpcinfoListsThePortmapperThenMountThenNfsInTheOrderOfStartUp) {
    std::vector<std::string> want = {
        "100000 2 tcp 111",   "100000 2 udp 111",   "100005 3 udp 1058", "100005 2 udp 1058",
        "100005 1 udp 1058",  "100005 3 tcp 1058",  "100005 2 tcp 1058", "100005 1 tcp 1058",
        "100003 2 udp 2049",  "100003 3 udp 2049",  "100003 2 tcp 2049", "100003 3 tcp 2049"};
    EXPECT_EQ(rpcinfo_rows(), want);
    std::string ready = server_shell("rpcinfo -t 127.0.0.1 100003 3") +
                        server_shell("rpcinfo -u 127.0.0.1 100005 1");
    EXPECT_NE(ready.find("program 100003 version 3 ready and waiting"), std::string::npos) << ready;
    EXPECT_NE(ready.find("program 100005 version 1 ready and waiting"), std::string::npos) << ready;
    // An unserved version is a mismatch naming the served range; without a
    // version rpcinfo learns that range and tries each version in it.
    int status = -1;
    std::string mismatch = server_shell("rpcinfo -u 127.0.0.1 100003 4", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(mismatch.find("Program/version mismatch; low version = 2, high version = 3"),
              std::string::npos)
        << mismatch;
    std::string each = server_shell("rpcinfo -u 127.0.0.1 100003", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(each,
              "program 100003 version 2 ready and waiting\n"
              "program 100003 version 3 ready and waiting\n");
}

TEST_F(ServerClients, ShowmountAndNfsLsSeeTheExportAndItsFiles) {
    std::string exports = server_shell("showmount -e 127.0.0.1");
    EXPECT_NE(exports.find("Export list for 127.0.0.1:"), std::string::npos) << exports;
    EXPECT_NE(exports.find("/c "), std::string::npos) << exports;

    int status = -1;
    std::string listing = server_shell("nfs-ls nfs://127.0.0.1/c/", &status);
    EXPECT_EQ(status, 0) << listing;
    EXPECT_NE(listing.find("hello.txt"), std::string::npos) << listing;
    EXPECT_NE(listing.find("docs"), std::string::npos) << listing;
    std::string text = server_shell("nfs-cat nfs://127.0.0.1/c/docs/notes.txt");
    EXPECT_EQ(text, "notes\n");
}

TEST_F(ServerClients, NfsCpCarries64MiBThereAndBackUnchanged) {
    std::string original = dir.file("original.bin");
    {
        std::mt19937 gen(15);
        std::string bytes(64u << 20, '\0');
        for (size_t i = 0; i < bytes.size(); i += 4) {
            uint32_t v = gen();
            memcpy(&bytes[i], &v, 4);
        }
        write_bytes(original, bytes);
    }
    int status = -1;
    std::string out = server_shell("nfs-cp " + original + " nfs://127.0.0.1/c/big.bin", &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_TRUE(same_file(original, dir.drive() + "/big.bin"));

    std::string back = dir.file("back.bin");
    out = server_shell("nfs-cp nfs://127.0.0.1/c/big.bin " + back, &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_TRUE(same_file(original, back));
}

TEST_F(ServerClients, AHandleTakenBeforeARestartStillResolvesAfterIt) {
    std::vector<uint8_t> root, file, again;
    ASSERT_EQ(raw_mnt3(SERVER_MOUNT_PORT, "/c", &root), 0u);
    ASSERT_EQ(raw_lookup3(SERVER_NFS_PORT, root, "docs", &file), 0u);
    ASSERT_EQ(raw_lookup3(SERVER_NFS_PORT, file, "notes.txt", &file), 0u);
    uint64_t id_before = 0, id_after = 0, size = 0;
    ASSERT_EQ(raw_getattr3(SERVER_NFS_PORT, file, &id_before, &size), 0u);

    restart();
    EXPECT_EQ(raw_getattr3(SERVER_NFS_PORT, file, &id_after, &size), 0u);
    EXPECT_EQ(id_after, id_before);
    EXPECT_EQ(size, 6u);
    ASSERT_EQ(raw_mnt3(SERVER_MOUNT_PORT, "/c", &root), 0u);
    ASSERT_EQ(raw_lookup3(SERVER_NFS_PORT, root, "docs", &again), 0u);
    ASSERT_EQ(raw_lookup3(SERVER_NFS_PORT, again, "notes.txt", &again), 0u);
    EXPECT_EQ(again, file);
}

class ServerStop : public server_test {};

TEST_F(ServerStop, WithdrawsEveryMappingFromTheHostsPortmapperAndFreesEveryPort) {
    server_rpcbind rpcbind;
    if (!rpcbind.running()) GTEST_SKIP() << "rpcbind cannot run here";
    std::vector<std::string> before = server_mappings();
    server_dir dir(server_settings{{"PortMapper", "0"}});
    server_proc server(dir);
    ASSERT_TRUE(server.wait_registered(NFS_PROG, 3, RPC_TCP)) << server.output();
    EXPECT_EQ(server_mappings().size(), before.size() + 10);

    EXPECT_EQ(server.stop(), 0) << server.output();
    EXPECT_EQ(server_mappings(), before);
    for (uint16_t port : {SERVER_MOUNT_PORT, SERVER_NFS_PORT}) {
        EXPECT_TRUE(server_port_free(port, SOCK_DGRAM)) << port;
        EXPECT_TRUE(server_port_free(port, SOCK_STREAM)) << port;
    }
}

TEST_F(ServerStop, WithTheBuiltInPortmapperFreesPort111Too) {
    server_dir dir;
    server_proc server(dir);
    ASSERT_TRUE(server.wait_registered(MOUNT_PROG, 1, RPC_TCP)) << server.output();
    EXPECT_EQ(server.stop(), 0) << server.output();
    for (uint16_t port : {uint16_t(111), SERVER_MOUNT_PORT, SERVER_NFS_PORT}) {
        EXPECT_TRUE(server_port_free(port, SOCK_DGRAM)) << port;
        EXPECT_TRUE(server_port_free(port, SOCK_STREAM)) << port;
    }
    EXPECT_NE(dir.log().find(" nfsd   started, 4 udp threads\n"), std::string::npos) << dir.log();
}

}  // namespace
