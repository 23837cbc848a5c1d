// The open-file cache (full table, busy entries and their waiters, the sweep),
// and READ, WRITE, COMMIT and GETATTR through it as a client sees them: reply
// bytes and nothing beyond, files on disk, statuses, log lines, four threads.
#include "nfsd/cache.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <thread>

#include "fs/fs.h"
#include "names/nfs_status.h"
#include "platform/winerr.h"
#include "platform/winfile.h"
#include "support/nfs_tree.h"

namespace {

using std::chrono::milliseconds;
constexpr uint32_t A = 32, B = 64;  // inode numbers
constexpr uint8_t CANARY = 0xA5;

// Opens file `name` of drive C: into the table for `inode` on `volume`; the
// entry is busy.
cache_entry *put(uint32_t inode, const char *name, uint32_t volume) {
    int fd = fs_open((std::string("c:\\") + name).c_str(), RT_O_RDONLY | RT_O_BINARY, 0);
    EXPECT_GE(fd, 0) << name;
    return cache_put(volume, inode, fd, CACHE_READ);
}

// Another request for inode A, waiting in a thread of its own.
struct waiter {
    cache_entry *got = nullptr;
    int fd = -1;
    nfs_attr attr{};
    std::atomic<bool> done{false};
    std::thread thread{[this] {
        got = cache_take(A, CACHE_READ, &fd, &attr);
        done = true;
    }};
};

// A busy entry is neither taken by a full table nor closed by a sweep, and
// waiters wait outside the lock: the threads of NfsConcurrency break on
// each. Here: what a waiter gets, and what reloads and time close.
TEST(Cache, WaitersThenVolumeCloseAndSweep) {
    nfs_tree t("c:\\\n", 4);
    for (const char *n : {"a", "b"}) t.make(n, n);
    cache_entry *e = put(A, "a", 11);
    for (bool dropped : {false, true}) {  // released to the waiter, then dropped while it waits
        waiter other;
        std::this_thread::sleep_for(milliseconds(50));
        EXPECT_FALSE(other.done);
        nfs_attr attr{};
        attr.size = 5;
        dropped ? cache_drop(e) : cache_release(e, &attr);
        other.thread.join();
        EXPECT_EQ(other.got, dropped ? nullptr : e);
        EXPECT_TRUE(dropped || (other.fd >= 0 && other.attr.size == 5u));
    }
    cache_release(put(A, "a", 11), nullptr);
    cache_release(put(B, "b", 22), nullptr);
    cache_close_volume(22);
    int fd;
    nfs_attr attr;
    cache_entry *ea = cache_take(A, CACHE_READ, &fd, &attr);
    ASSERT_NE(ea, nullptr) << "only volume 22's closed";
    EXPECT_EQ(cache_open_files(), 1u);
    cache_release(ea, nullptr);
    std::this_thread::sleep_for(milliseconds(CACHE_IDLE_MS + 100));
    cache_sweep();
    EXPECT_EQ(cache_open_files(), 0u);
}

// ---- READ, WRITE, COMMIT -------------------------------------------------------

using std::filesystem::file_size;
// One client's calls on one file.
struct client {
    explicit client(const nfs_fh &handle) : fh(handle) {}
    uint32_t read(uint64_t offset, uint32_t want) {
        std::fill(buf.begin(), buf.end(), CANARY);
        uint32_t n = want;
        uint32_t st = nfs_read(test_object(fh, &cred), offset, &n, buf.data(), &attr);
        if (st != NFS_OK) n = 0;
        data.assign(reinterpret_cast<char *>(buf.data()), n);
        size_t i = std::min(n, want);
        while (i < buf.size() && buf[i] == CANARY) i++;
        EXPECT_EQ(i, buf.size()) << "written beyond the " << n << " of " << want << " bytes";
        return st;
    }
    uint32_t write(uint64_t offset, const std::string &d, bool sync = false) {
        count = uint32_t(d.size());
        const uint8_t *bytes = reinterpret_cast<const uint8_t *>(d.data());
        return nfs_write(test_object(fh, &cred), offset, &count, sync, bytes, NFS3_MAX_SIZE, &attr);
    }
    uint32_t getattr() { return nfs_fh_attr(test_object(fh, &cred), &attr); }
    uint32_t commit() { return nfs_commit(test_object(fh, &cred), 0, 0, &attr); }

    nfs_fh fh;
    rpc_cred cred = test_cred();
    nfs_attr attr{};
    std::string data;    // what the last READ returned
    uint32_t count = 0;  // what the last WRITE wrote
    std::vector<uint8_t> buf = std::vector<uint8_t>(16384, CANARY);
};

TEST(NfsWrite, RootMayWriteReadonlyFilesOthersMayNot) {
    nfs_tree t("c:\\ -maproot:0\n");
    t.make("f", "old");
    ASSERT_TRUE(win_set_file_attributes("c:\\f", FILE_ATTRIBUTE_READONLY));
    client c(t.handle("c:\\f"));
    EXPECT_EQ(c.write(0, "new"), NFSERR_ACCES);
    // Root whose open still fails: READONLY is back as it was.
    c.cred = test_cred(0, 0);
    win_fail_inject("_open", EIO, 1);
    EXPECT_EQ(c.write(0, "new"), NFSERR_IO);
    EXPECT_EQ(win_get_file_attributes("c:\\f"), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(read_file(t.host("f")), "old");
    ASSERT_EQ(c.write(0, "new"), NFS_OK);
    EXPECT_EQ(read_file(t.host("f")), "new");
    EXPECT_EQ(win_get_file_attributes("c:\\f"), FILE_ATTRIBUTE_NORMAL);  // stays cleared
}

// Failures are logged and drop the cached entry.
TEST(NfsWrite, FailedCallsLeaveTheFileAsItWas) {
    nfs_tree t;
    t.make("f", "0123456789");
    client c(t.handle("c:\\f"));
    t.log();
    win_fail_inject("_open", EACCES, 1);
    EXPECT_EQ(c.read(0, 5), NFSERR_ACCES);
    EXPECT_EQ(t.log(), "nfs_read: open error 13 node " + std::to_string(nfs_tree::inode_of(c.fh)) +
                           " path c:\\f\n");
    win_fail_inject("_read", EIO, 1);
    EXPECT_EQ(c.read(0, 5), NFSERR_IO);
    win_fail_inject("_write", ENOSPC, 1);
    EXPECT_EQ(c.write(4, "abcdefghij"), NFSERR_NOSPC);
    EXPECT_EQ(t.log(), "nfs_read: c:\\f error 5\nnfs_write c:\\f 4294967295/10 error 28\n");
    EXPECT_EQ(cache_open_files(), 0u);
    EXPECT_EQ(read_file(t.host("f")), "0123456789");
    // A write the host cuts short half way (here: the file size limit) is
    // undone back to the old length and answered as the failure it is.
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = {5000, old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    EXPECT_EQ(c.write(0, nfs_pattern(8000)), NFSERR_FBIG);
    EXPECT_EQ(c.write(4990, nfs_pattern(100)), NFSERR_FBIG);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(file_size(t.host("f")), 10u);
    win_fail_clear();
}

TEST(NfsWrite, AFailedFlushFailsTheSyncWriteAndTheCommit) {
    nfs_tree t;
    t.make("f", "");
    client c(t.handle("c:\\f"));
    win_fail_inject("_commit", EIO, 0);
    EXPECT_EQ(c.write(0, "abc"), NFS_OK);  // not flushed, so nothing to fail
    EXPECT_EQ(c.write(3, "def", true), NFSERR_IO);
    EXPECT_EQ(file_size(t.host("f")), 3u);
    EXPECT_EQ(c.write(3, "def"), NFS_OK);
    EXPECT_EQ(c.commit(), NFSERR_IO);
    EXPECT_EQ(c.commit(), NFSERR_IO);  // also through a descriptor of its own
    win_fail_clear();
    EXPECT_EQ(c.commit(), NFS_OK);
    EXPECT_EQ(c.attr.size, 6u);
    EXPECT_EQ(read_file(t.host("f")), "abcdef");
}

// Each thread writes, reads back and stats its own region while the sweep
// runs as the select loop would run it. Run under ThreadSanitizer too.
TEST(NfsConcurrency, FourThreadsOnOneFile) {
    for (int cache : {24, 1, 0}) {
        nfs_tree t("c:\\\n", cache);
        constexpr uint32_t REGION = 8 * 8192, THREADS = 4, ROUNDS = 64;
        t.make("f", std::string(REGION * THREADS, '.'));
        nfs_fh fh = t.handle("c:\\f");
        std::atomic<bool> stop{false};
        std::atomic<int> failures{0};
        std::thread sweeper([&] {
            while (!stop) {
                cache_sweep();
                std::this_thread::yield();
            }
        });
        std::vector<std::thread> threads;
        for (uint32_t id = 0; id < THREADS; id++)
            threads.emplace_back([&, id] {
                client c(fh);
                for (uint32_t r = 0; r < ROUNDS; r++) {
                    uint64_t offset = uint64_t(id) * REGION + (r % 8) * 8192;
                    std::string block = nfs_pattern(8192, int(id * 100 + r));
                    if (c.write(offset, block) != NFS_OK || c.count != 8192 ||
                        c.read(offset, 8192) != NFS_OK || c.data != block ||
                        c.getattr() != NFS_OK || c.attr.size != REGION * THREADS)
                        failures++;
                }
            });
        for (auto &th : threads) th.join();
        stop = true;
        sweeper.join();
        EXPECT_EQ(failures.load(), 0) << "cache " << cache;
        std::string want;  // each block as the last round that wrote it left it
        for (uint32_t id = 0; id < THREADS; id++)
            for (uint32_t b = 0; b < 8; b++)
                want += nfs_pattern(8192, int(id * 100 + ROUNDS - 8 + b));
        EXPECT_TRUE(read_file(t.host("f")) == want) << "cache " << cache;
    }
}

}  // namespace
