// Paths and records (drive and UNC paths, depth and buffer limits, ".." that
// never leaves an export), then the name index: the order in memory against
// the sorted, case-folded lists in the file through random changes,
// concurrent use while the table grows, and scan bits across a restart.
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include "inode/internal.h"
#include "platform/drive.h"
#include "support/inode_table.h"

namespace {

using index_ = inode_test;
using names = std::vector<std::string>;

// The children of `dir` as the list in the file holds them.
std::vector<uint32_t> stored_list(uint32_t dir) {
    table_hold hold(inode_table_lock());
    std::vector<uint32_t> out;
    const uint8_t *head = dir ? inode_record(dir) + INODE_CHILD : inode_at(INODE_HDR_ROOT);
    for (uint32_t c = inode_get32(head); c; c = inode_rec_next(inode_record(c))) out.push_back(c);
    return out;
}

// Positions and finding (in another letter case) answer as the list in the
// file, which stays in the folded order.
void expect_order_matches_file(uint32_t dir) {
    std::vector<uint32_t> file = stored_list(dir), memory;
    for (uint32_t i = 0, c; dir && (c = inode_child_at(dir, i)) != 0; i++) memory.push_back(c);
    EXPECT_EQ(memory, dir ? file : memory);
    for (size_t i = 0; i < file.size(); i++) {
        std::string n = inode_test::name_of(file[i]);
        EXPECT_TRUE(!i || strcasecmp(inode_test::name_of(file[i - 1]).c_str(), n.c_str()) < 0);
        for (char &c : n) c = char(islower(c) ? toupper(c) : tolower(c));
        EXPECT_EQ(inode_find(dir, n.c_str()), file[i]) << n;
    }
}

// Four threads add, rename, remove and sweep (a listing that shows about
// half) in folders of their own while the table grows; then, and after each
// restart, the order in memory follows the lists in the file, and every
// block of a removed name came back.
TEST_F(index_, ConcurrentChangesWhileTheTableGrows) {
    start();
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; t++) {
        workers.emplace_back([t, &failures] {
            std::mt19937 rng(t);
            std::vector<uint32_t> mine;
            for (int i = 0; i < 20000; i++) {
                char path[64], name[96], back[INODE_PATH_MAX];
                snprintf(path, sizeof path, "C:\\t%d\\d%d", t, i % 10);
                snprintf(name, sizeof name, "%s-%d-a-name-long-enough-to-take-two-name-blocks",
                         i % 3 ? "f" : "G", i);
                uint32_t dir = inode_path_lookup(path);
                size_t k = mine.empty() ? 0 : rng() % mine.size();
                uint32_t op = mine.empty() ? 2 : rng() % 6;
                if (op == 0) {
                    failures += !(mine[k] = inode_rename(mine[k], dir, name));
                } else if (op == 1) {
                    failures += !inode_remove_tree(mine[k]);
                    mine.erase(mine.begin() + long(k));
                } else if (op == 2 && i % 400 == 0) {
                    for (uint32_t j = 0, c; (c = inode_child_at(dir, j)) != 0; j++)
                        if (rng() % 2) inode_mark_seen(c);
                    inode_sweep(dir);
                    std::erase_if(mine, [&](uint32_t r) { return !inode_path(r, back); });
                } else {
                    uint32_t r = inode_lookup(dir, name);
                    failures += !r || !inode_path(r, back) || !strstr(back, name);
                    // A rename may have taken this name's record already.
                    if (std::find(mine.begin(), mine.end(), r) == mine.end()) mine.push_back(r);
                }
            }
        });
    }
    for (auto &w : workers) w.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(inode_table_size(), 2097152u);  // the table grew while they ran
    for (int round = 0; round < 2; round++) {
        for (int d = 0; d < 40; d++)
            expect_order_matches_file(inode_path_find(
                ("C:\\t" + std::to_string(d / 10) + "\\d" + std::to_string(d % 10)).c_str()));
        restart();
        EXPECT_FALSE(logged("corrupt"));
    }
    // A table started afresh hands the same numbers to other names.
    config.inode_reset = 1;
    restart();
    EXPECT_EQ(inode_path_lookup("C:\\b\\x"), 96u);
    EXPECT_EQ(inode_find(64, "X"), 96u);
    EXPECT_EQ(children(64), names{"x"});
}

// An abandoned scan leaves bits that a restart clears: then a listing that
// shows nothing empties the directory, subtrees included.
TEST_F(index_, ScanBitsEndWithTheProcess) {
    start();
    uint32_t dir = inode_path_lookup("C:\\dir");
    uint32_t below = inode_path_lookup("C:\\dir\\b\\x\\y");
    EXPECT_FALSE(inode_scan_flag(dir, 1));
    inode_mark_seen(inode_lookup(dir, "a"));
    restart();
    EXPECT_FALSE(inode_scan_flag(dir, 0));
    inode_sweep(dir);
    EXPECT_TRUE(children(dir).empty());
    EXPECT_EQ(path_of(below), "");
    restart();
    EXPECT_TRUE(logged("used 96 "));  // header, C, dir
}

using path = inode_test;

// ".." is never stored, and UNC roots only with "Remote".
TEST_F(path, DotDotAndUncRootsAreNotStored) {
    start();
    EXPECT_EQ(inode_path_lookup("C:\\dir\\..\\x"), 0u);
    EXPECT_EQ(inode_path_lookup("\\\\srv\\share\\f"), 0u);
    config.remote = 1;
    drive_set_remote(true);
    uint32_t f = inode_path_lookup("\\\\srv\\share\\f");
    EXPECT_EQ(inode_path_find("\\\\SRV\\share\\F"), f);
    EXPECT_EQ(path_of(f), "\\\\srv\\share\\f");
}

TEST_F(path, DepthAndLengthLimitsRefuseThePath) {
    start();
    std::string p = "C:";
    uint32_t r = 0;
    for (int level = 1; level <= 31; level++) {
        p += "\\d" + std::to_string(level);
        ASSERT_NE(r = inode_path_lookup(p.c_str()), 0u);
        if (level == 30) {
            EXPECT_EQ(path_of(r), p);
        }
    }
    EXPECT_EQ(path_of(r), "");  // 31 below the drive record

    for (p = "C:"; p.size() < 1007;)
        ASSERT_NE(r = inode_path_lookup((p += "\\" + std::string(200, 'n')).c_str()), 0u);
    uint32_t last =
        inode_lookup(r, std::string(16, 'x').c_str());  // 1024 bytes: no room for the NUL
    uint32_t fits = inode_lookup(r, std::string(15, 'y').c_str());  // 1023 bytes and the NUL
    char buf[INODE_PATH_MAX];
    EXPECT_EQ(inode_path(last, buf), nullptr);
    EXPECT_STREQ(buf, "");
    ASSERT_NE(inode_path(fits, buf), nullptr);
    EXPECT_EQ(std::strlen(buf), 1023u);
}

TEST_F(path, ParentStopsAtTheExportRoot) {
    start();
    uint32_t root = inode_path_lookup("c:\\data"), sub = inode_path_lookup("c:\\data\\sub"),
             deeper = inode_path_lookup("c:\\data\\sub\\deeper");
    char lower[] = "c:\\data", upper[] = "C:\\DATA";
    const struct {
        char *exp_path;
        uint32_t root_inode, inode;
        const char *path, *want_path;
        uint32_t want;
    } cases[] = {
        {lower, 0, deeper, "c:\\data\\sub\\deeper", "c:\\data\\sub", sub},
        {lower, 0, sub, "c:\\data\\sub", "c:\\data", root},
        {lower, 0, root, "c:\\data", "c:\\data", root},  // ".." of the root is the root
        {lower, 0, sub, "c:\\dat", "c:\\data", root},    // anything not below the export
        {lower, 0, 4096, "c:\\data\\x", "c:\\data\\x", 0},
        // The export in another case than the stored records: the rebuilt
        // root path sorts after "C:\DATA" byte for byte, yet ".." stays.
        {upper, 0, root, "c:\\data", "C:\\DATA", root},
        {upper, 0, sub, "c:\\data\\sub", "c:\\data", root},
        {lower, root, root, "c:\\data\\x", "c:\\data", root},  // by number too
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        char buf[INODE_PATH_MAX];
        std::strcpy(buf, c.path);
        EXPECT_EQ(inode_parent(c.root_inode, c.exp_path, c.inode, buf), c.want);
        EXPECT_STREQ(buf, c.want_path);
    }
}

}  // namespace
