// Directory scan bookkeeping as a listing drives it: positions, the scan
// bit, and the sweep that drops names the listing no longer shows.
#include "support/inode_table.h"

namespace {

using scan = inode_test;
using names = std::vector<std::string>;

TEST_F(scan, SweepDropsUnseenNamesWithTheirSubtrees) {
    start();
    uint32_t dir = inode_path_lookup("C:\\dir");
    for (const char *n : {"d", "c", "b", "a"}) inode_lookup(dir, n);
    uint32_t below = inode_path_lookup("C:\\dir\\b\\x\\y");
    EXPECT_EQ(inode_child_at(dir, 1), inode_find(dir, "b"));  // list order, not age
    EXPECT_EQ(inode_child_at(dir, 4), 0u);
    EXPECT_EQ(inode_child_at(dir, 0xFFFFFFFF), 0u);

    EXPECT_FALSE(inode_scan_flag(dir, 1));
    EXPECT_TRUE(inode_scan_flag(dir, 0));  // set by the first call
    // The listing shows a, c and a new e.
    for (const char *n : {"a", "c", "e"}) inode_mark_seen(inode_lookup(dir, n));
    inode_sweep(dir);
    EXPECT_EQ(children(dir), (names{"a", "c", "e"}));
    EXPECT_EQ(path_of(below), "");
    EXPECT_FALSE(inode_scan_flag(dir, 0));  // the sweep cleared the scan bit
    // The seen bits were cleared too: a listing that shows nothing empties it.
    inode_sweep(dir);
    EXPECT_TRUE(children(dir).empty());
    restart();
    EXPECT_TRUE(logged("used 96 "));  // header, C, dir
}

TEST_F(scan, AbandonedScanKeepsNamesAndFlagsEndWithTheProcess) {
    start();
    uint32_t dir = inode_path_lookup("C:\\dir");
    inode_scan_flag(dir, 1);
    inode_mark_seen(inode_lookup(dir, "a"));
    inode_scan_clear(dir);
    EXPECT_FALSE(inode_scan_flag(dir, 1));
    EXPECT_EQ(children(dir), names{"a"});
    restart();
    EXPECT_FALSE(inode_scan_flag(dir, 0));
    inode_sweep(dir);
    EXPECT_TRUE(children(dir).empty());  // a's seen bit went with the restart
}

}  // namespace
