// Directory scan bookkeeping as a listing drives it: positions, the scan
// bit, and the sweep that drops names the listing no longer shows.
#include "support/inode_table.h"

namespace {

using scan = inode_test;

TEST_F(scan, SweepDropsUnseenNamesWithTheirSubtrees) {
    start();
    uint32_t dir = inode_path_lookup("C:\\dir");
    for (const char *n : {"a", "b", "c", "d"}) inode_lookup(dir, n);
    uint32_t below = inode_path_lookup("C:\\dir\\b\\x\\y");

    EXPECT_FALSE(inode_scan_flag(dir, 1));
    EXPECT_TRUE(inode_scan_flag(dir, 0));  // set by the first call
    // The listing shows a, c and a new e.
    for (const char *n : {"a", "c", "e"}) inode_mark_seen(inode_lookup(dir, n));
    inode_sweep(dir);
    EXPECT_EQ(children(dir), (std::vector<std::string>{"a", "c", "e"}));
    EXPECT_EQ(path_of(below), "");
    EXPECT_FALSE(inode_scan_flag(dir, 0));  // the sweep cleared the scan bit

    // The seen bits were cleared: a listing that shows nothing empties it.
    EXPECT_FALSE(inode_scan_flag(dir, 1));
    inode_sweep(dir);
    EXPECT_TRUE(children(dir).empty());
    restart();
    EXPECT_TRUE(logged("used 96 "));  // header, C, dir
}

TEST_F(scan, AbandonedScanClearsOnlyTheScanBit) {
    start();
    uint32_t dir = inode_path_lookup("C:\\dir");
    uint32_t a = inode_lookup(dir, "a");
    inode_scan_flag(dir, 1);
    inode_mark_seen(a);
    inode_scan_clear(dir);
    EXPECT_FALSE(inode_scan_flag(dir, 0));
    EXPECT_EQ(children(dir), std::vector<std::string>{"a"});
    // Flags do not survive a restart.
    inode_scan_flag(dir, 1);
    restart();
    EXPECT_FALSE(inode_scan_flag(dir, 0));
    inode_sweep(dir);
    EXPECT_TRUE(children(dir).empty());  // a's seen bit went with the restart
}

TEST_F(scan, ChildPositionsAndParents) {
    start();
    uint32_t c = inode_path_lookup("C:");
    uint32_t dir = inode_path_lookup("C:\\dir");
    uint32_t x = inode_lookup(dir, "x");
    uint32_t b = inode_lookup(dir, "b");
    EXPECT_EQ(inode_child_at(dir, 0), b);
    EXPECT_EQ(inode_child_at(dir, 1), x);
    EXPECT_EQ(inode_child_at(dir, 2), 0u);
    EXPECT_EQ(inode_child_at(dir, 0xFFFFFFFF), 0u);
    EXPECT_EQ(inode_child_at(x, 0), 0u);
    EXPECT_EQ(inode_child_at(4000, 0), 0u);
    EXPECT_FALSE(inode_has_parent(c));
    EXPECT_TRUE(inode_has_parent(dir));
    EXPECT_FALSE(inode_has_parent(0));
    EXPECT_FALSE(inode_scan_flag(4000, 1));
}

}  // namespace
