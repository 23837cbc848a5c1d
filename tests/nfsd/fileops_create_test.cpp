// CREATE, MKNOD, MKDIR, LINK, SYMLINK and READLINK: new names on disk and in
// the inode table, names that exist already, and what failed writes and
// copies leave behind.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "mountd/export.h"
#include "names/nfs_status.h"
#include "server/config.h"
#include "support/drive_temp.h"
#include "support/fileops_tree.h"

namespace {

constexpr uint32_t R = FILE_ATTRIBUTE_READONLY, S = FILE_ATTRIBUTE_SYSTEM,
                   D = FILE_ATTRIBUTE_DIRECTORY;
using names = std::vector<std::string>;

ino_t host_ino(const fileops_tree &t, const std::string &rel) {
    struct stat st {};
    lstat(t.host(rel).c_str(), &st);
    return st.st_ino;
}

TEST(FileopsCreate, NewNamesGetTheirRecord) {
    fileops_tree t;
    t.make("d/");
    ASSERT_EQ(t.create("d", "New.txt", NFS_CREATE_GUARDED, fileops_mode(0444)), NFS_OK);
    EXPECT_EQ(t.record("d/new.txt"), nfs_tree::inode_of(t.made));
    EXPECT_EQ(t.attr.mode, 0100444u);
    EXPECT_EQ(t.attrs("d/New.txt"), R);
    ASSERT_EQ(t.mkdir("d", "Sub"), NFS_OK);
    EXPECT_EQ(t.record("d/sub"), nfs_tree::inode_of(t.made));
    EXPECT_EQ(t.attrs("d/Sub"), D);
    ASSERT_EQ(t.mknod("d/Sub", "null", NFCHR, 1, 3, fileops_mode(0600)), NFS_OK);
    EXPECT_EQ(t.record("d/sub/null"), nfs_tree::inode_of(t.made));
    EXPECT_EQ(t.content("d/Sub/null"), fileops_device(NFCHR, 1, 3, 0600));
    EXPECT_EQ(t.attrs("d/Sub/null"), S);
    ASSERT_EQ(t.mknod("d/Sub", "sda", NFBLK, 8, 0), NFS_OK);  // no mode: the word stays 0
    EXPECT_EQ(t.content("d/Sub/sda"), fileops_device(NFBLK, 8, 0, 0));
    // Size first, then a mode without write permission.
    nfs_sattr s = fileops_mode(0555);
    s.set_size = 1, s.size = 3;
    ASSERT_EQ(t.create("d", "sized", NFS_CREATE_GUARDED, s), NFS_OK);
    EXPECT_EQ(t.content("d/sized"), std::string(3, '\0'));
    EXPECT_EQ(t.attr.mode, 0100555u);
    EXPECT_EQ(t.listing("d"), (names{"New.txt", "Sub", "sized"}));
    EXPECT_TRUE(t.stale_records().empty());
}

TEST(FileopsCreate, ExistingNames) {
    fileops_tree t;
    t.make("f.txt", "old content");
    t.make("ro", "keep");
    ASSERT_TRUE(t.set_attrs("ro", R));
    t.make("l", "../old");
    ASSERT_TRUE(t.set_attrs("l", S));
    t.log();
    EXPECT_EQ(t.create("", "F.TXT", NFS_CREATE_GUARDED), NFSERR_EXIST);
    EXPECT_EQ(t.mknod("", "f.txt", NFCHR), NFSERR_EXIST);
    EXPECT_EQ(t.symlink("", "f.txt", "x"), NFSERR_EXIST);
    EXPECT_EQ(t.mkdir("", "F.txt"), NFSERR_EXIST);
    EXPECT_EQ(t.log(), "");  // an existing name is no failure worth a line
    EXPECT_EQ(t.content("f.txt"), "old content");
    ASSERT_EQ(t.create("", "F.TXT", NFS_CREATE_UNCHECKED), NFS_OK);
    EXPECT_EQ(t.content("f.txt"), "");  // truncated, and the name kept its case
    // A read-only file is not truncated, nor a read-only link replaced, but
    // by uid 0 for a link.
    EXPECT_EQ(t.create("", "ro", NFS_CREATE_UNCHECKED, {}, root_cred()), NFSERR_ACCES);
    EXPECT_EQ(t.content("ro"), "keep");
    ASSERT_TRUE(t.set_attrs("l", S | R));
    EXPECT_EQ(t.symlink("", "L", "../new"), NFSERR_ACCES);
    EXPECT_EQ(t.attrs("l"), S | R);
    ASSERT_EQ(t.symlink("", "L", "../new", root_cred()), NFS_OK);
    EXPECT_EQ(t.content("l"), "../new");
    EXPECT_EQ(t.attrs("l"), S);
    // A link or device file of that name is replaced by a device.
    ASSERT_EQ(t.mknod("", "l", NFBLK, 7, 2), NFS_OK);
    EXPECT_EQ(t.content("l"), fileops_device(NFBLK, 7, 2, 0));
    EXPECT_EQ(t.listing(), (names{"f.txt", "l", "ro"}));
}

TEST(FileopsCreate, FailedWritesLeaveTheNameAsItWas) {
    using call = std::function<uint32_t(fileops_tree &)>;
    const call mknod = [](fileops_tree &t) { return t.mknod("", "n", NFCHR); };
    const call symlink = [](fileops_tree &t) { return t.symlink("", "n", "../new"); };
    const struct {
        const char *what;
        call op;
        bool replacing;  // a link "n" is there before
        const char *fail;
        uint32_t error, status;
        const char *log = nullptr;  // not pinned when null
    } cases[] = {
        {"mknod", mknod, false, "_write", ENOSPC, NFSERR_NOSPC, "nfs_mknod: c:\\n error 28\n"},
        {"mknod over a link", mknod, true, "_write", ENOSPC, NFSERR_NOSPC, nullptr},
        // A device file or link that cannot be marked SYSTEM is none.
        {"mknod unmarked", mknod, false, "SetFileAttributes", ERROR_NOT_SUPPORTED, NFSERR_IO},
        {"symlink", symlink, false, "WriteFile", ERROR_DISK_FULL, NFSERR_IO,
         "nfs_symlink: c:\\n to ../new error 112\n"},
        {"symlink over a link", symlink, true, "WriteFile", ERROR_DISK_FULL, NFSERR_IO},
        {"symlink unmarked", symlink, false, "SetFileAttributes", ERROR_NOT_SUPPORTED, NFSERR_IO},
        {"mkdir", [](fileops_tree &t) { return t.mkdir("", "n"); }, false, "CreateDirectory",
         ERROR_DISK_FULL, NFSERR_NOSPC, "file_mkdir: c:\\n error 112\n"},
    };
    for (const auto &c : cases) {
        fileops_tree t;
        if (c.replacing) {
            t.make("n", "../old");
            ASSERT_TRUE(t.set_attrs("n", S));
        }
        t.log();
        win_fail_inject(c.fail, c.error, c.error == ERROR_NOT_SUPPORTED ? 0 : 1);
        EXPECT_EQ(c.op(t), c.status) << c.what;
        win_fail_clear();
        if (c.log) {
            EXPECT_EQ(t.log(), c.log) << c.what;
        }
        if (c.replacing) {
            EXPECT_EQ(t.content("n"), "../old") << c.what;
            EXPECT_EQ(t.attrs("n"), S) << c.what;
        } else {
            EXPECT_FALSE(t.exists("n")) << c.what;
            EXPECT_EQ(t.record("n"), 0u) << c.what;
        }
        EXPECT_TRUE(t.stale_records().empty()) << c.what;
    }
}

// Runs `body` in a child with a private mount namespace in which a tmpfs of
// `bytes` is mounted on `dir`; its exit code, or 77 when that is not
// possible here.
int with_small_volume(const std::string &dir, size_t bytes, const std::function<int()> &body) {
    pid_t pid = fork();
    if (pid < 0) return 77;
    if (pid == 0) {
        std::string size = "size=" + std::to_string(bytes);
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", dir.c_str(), "tmpfs", 0, size.c_str()) != 0)
            _exit(77);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

TEST(FileopsLink, NativeLinkOrCopy) {
    fileops_tree t;
    t.make("a.txt", "first");
    ASSERT_TRUE(t.set_attrs("a.txt", R));
    t.make("d/");
    ASSERT_EQ(t.link("a.txt", "d", "b.txt"), NFS_OK);
    EXPECT_EQ(host_ino(t, "a.txt"), host_ino(t, "d/b.txt"));
    EXPECT_EQ(t.record("d/b.txt"), 0u);  // the first lookup adds it
    EXPECT_EQ(t.link("a.txt", "d", "B.TXT"), NFSERR_EXIST);

    // A volume without links (FAT) gets a copy, attributes and all.
    export_entry *e = t.env.entries()[0];
    e->flags = (e->flags & ~EXP_NTFS) | EXP_FAT;
    ASSERT_EQ(t.link("a.txt", "", "copy.txt"), NFS_OK);
    EXPECT_NE(host_ino(t, "a.txt"), host_ino(t, "copy.txt"));
    EXPECT_EQ(t.content("copy.txt"), "first");
    EXPECT_EQ(t.attrs("copy.txt"), R);
    t.make("mine.txt", "mine");
    EXPECT_EQ(t.link("a.txt", "", "mine.txt"), NFSERR_EXIST);
    EXPECT_EQ(t.content("mine.txt"), "mine");
    config.hardlinks = 0;
    EXPECT_EQ(t.link("a.txt", "", "none.txt"), NFSERR_ACCES);
    EXPECT_FALSE(t.exists("none.txt"));
    // Without the host call, NTFS or not, LINK copies too.
    config.hardlinks = 1;
    e->flags |= EXP_NTFS;
    hardlink_reset();
    ASSERT_EQ(t.link("a.txt", "", "copy2.txt"), NFS_OK);
    EXPECT_NE(host_ino(t, "a.txt"), host_ino(t, "copy2.txt"));
    hardlink_lookup();
}

TEST(FileopsLink, CopyFailingHalfwayLeavesNoFile) {
    fileops_tree t;
    t.make("small/");
    t.env.entries()[0]->flags &= ~EXP_NTFS;
    int rc = with_small_volume(t.host("small"), 64 * 1024, [&]() {
        write_file(t.host("small/big"), std::string(40 * 1024, 'x'));
        if (t.content("small/big").size() != 40 * 1024) return 3;
        if (t.link("small/big", "small", "copy") != NFSERR_EXIST) return 1;
        if (t.exists("small/copy") || t.record("small/copy") != 0) return 2;
        return 0;
    });
    if (rc == 77) GTEST_SKIP() << "cannot mount a small tmpfs here";
    EXPECT_EQ(rc, 0);
}

TEST(FileopsSymlink, EveryByteButNulRoundTrips) {
    fileops_tree t;
    std::string odd = "a b\\c:*?\"<>|\x7f\xc3\xa4/" + std::string(1000, 'z'), text;
    ASSERT_EQ(t.symlink("", "odd", odd), NFS_OK);
    EXPECT_EQ(t.attrs("odd"), S);
    EXPECT_NE(t.record("odd"), 0u);
    ASSERT_EQ(t.readlink("odd", &text), NFS_OK);
    EXPECT_EQ(text, odd);
    EXPECT_EQ(t.readlink("odd", &text, uint32_t(odd.size())), NFSERR_NAMETOOLONG);
    ASSERT_EQ(t.readlink("odd", &text, uint32_t(odd.size() + 1)), NFS_OK);
    EXPECT_EQ(text, odd);

    config.softlinks = 0;
    EXPECT_EQ(t.symlink("", "m", "x"), NFSERR_ACCES);
    EXPECT_EQ(t.readlink("odd", &text), NFSERR_ACCES);
    EXPECT_FALSE(t.exists("m"));
}

TEST(FileopsReadlink, FilesThatAreNotLinksLoseTheirRecord) {
    fileops_tree t;
    t.make("dev", fileops_device(NFCHR, 1, 3, 0600));
    t.make("plain", "text");
    t.make("empty", "");
    ASSERT_TRUE(t.set_attrs("dev", S) && t.set_attrs("empty", S));
    for (const char *rel : {"dev", "plain", "empty"}) {
        ASSERT_NE(t.number(rel), 0u);
        t.log();
        std::string text;
        EXPECT_EQ(t.readlink(rel, &text), NFSERR_IO) << rel;
        EXPECT_EQ(t.log().rfind(std::string("nfs_readlink: c:\\") + rel + " error ", 0), 0u);
        EXPECT_EQ(t.record(rel), 0u) << rel;
        EXPECT_TRUE(t.exists(rel));
    }
}

}  // namespace
