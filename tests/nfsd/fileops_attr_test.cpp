// SETATTR as a client sees it: modes stored as attributes and read back,
// owners accepted and ignored, times and sizes, device modes, and the
// log lines and restores of failed attribute calls.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "names/nfs_status.h"
#include "nfsd/fileops.h"
#include "platform/bytes.h"
#include "support/fileops_tree.h"

namespace {

constexpr uint32_t R = FILE_ATTRIBUTE_READONLY, H = FILE_ATTRIBUTE_HIDDEN,
                   S = FILE_ATTRIBUTE_SYSTEM, D = FILE_ATTRIBUTE_DIRECTORY,
                   N = FILE_ATTRIBUTE_NORMAL;

nfs_sattr mode_only(uint32_t mode) {
    nfs_sattr s{};
    s.set_mode = 1;
    s.mode = mode;
    return s;
}

uint32_t setattr(fileops_tree &t, const std::string &rel, const nfs_sattr &s, nfs_attr *a,
                 rpc_cred c = user_cred()) {
    nfs_fh fh = t.fh(rel);
    return nfs_setattr(fh.data(), &s, a, &c);
}

struct stat host_stat(fileops_tree &t, const std::string &rel) {
    struct stat st {};
    stat(t.host(rel).c_str(), &st);
    return st;
}

std::string device(uint32_t type, uint32_t major, uint32_t minor, uint32_t mode) {
    uint8_t h[NFS_SPECIAL_SIZE];
    nfs_special_header(h, type, major, minor, mode);
    return std::string(reinterpret_cast<char *>(h), sizeof h);
}

TEST(FileopsSetattr, ModeToAttributesAndBack) {
    // The export's -umask 022 applies to the mode read back.
    const struct {
        bool directory;
        uint32_t start;  // attributes before
        uint32_t mode;
        uint32_t stored;    // attributes after (without DIRECTORY)
        uint32_t reported;  // mode read back, permission bits
    } cases[] = {
        {false, 0, 0755, H, 0755},
        {false, H | R, 0644, N, 0644},
        {false, 0, 0444, R, 0444},
        {false, 0, 04755, H | S, 04755},
        {false, 0, 0600, N, 0644},       // only the owner's bits are kept
        {false, 0, 0500, H | R, 0555},
        {true, 0, 0666, H, 0644},
        {true, 0, 01777, S, 01755},
        {true, H, 0755, 0, 0755},
        {true, 0, 0555, R, 0555},
    };
    for (const auto &c : cases) {
        fileops_tree t;
        std::string rel = c.directory ? "d" : "f.txt";
        t.make(c.directory ? "d/" : "f.txt", "data");
        if (c.start) {
            ASSERT_TRUE(t.set_attrs(rel, c.start));
        }
        nfs_attr a{};
        ASSERT_EQ(setattr(t, rel, mode_only(c.mode), &a), NFS_OK) << std::oct << c.mode;
        uint32_t stored = t.attrs(rel) & ~D;
        EXPECT_EQ(stored, c.stored) << std::oct << c.mode;
        EXPECT_EQ(a.mode & 07777, c.reported) << std::oct << c.mode;
        EXPECT_EQ(a.type, c.directory ? NFDIR : NFREG);
        if (!c.directory) {
            EXPECT_EQ(t.content(rel), "data");
        }
    }
}

TEST(FileopsSetattr, OwnersAreAcceptedAndChangeNothing) {
    fileops_tree t;
    t.make("f.txt", "data");
    ASSERT_TRUE(t.set_attrs("f.txt", H));
    struct stat before = host_stat(t, "f.txt");
    nfs_sattr s{};
    s.set_uid = 1, s.uid = 0;
    s.set_gid = 1, s.gid = 0;
    nfs_attr a{};
    ASSERT_EQ(setattr(t, "f.txt", s, &a), NFS_OK);
    struct stat after = host_stat(t, "f.txt");
    EXPECT_EQ(t.attrs("f.txt"), H);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(a.uid, 500u);  // still reported as the caller's
    EXPECT_EQ(t.content("f.txt"), "data");
}

TEST(FileopsSetattr, TimesOnlyWhenBothAreSetAndNotOnDirectories) {
    fileops_tree t;
    t.make("f.txt", "x");
    t.make("ro.txt", "x");
    t.make("d/");
    ASSERT_TRUE(t.set_attrs("ro.txt", R));
    nfs_sattr both{};
    both.set_atime = NFS_TIME_CLIENT, both.atime_sec = 1000000000, both.atime_nsec = 999;
    both.set_mtime = NFS_TIME_CLIENT, both.mtime_sec = 1200000000, both.mtime_nsec = 5;
    nfs_attr a{};
    for (const char *rel : {"f.txt", "ro.txt"}) {
        ASSERT_EQ(setattr(t, rel, both, &a), NFS_OK) << rel;
        struct stat st = host_stat(t, rel);
        EXPECT_EQ(st.st_atim.tv_sec, 1000000000) << rel;
        EXPECT_EQ(st.st_mtim.tv_sec, 1200000000) << rel;
        EXPECT_EQ(st.st_mtim.tv_nsec, 0) << rel;  // nanoseconds are dropped
        EXPECT_EQ(a.mtime_sec, 1200000000u);
    }
    EXPECT_EQ(t.attrs("ro.txt"), R);  // unlocked only for the moment

    struct stat dir_before = host_stat(t, "d");
    ASSERT_EQ(setattr(t, "d", both, &a), NFS_OK);
    EXPECT_EQ(host_stat(t, "d").st_mtim.tv_sec, dir_before.st_mtim.tv_sec);

    nfs_sattr atime_only{};
    atime_only.set_atime = NFS_TIME_CLIENT, atime_only.atime_sec = 5;
    struct stat f_before = host_stat(t, "f.txt");
    ASSERT_EQ(setattr(t, "f.txt", atime_only, &a), NFS_OK);
    struct stat f_after = host_stat(t, "f.txt");
    EXPECT_EQ(f_after.st_atim.tv_sec, f_before.st_atim.tv_sec);
    EXPECT_EQ(f_after.st_mtim.tv_sec, f_before.st_mtim.tv_sec);
}

TEST(FileopsSetattr, FailedTimesAnswerTheErrnoStatusAndRelock) {
    fileops_tree t;
    t.make("ro.txt", "x");
    ASSERT_TRUE(t.set_attrs("ro.txt", R));
    win_fail_inject("_utime", ENOSPC, 1);
    nfs_sattr both{};
    both.set_atime = both.set_mtime = NFS_TIME_CLIENT;
    nfs_attr a{};
    EXPECT_EQ(setattr(t, "ro.txt", both, &a), NFSERR_NOSPC);
    EXPECT_EQ(t.attrs("ro.txt"), R);
}

TEST(FileopsSetattr, SizeTruncatesAndExtends) {
    fileops_tree t;
    t.make("f.txt", "0123456789");
    t.make("ro.txt", "0123456789");
    ASSERT_TRUE(t.set_attrs("ro.txt", R));
    nfs_sattr s{};
    s.set_size = 1;
    s.size = 4;
    nfs_attr a{};
    ASSERT_EQ(setattr(t, "f.txt", s, &a), NFS_OK);
    EXPECT_EQ(t.content("f.txt"), "0123");
    EXPECT_EQ(a.size, 4u);
    s.size = 6;
    ASSERT_EQ(setattr(t, "f.txt", s, &a), NFS_OK);
    EXPECT_EQ(t.content("f.txt"), std::string("0123\0\0", 6));

    t.log();
    EXPECT_EQ(setattr(t, "ro.txt", s, &a), NFSERR_ACCES);
    EXPECT_EQ(t.content("ro.txt"), "0123456789");
    EXPECT_EQ(t.log(), "nfs_setsize: c:\\ro.txt error 5\n");
}

TEST(FileopsSetattr, DeviceModeGoesIntoTheHeader) {
    fileops_tree t;
    t.make("dev", device(NFCHR, 1, 3, 0600));
    ASSERT_TRUE(t.set_attrs("dev", S));
    nfs_attr a{};
    ASSERT_EQ(setattr(t, "dev", mode_only(020640), &a), NFS_OK);
    EXPECT_EQ(t.content("dev"), device(NFCHR, 1, 3, 0640));
    EXPECT_EQ(t.attrs("dev"), S);
    EXPECT_EQ(a.type, NFCHR);
    EXPECT_EQ(a.mode, 020640u);

    // A link keeps its text; only the attribute is (re)set.
    t.make("link", "../x");
    ASSERT_TRUE(t.set_attrs("link", S));
    ASSERT_EQ(setattr(t, "link", mode_only(0600), &a), NFS_OK);
    EXPECT_EQ(t.content("link"), "../x");
    EXPECT_EQ(t.attrs("link"), S);
    EXPECT_EQ(a.type, NFLNK);
}

TEST(FileopsSetattr, FailedHeaderWriteIsLoggedAndRestored) {
    fileops_tree t;
    t.make("dev", device(NFBLK, 8, 1, 0600));
    ASSERT_TRUE(t.set_attrs("dev", S));
    t.log();
    win_fail_inject("WriteFile", ERROR_DISK_FULL, 1);
    EXPECT_FALSE(nfs_put_special("c:\\dev", 0644));
    EXPECT_EQ(t.log(), "nfs_put_special: c:\\dev error 112\n");
    EXPECT_EQ(t.attrs("dev"), S);
    EXPECT_EQ(t.content("dev"), device(NFBLK, 8, 1, 0600));

    win_fail_inject("WriteFile", ERROR_DISK_FULL, 1);
    nfs_attr a{};
    EXPECT_EQ(setattr(t, "dev", mode_only(0644), &a), NFSERR_IO);
    EXPECT_EQ(t.attrs("dev"), S);

    // The mode word is little-endian at offset 28, whatever was there.
    ASSERT_TRUE(nfs_put_special("c:\\dev", 0107755));
    std::string c = t.content("dev");
    EXPECT_EQ(load_le32(reinterpret_cast<const uint8_t *>(c.data()) + 28), 07755u);
}

TEST(FileopsSetattr, FailedAttributeCallIsLoggedWithItsStatus) {
    fileops_tree t;
    t.make("f.txt", "x");
    t.log();
    win_fail_inject("SetFileAttributes", ERROR_ACCESS_DENIED, 1);
    nfs_attr a{};
    EXPECT_EQ(setattr(t, "f.txt", mode_only(0755), &a), NFSERR_ACCES);
    EXPECT_EQ(t.log(), "nfs_setugmode: c:\\f.txt error 5\n");
    EXPECT_EQ(t.attrs("f.txt"), N);

    // Direct calls: no mode, nothing for files; a link is made exactly SYSTEM.
    EXPECT_EQ(nfs_setugmode("c:\\f.txt", 1, 1, 0, 0, 0, NFREG, 0), NFS_OK);
    EXPECT_EQ(t.attrs("f.txt"), N);
    EXPECT_EQ(nfs_setugmode("c:\\f.txt", 0, 0, 0, 0, 0, NFLNK, 0), NFS_OK);
    EXPECT_EQ(t.attrs("f.txt"), S);
    // An unreadable special file is not written on a guess.
    EXPECT_EQ(nfs_setugmode("c:\\f.txt", 0, 0, 1, 0, 0, NFNON, 0644), NFSERR_IO);
    EXPECT_EQ(t.content("f.txt"), "x");
}

TEST(FileopsSetattr, HandlesAndExportsAreChecked) {
    fileops_tree t("c:\\rw -maproot:0\nc:\\ro -ro\n", {"rw", "ro"});
    t.make("rw/f", "x");
    t.make("ro/f", "x");
    nfs_attr a{};
    rpc_cred c = user_cred();
    nfs_sattr s = mode_only(0444);
    nfs_fh ro = t.fh("ro/f", 1);
    EXPECT_EQ(nfs_setattr(ro.data(), &s, &a, &c), NFSERR_ROFS);
    EXPECT_EQ(t.attrs("ro/f"), N);
    nfs_fh stale = t.fh("rw/f");
    stale[4] ^= 1;
    EXPECT_EQ(nfs_setattr(stale.data(), &s, &a, &c), NFSERR_STALE);
    // The identity is mapped: -maproot:0 keeps root as 0.
    nfs_fh rw = t.fh("rw/f");
    rpc_cred root = root_cred();
    ASSERT_EQ(nfs_setattr(rw.data(), &s, &a, &root), NFS_OK);
    EXPECT_EQ(a.uid, 0u);
    EXPECT_EQ(t.attrs("rw/f"), R);
}

}  // namespace
