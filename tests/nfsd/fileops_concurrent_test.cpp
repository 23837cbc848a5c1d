// Several request threads changing one directory at once: every operation
// answers as if it ran alone, and at the end the directory and the inode
// table agree.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "names/nfs_status.h"
#include "nfsd/fileops.h"
#include "support/fileops_tree.h"

namespace {

TEST(FileopsConcurrent, CreateRenameLinkRemoveInOneDirectory) {
    fileops_tree t;
    t.make("d/");
    t.make("d/shared", "x");
    nfs_fh dir = t.fh("d");
    nfs_fh shared = t.fh("d/shared");
    constexpr int kThreads = 4, kRounds = 60;
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; n++) {
        threads.emplace_back([&, n]() {
            rpc_cred c = user_cred();
            nfs_sattr s{};
            uint8_t fh[32];
            nfs_attr a;
            for (int i = 0; i < kRounds; i++) {
                std::string f = "f" + std::to_string(n) + "_" + std::to_string(i);
                std::string g = "g" + std::to_string(n) + "_" + std::to_string(i);
                std::string l = "l" + std::to_string(n) + "_" + std::to_string(i);
                int bad = 0;
                bad += nfs_create(dir.data(), f.c_str(), NFS_CREATE_GUARDED, &s, fh, &a, &c) != 0;
                bad += file_rename(dir.data(), dir.data(), f.c_str(), g.c_str(), &c) != 0;
                bad += nfs_link(shared.data(), dir.data(), l.c_str()) != 0;
                bad += nfs_symlink(dir.data(), f.c_str(), &s, "target", 6, &c) != 0;
                // Everyone renames onto the same name: one of them wins each time.
                file_rename(dir.data(), dir.data(), g.c_str(), "common", &c);
                bad += file_unlink(dir.data(), l.c_str(), &c) != 0;
                bad += file_unlink(dir.data(), f.c_str(), &c) != 0;
                failures[n] += bad;
            }
        });
    }
    for (auto &th : threads) th.join();
    for (int n = 0; n < kThreads; n++) EXPECT_EQ(failures[n], 0) << n;
    // Renames that lost the race for "common" answer 17 and keep their g_
    // name; nothing else may be left, parked names included.
    std::vector<std::string> left = t.listing("d");
    EXPECT_EQ(std::count(left.begin(), left.end(), "common"), 1);
    EXPECT_EQ(std::count(left.begin(), left.end(), "shared"), 1);
    for (const auto &name : left)
        EXPECT_TRUE(name == "common" || name == "shared" || name[0] == 'g') << name;
    EXPECT_TRUE(t.stale_records().empty());
}

}  // namespace
