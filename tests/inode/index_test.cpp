// The name index: sorted case-folded sibling lists, inline and chained
// names, removal, rename with the spare slot, and concurrent use while the
// table grows.
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include "support/inode_table.h"

namespace {

using index_ = inode_test;
using hold = std::lock_guard<std::recursive_mutex>;

// The name blocks a record's name occupies, following the chain.
int name_blocks(uint32_t inode) {
    hold h(inode_table_lock());
    const uint8_t *rec = inode_record(inode);
    if (!rec || inode_rec_namelen(rec) <= 16) return 0;
    int n = 0;
    for (uint32_t b = inode_get32(rec + INODE_NAME); b; b = inode_get32(inode_block(b))) n++;
    return n;
}

TEST_F(index_, SiblingsSortIgnoringCaseOfLettersOnly) {
    start();
    uint32_t dir = inode_path_lookup("C:\\dir");
    for (const char *n : {"B", "a", "_x", "b2", "[", "A1"})
        ASSERT_NE(inode_lookup(dir, n), 0u) << n;
    // Folded: '[' (0x5B) < '_' (0x5F) < 'a'; "a" < "a1" < "b" < "b2".
    EXPECT_EQ(children(dir), (std::vector<std::string>{"[", "_x", "a", "A1", "B", "b2"}));
}

TEST_F(index_, AnotherCaseFindsTheRecordAndKeepsTheStoredName) {
    start();
    uint32_t dir = inode_path_lookup("C:\\dir");
    uint32_t f = inode_lookup(dir, "readme.txt");
    EXPECT_EQ(inode_lookup(dir, "Readme.TXT"), f);
    EXPECT_EQ(inode_find(dir, "README.TXT"), f);
    EXPECT_EQ(name_of(f), "readme.txt");
    EXPECT_EQ(children(dir).size(), 1u);
    EXPECT_EQ(inode_find(dir, "readme.tx"), 0u);
    EXPECT_EQ(inode_find(dir, "readme.txt2"), 0u);
    EXPECT_EQ(inode_lookup(dir, "."), dir);
    EXPECT_EQ(inode_find(dir, "."), dir);
    // Only A-Z fold: bytes above 127 compare as they are.
    uint32_t e1 = inode_lookup(dir, "\xc3\xa9");
    uint32_t e2 = inode_lookup(dir, "\xc3\x89");
    EXPECT_NE(e1, e2);
}

TEST_F(index_, NamesInlineAndInNameBlocks) {
    start();
    uint32_t dir = inode_path_lookup("C:\\dir");
    std::string n15(15, 'a'), n16(16, 'b'), n40(40, 'c'), n41(41, 'd'), n300;
    for (int i = 0; i < 300; i++) n300 += char('A' + i % 26);
    uint32_t r15 = inode_lookup(dir, n15.c_str());
    uint32_t r16 = inode_lookup(dir, n16.c_str());
    uint32_t r40 = inode_lookup(dir, n40.c_str());
    uint32_t r41 = inode_lookup(dir, n41.c_str());
    uint32_t r300 = inode_lookup(dir, n300.c_str());
    EXPECT_EQ(name_blocks(r15), 0);
    EXPECT_EQ(name_blocks(r16), 1);
    EXPECT_EQ(name_blocks(r40), 2);  // 41 bytes with the NUL: 12 + 28 + 1
    EXPECT_EQ(name_blocks(r41), 2);
    EXPECT_EQ(name_blocks(r300), 11);
    EXPECT_EQ(name_of(r15), n15);
    EXPECT_EQ(name_of(r16), n16);
    EXPECT_EQ(name_of(r40), n40);
    EXPECT_EQ(name_of(r300), n300);
    {
        hold h(inode_table_lock());
        const uint8_t *rec = inode_record(r16);
        EXPECT_EQ(inode_rec_namelen(rec), 17u);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(rec) + 20, 12), n16.substr(0, 12));
        const uint8_t *blk = inode_block(inode_get32(rec + 16));
        EXPECT_EQ(inode_get32(blk), 0u);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(blk) + 4), n16.substr(12));
        char small[8];
        EXPECT_EQ(inode_name(inode_record(r300), small, sizeof small), 300u);
        EXPECT_STREQ(small, "ABCDEFG");
    }
    // Long names compare across block boundaries.
    std::string lower = n300;
    for (char &c : lower) c = char(tolower(c));
    EXPECT_EQ(inode_find(dir, lower.c_str()), r300);
    EXPECT_EQ(inode_find(dir, (n300 + "x").c_str()), 0u);
    EXPECT_EQ(inode_find(dir, n300.substr(0, 299).c_str()), 0u);
    // Removing gives every block back: the table balances at the next start.
    EXPECT_TRUE(inode_remove(r300, false));
    EXPECT_TRUE(inode_remove(r40, false));
    restart();
    EXPECT_FALSE(logged("corrupt"));
    EXPECT_TRUE(logged("used 288 "));  // header, C, dir, 15, 16+1, 41+2
}

TEST_F(index_, UnstorableNamesAreRefused) {
    start();
    uint32_t dir = inode_path_lookup("C:\\dir");
    EXPECT_EQ(inode_lookup(dir, ""), 0u);
    EXPECT_EQ(inode_lookup(dir, ".."), 0u);
    EXPECT_EQ(inode_lookup(dir, "a\\b"), 0u);
    EXPECT_EQ(inode_lookup(dir, "/x"), 0u);
    EXPECT_EQ(inode_lookup(dir, std::string(70000, 'n').c_str()), 0u);
    EXPECT_TRUE(children(dir).empty());
    EXPECT_EQ(inode_lookup(12345, "x"), 0u);  // not a record
}

TEST_F(index_, RemoveOnlyLeavesAndTrees) {
    start();
    uint32_t d = inode_path_lookup("C:\\d");
    uint32_t a = inode_path_lookup("C:\\d\\a\\x\\y");
    uint32_t b = inode_path_lookup("C:\\d\\b");
    uint32_t c = inode_path_lookup("C:\\d\\c");
    uint32_t da = inode_path_find("C:\\d\\a");
    EXPECT_FALSE(inode_remove(da, false));
    EXPECT_EQ(inode_path_find("C:\\d\\a"), da);
    EXPECT_TRUE(inode_remove(b, false));  // a middle sibling
    EXPECT_EQ(children(d), (std::vector<std::string>{"a", "c"}));
    EXPECT_FALSE(inode_remove(b, false));
    EXPECT_TRUE(inode_remove_tree(da));
    EXPECT_EQ(path_of(a), "");
    EXPECT_EQ(children(d), (std::vector<std::string>{"c"}));
    inode_path_lookup("C:\\d\\e\\f");
    inode_remove_children(d);
    EXPECT_TRUE(children(d).empty());
    EXPECT_EQ(path_of(c), "");
    EXPECT_EQ(path_of(d), "C:\\d");
    restart();
    EXPECT_TRUE(logged("used 96 "));
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
    EXPECT_EQ(children(dir), std::vector<std::string>{"g"});
    EXPECT_TRUE(children(other).empty());

    // A directory with known children: a new number; the old record stays
    // with its children until its parent's next listing.
    uint32_t sub = inode_lookup(dir, "sub");
    uint32_t kid = inode_lookup(sub, "kid");
    uint32_t moved = inode_rename(sub, other, "sub2");
    EXPECT_NE(moved, 0u);
    EXPECT_NE(moved, sub);
    EXPECT_EQ(path_of(kid), "C:\\dir\\sub\\kid");
    EXPECT_EQ(path_of(moved), "C:\\other\\sub2");

    restart();  // no spare slot is left held behind a rename
    EXPECT_FALSE(logged("corrupt"));
}

TEST_F(index_, ConcurrentChangesWhileTheTableGrows) {
    start();
    constexpr int THREADS = 4;
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < THREADS; t++) {
        workers.emplace_back([t, &failures] {
            std::mt19937 rng(t);
            std::vector<uint32_t> mine;
            for (int i = 0; i < 20000; i++) {
                char path[64];
                snprintf(path, sizeof path, "C:\\t%d\\d%d", t, i % 10);
                uint32_t dir = inode_path_lookup(path);
                char name[96];
                snprintf(name, sizeof name, "%s-%d-a-name-long-enough-to-take-two-name-blocks",
                         i % 3 ? "f" : "G", i);
                switch (rng() % 6) {
                    case 0:
                        if (!mine.empty()) {
                            size_t k = rng() % mine.size();
                            uint32_t r = inode_rename(mine[k], dir, name);
                            if (!r) failures++;
                            mine[k] = r;
                        }
                        break;
                    case 1:
                        if (!mine.empty()) {
                            size_t k = rng() % mine.size();
                            if (!inode_remove_tree(mine[k])) failures++;
                            mine.erase(mine.begin() + long(k));
                        }
                        break;
                    default: {
                        uint32_t r = inode_lookup(dir, name);
                        if (!r) failures++;
                        // Each thread's names are unique to it; a lookup of
                        // a taken name answers the record already held.
                        if (std::find(mine.begin(), mine.end(), r) == mine.end()) mine.push_back(r);
                        char back[INODE_PATH_MAX];
                        if (!inode_path(r, back) || !strstr(back, name)) failures++;
                    }
                }
            }
        });
    }
    for (auto &w : workers) w.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(inode_table_size(), 2097152u);  // the table grew while they ran
    for (int t = 0; t < THREADS * 10; t++) {
        char path[64];
        snprintf(path, sizeof path, "C:\\t%d\\d%d", t / 10, t % 10);
        auto names = children(inode_path_find(path));
        EXPECT_TRUE(std::is_sorted(names.begin(), names.end(), [](auto &a, auto &b) {
            return strcasecmp(a.c_str(), b.c_str()) < 0;
        }));
    }
    restart();
    EXPECT_FALSE(logged("corrupt"));
}

}  // namespace
