// READ, WRITE, COMMIT and GETATTR through the open-file cache, as a client
// sees them: bytes in the reply buffer and nothing beyond, files on disk,
// status numbers, log lines, and the same file from several threads.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "names/nfs_status.h"
#include "nfsd/cache.h"
#include "platform/winerr.h"
#include "platform/winfile.h"
#include "server/config.h"
#include "support/drive_temp.h"
#include "support/nfs_tree.h"

namespace {

constexpr uint8_t CANARY = 0xA5;

std::string pattern(size_t n, int seed = 0) {
    std::string s(n, 0);
    for (size_t i = 0; i < n; i++) s[i] = char('a' + (i * 7 + seed) % 26);
    return s;
}

off_t host_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// One client call's worth of state.
struct client {
    nfs_tree &tree;
    nfs_fh fh;
    rpc_cred cred = test_cred(500, 100);
    nfs_attr attr{};
    std::vector<uint8_t> buf = std::vector<uint8_t>(70000, CANARY);

    client(nfs_tree &t, const std::string &path) : tree(t), fh(t.handle(path)) {}

    // READ into the buffer; answers status, fills `data`.
    uint32_t read(uint64_t offset, uint32_t count, std::string *data = nullptr) {
        std::fill(buf.begin(), buf.end(), CANARY);
        uint32_t n = count;
        uint32_t st = nfs_read(fh.data(), offset, &n, buf.data(), &attr, &cred);
        if (data) data->assign(reinterpret_cast<char *>(buf.data()), st == 0 ? n : 0);
        // Nothing beyond what was read, and never beyond the asked count.
        for (size_t i = st == 0 ? n : 0; i < buf.size(); i++)
            if (buf[i] != CANARY) {
                ADD_FAILURE() << "byte " << i << " written beyond " << n;
                break;
            }
        EXPECT_LE(n, count);
        return st;
    }
    uint32_t write(uint64_t offset, const std::string &data, uint32_t *count = nullptr,
                   bool sync = false, uint64_t max_size = NFS3_MAX_SIZE) {
        uint32_t n = uint32_t(data.size());
        uint32_t st = nfs_write(fh.data(), offset, &n, sync,
                                reinterpret_cast<const uint8_t *>(data.data()), max_size, &attr,
                                &cred);
        if (count) *count = n;
        return st;
    }
    uint32_t getattr() { return nfs_fh_attr(fh.data(), &attr, &cred); }
    uint32_t commit() { return nfs_commit(fh.data(), 0, 0, &attr, &cred); }
};

TEST(NfsRead, CountsOffsetsAndTheCallersBuffer) {
    nfs_tree t;
    config.datasize = 8192;
    const std::string content = pattern(10000);
    t.make("f", content);
    client c(t, "c:\\f");
    const struct {
        uint64_t offset;
        uint32_t count;
        uint32_t expect;  // bytes
    } cases[] = {
        {0, 4096, 4096},     {100, 4096, 4096}, {9000, 4096, 1000}, {0, 0, 0},
        {0, 9000, 8192},  // above "Datasize": lowered
        {0, 0xFFFFFFFF, 8192},
        {10000, 10, 0},      {20000, 10, 0},     {1ull << 40, 10, 0},
        {0x8000000000000000ull, 10, 0},  {0xFFFFFFFFFFFFFFFFull, 4096, 0},
    };
    for (const auto &k : cases) {
        std::string data;
        ASSERT_EQ(c.read(k.offset, k.count, &data), NFS_OK) << k.offset << " " << k.count;
        EXPECT_EQ(data.size(), k.expect) << k.offset << " " << k.count;
        if (k.expect) { EXPECT_EQ(data, content.substr(k.offset, k.expect)); }
        EXPECT_EQ(c.attr.size, 10000u);
        EXPECT_EQ(c.attr.type, NFREG);
        EXPECT_EQ(c.attr.uid, 500u);
    }
}

TEST(NfsRead, BurstUsesOneOpenAndTheSweepEndsIt) {
    nfs_tree t;
    t.make("f", "hello");
    client c(t, "c:\\f");
    std::string data;
    ASSERT_EQ(c.read(0, 5, &data), NFS_OK);
    // Gone from disk, but the burst still reads through its open file.
    ASSERT_EQ(unlink(t.host("f").c_str()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cache_sweep();
    ASSERT_EQ(c.read(1, 4, &data), NFS_OK);
    EXPECT_EQ(data, "ello");
    std::this_thread::sleep_for(std::chrono::milliseconds(CACHE_IDLE_MS + 200));
    cache_sweep();
    EXPECT_EQ(cache_open_files(), 0u);
    EXPECT_EQ(c.read(0, 5), NFSERR_NOENT);
    EXPECT_EQ(c.read(0, 5), NFSERR_STALE);  // the record went with the file
}

TEST(NfsRead, FileTruncatedBetweenReads) {
    nfs_tree t;
    t.make("f", pattern(10000));
    client c(t, "c:\\f");
    std::string data;
    ASSERT_EQ(c.read(0, 4096, &data), NFS_OK);
    EXPECT_EQ(c.attr.size, 10000u);
    ASSERT_EQ(truncate(t.host("f").c_str(), 100), 0);
    ASSERT_EQ(c.read(4096, 4096, &data), NFS_OK);
    EXPECT_EQ(data.size(), 0u);
    EXPECT_EQ(c.attr.size, 100u);  // not the size kept from the first read
    ASSERT_EQ(c.read(0, 4096, &data), NFS_OK);
    EXPECT_EQ(data, pattern(100));
    EXPECT_EQ(c.attr.size, 100u);
}

TEST(NfsRead, HandlesThatDoNotResolveOrNameNothing) {
    nfs_tree t;
    t.make("f", "x");
    client c(t, "c:\\f");
    ASSERT_EQ(unlink(t.host("f").c_str()), 0);
    EXPECT_EQ(c.getattr(), NFSERR_NOENT);
    EXPECT_EQ(c.getattr(), NFSERR_STALE);
    EXPECT_EQ(c.read(0, 1), NFSERR_STALE);
    EXPECT_EQ(c.write(0, "x"), NFSERR_STALE);
    EXPECT_EQ(c.commit(), NFSERR_STALE);
}

TEST(NfsRead, FailuresAreLoggedAndDropTheEntry) {
    nfs_tree t;
    t.make("f", "hello");
    client c(t, "c:\\f");
    uint32_t inode = nfs_tree::inode_of(c.fh);
    t.log();
    win_fail_inject("_open", EACCES, 1);
    EXPECT_EQ(c.read(0, 5), NFSERR_ACCES);
    EXPECT_EQ(t.log(), "nfs_read: open error 13 node " + std::to_string(inode) + " path c:\\f\n");
    win_fail_inject("_read", EIO, 1);
    EXPECT_EQ(c.read(0, 5), NFSERR_IO);
    EXPECT_EQ(t.log(), "nfs_read: c:\\f error 5\n");
    EXPECT_EQ(cache_open_files(), 0u);
    win_fail_inject("_lseeki64", EINVAL, 1);
    EXPECT_EQ(c.read(0, 5), NFSERR_INVAL);
    EXPECT_EQ(cache_open_files(), 0u);
    win_fail_clear();
    std::string data;
    EXPECT_EQ(c.read(0, 5, &data), NFS_OK);
    EXPECT_EQ(data, "hello");
}

TEST(NfsWrite, WritesReportSizeAndTimes) {
    nfs_tree t;
    config.datasize = 8192;
    t.make("f", "0123456789");
    client c(t, "c:\\f");
    uint32_t n;
    uint32_t before = uint32_t(time(nullptr));
    ASSERT_EQ(c.write(5, "abcdefghij", &n), NFS_OK);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(c.attr.size, 15u);
    EXPECT_GE(c.attr.mtime_sec, before);
    EXPECT_EQ(c.attr.atime_sec, c.attr.mtime_sec);
    EXPECT_EQ(c.attr.mtime_nsec, 0u);
    EXPECT_EQ(read_file(t.host("f")), "01234abcdefghij");
    // Above "Datasize": the first Datasize bytes, and the count says so.
    std::string big = pattern(9000);
    ASSERT_EQ(c.write(0, big, &n), NFS_OK);
    EXPECT_EQ(n, 8192u);
    EXPECT_EQ(read_file(t.host("f")), big.substr(0, 8192));
    ASSERT_EQ(c.write(0, "", &n), NFS_OK);
    EXPECT_EQ(n, 0u);
    // A READ through the descriptor a WRITE left sees the new data.
    std::string data;
    ASSERT_EQ(c.read(0, 5, &data), NFS_OK);
    EXPECT_EQ(data, big.substr(0, 5));
}

TEST(NfsWrite, ReadThenWriteThenGetattr) {
    nfs_tree t;
    t.make("f", "aaaa");
    client c(t, "c:\\f");
    ASSERT_EQ(c.read(0, 4), NFS_OK);
    ASSERT_EQ(c.write(1, "bb"), NFS_OK);  // the read-only descriptor is reopened
    EXPECT_EQ(read_file(t.host("f")), "abba");
    EXPECT_EQ(cache_open_files(), 1u);
    ASSERT_EQ(c.write(0, pattern(3000)), NFS_OK);
    ASSERT_EQ(c.getattr(), NFS_OK);
    EXPECT_EQ(c.attr.size, 3000u);
    EXPECT_EQ(cache_open_files(), 0u);  // closed before the attributes were read
}

TEST(NfsWrite, RootMayWriteReadonlyFilesOthersMayNot) {
    nfs_tree t("c:\\ -maproot:0\n");
    t.make("f", "old");
    ASSERT_TRUE(win_set_file_attributes("c:\\f", FILE_ATTRIBUTE_READONLY));
    client c(t, "c:\\f");
    EXPECT_EQ(c.write(0, "new"), NFSERR_ACCES);
    EXPECT_EQ(read_file(t.host("f")), "old");

    // Root whose open still fails: READONLY is back as it was.
    c.cred = test_cred(0, 0);
    win_fail_inject("_open", EIO, 1);
    EXPECT_EQ(c.write(0, "new"), NFSERR_IO);
    EXPECT_EQ(win_get_file_attributes("c:\\f"), FILE_ATTRIBUTE_READONLY);

    c.cred = test_cred(0, 0);
    ASSERT_EQ(c.write(0, "new"), NFS_OK);
    EXPECT_EQ(read_file(t.host("f")), "new");
    EXPECT_EQ(win_get_file_attributes("c:\\f"), FILE_ATTRIBUTE_NORMAL);  // stays cleared
}

TEST(NfsWrite, ReadonlyExportOpensNothing) {
    nfs_tree t("c:\\ -ro\n");
    t.make("f", "old");
    client c(t, "c:\\f");
    EXPECT_EQ(c.write(0, "new"), NFSERR_ROFS);
    EXPECT_EQ(c.commit(), NFSERR_ROFS);
    EXPECT_EQ(cache_open_files(), 0u);
    std::string data;
    ASSERT_EQ(c.read(0, 3, &data), NFS_OK);
    EXPECT_EQ(data, "old");
}

TEST(NfsWrite, Version2CannotGrowAFilePast4GiB) {
    nfs_tree t;
    t.make("f", "x");
    client c(t, "c:\\f");
    const std::string block = pattern(8192);
    const struct {
        uint64_t offset;
        uint64_t max_size;
        uint32_t status;
    } cases[] = {
        {0xFFFFF000, NFS2_MAX_SIZE, NFSERR_FBIG},
        {0xFFFFFFFF - 8192 + 1, NFS2_MAX_SIZE, NFSERR_FBIG},
        {0xFFFFFFFF - 8192, NFS2_MAX_SIZE, NFS_OK},  // ends at the last byte v2 can show
        {0x7FFFFFFFFFFFFFFFull, NFS3_MAX_SIZE, NFSERR_FBIG},
        {0xFFFFFFFFFFFFFFFFull, NFS3_MAX_SIZE, NFSERR_FBIG},
        {0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFFFFFFFFFull, NFSERR_FBIG},
        {0xFFFFF000, NFS3_MAX_SIZE, NFS_OK},
    };
    for (const auto &k : cases) {
        off_t before = host_size(t.host("f"));
        uint32_t n = 77;
        EXPECT_EQ(c.write(k.offset, block, &n, false, k.max_size), k.status) << k.offset;
        if (k.status == NFS_OK) {
            EXPECT_EQ(uint64_t(host_size(t.host("f"))), std::max<uint64_t>(before, k.offset + 8192));
        } else {
            EXPECT_EQ(n, 0u);
            EXPECT_EQ(host_size(t.host("f")), before) << k.offset;
        }
    }
}

TEST(NfsWrite, FailedWriteLeavesTheFileAsItWas) {
    nfs_tree t;
    t.make("f", "0123456789");
    client c(t, "c:\\f");
    t.log();
    win_fail_inject("_write", ENOSPC, 1);
    EXPECT_EQ(c.write(4, "abcdefghij"), NFSERR_NOSPC);
    EXPECT_EQ(t.log(), "nfs_write c:\\f 4294967295/10 error 28\n");
    EXPECT_EQ(cache_open_files(), 0u);
    win_fail_inject("_lseeki64", EINVAL, 1);
    EXPECT_EQ(c.write(1u << 20, "abc"), NFSERR_INVAL);
    EXPECT_EQ(t.log(), "nfs_write seek 1048576 path c:\\f error 22\n");
    EXPECT_EQ(read_file(t.host("f")), "0123456789");

    // A write the host cuts short half way (here: the file size limit) is
    // undone back to the old length and answered as the failure it is.
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = {5000, old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    EXPECT_EQ(c.write(0, pattern(8000)), NFSERR_FBIG);
    EXPECT_EQ(c.write(4990, pattern(100)), NFSERR_FBIG);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(host_size(t.host("f")), 10);
    win_fail_clear();
}

TEST(NfsWrite, SyncFlushesAndAFailedFlushFails) {
    nfs_tree t;
    t.make("f", "");
    client c(t, "c:\\f");
    win_fail_inject("_commit", EIO, 0);
    EXPECT_EQ(c.write(0, "abc"), NFS_OK);  // not flushed, so nothing to fail
    EXPECT_EQ(c.write(3, "def", nullptr, true), NFSERR_IO);
    win_fail_clear();
    EXPECT_EQ(host_size(t.host("f")), 3);
    EXPECT_EQ(c.write(3, "def", nullptr, true), NFS_OK);
    EXPECT_EQ(read_file(t.host("f")), "abcdef");
}

TEST(NfsCommit, ClosesTheCachedFileOrReadsAttributes) {
    nfs_tree t;
    t.make("f", "");
    client c(t, "c:\\f");
    // No descriptor: the attributes of the file.
    ASSERT_EQ(c.commit(), NFS_OK);
    EXPECT_EQ(c.attr.type, NFREG);
    EXPECT_EQ(c.attr.size, 0u);
    ASSERT_EQ(c.write(0, "abcd"), NFS_OK);
    EXPECT_EQ(cache_open_files(), 1u);
    ASSERT_EQ(c.commit(), NFS_OK);
    EXPECT_EQ(c.attr.size, 4u);
    EXPECT_EQ(cache_open_files(), 0u);
    // A flush that fails is not a commit.
    ASSERT_EQ(c.write(0, "abcd"), NFS_OK);
    win_fail_inject("_commit", EIO, 0);
    EXPECT_EQ(c.commit(), NFSERR_IO);
    EXPECT_EQ(c.commit(), NFSERR_IO);  // also through a descriptor of its own
    win_fail_clear();
    EXPECT_EQ(c.commit(), NFS_OK);
    ASSERT_EQ(unlink(t.host("f").c_str()), 0);
    EXPECT_EQ(c.commit(), NFSERR_NOENT);
}

// Four threads on one file: each writes and reads back its own region and
// reads the attributes, while the sweep runs as the select loop would run
// it. Run under ThreadSanitizer too.
TEST(NfsConcurrency, FourThreadsOnOneFile) {
    for (int cache : {24, 1, 0}) {
        nfs_tree t("c:\\\n", cache);
        config.datasize = 8192;
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
                rpc_cred cred = test_cred(500, 100);
                std::vector<uint8_t> buf(8192);
                nfs_attr a;
                for (uint32_t r = 0; r < ROUNDS; r++) {
                    uint64_t offset = uint64_t(id) * REGION + (r % 8) * 8192;
                    std::string block = pattern(8192, int(id * 100 + r));
                    uint32_t n = 8192;
                    if (nfs_write(fh.data(), offset, &n, false,
                                  reinterpret_cast<const uint8_t *>(block.data()),
                                  NFS3_MAX_SIZE, &a, &cred) != NFS_OK || n != 8192)
                        failures++;
                    n = 8192;
                    if (nfs_read(fh.data(), offset, &n, buf.data(), &a, &cred) != NFS_OK ||
                        n != 8192 || memcmp(buf.data(), block.data(), 8192) != 0)
                        failures++;
                    if (nfs_fh_attr(fh.data(), &a, &cred) != NFS_OK ||
                        a.size != REGION * THREADS)
                        failures++;
                }
            });
        for (auto &th : threads) th.join();
        stop = true;
        sweeper.join();
        EXPECT_EQ(failures.load(), 0) << "cache " << cache;
        std::string disk = read_file(t.host("f"));
        ASSERT_EQ(disk.size(), REGION * THREADS);
        for (uint32_t id = 0; id < THREADS; id++)
            for (uint32_t b = 0; b < 8; b++) {
                uint32_t last = ROUNDS - 8 + b;  // the last round that wrote block b (r % 8 == b)
                EXPECT_EQ(disk.substr(id * REGION + b * 8192, 8192),
                          pattern(8192, int(id * 100 + last)))
                    << "cache " << cache << " thread " << id << " block " << b;
            }
    }
}

}  // namespace
