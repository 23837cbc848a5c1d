// The mount service against real clients, with the built-in portmapper and
// the select loop as start-up runs them: showmount lists the exports with
// their options and every client's mounts; nfs-ls (libnfs) mounts through
// MOUNT version 3 before it looks for NFS, which is not running here.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "mountd/mount_internal.h"
#include "support/mount_rig.h"
#include "support/mount_server.h"
#include "support/rpc_msg.h"
#include "support/server_proc.h"

namespace {

// How DUMP names a client: its host name, else its dotted address.
std::string host_of(const char *dotted) {
    char name[MOUNT_HOST_MAX + 1];
    return net_host_name(mount_addr(dotted), name, sizeof name) ? name : dotted;
}

class MountdClients : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        world = new mount_world(
            "c:\\data -ro -maproot:0:0 127.0.0.1 127.0.0.2\nc:\\pub -name:public -alldirs\n",
            {"data", "pub"});
        server = new mount_server(true);
    }
    static void TearDownTestSuite() {
        delete server;
        delete world;
    }
    void SetUp() override { ASSERT_TRUE(server->ok()); }

    // MNT version 1 over UDP from another loopback address: another client.
    static uint32_t mount_from(const char *client, const std::string &path) {
        std::vector<uint8_t> msg = mount_msg(77, 1, 1, mount_dirpath(path));
        std::vector<uint32_t> w =
            rpc_msg_words(mount_results(rpc_udp_call(server->udp_port, msg, 3000, client)));
        return w.empty() ? ~0u : w[0];
    }

    static mount_world *world;
    static mount_server *server;
};
mount_world *MountdClients::world = nullptr;
mount_server *MountdClients::server = nullptr;

TEST_F(MountdClients, ShowmountListsTheExportsWithTheirOptions) {
    EXPECT_EQ(server_shell("showmount -e 127.0.0.1"),
              "Export list for 127.0.0.1:\n"
              "/c/data 127.0.0.1,127.0.0.2,-readonly,-maproot:0,0\n"
              "/public -alldirs\n");
}

TEST_F(MountdClients, LibnfsMountsAndShowmountListsEveryClientsMounts) {
    // The mount succeeds; only the NFS program that comes next is missing.
    const std::string nfs_missing = "Program is not available on 127.0.0.1";
    EXPECT_NE(server_shell("nfs-ls nfs://127.0.0.1/c/data").find(nfs_missing), std::string::npos);
    EXPECT_NE(server_shell("nfs-ls nfs://127.0.0.1/public/photos").find(nfs_missing),
              std::string::npos);
    EXPECT_NE(server_shell("nfs-ls nfs://127.0.0.1/c/other").find("MNT3ERR_NOENT(2)"),
              std::string::npos);
    EXPECT_EQ(mount_from("127.0.0.3", "/public"), 0u);
    EXPECT_EQ(mount_from("127.0.0.3", "/c/data"), 13u);
    ASSERT_TRUE(mount_lookup_wait_idle(10000));
    std::string local = host_of("127.0.0.1"), other = host_of("127.0.0.3");
    std::vector<std::string> lines = {other + ":/public", local + ":/c/data",
                                      local + ":/public/photos"};
    std::sort(lines.begin(), lines.end());
    std::string expect = "All mount points on 127.0.0.1:\n";
    for (const std::string &l : lines) expect += l + "\n";
    EXPECT_EQ(server_shell("showmount -a 127.0.0.1"), expect);
    EXPECT_EQ(server_shell("showmount -d 127.0.0.1"),
              "Directories on 127.0.0.1:\n/c/data\n/public\n/public/photos\n");
}

}  // namespace
