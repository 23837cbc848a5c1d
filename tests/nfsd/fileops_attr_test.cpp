// SETATTR as a client sees it: modes stored as attributes and read back,
// owners accepted and ignored, times, sizes and device modes, and what a
// failed attribute call logs and puts back.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "names/nfs_status.h"
#include "support/fileops_tree.h"

namespace {

constexpr uint32_t R = FILE_ATTRIBUTE_READONLY, H = FILE_ATTRIBUTE_HIDDEN,
                   S = FILE_ATTRIBUTE_SYSTEM, D = FILE_ATTRIBUTE_DIRECTORY,
                   N = FILE_ATTRIBUTE_NORMAL;

struct stat host_stat(const fileops_tree &t, const std::string &rel) {
    struct stat st {};
    stat(t.host(rel).c_str(), &st);
    return st;
}

TEST(FileopsSetattr, ModeToAttributesAndBack) {
    // The export's -umask 022 applies to the mode read back.
    const struct {
        bool directory;
        uint32_t start;     // attributes before
        uint32_t mode;      // set
        uint32_t stored;    // attributes after (without DIRECTORY)
        uint32_t reported;  // mode read back, permission bits
    } cases[] =
        {
            {false, 0, 0755, H, 0755},     {false, H | R, 0644, N, 0644},
            {false, 0, 0444, R, 0444},     {false, 0, 04755, H | S, 04755},
            {false, 0, 0600, N, 0644},  // only the owner's bits are kept
            {false, 0, 0500, H | R, 0555}, {true, 0, 0666, H, 0644},
            {true, 0, 01777, S, 01755},    {true, H, 0755, 0, 0755},
            {true, 0, 0555, R, 0555},
        };
    for (const auto &c : cases) {
        fileops_tree t;
        std::string rel = c.directory ? "d" : "f.txt";
        t.make(c.directory ? "d/" : "f.txt", "data");
        ASSERT_TRUE(!c.start || t.set_attrs(rel, c.start));
        ASSERT_EQ(t.setattr(rel, fileops_mode(c.mode)), NFS_OK) << std::oct << c.mode;
        EXPECT_EQ(t.attrs(rel) & ~D, c.stored) << std::oct << c.mode;
        EXPECT_EQ(t.attr.mode & 07777, c.reported) << std::oct << c.mode;
        EXPECT_TRUE(c.directory || t.content(rel) == "data");
    }
}

TEST(FileopsSetattr, OwnersTimesAndSizes) {
    fileops_tree t;
    t.make("f.txt", "0123456789");
    t.make("ro.txt", "x");
    t.make("d/");
    ASSERT_TRUE(t.set_attrs("ro.txt", R));
    // Owners are accepted and change nothing; the caller still owns the file.
    nfs_sattr owners{};
    owners.set_uid = owners.set_gid = 1;
    std::string before = t.snapshot();
    ASSERT_EQ(t.setattr("f.txt", owners), NFS_OK);
    EXPECT_EQ(t.snapshot(), before);
    EXPECT_EQ(t.attr.uid, 500u);

    nfs_sattr both{};
    both.set_atime = NFS_TIME_CLIENT, both.atime_sec = 1000000000, both.atime_nsec = 999;
    both.set_mtime = NFS_TIME_CLIENT, both.mtime_sec = 1200000000, both.mtime_nsec = 5;
    for (const char *rel : {"f.txt", "ro.txt"}) {
        ASSERT_EQ(t.setattr(rel, both), NFS_OK) << rel;
        struct stat st = host_stat(t, rel);
        EXPECT_EQ(st.st_atim.tv_sec, 1000000000) << rel;
        EXPECT_EQ(st.st_mtim.tv_sec, 1200000000) << rel;
        EXPECT_EQ(st.st_mtim.tv_nsec, 0) << rel;  // nanoseconds are dropped
    }
    EXPECT_EQ(t.attrs("ro.txt"), R);  // unlocked only for the moment
    // Not on directories, and not one time alone.
    struct stat dir = host_stat(t, "d"), file = host_stat(t, "f.txt");
    ASSERT_EQ(t.setattr("d", both), NFS_OK);
    EXPECT_EQ(host_stat(t, "d").st_mtim.tv_sec, dir.st_mtim.tv_sec);
    both.set_mtime = 0;
    ASSERT_EQ(t.setattr("f.txt", both), NFS_OK);
    EXPECT_EQ(host_stat(t, "f.txt").st_atim.tv_sec, file.st_atim.tv_sec);

    nfs_sattr size{};
    size.set_size = 1, size.size = 4;
    ASSERT_EQ(t.setattr("f.txt", size), NFS_OK);
    EXPECT_EQ(t.content("f.txt"), "0123");
    size.size = 6;
    ASSERT_EQ(t.setattr("f.txt", size), NFS_OK);
    EXPECT_EQ(t.content("f.txt"), std::string("0123\0\0", 6));
    EXPECT_EQ(t.attr.size, 6u);
}

TEST(FileopsSetattr, DeviceModeGoesIntoTheHeaderAndLinksKeepTheirText) {
    fileops_tree t;
    t.make("dev", fileops_device(NFCHR, 1, 3, 0600));
    t.make("link", "../x");
    ASSERT_TRUE(t.set_attrs("dev", S) && t.set_attrs("link", S));
    ASSERT_EQ(t.setattr("dev", fileops_mode(020640)), NFS_OK);
    EXPECT_EQ(t.content("dev"), fileops_device(NFCHR, 1, 3, 0640));
    EXPECT_EQ(t.attrs("dev"), S);
    EXPECT_EQ(t.attr.mode, 020640u);
    ASSERT_EQ(t.setattr("link", fileops_mode(0600)), NFS_OK);
    EXPECT_EQ(t.content("link"), "../x");
    EXPECT_EQ(t.attrs("link"), S);
    EXPECT_EQ(t.attr.type, NFLNK);
}

TEST(FileopsSetattr, FailuresPutTheFileBack) {
    nfs_sattr times{}, size{};
    times.set_atime = times.set_mtime = NFS_TIME_CLIENT;
    size.set_size = 1;
    const struct {
        uint32_t attributes;
        std::string content;
        nfs_sattr s;
        const char *fail;  // the call failing once, with `error`
        uint32_t error, status;
        const char *log;
    } cases[] = {
        {R, "x", times, "_utime", ENOSPC, NFSERR_NOSPC, ""},
        {R, "x", size, nullptr, 0, NFSERR_ACCES, "nfs_setsize: c:\\f error 5\n"},
        {N, "x", fileops_mode(0755), "SetFileAttributes", ERROR_ACCESS_DENIED, NFSERR_ACCES,
         "nfs_setugmode: c:\\f error 5\n"},
        {S, fileops_device(NFBLK, 8, 1, 0600), fileops_mode(0644), "WriteFile", ERROR_DISK_FULL,
         NFSERR_IO, "nfs_put_special: c:\\f error 112\n"},
    };
    for (const auto &c : cases) {
        fileops_tree t;
        t.make("f", c.content);
        ASSERT_TRUE(t.set_attrs("f", c.attributes));
        std::string before = t.snapshot();
        t.log();
        if (c.fail) win_fail_inject(c.fail, c.error, 1);
        EXPECT_EQ(t.setattr("f", c.s), c.status) << c.log;
        EXPECT_EQ(t.log(), c.log);
        EXPECT_EQ(t.snapshot(), before) << c.log;
    }
}

}  // namespace
