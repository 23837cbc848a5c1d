// The mount service against real clients, with the built-in portmapper and
// the select loop as start-up runs them: showmount lists the exports with
// their options and the mounts of every client; the libnfs library mounts,
// unmounts and reads the lists as it would before using NFS.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "fh/fh.h"
#include "inode/inode.h"
#include "mountd/mount_internal.h"
#include "support/mount_libnfs.h"
#include "support/mount_rig.h"
#include "support/mount_server.h"
#include "support/rpc_msg.h"

namespace {

std::string run(const std::string &command) {
    std::string out;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return out;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
    return out;
}

// How DUMP names a client: its host name, else its dotted address.
std::string host_of(const char *dotted) {
    char name[MOUNT_HOST_MAX + 1];
    return net_host_name(mount_addr(dotted), name, sizeof name) ? name : dotted;
}

std::vector<uint8_t> root_handle(const char *path, uint32_t export_id, uint32_t size) {
    uint8_t fh[FH_SIZE];
    fh_make(inode_path_find(path), export_id, fh);
    return std::vector<uint8_t>(fh, fh + size);
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
    void SetUp() override {
        ASSERT_TRUE(server->ok());
        mount_table_clear();
    }
    void TearDown() override {
        mount_lookup_stop();
        mount_table_clear();
    }
    // MNT version 1 over UDP from another loopback address, as a second client.
    uint32_t mount_from(const char *client, const std::string &path) {
        sock_t s = udp_socket(mount_addr(client), 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(server->udp_port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::vector<uint8_t> msg = mount_msg(77, 1, 1, mount_dirpath(path));
        sendto(s, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        std::vector<uint32_t> w = rpc_msg_words(mount_results(rpc_recv_datagram(s, 3000)));
        sock_close(s);
        return w.empty() ? ~0u : w[0];
    }

    static mount_world *world;
    static mount_server *server;
};
mount_world *MountdClients::world = nullptr;
mount_server *MountdClients::server = nullptr;

TEST_F(MountdClients, ShowmountListsTheExportsWithTheirOptions) {
    EXPECT_EQ(run("showmount -e 127.0.0.1"),
              "Export list for 127.0.0.1:\n"
              "/c/data 127.0.0.1,127.0.0.2,-readonly,-maproot:0,0\n"
              "/public -alldirs\n");
}

TEST_F(MountdClients, ShowmountListsTheMountsOfEveryClient) {
    ASSERT_TRUE(libnfs_mount::available());
    libnfs_mount client("127.0.0.1", 3);
    ASSERT_TRUE(client.connected()) << client.error();
    EXPECT_EQ(client.mnt("/c/data").status, 0);
    EXPECT_EQ(client.mnt("/public/photos").status, 0);
    EXPECT_EQ(mount_from("127.0.0.3", "/public"), 0u);
    EXPECT_EQ(mount_from("127.0.0.3", "/c/data"), 13u);
    ASSERT_TRUE(mount_lookup_wait_idle(10000));
    std::string local = host_of("127.0.0.1"), other = host_of("127.0.0.3");
    std::vector<std::string> lines = {other + ":/public", local + ":/c/data",
                                      local + ":/public/photos"};
    std::sort(lines.begin(), lines.end());
    std::string expect = "All mount points on 127.0.0.1:\n";
    for (const std::string &l : lines) expect += l + "\n";
    EXPECT_EQ(run("showmount -a 127.0.0.1"), expect);
    EXPECT_EQ(run("showmount -d 127.0.0.1"),
              "Directories on 127.0.0.1:\n/c/data\n/public\n/public/photos\n");
}

TEST_F(MountdClients, LibnfsMountsInBothVersionsAndReadsTheLists) {
    ASSERT_TRUE(libnfs_mount::available());
    uint32_t data_id = export_list->export_id, pub_id = export_list->next->export_id;
    libnfs_mount v3("127.0.0.1", 3), v1("127.0.0.1", 1);
    ASSERT_TRUE(v3.connected()) << v3.error();
    ASSERT_TRUE(v1.connected()) << v1.error();

    libnfs_mount::mnt_result m3 = v3.mnt("/c/data");
    ASSERT_TRUE(m3.answered) << v3.error();
    EXPECT_EQ(m3.status, 0);
    EXPECT_EQ(m3.fh, root_handle("c:\\data", data_id, FH3_SIZE));
    EXPECT_EQ(m3.flavors, std::vector<int>{1});
    libnfs_mount::mnt_result m1 = v1.mnt("/public");
    EXPECT_EQ(m1.status, 0);
    EXPECT_EQ(m1.fh, root_handle("c:\\pub", pub_id, FH_SIZE));
    EXPECT_EQ(v3.mnt("/c/other").status, 2);
    EXPECT_EQ(mount_from("127.0.0.2", "/c/data"), 0u);

    bool ok = false;
    std::vector<mount_dump_row> dump = v1.dump(&ok);
    ASSERT_TRUE(ok) << v1.error();
    std::string local = host_of("127.0.0.1");
    ASSERT_EQ(dump.size(), 3u);
    EXPECT_EQ(dump[0].path, "/c/data");
    EXPECT_EQ(dump[1].path, "/public");
    EXPECT_EQ(dump[2].path, "/c/data");

    std::vector<mount_export_row> list = v3.exports(&ok);
    ASSERT_TRUE(ok) << v3.error();
    EXPECT_EQ(list, (std::vector<mount_export_row>{
                        {"/c/data", {"127.0.0.1", "127.0.0.2", "-readonly", "-maproot:0,0"}},
                        {"/public", {"-alldirs"}}}));

    // UMNT and UMNTALL of this client leave the other client's mount.
    EXPECT_TRUE(v3.umnt("/c/data"));
    ASSERT_TRUE(mount_lookup_wait_idle(10000));
    dump = v3.dump(&ok);
    EXPECT_EQ(dump, (std::vector<mount_dump_row>{{host_of("127.0.0.2"), "/c/data"},
                                                 {local, "/public"}}));
    EXPECT_TRUE(v1.umntall());
    dump = v3.dump(&ok);
    EXPECT_EQ(dump, (std::vector<mount_dump_row>{{host_of("127.0.0.2"), "/c/data"}}));
}

}  // namespace
