// Attributes as clients see them: the mode table, device files and links,
// drive roots and link counts, identity mapping and the volume check, and
// the two status tables.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>

#include "inode/inode.h"
#include "names/nfs_status.h"
#include "nfsd/attr.h"
#include "nfsd/cache.h"
#include "platform/bytes.h"
#include "platform/drive.h"
#include "platform/winerr.h"
#include "platform/winfile.h"
#include "support/nfs_tree.h"

namespace {

constexpr uint32_t R = FILE_ATTRIBUTE_READONLY, H = FILE_ATTRIBUTE_HIDDEN,
                   S = FILE_ATTRIBUTE_SYSTEM;

// The attributes of a Windows path in the first export, as uid 500.
uint32_t attr_of(nfs_tree &t, const std::string &path, nfs_attr *a, uint32_t inode = 0) {
    rpc_cred c = test_cred(500, 100);
    return nfs_path_attr(inode, t.env.entries()[0], path.c_str(), a, &c);
}

std::string header(uint32_t type, uint32_t major, uint32_t minor, uint32_t mode) {
    // Written out word by word from the layout, not with nfs_special_header.
    uint8_t b[32] = {};
    memcpy(b + 4, "specdata", 8);
    const uint32_t words[4] = {type, major, minor, mode};
    for (int i = 0; i < 4; i++) store_le32(b + 16 + 4 * i, words[i]);
    return std::string(reinterpret_cast<const char *>(b), 32);
}

TEST(AttrMode, WindowsAttributesGiveTheModeTable) {
    const struct {
        const char *exports;
        bool directory;
        uint32_t attributes;
        uint32_t mode;
    } cases[] = {
        {"c:\\ -umask:0", false, 0, 0100666},
        {"c:\\ -umask:0", false, H, 0100777},
        {"c:\\ -umask:0", false, H | R, 0100555},
        {"c:\\ -umask:0", false, R, 0100444},
        {"c:\\ -umask:0", false, H | S, 0104777},
        {"c:\\ -umask:0", false, H | S | R, 0104555},
        {"c:\\ -umask:0", true, 0, 040777},
        {"c:\\ -umask:0", true, H, 040666},
        {"c:\\ -umask:0", true, S, 041777},
        {"c:\\ -umask:0", true, H | S, 041666},
        {"c:\\ -umask:0", true, R, 040555},
        {"c:\\", false, 0, 0100644},  // the default umask 022
        {"c:\\ -umask:022", false, H, 0100755},
        {"c:\\ -umask:077", true, H | S, 041600},
    };
    for (const auto &c : cases) {
        nfs_tree t(c.exports);
        t.make(c.directory ? "x/" : "x", "abc");
        ASSERT_TRUE(win_set_file_attributes("c:\\x", c.attributes));
        nfs_attr a;
        ASSERT_EQ(attr_of(t, "c:\\x", &a), NFS_OK);
        EXPECT_EQ(a.mode, c.mode) << c.exports << " attributes " << c.attributes;
        EXPECT_EQ(a.type, c.directory ? NFDIR : NFREG);
        EXPECT_EQ(a.size, c.directory ? 4096u : 3u);
        // The pure table agrees with what the file reads as.
        uint32_t umask = t.env.entries()[0]->umask;
        EXPECT_EQ(nfs_mode_of(c.attributes | (c.directory ? FILE_ATTRIBUTE_DIRECTORY : 0) |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL,
                              umask),
                  c.mode);  // other attributes are ignored
    }
}

TEST(AttrSpecial, DeviceFilesAndLinks) {
    nfs_tree t("c:\\ -umask:077");
    const struct {
        const char *name;
        std::string content;
        uint32_t type, mode, major, minor;
    } cases[] = {
        {"chr", header(4, 1, 3, 0666), NFCHR, 0020666, 1, 3},
        {"blk", header(3, 8, 1, 0640), NFBLK, 0060640, 8, 1},
        // The mode word only carries permission bits.
        {"chrhigh", header(4, 1, 3, 0170644), NFCHR, 0020644, 1, 3},
        {"link5", "hello", NFLNK, 0120777, 0, 0},
        {"empty", "", NFLNK, 0120777, 0, 0},
        {"short", header(4, 1, 3, 0666).substr(0, 31), NFLNK, 0120777, 0, 0},
        {"badword", std::string("\1") + header(4, 1, 3, 0666).substr(1), NFLNK, 0120777, 0, 0},
        {"badmagic", header(4, 1, 3, 0666).replace(4, 1, "S"), NFLNK, 0120777, 0, 0},
        // A header naming neither kind of device is no device file.
        {"badtype", header(7, 1, 3, 0666), NFLNK, 0120777, 0, 0},
    };
    for (const auto &c : cases) {
        t.make(c.name, c.content);
        std::string path = std::string("c:\\") + c.name;
        ASSERT_TRUE(win_set_file_attributes(path.c_str(), S));
        nfs_attr a;
        ASSERT_EQ(attr_of(t, path, &a), NFS_OK) << c.name;
        EXPECT_EQ(a.type, c.type) << c.name;
        EXPECT_EQ(a.mode, c.mode) << c.name;  // no umask on these
        EXPECT_EQ(a.rdev_major, c.major) << c.name;
        EXPECT_EQ(a.rdev_minor, c.minor) << c.name;
        EXPECT_EQ(a.nlink, 1u);
        EXPECT_EQ(a.size, c.content.size()) << c.name;
    }
    uint8_t out[NFS_SPECIAL_SIZE];
    nfs_special_header(out, NFCHR, 1, 3, 0644);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 32), header(4, 1, 3, 0644));
}

TEST(AttrSpecial, HostLinksAndDeviceNodesShowAsTheirKinds) {
    nfs_tree t;
    ASSERT_EQ(symlink("some/where", t.host("lnk").c_str()), 0);
    nfs_attr a;
    ASSERT_EQ(attr_of(t, "c:\\lnk", &a), NFS_OK);
    EXPECT_EQ(a.type, NFLNK);
    EXPECT_EQ(a.mode, 0120777u);
    EXPECT_EQ(a.size, 10u);
    if (mknod(t.host("tty").c_str(), S_IFCHR | 0620, makedev(4, 5)) != 0)
        GTEST_SKIP() << "no device nodes here";
    ASSERT_EQ(attr_of(t, "c:\\tty", &a), NFS_OK);
    EXPECT_EQ(a.type, NFCHR);
    EXPECT_EQ(a.rdev_major, 4u);
    EXPECT_EQ(a.rdev_minor, 5u);
    EXPECT_EQ(a.mode & NFS_IFMT, NFS_IFCHR);
}

TEST(AttrSpecial, UnreadableSystemFileIsTypeNoneAndLogged) {
    nfs_tree t;
    t.env.log_level(2);
    t.make("dev", header(4, 1, 3, 0666));
    ASSERT_TRUE(win_set_file_attributes("c:\\dev", S));
    t.log();
    win_fail_inject("CreateFile", ERROR_SHARING_VIOLATION, 1);
    nfs_attr a;
    EXPECT_EQ(attr_of(t, "c:\\dev", &a), NFS_OK);
    win_fail_clear();
    EXPECT_EQ(a.type, NFNON);
    EXPECT_EQ(a.mode, 0100666u);
    EXPECT_EQ(t.log(), "nfs_get_special: c:\\dev error 32\n");
    uint32_t major = 9, minor = 9, mode = 0;
    EXPECT_EQ(nfs_get_special("c:\\missing", &major, &minor, &mode), NFNON);
    EXPECT_EQ(major, 0u);
    EXPECT_EQ(minor, 0u);
}

TEST(AttrTree, DirectoryLinkCountsAndRoots) {
    nfs_tree t("c:\\");
    t.make("d/");
    t.make("d/s1/");
    t.make("d/s2/");
    t.make("d/f", "x");
    t.make("top/");
    nfs_attr a;
    ASSERT_EQ(attr_of(t, "c:\\d", &a), NFS_OK);
    EXPECT_EQ(a.nlink, 4u);  // ".", "..", s1, s2
    EXPECT_EQ(a.mode, 040755u);

    // The root: its subdirectories + 1, the time of asking, no umask on
    // anything but the permission bits.
    uint32_t before = uint32_t(time(nullptr));
    uint32_t root = t.inode_of(t.handle("c:"));
    ASSERT_EQ(attr_of(t, "c:", &a, root), NFS_OK);
    EXPECT_EQ(a.type, NFDIR);
    EXPECT_EQ(a.nlink, 3u);
    EXPECT_EQ(a.mode, 040755u);
    EXPECT_EQ(a.size, 4096u);
    EXPECT_EQ(a.ctime_sec, 0u);
    EXPECT_GE(a.mtime_sec, before);
    EXPECT_LE(a.mtime_sec, uint32_t(time(nullptr)));
    EXPECT_EQ(a.atime_sec, a.mtime_sec);
    EXPECT_EQ(a.fileid, root);
    EXPECT_EQ(a.fsid, t.env.entries()[0]->volume_serial);
    EXPECT_NE(a.fsid, 0u);
}

TEST(AttrTree, TimesAndSizesComeFromTheFile) {
    nfs_tree t;
    t.make("big");
    // Sparse: 5 GiB without the disk space.
    ASSERT_EQ(truncate(t.host("big").c_str(), 5LL << 30), 0);
    struct timespec times[2] = {{1000000000, 0}, {1200000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, t.host("big").c_str(), times, 0), 0);
    nfs_attr a;
    ASSERT_EQ(attr_of(t, "c:\\big", &a, 4096), NFS_OK);
    EXPECT_EQ(a.size, 5ull << 30);
    EXPECT_EQ(a.atime_sec, 1000000000u);
    EXPECT_EQ(a.mtime_sec, 1200000000u);
    EXPECT_EQ(a.atime_nsec | a.mtime_nsec | a.ctime_nsec, 0u);
    EXPECT_EQ(a.fileid, 4096u);
    EXPECT_NE(a.ctime_sec, 0u);
}

TEST(AttrTime, WindowsTimesToUnixSeconds) {
    const struct {
        uint64_t windows;
        uint32_t unix_seconds;
    } cases[] = {
        {116444736000000000ull, 0},
        {116444736000000000ull + 9999999, 0},  // truncated
        {116444736000000000ull + 10000000ull * 1200000000, 1200000000},
        {116444736000000000ull + 10000000ull * 0x100000005ull, 5},  // 32 bits kept
        {116444736000000000ull - 10000000, 0xFFFFFFFF},             // 1969 wraps
    };
    for (const auto &c : cases) EXPECT_EQ(nfs_unix_time(c.windows), c.unix_seconds) << c.windows;
}

TEST(AttrTree, RemovedFileAnswersNoentAndDropsItsRecords) {
    nfs_tree t;
    t.make("gone/");
    t.make("gone/f", "x");
    uint32_t dir = t.inode_of(t.handle("c:\\gone"));
    uint32_t file = t.inode_of(t.handle("c:\\gone\\f"));
    ASSERT_NE(file, 0u);
    ASSERT_EQ(unlink(t.host("gone/f").c_str()), 0);
    ASSERT_EQ(rmdir(t.host("gone").c_str()), 0);
    nfs_attr a;
    EXPECT_EQ(attr_of(t, "c:\\gone", &a, dir), NFSERR_NOENT);
    char path[INODE_PATH_MAX];
    EXPECT_EQ(inode_path(dir, path), nullptr);
    EXPECT_EQ(inode_path(file, path), nullptr);
    // Other errors than "not there" keep the record.
    t.make("kept", "x");
    uint32_t kept = t.inode_of(t.handle("c:\\kept"));
    win_fail_inject("FindFirstFile", ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(attr_of(t, "c:\\kept", &a, kept), NFSERR_ACCES);
    win_fail_clear();
    EXPECT_NE(inode_path(kept, path), nullptr);
}

// ---- Identity ----------------------------------------------------------------

TEST(AttrIdentity, ExportOptionsMapTheCaller) {
    const struct {
        const char *options;
        uint32_t uid, gid;          // sent
        uint32_t mapped_uid, mapped_gid;
        uint32_t shown_uid, shown_gid;  // as the attributes report them
    } cases[] = {
        {"", 0, 0, 65534, 65534, 0, 0},
        {"", 500, 100, 500, 100, 500, 100},
        {"", 65534, 65534, 65534, 65534, 0, 0},
        {"-maproot:0", 0, 5, 0, 65534, 0, 0},
        {"-maproot:0:0", 0, 5, 0, 0, 0, 0},
        {"-maproot:1000:100", 0, 5, 1000, 100, 1000, 100},
        {"-maproot:1000", 0, 5, 1000, 65534, 1000, 0},
        {"-maproot:1000:100", 7, 5, 7, 5, 7, 5},
        {"-mapall:1000", 500, 7, 1000, 7, 1000, 7},
        {"-mapall:1000:100", 0, 7, 1000, 100, 1000, 100},
        {"-mapall:1000:100 -maproot:0:0", 0, 7, 1000, 100, 1000, 100},
        {"-webnfs", 500, 7, 65534, 7, 0, 7},
    };
    for (const auto &c : cases) {
        nfs_tree t(std::string("c:\\ ") + c.options);
        t.make("f", "x");
        rpc_cred cred = test_cred(c.uid, c.gid);
        const export_entry *exp = t.env.entries()[0];
        ASSERT_TRUE(nfs_check_export(exp, "c:\\f", &cred));
        EXPECT_EQ(cred.uid, c.mapped_uid) << c.options << " uid " << c.uid;
        EXPECT_EQ(cred.gid, c.mapped_gid) << c.options << " uid " << c.uid;
        nfs_attr a;
        ASSERT_EQ(nfs_path_attr(0, exp, "c:\\f", &a, &cred), NFS_OK);
        EXPECT_EQ(a.uid, c.shown_uid) << c.options;
        EXPECT_EQ(a.gid, c.shown_gid) << c.options;
    }
}

TEST(AttrIdentity, VolumeCheckOnlyOffFixedDisks) {
    // Drive D: removable with serial 1234, then another medium (serial 99).
    for (uint32_t type : {DRIVE_REMOVABLE, DRIVE_CDROM, DRIVE_FIXED}) {
        nfs_tree t("d:\\ -maproot:0\n");
        std::string d = t.env.home.file("d");
        ASSERT_TRUE(drive_map("D", d.c_str(), type, 1234));
        t.env.load("d:\\\n");
        const export_entry *exp = t.env.entries()[0];
        ASSERT_EQ(exp->volume_serial, 1234u);
        std::ofstream(d + "/f") << "x";
        nfs_fh fh = t.handle("d:\\f");
        rpc_cred cred = test_cred(0, 0);
        EXPECT_TRUE(nfs_check_export(exp, "d:\\f", &cred));
        EXPECT_EQ(cred.uid, 65534u);  // mapped after the volume test passed
        ASSERT_TRUE(drive_map("D", d.c_str(), type, 99));
        cred = test_cred(0, 0);
        bool fixed = type == DRIVE_FIXED;
        EXPECT_EQ(nfs_check_export(exp, "d:\\f", &cred), fixed) << type;
        EXPECT_EQ(nfs_check_export(exp, "d:\\f", nullptr), fixed) << type;
        nfs_attr a;
        EXPECT_EQ(nfs_fh_attr(fh.data(), &a, &cred), fixed ? NFS_OK : NFSERR_NXIO) << type;
        // No medium at all.
        ASSERT_TRUE(drive_map("D", (d + "/none").c_str(), type, 0));
        EXPECT_EQ(nfs_check_export(exp, "d:\\f", nullptr), fixed) << type;
    }
}

// ---- Status tables -----------------------------------------------------------

TEST(AttrStatus, WindowsErrors) {
    const struct {
        uint32_t first, last, status;
    } rows[] = {
        {2, 3, 2},       {15, 15, 2},     {18, 18, 2},     {161, 161, 2},   {5, 5, 13},
        {16, 16, 13},    {19, 19, 30},    {20, 36, 13},    {55, 55, 19},    {82, 82, 13},
        {108, 108, 13},  {80, 80, 17},    {183, 183, 17},  {112, 112, 28},  {145, 145, 66},
        {206, 206, 63},  {1816, 1816, 69}, {267, 267, 20}, {0, 0, 5},       {1, 1, 5},
        {4, 4, 5},       {6, 14, 5},      {17, 17, 5},     {37, 54, 5},     {123, 123, 5},
        {0xFFFFFFFF, 0xFFFFFFFF, 5},
    };
    for (const auto &r : rows)
        for (uint64_t code = r.first; code <= r.last; code++)
            EXPECT_EQ(win_error_status(uint32_t(code)), r.status) << code;
}

TEST(AttrStatus, HostErrnoByName) {
    const struct {
        int err;
        uint32_t status;
    } rows[] = {
        {EPERM, 1},   {ENOENT, 2},  {EIO, 5},     {ENXIO, 6},         {EACCES, 13},
        {EEXIST, 17}, {EXDEV, 18},  {ENODEV, 19}, {ENOTDIR, 20},      {EISDIR, 21},
        {EINVAL, 22}, {EFBIG, 27},  {ENOSPC, 28}, {EROFS, 30},        {EMLINK, 31},
        {ENAMETOOLONG, 63},         {ENOTEMPTY, 66}, {EDQUOT, 69},    {ESTALE, 70},
        // No NFS meaning.
        {EBADF, 5},   {EMFILE, 5},  {EAGAIN, 5},  {ELOOP, 5},         {EDEADLK, 5},
        {0, 5},       {-1, 5},      {10069, 5},
    };
    for (const auto &r : rows) EXPECT_EQ(errno_status(r.err), r.status) << r.err;
}

}  // namespace
