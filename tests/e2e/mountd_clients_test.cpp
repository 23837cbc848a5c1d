// The mount service of the running program against real clients: showmount
// lists the exports with their options and every client's mounts, after
// nfs-ls (libnfs) mounted through MOUNT version 3 and another client
// through version 1.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/net.h"
#include "support/mount_rig.h"
#include "support/server_proc.h"

namespace {

// How DUMP names a client: its host name, else its dotted address.
std::string host_of(const char *dotted) {
    char name[512];
    return net_host_name(mount_addr(dotted), name, sizeof name) ? name : dotted;
}

// MNT version 1 over UDP from another loopback address: another client.
uint32_t mount_from(const char *client, const std::string &path) {
    rpc_bytes msg = mount_msg(77, 1, 1, mount_dirpath(path));
    rpc_words w = rpc_msg_words(mount_results(rpc_udp_call(SERVER_MOUNT_PORT, msg, 3000, client)));
    return w.empty() ? ~0u : w[0];
}

class MountdClients : public server_test {};

TEST_F(MountdClients, ShowmountListsTheExportsAndEveryClientsMounts) {
    server_dir dir({}, "c:\\data -ro -maproot:0:0 127.0.0.1 127.0.0.2\n"
                       "c:\\pub -name:public -alldirs\n");
    std::filesystem::create_directories(dir.drive() + "/data");
    std::filesystem::create_directories(dir.drive() + "/pub/photos");
    server_proc server(dir);
    ASSERT_TRUE(server.wait_registered()) << server.output();
    EXPECT_EQ(server_shell("showmount -e 127.0.0.1"),
              "Export list for 127.0.0.1:\n"
              "/c/data 127.0.0.1,127.0.0.2,-readonly,-maproot:0,0\n"
              "/public -alldirs\n");

    int status = -1;
    for (const char *url : {"nfs://127.0.0.1/c/data", "nfs://127.0.0.1/public/photos"}) {
        std::string out = server_shell(std::string("nfs-ls ") + url, &status);
        EXPECT_EQ(status, 0) << url << ": " << out;
    }
    std::string refused = server_shell("nfs-ls nfs://127.0.0.1/c/other", &status);
    EXPECT_NE(refused.find("MNT3ERR_NOENT(2)"), std::string::npos) << refused;
    EXPECT_EQ(mount_from("127.0.0.3", "/public"), 0u);
    EXPECT_EQ(mount_from("127.0.0.3", "/c/data"), 13u);
    // The names are looked up after the replies: wait for them.
    std::string local = host_of("127.0.0.1"), other = host_of("127.0.0.3");
    std::vector<std::string> lines = {other + ":/public", local + ":/c/data",
                                      local + ":/public/photos"};
    std::sort(lines.begin(), lines.end());
    std::string expect = "All mount points on 127.0.0.1:\n", all;
    for (const std::string &l : lines) expect += l + "\n";
    for (int i = 0; i < 50 && (all = server_shell("showmount -a 127.0.0.1")) != expect; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(all, expect);
    EXPECT_EQ(server_shell("showmount -d 127.0.0.1"),
              "Directories on 127.0.0.1:\n/c/data\n/public\n/public/photos\n");
    EXPECT_EQ(server.stop(), 0) << server.output();
}

}  // namespace
