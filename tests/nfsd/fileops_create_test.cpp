// CREATE, MKNOD, MKDIR, LINK, SYMLINK, READLINK and SETATTR on disk and in
// the inode table: refusals that leave every export alone, the mode table,
// and what failed calls leave behind.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <tuple>

#include "names/nfs_status.h"
#include "support/fileops_tree.h"
#include "support/inode_full.h"

namespace {

constexpr uint32_t R = FILE_ATTRIBUTE_READONLY, H = FILE_ATTRIBUTE_HIDDEN,
                   S = FILE_ATTRIBUTE_SYSTEM, D = FILE_ATTRIBUTE_DIRECTORY,
                   N = FILE_ATTRIBUTE_NORMAL;

enum op { CREATE, MKDIR, MKNOD, SYMLINK, LINK, RENAME_TO, RENAME_FROM, REMOVE, RMDIR };

// One operation on the name `n` in the directory "one", which holds "f" and
// "sub".
uint32_t call(fileops_tree &t, op o, const std::string &n) {
    if (o == CREATE) return t.create("one", n);
    if (o == MKDIR) return t.mkdir("one", n);
    if (o == MKNOD) return t.mknod("one", n);
    if (o == SYMLINK) return t.symlink("one", n, "x");
    if (o == LINK) return t.link("one/f", "one", n);
    if (o == RENAME_TO) return t.rename("one", "f", "one", n);
    if (o == RENAME_FROM) return t.rename("one", n, "one", "x");
    if (o == REMOVE) return t.unlink("one", n);
    return t.rmdir("one", n);  // RMDIR
}

// A failed write leaves the name as it was. When the inode table's disk is
// full, a name made on disk that cannot get its record is taken back and
// answered 28 (NOSPC), so the client is never told of a failure while the
// name exists; an existing file keeps its record.
TEST(FileopsCreate, FailuresLeaveTheNameAsItWas) {
    const struct {
        op o;
        bool existing;     // "n" is there before: a link file, or for CREATE a plain one
        const char *fail;  // the host call failing once with `error`; null: the table is full
        uint32_t error, status;
        const char *log = nullptr;  // not pinned when null
    } cases[] = {
        {MKNOD, false, "_write", ENOSPC, NFSERR_NOSPC, "nfs_mknod: c:\\one\\n error 28\n"},
        {MKNOD, true, "_write", ENOSPC, NFSERR_NOSPC},
        // A volume that cannot mark a file SYSTEM (every call fails) makes no device or link.
        {MKNOD, false, "SetFileAttributes", ERROR_NOT_SUPPORTED, NFSERR_IO},
        {SYMLINK, false, "WriteFile", ERROR_DISK_FULL, NFSERR_NOSPC,
         "nfs_symlink: c:\\one\\n to x error 112\n"},
        {SYMLINK, true, "WriteFile", ERROR_DISK_FULL, NFSERR_NOSPC},
        {SYMLINK, false, "SetFileAttributes", ERROR_NOT_SUPPORTED, NFSERR_IO},
        {MKDIR, false, "CreateDirectory", ERROR_DISK_FULL, NFSERR_NOSPC,
         "file_mkdir: c:\\one\\n error 112\n"},
        {CREATE, false, nullptr, 0, NFSERR_NOSPC},
        {MKDIR, false, nullptr, 0, NFSERR_NOSPC},
        {MKNOD, false, nullptr, 0, NFSERR_NOSPC},
        {SYMLINK, false, nullptr, 0, NFSERR_NOSPC},
        {CREATE, true, nullptr, 0, NFS_OK},
    };
    for (const auto &c : cases) {
        fileops_tree t("c:\\ -maproot:0\n", {"one"});
        if (c.existing) {
            t.make("one/n", "../old");
            ASSERT_TRUE(c.o == CREATE || t.set_attrs("one/n", S));
            t.number("one/n");
        }
        t.number("one");
        std::string before = t.snapshot();
        SCOPED_TRACE(std::to_string(c.o) + (c.fail ? c.fail : " full table"));
        std::optional<inode_full> full;
        if (c.fail)
            win_fail_inject(c.fail, c.error, c.error == ERROR_NOT_SUPPORTED ? 0 : 1);
        else
            full.emplace();
        uint32_t status = call(t, c.o, "n");
        full.reset();
        win_fail_clear();
        EXPECT_EQ(status, c.status);
        EXPECT_TRUE(!c.log || t.log() == c.log);
        EXPECT_TRUE(status == NFS_OK || t.snapshot() == before);
        EXPECT_TRUE(t.stale_records().empty());
    }
}

// A read-only link is replaced by uid 0 only. A volume without links (FAT)
// gets a copy, attributes and all; links switched off refuse and change nothing.
TEST(FileopsLink, ReadOnlyLinksCopiesAndLinksSwitchedOff) {
    fileops_tree t;
    t.make("a.txt", "first");
    t.make("l", "../old");
    t.make("mine.txt", "mine");
    ASSERT_TRUE(t.set_attrs("a.txt", R));
    ASSERT_TRUE(t.set_attrs("l", S | R));
    EXPECT_EQ(t.symlink("", "L", "../new"), NFSERR_ACCES);
    EXPECT_EQ(t.content("l"), "../old");
    ASSERT_EQ(t.symlink("", "L", "../new", test_cred(0, 0)), NFS_OK);
    EXPECT_EQ(t.content("l"), "../new");
    export_entry *e = t.env.entries()[0];
    e->flags = (e->flags & ~EXP_NTFS) | EXP_FAT;
    ASSERT_EQ(t.link("a.txt", "", "copy.txt"), NFS_OK);
    EXPECT_EQ(std::filesystem::hard_link_count(t.host("copy.txt")), 1u);
    EXPECT_EQ(t.link("a.txt", "", "MINE.TXT"), NFSERR_EXIST);
    config.hardlinks = 0;
    config.softlinks = 0;
    std::string before = t.snapshot();
    EXPECT_EQ(t.link("a.txt", "", "none.txt"), NFSERR_ACCES);
    EXPECT_EQ(t.symlink("", "m", "x"), NFSERR_ACCES);
    char text[16];
    EXPECT_EQ(nfs_readlink(test_object(t.fh("l"), nullptr), text, sizeof text), NFSERR_ACCES);
    EXPECT_EQ(t.snapshot(), before);
    EXPECT_EQ(before, "a.txt 1 first\ncopy.txt 1 first\nl 4 ../new\nmine.txt 128 mine\n");
}

TEST(FileopsLink, CopyFailingHalfwayLeavesNoFile) {
    fileops_tree t;
    t.make("small/");
    t.env.entries()[0]->flags &= ~EXP_NTFS;
    int rc = with_mounted(t.host("small"), "tmpfs", [&]() {
        if (mount(nullptr, t.host("small").c_str(), nullptr, MS_REMOUNT, "size=64k") != 0)
            return 77;
        write_file(t.host("small/big"), std::string(40 * 1024, 'x'));
        if (t.link("small/big", "small", "copy") != NFSERR_EXIST) return 1;
        if (t.exists("small/copy") || t.record("small/copy") != 0) return 2;
        return 0;
    });
    if (rc == 77) GTEST_SKIP() << "cannot mount a small tmpfs here";
    EXPECT_EQ(rc, 0);
}

TEST(FileopsRefusals, LeaveEveryExportAsItWas) {
    fileops_tree t("c:\\one -maproot:0\nc:\\two -maproot:0\nd:\\ -maproot:0\nc:\\ro -ro\n",
                   {"one", "one/sub", "two", "ro"});
    t.make("one/f", "x");
    t.make("one/sub/g", "y");
    t.make("two/f", "other export");
    t.make("ro/f", "x");
    const std::string before = t.snapshot();
    const std::tuple<op, std::string, uint32_t> named[] = {
        {SYMLINK, "..", NFSERR_PERM},       {SYMLINK, "..\\up", NFSERR_NOENT},
        {LINK, "..", NFSERR_PERM},          {LINK, ".", NFSERR_EXIST},
        {LINK, "..\\two\\f", NFSERR_NOENT}, {RENAME_TO, "..", NFSERR_PERM},
        {RENAME_TO, ".", NFSERR_INVAL},     {RENAME_TO, "..\\two\\f", NFSERR_NOENT},
        {RENAME_FROM, "..", NFSERR_PERM},   {REMOVE, "sub", NFSERR_ACCES},
        {REMOVE, "missing", NFSERR_NOENT},  {REMOVE, ".", NFSERR_INVAL},
        {REMOVE, "..", NFSERR_PERM},        {REMOVE, "sub\\..\\f", NFSERR_NOENT},
        {REMOVE, "../two/f", NFSERR_NOENT}, {RMDIR, "..", NFSERR_EXIST},
        {RMDIR, ".", NFSERR_INVAL},
    };
    // Names that must not reach the disk as a new file, directory or device.
    const std::pair<const char *, uint32_t> made_names[] = {
        {".", NFSERR_EXIST},       {"..", NFSERR_PERM},      {"a\\b", NFSERR_NOENT},
        {"a/b", NFSERR_NOENT},     {"..\\up", NFSERR_NOENT}, {"", NFSERR_NOENT},
        {"con.txt", NFSERR_ACCES}, {"a:b", NFSERR_NOENT},    {"bad\x01", NFSERR_NOENT},
    };
    auto check = [&](op o, const std::string &name, uint32_t status) {
        EXPECT_EQ(call(t, o, name), status) << o << " " << name;
        EXPECT_EQ(t.snapshot(), before) << o << " " << name;
    };
    for (const auto &[o, name, status] : named) check(o, name, status);
    for (op o : {CREATE, MKDIR, MKNOD})
        for (const auto &[name, status] : made_names) check(o, name, status);
    // One line per kind; not empty and not found are not logged.
    t.log();
    check(RENAME_FROM, "missing", NFSERR_NOENT);
    EXPECT_EQ(t.log(), "file_rename c:\\one\\missing c:\\one\\x failed error 2\n");
    check(RMDIR, "sub", NFSERR_NOTEMPTY);
    check(RMDIR, "missing", NFSERR_NOENT);
    check(RMDIR, "f", NFSERR_NOTDIR);
    EXPECT_EQ(t.log(), "file_rmdir c:\\one\\f error 267\n");

    // Across exports and drives, and arguments that are not names.
    rpc_cred c = test_cred(500, 100);
    EXPECT_EQ(t.link("one/f", "two", "g", 0, 1), NFSERR_XDEV);
    EXPECT_EQ(t.link("ro/f", "one", "g", 3, 0), NFSERR_XDEV);
    EXPECT_EQ(t.rename("one", "f", "two", "f", c, 0, 1), NFSERR_XDEV);
    EXPECT_EQ(t.rename("one", "f", "two", "g", c, 0, 1), NFSERR_XDEV);
    nfs_fh one = t.fh("one"), f = t.fh("one/f"), d = t.handle("d:", 2);
    EXPECT_EQ(nfs_link(test_object(f, &c), test_object(d, &c), "f"), NFSERR_IO);
    EXPECT_EQ(file_rename(test_object(one, &c), test_object(d, &c), "f", "f"), NFSERR_IO);
    EXPECT_EQ(t.link("one/sub", "one", "l"), NFSERR_ISDIR);
    EXPECT_EQ(t.rename("one/sub", ".", "one", "moved"), NFSERR_INVAL);
    EXPECT_EQ(t.symlink("one", "l", ""), NFSERR_NOENT);
    EXPECT_EQ(t.symlink("one", "l", std::string("a\0b", 3)), NFSERR_INVAL);
    EXPECT_EQ(t.snapshot(), before);
}

TEST(FileopsSetattr, ModeToAttributesAndBack) {
    // The export's -umask 022 applies to the mode read back; of 0600 only the
    // owner's bits are kept.
    const struct {
        bool directory;
        uint32_t start;     // attributes before
        uint32_t mode;      // set
        uint32_t stored;    // attributes after (without DIRECTORY)
        uint32_t reported;  // mode read back, permission bits
    } cases[] = {
        {false, 0, 0755, H, 0755}, {false, H | R, 0644, N, 0644},
        {false, 0, 0444, R, 0444}, {false, 0, 04755, H | S, 04755},
        {false, 0, 0600, N, 0644}, {false, 0, 0500, H | R, 0555},
        {true, 0, 0666, H, 0644},  {true, 0, 01777, S, 01755},
        {true, H, 0755, 0, 0755},  {true, 0, 0555, R, 0555},
        {false, 0, 04555, H | S | R, 04555}, {true, 0, 01666, H | S, 01644},
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
        SCOPED_TRACE(c.log);
        fileops_tree t;
        t.make("f", c.content);
        ASSERT_TRUE(t.set_attrs("f", c.attributes));
        std::string before = t.snapshot();
        if (c.fail) win_fail_inject(c.fail, c.error, 1);
        EXPECT_EQ(t.setattr("f", c.s), c.status);
        EXPECT_EQ(t.log(), c.log);
        EXPECT_EQ(t.snapshot(), before);
    }
}

}  // namespace
