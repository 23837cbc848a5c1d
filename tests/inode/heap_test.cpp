// The inode table store: extension of a short table, the free list, garbage
// numbers, and failed growth that must leave the table usable.
#include <filesystem>

#include "inode/internal.h"
#include "support/inode_full.h"
#include "support/inode_table.h"

namespace {

using heap = inode_test;
using words_t = std::vector<uint32_t>;

// The first `n` words of the block at `off` (the header when `off` is 0).
words_t words(uint32_t off, uint32_t n) {
    table_hold h(inode_table_lock());
    words_t out;
    for (uint32_t i = 0; i < n; i++)
        out.push_back(inode_get32((off ? inode_block(off) : inode_at(0)) + 4 * i));
    return out;
}

TEST_F(heap, AShortTableIsExtendedAndItsLastRunMerged) {
    start();
    ASSERT_EQ(inode_path_lookup("C:\\a"), 64u);  // records at 32 and 64
    inode_table_shutdown();
    auto b = file_bytes();
    ASSERT_EQ(b.size(), 2097152u);
    b.resize(1000000);
    inode_put32(&b[96], 1000000 - 96);  // the free run now ends with the file
    write_bytes(b);
    start();
    EXPECT_FALSE(logged("corrupt"));
    EXPECT_TRUE(logged("inodeHeap total 2097152 used 96 free 2097056\n"));
    EXPECT_EQ(inode_path_find("C:\\a"), 64u);
    EXPECT_EQ(words(96, 2), (words_t{2097056, 0}));
    EXPECT_EQ(file_bytes().size(), 2097152u);
}

TEST_F(heap, GarbageNumbersDoubleFreesAndAClosedTableNeverFault) {
    start();
    {
        table_hold h(inode_table_lock());
        uint32_t p = inode_heap_alloc(32), q = inode_heap_alloc(32);
        inode_heap_free(p);
        size_t before = log_text().size();
        for (uint32_t bad : {p, 12u, 0xFFFFFFE0u}) inode_heap_free(bad);
        EXPECT_NE(log_text().find("already free ", before), std::string::npos);
        inode_heap_free(q);  // merged with p and the run after it
        EXPECT_EQ(words(0, 1), words_t{p});
        EXPECT_EQ(words(p, 2), (words_t{2097152 - p, 0}));
        for (uint32_t n : {0u, 1u, 31u, 33u, 2097120u, 2097152u, 0x7FFFFFE0u, 0xFFFFFFFFu})
            EXPECT_EQ(inode_record(n), nullptr) << n;
        for (uint32_t n = 1; n < 0xFFFFF000u; n += 0x10001) EXPECT_EQ(inode_record(n), nullptr);
        EXPECT_EQ(inode_block(2097152), nullptr);
    }
    uint32_t f = inode_path_lookup("C:\\f");
    inode_table_shutdown();
    EXPECT_EQ(inode_path_lookup("C:\\g"), 0u);
    EXPECT_EQ(path_of(f), "");
    EXPECT_FALSE(inode_remove(f, false));
    home_.write("inodes.nfs", "");  // a table of four gigabytes is refused
    std::filesystem::resize_file(table_file(), 0x100000000ull);
    EXPECT_FALSE(inode_table_init());
    std::filesystem::remove(table_file());
}

TEST_F(heap, FailedGrowthKeepsEveryRecordAndGrowthByAQuarterKeepsNumbers) {
    start();
    uint32_t keep = inode_path_lookup("C:\\keep");  // two records after the header
    {
        inode_full full;
        size_t before = log_text().size();
        EXPECT_EQ(inode_lookup(inode_path_find("C:"), "new"), 0u);
        EXPECT_NE(log_text().find("nfs_inodes fatal error: out of inodes\n", before),
                  std::string::npos);
        EXPECT_EQ(file_bytes().size(), 2097152u);
        EXPECT_EQ(children(inode_path_find("C:")), std::vector<std::string>{"keep"});
        full.lift();  // the blocks stay taken, so the table grows
        EXPECT_EQ(inode_path_lookup("C:\\later"), 2097152u);
        EXPECT_EQ(file_bytes().size(), 2621440u);
        EXPECT_EQ(path_of(keep), "C:\\keep");
    }
    restart();
    EXPECT_FALSE(logged("corrupt"));
    EXPECT_TRUE(logged("inodeHeap total 2621440 used 128 free 2621312\n"));
    EXPECT_EQ(inode_path_find("c:\\KEEP"), keep);
}

// A removed record's block is not handed out again while the removal is
// recent, after a restart too, so a handle kept by a client names nothing
// rather than the next file (without a restart NfsStale shows it at the
// NFS level). Once the window has passed the block is used again, so the
// table does not grow for ever.
TEST_F(heap, RemovedRecordsAreNotReusedWhileRecent) {
    start();
    ASSERT_NE(inode_path_lookup("C:\\keep"), 0u);
    uint32_t old = inode_path_lookup("C:\\c.txt");
    ASSERT_TRUE(inode_remove(old, false));
    restart();
    EXPECT_NE(inode_path_lookup("C:\\c.txt"), old);
    EXPECT_FALSE(logged("corrupt"));
    inode_quarantine_seconds.store(0);
    uint32_t again = inode_path_lookup("C:\\again");
    inode_quarantine_seconds.store(INODE_QUARANTINE_SECONDS);
    EXPECT_EQ(again, old);
}

}  // namespace
