// Several clients at once against UDP worker threads: creates, lookups and
// removes of their own files all succeed, while the replay slots of CREATE
// and REMOVE are shared by every thread. Run it under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "nfsd/nfs.h"
#include "support/nfs_rig.h"
#include "support/nfs_server.h"

namespace {

constexpr int CLIENTS = 4;
constexpr int ROUNDS = 50;

TEST(NfsdThreads, ClientsAtOnceEachGetTheirOwnAnswers) {
    nfs_server server("c:\\ -maproot:0\n", 4);
    server.tree.make("dir/");
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < CLIENTS; c++)
        clients.emplace_back([&, c] {
            for (int r = 0; r < ROUNDS; r++) {
                nfs_toks where = {fh3("c:\\dir"), name("f" + std::to_string(c * ROUNDS + r))};
                std::vector<uint8_t> dirop = nfs_arg_bytes(server.tree, where);
                std::vector<uint8_t> create =
                    nfs_arg_bytes(server.tree, where + nfs_toks{w(1)} + nfs_sattr3());
                uint32_t xid = uint32_t(c << 16 | r << 2);
                for (auto [proc, args] : {std::pair{8u, create}, {3u, dirop}, {12u, dirop}}) {
                    std::vector<uint32_t> res = nfs_results(nfs_udp_call(
                        "127.0.0.1", NFS_TEST_PORT, nfs_call_msg(xid++, NFS_PROG, NFS_V3, proc, args)));
                    if (res.empty() || res[0] != 0) failures++;
                }
            }
        });
    for (auto &t : clients) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(rmdir(server.tree.host("dir").c_str()), 0);  // empty again
}

}  // namespace
