// The inode table store: extension of a short table, the free list, garbage
// numbers and failed growth; then consistency: damaged tables replaced at
// start, a process killed in a burst leaves a table reused whole or replaced,
// and the check drops the records of files that no longer exist.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "base/log.h"
#include "inode/internal.h"
#include "platform/drive.h"
#include "platform/winerr.h"
#include "support/inode_full.h"
#include "support/inode_table.h"

namespace {

using check = inode_test;

// Builds C:\d\a, C:\d\b and C:\e (records 32 to 160), frees a, and closes
// the table. Offsets: C 32, d 64, a 96 (free), b 128, e 160, free run 192.
void build_sample() {
    ASSERT_TRUE(inode_table_init());
    ASSERT_EQ(inode_path_lookup("C:\\d\\a"), 96u);
    ASSERT_EQ(inode_path_lookup("C:\\d\\b"), 128u);
    ASSERT_EQ(inode_path_lookup("C:\\e"), 160u);
    ASSERT_TRUE(inode_remove(96, false));
    inode_table_shutdown();
}

// Each row damages the sample's file; a damaged table is replaced by a
// fresh one. A block neither free nor used (a change cut short) is no
// damage: the table is kept and the block goes back, held back like a
// freed record.
TEST_F(check, DamagedTablesAreReplaced) {
    const struct {
        const char *what;
        std::vector<std::pair<uint32_t, uint32_t>> words;  // offset, new value
        size_t size = 2097152;
        bool damaged = true;
    } cases[] = {
        {"undamaged", {}, 2097152, false},
        {"a block neither free nor used", {{0, 192}}, 2097152, false},  // 96 was free
        {"truncated", {}, 150},
        {"garbage root", {{16, 0xDEADBEEF}}},
        {"garbage free head", {{0, 0x12345}}},
        {"sibling cycle", {{128, 128}}},
        {"child cycle", {{128 + 4, 64}}},
        {"free list cycle", {{192 + 4, 96}}},
        {"free run overlaps", {{96, 64}}},
        {"free run past end", {{192, 0x7FFFFFE0}}},
        {"link past end", {{160, 0x7FFFFFE0}}},
        // A stale record (marker, name length 2, parent d) left in a free block.
        {"link into free run", {{96 + 12, 0xFF000002}, {96 + 8, 64}, {128, 96}}},
        {"wrong parent", {{128 + 8, 32}}},
        {"name block past end", {{160 + 12, 0xFF000028}, {160 + 16, 0xFFFFFFE0}}},
        // b's name (length word at 140, inline name at 144) damaged so that
        // the rebuilt path would leave its directory or name another file.
        {"name \"..\"", {{140, 0xFF000003}, {144, 0x2E2E}}},
        {"name with a backslash", {{140, 0xFF000004}, {144, 0x625C61}}},
        {"NUL inside the name", {{140, 0xFF000004}, {144, 0x620061}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(table_file());
        build_sample();
        auto bytes = file_bytes();
        for (auto [off, v] : c.words) inode_put32(&bytes[off], v);
        bytes.resize(c.size);
        write_bytes(bytes);
        start();
        EXPECT_EQ(logged("inodeTable corrupt, deleted\n"), c.damaged);
        EXPECT_EQ(inode_path_find("C:\\d\\b"), c.damaged ? 0u : 128u);
        // A fresh table's first record, or the free run after the kept ones.
        EXPECT_EQ(inode_path_lookup("C:\\new"), c.damaged ? 64u : 192u);
        inode_table_shutdown();
        EXPECT_EQ(file_bytes().size(), 2097152u);
    }
}

// Adds, renames and removes at random until killed.
[[noreturn]] void burst(int seed) {
    std::srand(unsigned(seed));
    std::vector<uint32_t> held;
    for (int i = 0;; i++) {
        char path[128];
        snprintf(path, sizeof path, "C:\\k%d\\a-name-that-needs-a-name-block-%d", i % 7,
                 std::rand() % 500);
        uint32_t r = held.empty() ? 0 : held[size_t(std::rand()) % held.size()];
        int op = std::rand() % 4;
        if (op == 0 && r) {
            snprintf(path, sizeof path, "n%d", std::rand() % 500);
            inode_rename(r, inode_path_find("C:\\k0"), path);
        } else if (op == 1 && r) {
            inode_remove_tree(r);
        } else if (op > 1) {
            held.push_back(inode_path_lookup(path));
        }
        if (held.size() > 2000) held.clear();
    }
}

TEST_F(check, KilledInABurstLeavesAUsableTable) {
    int reused = 0;
    for (int round = 0; round < 6; round++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            log_attach(nullptr, 0);
            if (!inode_table_init()) _exit(1);
            burst(round);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(60 + 37 * round));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));

        start();
        reused += !logged("corrupt");
        // Whatever was kept: the walk accepts it, and every record rebuilds
        // a path and is found by it.
        uint32_t used = 0;
        ASSERT_TRUE(inode_table_walk(&used));
        uint32_t drive = inode_path_find("C:"), k, f;
        for (uint32_t i = 0; drive && (k = inode_child_at(drive, i)) != 0; i++)
            for (uint32_t j = 0; (f = inode_child_at(k, j)) != 0; j++)
                EXPECT_EQ(inode_path_find(path_of(f).c_str()), f) << path_of(f);
        inode_table_shutdown();
    }
    // A kill leaves at most the blocks of the change it cut short, and those
    // go back to the heap; only a kill amid the few writes that merge free
    // runs may cost the table.
    EXPECT_GE(reused, 5);
}

// The check thread at start drops the records of vanished files only;
// an error other than "not found" counts as existing.
TEST_F(check, TheCheckThreadDropsOnlyVanishedFiles) {
    std::string root = home_.file("drive");
    std::filesystem::create_directories(root + "/sub");
    home_.write("drive/sub/b", "x");
    drive_clear();
    ASSERT_TRUE(drive_map("C", root.c_str(), 3, 0));
    start();
    uint32_t b = inode_path_lookup("C:\\sub\\b"), q = inode_path_lookup("Q:\\x");  // no drive Q:
    inode_path_lookup("C:\\gone\\below");
    win_fail_inject("GetFileAttributes", ERROR_ACCESS_DENIED, 0);
    EXPECT_TRUE(inode_exists(inode_path_find("C:\\gone")));
    win_fail_clear();
    config.inode_check = 1;
    restart();
    for (int i = 0; i < 3000 && inode_path_find("Q:\\x") == q; i++)  // Q: is checked last
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(inode_path_find("Q:"), 0u);
    EXPECT_EQ(children(inode_path_find("C:")), std::vector<std::string>{"sub"});
    EXPECT_EQ(inode_path_find("C:\\sub\\b"), b);
    drive_load();
}

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
