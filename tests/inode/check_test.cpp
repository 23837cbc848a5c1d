// Consistency: tables damaged on disk (truncated, garbage, cycles, links out
// of range or into free space) are replaced at start; a process killed in a
// burst of changes leaves a table that is either reused whole or replaced;
// the check drops the records of files that no longer exist.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "inode/internal.h"
#include "platform/drive.h"
#include "platform/winerr.h"
#include "support/inode_table.h"

namespace {

using check = inode_test;

// Builds C:\d\a, C:\d\b and C:\e (records 32 to 160), frees a, and closes
// the table. Offsets: C 32, d 64, a 96 (free), b 128, e 160, free run 192.
void build_sample(check &) {
    ASSERT_TRUE(inode_table_init());
    ASSERT_EQ(inode_path_lookup("C:\\d\\a"), 96u);
    ASSERT_EQ(inode_path_lookup("C:\\d\\b"), 128u);
    ASSERT_EQ(inode_path_lookup("C:\\e"), 160u);
    ASSERT_TRUE(inode_remove(96, false));
    inode_table_shutdown();
}

struct damage {
    const char *what;
    std::function<void(std::vector<uint8_t> &)> apply;
};

TEST_F(check, DamagedTablesAreReplaced) {
    const damage cases[] = {
        {"truncated", [](auto &b) { b.resize(150); }},
        {"garbage root", [](auto &b) { inode_put32(&b[16], 0xDEADBEEF); }},
        {"garbage free head", [](auto &b) { inode_put32(&b[0], 0x12345); }},
        {"sibling cycle", [](auto &b) { inode_put32(&b[128 + 0], 128); }},
        {"child cycle", [](auto &b) { inode_put32(&b[128 + 4], 64); }},
        {"cycle to the drive", [](auto &b) { inode_put32(&b[160 + 0], 32); }},
        {"free list cycle", [](auto &b) { inode_put32(&b[192 + 4], 96); }},
        {"free run overlaps", [](auto &b) { inode_put32(&b[96], 64); }},
        {"free run past end", [](auto &b) { inode_put32(&b[192], 0x7FFFFFE0); }},
        {"link past end", [](auto &b) { inode_put32(&b[160 + 0], 0x7FFFFFE0); }},
        {"link into free run",
         [](auto &b) {
             b[96 + 15] = 0xFF;  // a stale record left in a free block
             b[96 + 12] = 2;
             inode_put32(&b[96 + 8], 64);
             inode_put32(&b[128 + 0], 96);
         }},
        {"wrong parent", [](auto &b) { inode_put32(&b[128 + 8], 32); }},
        {"name block past end",
         [](auto &b) {
             b[160 + 12] = 40;
             inode_put32(&b[160 + 16], 0xFFFFFFE0);
         }},
        {"leaked block",
         [](auto &b) { inode_put32(&b[0], 192); }},  // block 96 neither free nor used
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(table_file());
        build_sample(*this);
        auto bytes = file_bytes();
        c.apply(bytes);
        write_bytes(bytes);
        start();
        EXPECT_TRUE(logged("inodeTable corrupt, deleted\n"));
        EXPECT_TRUE(logged("inodeHeap total 2097152 used 32 free 2097120\n"));
        EXPECT_EQ(inode_path_find("C:\\d\\b"), 0u);
        EXPECT_EQ(inode_path_lookup("C:\\new"), 64u);  // a fresh table
        inode_table_shutdown();
        EXPECT_EQ(file_bytes().size(), 2097152u);
    }
    // The undamaged sample is reused.
    std::filesystem::remove(table_file());
    build_sample(*this);
    start();
    EXPECT_FALSE(logged("corrupt"));
    EXPECT_EQ(inode_path_find("C:\\d\\b"), 128u);
}

// The free bytes of the open table, by its free list.
uint32_t free_bytes() {
    std::lock_guard<std::recursive_mutex> hold(inode_table_lock());
    uint32_t sum = 0;
    for (uint32_t cur = inode_get32(inode_at(INODE_HDR_FREE)); cur;) {
        const uint8_t *run = inode_block(cur);
        if (!run) break;
        sum += inode_get32(run);
        cur = inode_get32(run + 4);
    }
    return sum;
}

void burst(int seed) {
    std::srand(unsigned(seed));
    std::vector<uint32_t> held;
    for (int i = 0;; i++) {
        char path[128];
        snprintf(path, sizeof path, "C:\\k%d\\a-name-that-needs-a-name-block-%d", i % 7,
                 std::rand() % 500);
        switch (std::rand() % 4) {
            case 0:
                if (!held.empty()) {
                    uint32_t r = held[size_t(std::rand()) % held.size()];
                    snprintf(path, sizeof path, "n%d", std::rand() % 500);
                    inode_rename(r, inode_path_find("C:\\k0"), path);
                }
                break;
            case 1:
                if (!held.empty()) inode_remove_tree(held[size_t(std::rand()) % held.size()]);
                break;
            default:
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
        // Whatever was kept: the walk accepts it, every block is accounted
        // for, and every record rebuilds a path and is found by it.
        uint32_t used = 0;
        ASSERT_TRUE(inode_table_walk(&used));
        EXPECT_EQ(uint64_t(used) + free_bytes(), inode_table_size());
        for (uint32_t dir = inode_path_find("C:"), i = 0; dir; i++) {
            uint32_t k = inode_child_at(dir, i);
            if (!k) break;
            for (uint32_t j = 0;; j++) {
                uint32_t f = inode_child_at(k, j);
                if (!f) break;
                std::string p = path_of(f);
                ASSERT_FALSE(p.empty());
                EXPECT_EQ(inode_path_find(p.c_str()), f) << p;
            }
        }
        inode_table_shutdown();
    }
    // Between operations the table is consistent, and a burst spends most of
    // its time there.
    EXPECT_GT(reused, 0);
}

class exists : public check {
   protected:
    void SetUp() override {
        check::SetUp();
        root_ = home_.file("drive");
        std::filesystem::create_directories(root_ + "/sub");
        std::ofstream(root_ + "/a") << "x";
        std::ofstream(root_ + "/sub/b") << "x";
        drive_clear();
        ASSERT_TRUE(drive_map("C", root_.c_str(), 3, 0));
    }
    void TearDown() override {
        win_fail_clear();
        drive_load();
        check::TearDown();
    }
    std::string root_;
};

TEST_F(exists, AsksTheDiskAndTrustsOnlyNotFound) {
    start();
    EXPECT_TRUE(inode_exists(inode_path_lookup("C:")));
    EXPECT_TRUE(inode_exists(inode_path_lookup("C:\\A")));
    EXPECT_TRUE(inode_exists(inode_path_lookup("C:\\sub\\b")));
    uint32_t gone = inode_path_lookup("C:\\gone");
    uint32_t deep = inode_path_lookup("C:\\nodir\\f");
    EXPECT_FALSE(inode_exists(gone));
    EXPECT_FALSE(inode_exists(deep));
    EXPECT_FALSE(inode_exists(4096));
    EXPECT_FALSE(inode_exists(inode_path_lookup("Q:\\x")));  // no such drive
    win_fail_inject("GetFileAttributes", ERROR_ACCESS_DENIED, 0);
    EXPECT_TRUE(inode_exists(gone));  // any other error: taken to exist
}

TEST_F(exists, CheckDropsVanishedFilesOnly) {
    start();
    uint32_t a = inode_path_lookup("C:\\a");
    uint32_t b = inode_path_lookup("C:\\sub\\b");
    inode_path_lookup("C:\\gone\\below\\deeper");
    inode_path_lookup("C:\\sub\\gone2");
    inode_check();
    EXPECT_EQ(children(inode_path_find("C:")), (std::vector<std::string>{"a", "sub"}));
    EXPECT_EQ(children(inode_path_find("C:\\sub")), std::vector<std::string>{"b"});
    EXPECT_EQ(inode_path_find("C:\\a"), a);
    EXPECT_EQ(inode_path_find("C:\\sub\\b"), b);
}

TEST_F(exists, CheckThreadRunsAtStartWhenEnabled) {
    start();
    inode_path_lookup("C:\\a");
    inode_path_lookup("C:\\gone");
    config.inode_check = 1;
    restart();
    for (int i = 0; i < 500 && inode_path_find("C:\\gone"); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(inode_path_find("C:\\gone"), 0u);
    EXPECT_NE(inode_path_find("C:\\a"), 0u);
    config.inode_check = 0;
}

}  // namespace
