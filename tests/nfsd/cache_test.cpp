// The open-file cache's table: full table, busy entries and the wait
// outside the lock, mode upgrades, the sweep, closing a volume, the size
// setting and the start-up lines.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "fs/fs.h"
#include "nfsd/cache.h"
#include "server/config.h"
#include "server/log.h"
#include "support/nfs_tree.h"

namespace {

constexpr uint32_t A = 32, B = 64, C = 96;  // inode numbers

// A world with files a, b, c on drive C: and descriptors opened on them.
struct cache_world {
    explicit cache_world(int cache) : tree("c:\\\n", cache) {
        for (const char *n : {"a", "b", "c"}) tree.make(n, n);
    }
    int open(const char *path) {
        int fd = fs_open(path, RT_O_RDONLY | RT_O_BINARY, 0);
        EXPECT_GE(fd, 0) << path;
        return fd;
    }
    nfs_tree tree;
};

nfs_attr attr_with_size(uint64_t size) {
    nfs_attr a{};
    a.size = size;
    return a;
}

TEST(Cache, FullTableFallsBackAndReusesIdleSlotsRoundRobin) {
    cache_world w(2);
    cache_entry *ea = cache_put(1, A, w.open("c:\\a"), CACHE_READ);
    cache_entry *eb = cache_put(1, B, w.open("c:\\b"), CACHE_READ);
    ASSERT_NE(ea, nullptr);
    ASSERT_NE(eb, nullptr);
    // Both busy: no room, the caller keeps its own descriptor.
    int fc = w.open("c:\\c");
    EXPECT_EQ(cache_put(1, C, fc, CACHE_READ), nullptr);
    EXPECT_EQ(cache_open_files(), 2u);

    nfs_attr sa = attr_with_size(1);
    cache_release(ea, &sa);
    cache_entry *ec = cache_put(1, C, fc, CACHE_READ);
    EXPECT_EQ(ec, ea);  // the one idle slot, its old file closed
    EXPECT_EQ(cache_open_files(), 2u);
    int fd;
    nfs_attr got;
    EXPECT_EQ(cache_take(A, CACHE_READ, &fd, &got), nullptr);
    cache_release(eb, nullptr);
    cache_release(ec, nullptr);
    // Next search starts after C's slot: B's slot, then C's.
    cache_entry *ea2 = cache_put(1, A, w.open("c:\\a"), CACHE_READ);
    EXPECT_EQ(ea2, eb);
    cache_release(ea2, nullptr);
}

TEST(Cache, TakeHandsOutDescriptorAndAttributes) {
    cache_world w(4);
    int fa = w.open("c:\\a");
    cache_entry *e = cache_put(1, A, fa, CACHE_WRITE);
    nfs_attr sa = attr_with_size(77);
    cache_release(e, &sa);
    int fd = -1;
    nfs_attr got{};
    ASSERT_EQ(cache_take(A, CACHE_READ, &fd, &got), e);  // writing includes reading
    EXPECT_EQ(fd, fa);
    EXPECT_EQ(got.size, 77u);
    cache_release(e, nullptr);  // keeps the stored attributes
    ASSERT_EQ(cache_take(A, CACHE_WRITE, &fd, &got), e);
    EXPECT_EQ(got.size, 77u);
    cache_drop(e);
    EXPECT_EQ(cache_open_files(), 0u);
    EXPECT_EQ(cache_take(A, CACHE_READ, &fd, &got), nullptr);
    // Wanted for writing, opened for reading: closed, and the caller reopens.
    cache_release(cache_put(1, A, w.open("c:\\a"), CACHE_READ), nullptr);
    EXPECT_EQ(cache_take(A, CACHE_WRITE, &fd, &got), nullptr);
    EXPECT_EQ(cache_open_files(), 0u);
}

TEST(Cache, BusyEntryMakesOthersWaitOutsideTheLock) {
    cache_world w(4);
    int fa = w.open("c:\\a");
    cache_entry *e = cache_put(1, A, fa, CACHE_READ);
    std::atomic<bool> done{false};
    cache_entry *theirs = nullptr;
    int their_fd = -1;
    nfs_attr their_attr{};
    std::thread other([&] {
        theirs = cache_take(A, CACHE_READ, &their_fd, &their_attr);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done);
    // The waiter holds no lock: the table stays usable, and a busy entry is
    // closed by nobody but its user.
    EXPECT_EQ(cache_open_files(), 1u);
    cache_close_idle(A);
    cache_close_volume(0);
    EXPECT_EQ(cache_open_files(), 1u);
    nfs_attr sa = attr_with_size(5);
    cache_release(e, &sa);
    other.join();
    EXPECT_EQ(theirs, e);
    EXPECT_EQ(their_fd, fa);
    EXPECT_EQ(their_attr.size, 5u);
    cache_release(theirs, nullptr);
}

TEST(Cache, WaiterGetsNothingWhenTheEntryIsDropped) {
    cache_world w(4);
    cache_entry *e = cache_put(1, A, w.open("c:\\a"), CACHE_READ);
    std::atomic<bool> done{false};
    cache_entry *theirs = e;
    std::thread other([&] {
        int fd;
        nfs_attr a;
        theirs = cache_take(A, CACHE_READ, &fd, &a);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done);
    cache_drop(e);
    other.join();
    EXPECT_EQ(theirs, nullptr);
}

TEST(Cache, SweepClosesIdleFilesAfterASecond) {
    cache_world w(4);
    cache_release(cache_put(1, A, w.open("c:\\a"), CACHE_READ), nullptr);
    cache_entry *busy = cache_put(1, B, w.open("c:\\b"), CACHE_READ);
    cache_sweep();
    EXPECT_EQ(cache_open_files(), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(CACHE_IDLE_MS + 100));
    cache_sweep();
    EXPECT_EQ(cache_open_files(), 1u);  // the busy one stays
    cache_release(busy, nullptr);
    cache_sweep();
    EXPECT_EQ(cache_open_files(), 0u);
}

TEST(Cache, CloseVolumeClosesOnlyThatVolumesIdleFiles) {
    cache_world w(8);
    cache_release(cache_put(11, A, w.open("c:\\a"), CACHE_READ), nullptr);
    cache_release(cache_put(22, B, w.open("c:\\b"), CACHE_READ), nullptr);
    cache_entry *busy = cache_put(22, C, w.open("c:\\c"), CACHE_READ);
    cache_close_volume(11);
    int fd;
    nfs_attr a;
    EXPECT_EQ(cache_take(A, CACHE_READ, &fd, &a), nullptr);
    EXPECT_EQ(cache_open_files(), 2u);
    cache_close_volume(0);
    EXPECT_EQ(cache_open_files(), 1u);
    cache_release(busy, nullptr);
    cache_close_idle(C);
    EXPECT_EQ(cache_open_files(), 0u);
}

TEST(Cache, SizeSettingAndStartupLines) {
    nfs_tree t("c:\\\n");
    t.env.log_level(1);
    log_test_clock(1700000000);
    const struct {
        int setting;
        uint32_t size;
    } cases[] = {{0, 0}, {-5, 0}, {1, 1}, {24, 24}, {256, 256}, {1000, 256}};
    for (const auto &c : cases) {
        config.cache = c.setting;
        config.charset = CHARSET_CODEPAGE;
        t.log();
        EXPECT_EQ(nfs_service_init(), c.size);
        std::string stamp = log_time();
        EXPECT_EQ(t.log(), stamp + " nfsd   file handle cache size " + std::to_string(c.size) +
                               "\n" + stamp + " nfsd   client charset ANSI\n" + stamp +
                               " nfsd   NTFS 2000/XP hardlinks supported\n");
    }
    log_test_clock(0);
    // No table: nothing is ever cached.
    config.cache = 0;
    cache_init();
    t.make("x", "x");
    int fd = fs_open("c:\\x", RT_O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(cache_put(1, A, fd, CACHE_READ), nullptr);
    rt_close(fd);
    hardlink_reset();
}

}  // namespace
