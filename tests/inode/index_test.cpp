// The name index: sorted case-folded sibling lists, inline and chained
// names, removal, rename with the spare slot, concurrent use while the
// table grows, and the bookkeeping of a directory listing (positions, the
// scan bit, the sweep that drops names the listing no longer shows).
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include "support/inode_table.h"

namespace {

using index_ = inode_test;
using names = std::vector<std::string>;

TEST_F(index_, SiblingsSortAndMatchIgnoringCaseOfLettersOnly) {
    start();
    uint32_t dir = inode_path_lookup("C:\\dir");
    for (const char *n : {"B", "a", "_x", "b2", "[", "A1", "readme.txt", "\xc3\xa9", "\xc3\x89"})
        ASSERT_NE(inode_lookup(dir, n), 0u) << n;
    uint32_t f = inode_find(dir, "readme.txt");
    EXPECT_EQ(inode_lookup(dir, "Readme.TXT"), f);  // found, not added: the stored name stays
    EXPECT_EQ(inode_find(dir, "README.TXT"), f);
    EXPECT_EQ(inode_find(dir, "readme.tx"), 0u);
    EXPECT_EQ(inode_find(dir, "readme.txt2"), 0u);
    EXPECT_EQ(inode_lookup(dir, "."), dir);
    // Unstorable names and a non-record directory are refused, adding nothing.
    for (const std::string &bad : names{"", "..", "a\\b", "/x", std::string(70000, 'n')})
        EXPECT_EQ(inode_lookup(dir, bad.c_str()), 0u) << bad.substr(0, 8);
    EXPECT_EQ(inode_lookup(12345, "x"), 0u);
    // '[' (0x5B) < '_' (0x5F) < 'a' once folded; bytes above 127 do not fold.
    EXPECT_EQ(children(dir),
              (names{"[", "_x", "a", "A1", "B", "b2", "readme.txt", "\xc3\x89", "\xc3\xa9"}));
}

TEST_F(index_, NamesInlineAndInNameBlocks) {
    start();
    uint32_t dir = inode_path_lookup("C:\\dir");
    std::string n300;
    for (int i = 0; i < 300; i++) n300 += char('A' + i % 26);
    // Name blocks: none up to 15 bytes and the NUL inline, then 12 bytes in
    // the record and 28 per block.
    const std::pair<std::string, int> cases[] = {{std::string(15, 'a'), 0},
                                                 {std::string(16, 'b'), 1},
                                                 {std::string(40, 'c'), 2},
                                                 {n300, 11}};
    uint32_t rec[4];
    std::unique_lock held(inode_table_lock());
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(cases[i].first.size());
        rec[i] = inode_lookup(dir, cases[i].first.c_str());
        EXPECT_EQ(name_of(rec[i]), cases[i].first);
        const uint8_t *r = inode_record(rec[i]);
        int blocks = 0;
        if (inode_rec_namelen(r) > 16)
            for (uint32_t b = inode_get32(r + INODE_NAME); b; b = inode_get32(inode_block(b)))
                blocks++;
        EXPECT_EQ(blocks, cases[i].second);
    }
    const uint8_t *r16 = inode_record(rec[1]);
    EXPECT_EQ(inode_rec_namelen(r16), 17u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(r16) + 20, 12), std::string(12, 'b'));
    EXPECT_STREQ(reinterpret_cast<const char *>(inode_block(inode_get32(r16 + 16))) + 4, "bbbb");
    char small[8];
    EXPECT_EQ(inode_name(inode_record(rec[3]), small, sizeof small), 300u);
    EXPECT_STREQ(small, "ABCDEFG");
    // Long names compare across block boundaries.
    std::string lower = n300;
    for (char &c : lower) c = char(tolower(c));
    EXPECT_EQ(inode_find(dir, lower.c_str()), rec[3]);
    EXPECT_EQ(inode_find(dir, (n300 + "x").c_str()), 0u);
    EXPECT_EQ(inode_find(dir, n300.substr(0, 299).c_str()), 0u);
    // Removing gives every block back: the table balances at the next start.
    EXPECT_TRUE(inode_remove(rec[3], false));
    EXPECT_TRUE(inode_remove(rec[2], false));
    held.unlock();
    restart();
    EXPECT_FALSE(logged("corrupt"));
    EXPECT_TRUE(logged("used 192 "));  // header, C, dir, 15, 16 + 1 block
}

TEST_F(index_, RemoveOnlyLeavesAndTrees) {
    start();
    uint32_t d = inode_path_lookup("C:\\d");
    uint32_t y = inode_path_lookup("C:\\d\\a\\x\\y");
    uint32_t b = inode_path_lookup("C:\\d\\b");
    inode_path_lookup("C:\\d\\c\\f");
    uint32_t a = inode_path_find("C:\\d\\a");
    EXPECT_FALSE(inode_remove(a, false));  // it has children
    EXPECT_TRUE(inode_remove(b, false));   // a middle sibling
    EXPECT_FALSE(inode_remove(b, false));
    EXPECT_TRUE(inode_remove_tree(a));
    EXPECT_EQ(path_of(y), "");
    EXPECT_EQ(children(d), names{"c"});
    inode_remove_children(d);
    EXPECT_TRUE(children(d).empty());
    EXPECT_EQ(path_of(d), "C:\\d");
    restart();
    EXPECT_TRUE(logged("used 96 "));  // every block of the subtrees came back
}

TEST_F(index_, RenameKeepsOrTakesNumbers) {
    start();
    uint32_t dir = inode_path_lookup("C:\\dir");
    uint32_t other = inode_path_lookup("C:\\other");
    uint32_t f = inode_lookup(dir, "f");
    uint32_t g = inode_lookup(dir, "g");
    // To a name without a record: same number, new place, new name.
    EXPECT_EQ(inode_rename(f, other, "New-Name-Longer-Than-16"), f);
    EXPECT_EQ(path_of(f), "C:\\other\\New-Name-Longer-Than-16");
    EXPECT_EQ(inode_find(dir, "f"), 0u);
    // A change of case only: the stored name follows.
    EXPECT_EQ(inode_rename(f, other, "new-name-longer-than-16"), f);
    EXPECT_EQ(name_of(f), "new-name-longer-than-16");
    // Over a name that had a record: that record's number.
    EXPECT_EQ(inode_rename(f, dir, "G"), g);
    EXPECT_EQ(name_of(f), "<none>");
    EXPECT_EQ(children(dir), names{"g"});
    EXPECT_TRUE(children(other).empty());
    // A directory with known children: a new number; the old record stays
    // with its children until its parent's next listing.
    uint32_t sub = inode_lookup(dir, "sub");
    uint32_t kid = inode_lookup(sub, "kid");
    uint32_t moved = inode_rename(sub, other, "sub2");
    EXPECT_NE(moved, sub);
    EXPECT_EQ(path_of(moved), "C:\\other\\sub2");
    EXPECT_EQ(path_of(kid), "C:\\dir\\sub\\kid");
    restart();  // no spare slot is left held behind a rename
    EXPECT_FALSE(logged("corrupt"));
}

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
                switch (mine.empty() ? 2 : rng() % 6) {
                    case 0:
                        failures += !(mine[k] = inode_rename(mine[k], dir, name));
                        break;
                    case 1:
                        failures += !inode_remove_tree(mine[k]);
                        mine.erase(mine.begin() + long(k));
                        break;
                    default:
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
    for (int d = 0; d < 40; d++) {
        auto list = children(inode_path_find(
            ("C:\\t" + std::to_string(d / 10) + "\\d" + std::to_string(d % 10)).c_str()));
        EXPECT_TRUE(std::is_sorted(list.begin(), list.end(), [](auto &a, auto &b) {
            return strcasecmp(a.c_str(), b.c_str()) < 0;
        }));
    }
    restart();
    EXPECT_FALSE(logged("corrupt"));
}

// ---- directory scans ----------------------------------------------------

TEST_F(index_, SweepDropsUnseenNamesWithTheirSubtrees) {
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

TEST_F(index_, AbandonedScanKeepsNamesAndFlagsEndWithTheProcess) {
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
