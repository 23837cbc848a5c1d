// The inode table store: the file a first start creates, reuse across
// restarts and file systems, extension of a short table, growth, the free
// list, the spare slot, and failures that must leave the table usable.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>

#include "inode/internal.h"
#include "platform/mapfile.h"
#include "platform/registry.h"
#include "support/inode_table.h"

namespace {

using heap = inode_test;
using hold = std::lock_guard<std::recursive_mutex>;

uint64_t size_on_disk(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

uint32_t serial_of(const std::string &path) {
    uint32_t s = 0;
    EXPECT_TRUE(host_path_volume_serial(path.c_str(), &s));
    return s;
}

uint32_t free_head() {
    hold h(inode_table_lock());
    return inode_get32(inode_at(INODE_HDR_FREE));
}
uint32_t run_word(uint32_t off, uint32_t i) {
    hold h(inode_table_lock());
    return inode_get32(inode_block(off) + 4 * i);
}

TEST_F(heap, FirstStartWritesTheExactHeader) {
    start();
    EXPECT_TRUE(logged("inodePath " + table_file() + "\n"));
    EXPECT_TRUE(logged("inodeHeap size 0\n"));
    EXPECT_TRUE(logged("inodeHeap total 2097152 used 32 free 2097120\n"));
    EXPECT_FALSE(logged("inodeHeap free "));  // a new table has no stored free list
    inode_table_shutdown();

    auto b = file_bytes();
    ASSERT_EQ(b.size(), 2097152u);
    EXPECT_EQ(word(b, 0), 32u);
    EXPECT_EQ(word(b, 4), 0u);
    EXPECT_EQ(word(b, 8), 2097152u);
    EXPECT_EQ(word(b, 12), serial_of(table_file()));
    for (uint32_t off = 16; off < 32; off += 4) EXPECT_EQ(word(b, off), 0u) << off;
    EXPECT_EQ(word(b, 32), 2097120u);
    EXPECT_EQ(word(b, 36), 0u);
}

TEST_F(heap, DetailLinesOnlyAtLevelThree) {
    log_attach(log_, 2);
    start();
    EXPECT_TRUE(logged("inodePath "));
    EXPECT_TRUE(logged("inodeHeap mem base "));
    EXPECT_FALSE(logged("inodeHeap size "));
}

TEST_F(heap, RestartReusesTheTableAndKeepsNumbers) {
    start();
    uint32_t f = inode_path_lookup("C:\\data\\f.txt");
    uint32_t d = inode_path_find("C:\\data");
    ASSERT_NE(f, 0u);
    restart();
    EXPECT_FALSE(logged("corrupt"));
    EXPECT_TRUE(logged("inodeFree 128 size 2097024 next 0\n"));
    EXPECT_TRUE(logged("inodeHeap free 2097024\n"));
    EXPECT_TRUE(logged("inodeHeap total 2097152 used 128 free 2097024\n"));
    EXPECT_EQ(inode_path_find("c:\\DATA\\F.TXT"), f);
    EXPECT_EQ(inode_path_find("c:\\data"), d);
    EXPECT_EQ(path_of(f), "C:\\data\\f.txt");
}

TEST_F(heap, ResetSettingStartsEmptyEveryTime) {
    start();
    ASSERT_NE(inode_path_lookup("C:\\x"), 0u);
    config.inode_reset = 1;
    restart();
    EXPECT_EQ(inode_path_find("C:\\x"), 0u);
    EXPECT_TRUE(logged("used 32 free 2097120\n"));
}

TEST_F(heap, TableOnAnotherFileSystemStartsAfresh) {
    start();
    uint32_t x = inode_path_lookup("C:\\x");
    inode_table_shutdown();

    // Same file system, other folder: reused.
    std::string same = home_.file("moved.nfs");
    std::filesystem::copy_file(table_file(), same);
    ASSERT_TRUE(reg_write_string("nfsd", "InodePath", same.c_str()));
    start();
    EXPECT_TRUE(logged("inodePath " + same + "\n"));
    EXPECT_EQ(inode_path_find("C:\\x"), x);
    inode_table_shutdown();

    char shm[] = "/dev/shm/inode-XXXXXX";
    if (!mkdtemp(shm)) GTEST_SKIP() << "no /dev/shm";
    std::string other = std::string(shm) + "/inodes.nfs";
    std::filesystem::copy_file(table_file(), other);
    if (serial_of(other) == serial_of(table_file())) {
        std::filesystem::remove_all(shm);
        GTEST_SKIP() << "/dev/shm is on the same file system";
    }
    ASSERT_TRUE(reg_write_string("nfsd", "InodePath", other.c_str()));
    start();
    EXPECT_EQ(inode_path_find("C:\\x"), 0u);
    EXPECT_TRUE(logged("inodeHeap total 2097152 used 32 free 2097120\n"));
    inode_table_shutdown();
    std::filesystem::remove_all(shm);
}

TEST_F(heap, ShortTableIsExtendedAndItsLastRunMerged) {
    start();
    uint32_t a = inode_path_lookup("C:\\a");  // records at 32 and 64
    ASSERT_EQ(a, 64u);
    inode_table_shutdown();
    auto b = file_bytes();
    b.resize(1000000);
    set_word(b, 96, 1000000 - 96);
    write_bytes(b);

    start();
    EXPECT_FALSE(logged("corrupt"));
    EXPECT_TRUE(logged("inodeHeap size 1000000\n"));
    EXPECT_TRUE(logged("inodeFree 96 size 999904 next 0\n"));
    EXPECT_TRUE(logged("inodeHeap free 2097056\n"));
    EXPECT_TRUE(logged("inodeHeap total 2097152 used 96 free 2097056\n"));
    EXPECT_EQ(inode_path_find("C:\\a"), a);
    EXPECT_EQ(free_head(), 96u);
    EXPECT_EQ(run_word(96, 0), 2097056u);
    EXPECT_EQ(run_word(96, 1), 0u);
    EXPECT_EQ(size_on_disk(table_file()), 2097152u);
}

TEST_F(heap, ShortTableWithUsedEndGetsANewRun) {
    // Drive record C at 32, its child z in the last block of a 1 000 000 byte
    // file, one free run between them.
    std::vector<uint8_t> b(1000000, 0);
    set_word(b, 0, 64);
    set_word(b, 8, 1000000);
    set_word(b, 12, serial_of(home_.path()));
    set_word(b, 16, 32);
    set_word(b, 32 + 4, 999968);
    b[32 + 12] = 2;
    b[32 + 15] = 0xFF;
    b[32 + 16] = 'C';
    set_word(b, 64, 999968 - 64);
    set_word(b, 999968 + 8, 32);
    b[999968 + 12] = 2;
    b[999968 + 15] = 0xFF;
    b[999968 + 16] = 'z';
    write_bytes(b);

    start();
    EXPECT_FALSE(logged("corrupt"));
    EXPECT_TRUE(logged("inodeHeap total 2097152 used 96 free 2097056\n"));
    EXPECT_EQ(inode_path_find("C:\\Z"), 999968u);
    EXPECT_EQ(run_word(64, 0), 999904u);
    EXPECT_EQ(run_word(64, 1), 1000000u);
    EXPECT_EQ(run_word(1000000, 0), 1097152u);
    EXPECT_EQ(run_word(1000000, 1), 0u);
}

TEST_F(heap, GrowthByAQuarterKeepsEarlierNumbers) {
    start();
    uint32_t f = inode_path_lookup("C:\\dir\\file");  // three records
    std::vector<uint32_t> taken;
    {
        hold h(inode_table_lock());
        while (inode_table_size() == 2097152) {
            uint32_t off = inode_heap_alloc(32);
            ASSERT_NE(off, 0u);
            taken.push_back(off);
        }
    }
    // 65535 blocks after the header, three of them records: the 65533rd
    // allocation is the one that grew the table.
    EXPECT_EQ(taken.size(), 65533u);
    EXPECT_EQ(taken.back(), 2097152u);
    EXPECT_EQ(inode_table_size(), 2621440u);
    EXPECT_EQ(size_on_disk(table_file()), 2621440u);
    EXPECT_TRUE(logged("inodeHeap size 2097152\n"));
    EXPECT_TRUE(logged(" total 2621440 free 524288\n"));
    EXPECT_EQ(path_of(f), "C:\\dir\\file");
    {
        hold h(inode_table_lock());
        for (uint32_t off : taken) inode_heap_free(off);
    }
    restart();
    EXPECT_FALSE(logged("corrupt"));
    EXPECT_TRUE(logged("inodeHeap total 2621440 used 128 free 2621312\n"));
    EXPECT_EQ(inode_path_find("c:\\dir\\file"), f);
}

TEST_F(heap, FreeingNeighboursMergesInEitherOrder) {
    for (int order = 0; order < 2; order++) {
        start();
        uint32_t p[5];
        {
            hold h(inode_table_lock());
            for (auto &x : p) x = inode_heap_alloc(32);
            ASSERT_EQ(p[0], 32u);
            ASSERT_EQ(p[4], 160u);
            inode_heap_free(order ? p[2] : p[1]);
            inode_heap_free(order ? p[1] : p[2]);
        }
        EXPECT_EQ(free_head(), p[1]);
        EXPECT_EQ(run_word(p[1], 0), 64u);
        EXPECT_EQ(run_word(p[1], 1), 192u);
        {
            hold h(inode_table_lock());
            inode_heap_free(p[4]);  // joins the big run behind it
            inode_heap_free(p[3]);  // closes the gap: one run from p[1] to the end
        }
        EXPECT_EQ(run_word(p[1], 0), 2097152u - 64);
        EXPECT_EQ(run_word(p[1], 1), 0u);
        {
            hold h(inode_table_lock());
            inode_heap_free(p[0]);
        }
        EXPECT_EQ(free_head(), 32u);
        EXPECT_EQ(run_word(32, 0), 2097120u);
        inode_table_shutdown();
        std::filesystem::remove(table_file());
    }
}

TEST_F(heap, DoubleFreeIsLoggedAndChangesNothing) {
    start();
    uint32_t a, b;
    {
        hold h(inode_table_lock());
        a = inode_heap_alloc(32);
        b = inode_heap_alloc(32);
        inode_heap_alloc(32);
        inode_heap_free(b);
        clear_log();
        inode_heap_free(b);   // the start of a run
        inode_heap_free(a);   // merges: b is now inside a's run
        inode_heap_free(b);   // inside a run
        inode_heap_free(12);  // not a block at all
        inode_heap_free(0xFFFFFFE0u);
    }
    std::string text = log_text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    EXPECT_NE(text.find("already free "), std::string::npos);
    EXPECT_EQ(free_head(), a);
    EXPECT_EQ(run_word(a, 0), 64u);
    EXPECT_EQ(run_word(a, 1), 128u);
}

TEST_F(heap, SpareSlotHeldAtShutdownIsFreed) {
    start();
    uint32_t x = inode_path_lookup("C:\\x");
    ASSERT_TRUE(inode_remove(x, true));
    restart();
    EXPECT_FALSE(logged("corrupt"));
    EXPECT_TRUE(logged("used 64 free 2097088\n"));
}

TEST_F(heap, BrokenFreeListFailsInsteadOfGrowingOn) {
    start();
    hold h(inode_table_lock());
    uint32_t p[5];
    for (auto &x : p) x = inode_heap_alloc(32);
    inode_heap_free(p[1]);
    inode_heap_free(p[3]);
    inode_put32(inode_block(p[3]) + 4, p[1]);  // the list turns back on itself
    EXPECT_EQ(inode_heap_alloc(64), 0u);
    EXPECT_EQ(inode_table_size(), 2621440u);  // one growth, not one per retry
}

TEST_F(heap, GarbageNumbersNeverFault) {
    start();
    const uint32_t samples[] = {0,       1,       16,      31,         32,         33,
                                2097120, 2097152, 2097184, 0x7FFFFFE0, 0xFFFFFFE0, 0xFFFFFFFF};
    hold h(inode_table_lock());
    for (uint32_t n : samples) EXPECT_EQ(inode_record(n), nullptr) << n;
    for (uint32_t n = 1; n < 0xFFFFF000u; n += 0x10001) EXPECT_EQ(inode_record(n), nullptr);
    EXPECT_NE(inode_block(2097120), nullptr);
    EXPECT_EQ(inode_block(2097152), nullptr);
    EXPECT_EQ(inode_offset(inode_block(64)), 64u);
    EXPECT_EQ(inode_offset(reinterpret_cast<const uint8_t *>(&samples)), 0u);
}

TEST_F(heap, ClosedTableAnswersNone) {
    start();
    uint32_t f = inode_path_lookup("C:\\f");
    EXPECT_FALSE(inode_shutting_down());
    inode_table_shutdown();
    EXPECT_TRUE(inode_shutting_down());
    char buf[INODE_PATH_MAX];
    EXPECT_EQ(inode_lookup(0, "C"), 0u);
    EXPECT_EQ(inode_find(0, "C"), 0u);
    EXPECT_EQ(inode_path_lookup("C:\\g"), 0u);
    EXPECT_EQ(inode_path_find("C:\\f"), 0u);
    EXPECT_EQ(inode_path(f, buf), nullptr);
    EXPECT_FALSE(inode_remove(f, false));
    EXPECT_EQ(inode_table_size(), 0u);
    inode_check();
}

TEST_F(heap, FailedGrowthKeepsEveryRecord) {
    start();
    uint32_t keep = inode_path_lookup("C:\\keep");
    signal(SIGXFSZ, SIG_IGN);
    rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit low = old;
    low.rlim_cur = 2097152;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
    std::vector<uint32_t> taken;
    {
        hold h(inode_table_lock());
        for (uint32_t off; (off = inode_heap_alloc(32)) != 0;) taken.push_back(off);
    }
    clear_log();
    uint32_t lost = inode_lookup(inode_path_find("C:"), "new");
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(lost, 0u);
    EXPECT_TRUE(logged("nfs_inodes fatal error: out of inodes\n"));
    EXPECT_EQ(inode_table_size(), 2097152u);
    EXPECT_EQ(size_on_disk(table_file()), 2097152u);
    EXPECT_EQ(path_of(keep), "C:\\keep");
    EXPECT_EQ(children(inode_path_find("C:")), std::vector<std::string>{"keep"});

    uint32_t later = inode_path_lookup("C:\\later");  // the limit is gone: it grows
    EXPECT_NE(later, 0u);
    EXPECT_EQ(inode_table_size(), 2621440u);
    EXPECT_EQ(path_of(keep), "C:\\keep");
}

TEST_F(heap, TableOfFourGigabytesIsRefused) {
    { std::ofstream out(table_file()); }
    std::filesystem::resize_file(table_file(), 0x100000000ull);
    EXPECT_FALSE(inode_table_init());
    std::filesystem::remove(table_file());
}

}  // namespace
