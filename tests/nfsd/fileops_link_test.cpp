// LINK, SYMLINK and READLINK: native links and copies, containment between
// exports and drives, link texts round trip, and what failed writes and
// copies leave behind.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "inode/inode.h"
#include "mountd/export.h"
#include "names/nfs_status.h"
#include "nfsd/fileops.h"
#include "server/config.h"
#include "support/drive_temp.h"
#include "support/fileops_tree.h"

namespace {

constexpr uint32_t S = FILE_ATTRIBUTE_SYSTEM, R = FILE_ATTRIBUTE_READONLY;

uint32_t link(fileops_tree &t, const std::string &file, const std::string &dir, const char *name,
              int file_export = 0, int dir_export = 0) {
    nfs_fh f = t.fh(file, file_export);
    nfs_fh d = t.fh(dir, dir_export);
    return nfs_link(f.data(), d.data(), name);
}

uint32_t symlink(fileops_tree &t, const std::string &dir, const char *name, const std::string &text,
                 rpc_cred c = user_cred()) {
    nfs_fh d = t.fh(dir);
    nfs_sattr s{};
    s.set_mode = 1, s.mode = 0644;  // not used: links are 0777
    return nfs_symlink(d.data(), name, &s, text.data(), uint32_t(text.size()), &c);
}

uint32_t readlink(fileops_tree &t, const std::string &rel, std::string *text, uint32_t size = 4096) {
    char buf[4096];
    nfs_fh fh = t.fh(rel);
    uint32_t status = nfs_readlink(fh.data(), buf, size);
    *text = status == NFS_OK ? buf : "";
    return status;
}

struct stat host_stat(fileops_tree &t, const std::string &rel) {
    struct stat st {};
    lstat(t.host(rel).c_str(), &st);
    return st;
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

TEST(FileopsLink, NativeLinkSharesTheFile) {
    fileops_tree t;
    t.make("a.txt", "shared");
    t.make("d/");
    ASSERT_TRUE(export_load(t.env.entries()[0]->flags) & EXP_NTFS);
    ASSERT_EQ(link(t, "a.txt", "d", "b.txt"), NFS_OK);
    EXPECT_EQ(host_stat(t, "a.txt").st_ino, host_stat(t, "d/b.txt").st_ino);
    EXPECT_EQ(host_stat(t, "a.txt").st_nlink, 2u);
    EXPECT_EQ(t.record("d/b.txt"), 0u);  // the first lookup adds it
    EXPECT_EQ(link(t, "a.txt", "d", "B.TXT"), NFSERR_EXIST);
    win_fail_inject("CreateHardLink", ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(link(t, "a.txt", "d", "c.txt"), NFSERR_EXIST);
    EXPECT_FALSE(t.exists("d/c.txt"));
}

TEST(FileopsLink, CopyWhereTheVolumeHasNoLinks) {
    fileops_tree t;
    t.make("a.txt", "first");
    ASSERT_TRUE(t.set_attrs("a.txt", R));
    // The export's volume is not NTFS (a FAT drive).
    export_entry *e = t.env.entries()[0];
    e->flags = (e->flags & ~EXP_NTFS) | EXP_FAT;
    ASSERT_EQ(link(t, "a.txt", "", "copy.txt"), NFS_OK);
    EXPECT_NE(host_stat(t, "a.txt").st_ino, host_stat(t, "copy.txt").st_ino);
    EXPECT_EQ(t.content("copy.txt"), "first");
    EXPECT_EQ(t.attrs("copy.txt"), R);
    ASSERT_TRUE(t.set_attrs("copy.txt", FILE_ATTRIBUTE_NORMAL));
    write_file(t.host("copy.txt"), "changed later");
    EXPECT_EQ(t.content("a.txt"), "first");
    EXPECT_EQ(link(t, "a.txt", "", "copy.txt"), NFSERR_EXIST);
    EXPECT_EQ(t.content("copy.txt"), "changed later");

    config.hardlinks = 0;
    EXPECT_EQ(link(t, "a.txt", "", "none.txt"), NFSERR_ACCES);
    EXPECT_FALSE(t.exists("none.txt"));

    // Without the host call, NTFS or not, LINK copies too.
    config.hardlinks = 1;
    e->flags |= EXP_NTFS;
    hardlink_reset();
    ASSERT_EQ(link(t, "a.txt", "", "copy2.txt"), NFS_OK);
    EXPECT_NE(host_stat(t, "a.txt").st_ino, host_stat(t, "copy2.txt").st_ino);
    hardlink_lookup();
}

TEST(FileopsLink, ContainmentAndRefusals) {
    fileops_tree t("c:\\one -maproot:0\nc:\\two -maproot:0\nd:\\ -maproot:0\nc:\\ro -ro\n",
                   {"one", "one/sub", "two", "ro"});
    t.make("one/f", "x");
    t.make("ro/f", "x");
    EXPECT_EQ(link(t, "one/f", "two", "f", 0, 1), NFSERR_XDEV);
    nfs_fh f = t.fh("one/f");
    nfs_fh d_root = t.handle("d:", 2);
    EXPECT_EQ(nfs_link(f.data(), d_root.data(), "f"), NFSERR_IO);  // another drive
    EXPECT_EQ(link(t, "one/sub", "one", "dirlink"), NFSERR_ISDIR);
    EXPECT_EQ(link(t, "one/f", "one", ".."), NFSERR_PERM);
    EXPECT_EQ(link(t, "one/f", "one", "."), NFSERR_EXIST);
    EXPECT_EQ(link(t, "one/f", "one", "..\\two\\f"), NFSERR_NOENT);
    EXPECT_EQ(link(t, "one/f", "one", "sub/f"), NFSERR_NOENT);
    EXPECT_EQ(link(t, "one/f", "ro", "f2", 0, 3), NFSERR_ROFS);
    // A file in the read-only export is not linked into a writable one.
    EXPECT_EQ(link(t, "ro/f", "one", "f2", 3, 0), NFSERR_XDEV);
    nfs_fh stale = t.fh("one/f");
    stale[12] ^= 1;
    nfs_fh one = t.fh("one");
    EXPECT_EQ(nfs_link(stale.data(), one.data(), "g"), NFSERR_STALE);
    ASSERT_EQ(::remove(t.host("one/f").c_str()), 0);
    EXPECT_EQ(nfs_link(f.data(), one.data(), "g"), NFSERR_NOENT);
    EXPECT_EQ(t.listing("one"), std::vector<std::string>{"sub"});
    EXPECT_EQ(t.listing("two"), std::vector<std::string>{});
    EXPECT_EQ(t.listing("ro"), std::vector<std::string>{"f"});
}

TEST(FileopsLink, CopyFailingHalfwayLeavesNoFile) {
    fileops_tree t;
    t.make("small/");
    export_entry *e = t.env.entries()[0];
    e->flags &= ~EXP_NTFS;
    int rc = with_small_volume(t.host("small"), 64 * 1024, [&]() {
        write_file(t.host("small/big"), std::string(40 * 1024, 'x'));
        if (t.content("small/big").size() != 40 * 1024) return 3;
        if (link(t, "small/big", "small", "copy") != NFSERR_EXIST) return 1;
        if (t.exists("small/copy") || t.record("small/copy") != 0) return 2;
        return 0;
    });
    if (rc == 77) GTEST_SKIP() << "cannot mount a small tmpfs here";
    EXPECT_EQ(rc, 0);
}

TEST(FileopsSymlink, TextRoundTrip) {
    fileops_tree t;
    t.make("d/");
    ASSERT_EQ(symlink(t, "d", "up", "../x"), NFS_OK);
    EXPECT_EQ(t.content("d/up"), "../x");
    EXPECT_EQ(t.attrs("d/up"), S);
    EXPECT_NE(t.record("d/up"), 0u);
    std::string text;
    ASSERT_EQ(readlink(t, "d/up", &text), NFS_OK);
    EXPECT_EQ(text, "../x");
    nfs_attr a{};
    rpc_cred c = user_cred();
    ASSERT_EQ(nfs_path_attr(0, t.env.entries()[0], "c:\\d\\up", &a, &c), NFS_OK);
    EXPECT_EQ(a.type, NFLNK);
    EXPECT_EQ(a.mode, NFS_LINK_MODE);
    EXPECT_EQ(a.size, 4u);

    // Every byte but NUL comes back as sent, up to the buffer.
    std::string odd = "a b\\c:*?\"<>|\x7f\xc3\xa4/" + std::string(1000, 'z');
    ASSERT_EQ(symlink(t, "d", "odd", odd), NFS_OK);
    ASSERT_EQ(readlink(t, "d/odd", &text), NFS_OK);
    EXPECT_EQ(text, odd);
    EXPECT_EQ(readlink(t, "d/odd", &text, uint32_t(odd.size())), NFSERR_NAMETOOLONG);
    ASSERT_EQ(readlink(t, "d/odd", &text, uint32_t(odd.size() + 1)), NFS_OK);
    EXPECT_EQ(text, odd);
}

TEST(FileopsSymlink, RefusalsAndReplacement) {
    fileops_tree t;
    t.make("file", "data");
    t.make("dir/");
    EXPECT_EQ(symlink(t, "", "file", "x"), NFSERR_EXIST);
    EXPECT_EQ(t.content("file"), "data");
    EXPECT_EQ(symlink(t, "", "dir", "x"), NFSERR_EXIST);
    EXPECT_EQ(symlink(t, "", "empty", ""), NFSERR_NOENT);
    EXPECT_EQ(symlink(t, "", "withnul", std::string("a\0b", 3)), NFSERR_INVAL);
    EXPECT_EQ(symlink(t, "", "..", "x"), NFSERR_PERM);
    EXPECT_EQ(symlink(t, "", "a/b", "x"), NFSERR_NOENT);
    EXPECT_EQ(t.listing(), (std::vector<std::string>{"dir", "file"}));

    ASSERT_EQ(symlink(t, "", "l", "old"), NFS_OK);
    ASSERT_EQ(symlink(t, "", "L", "newer"), NFS_OK);
    EXPECT_EQ(t.content("l"), "newer");
    EXPECT_EQ(t.attrs("l"), S);

    config.softlinks = 0;
    std::string text;
    EXPECT_EQ(symlink(t, "", "m", "x"), NFSERR_ACCES);
    EXPECT_EQ(readlink(t, "l", &text), NFSERR_ACCES);
    EXPECT_FALSE(t.exists("m"));
}

TEST(FileopsSymlink, FailedWritesLeaveNoHalfLink) {
    fileops_tree t;
    t.log();
    win_fail_inject("WriteFile", ERROR_DISK_FULL, 1);
    EXPECT_EQ(symlink(t, "", "l", "../target"), NFSERR_IO);
    EXPECT_EQ(t.log(), "nfs_symlink: c:\\l to ../target error 112\n");
    EXPECT_FALSE(t.exists("l"));
    EXPECT_EQ(t.record("l"), 0u);

    // A link being replaced keeps its old text.
    ASSERT_EQ(symlink(t, "", "l", "../old"), NFS_OK);
    win_fail_inject("WriteFile", ERROR_DISK_FULL, 1);
    EXPECT_EQ(symlink(t, "", "l", "../new/and/longer"), NFSERR_IO);
    std::string text;
    ASSERT_EQ(readlink(t, "l", &text), NFS_OK);
    EXPECT_EQ(text, "../old");

    win_fail_inject("CreateFile", ERROR_ACCESS_DENIED, 1);
    t.log();
    EXPECT_EQ(symlink(t, "", "k", "../new"), NFSERR_ACCES);
    EXPECT_EQ(t.log(), "nfs_symlink: c:\\k to ../new error 5\n");
    EXPECT_FALSE(t.exists("k"));
    // A read-only link is replaced by uid 0 only, and stays as it was.
    ASSERT_TRUE(t.set_attrs("l", S | R));
    EXPECT_EQ(symlink(t, "", "l", "../new"), NFSERR_ACCES);
    EXPECT_EQ(t.attrs("l"), S | R);
    EXPECT_EQ(t.content("l"), "../old");
    ASSERT_EQ(symlink(t, "", "l", "../new", root_cred()), NFS_OK);
    EXPECT_EQ(t.content("l"), "../new");
    EXPECT_EQ(t.attrs("l"), S);

    // A volume that cannot mark the file SYSTEM gets no plain file instead.
    win_fail_inject("SetFileAttributes", ERROR_NOT_SUPPORTED, 0);
    EXPECT_EQ(symlink(t, "", "m", "../m"), NFSERR_IO);
    win_fail_clear();
    EXPECT_FALSE(t.exists("m"));
    EXPECT_TRUE(t.stale_records().empty());
}

TEST(FileopsReadlink, FilesThatAreNotLinks) {
    fileops_tree t;
    uint8_t h[NFS_SPECIAL_SIZE];
    nfs_special_header(h, NFCHR, 1, 3, 0600);
    t.make("dev", std::string(reinterpret_cast<char *>(h), sizeof h));
    ASSERT_TRUE(t.set_attrs("dev", S));
    t.make("plain", "text");
    t.make("empty", "");
    ASSERT_TRUE(t.set_attrs("empty", S));
    for (const char *rel : {"dev", "plain", "empty"}) {
        nfs_fh fh = t.fh(rel);
        ASSERT_NE(t.record(rel), 0u);
        t.log();
        std::string text;
        EXPECT_EQ(readlink(t, rel, &text), NFSERR_IO) << rel;
        EXPECT_EQ(t.log().rfind(std::string("nfs_readlink: c:\\") + rel + " error ", 0), 0u);
        EXPECT_EQ(t.record(rel), 0u) << rel;  // dropped
        EXPECT_TRUE(t.exists(rel));
        (void)fh;
    }
    nfs_fh gone = t.fh("plain");
    ASSERT_EQ(::remove(t.host("plain").c_str()), 0);
    char buf[16];
    EXPECT_EQ(nfs_readlink(gone.data(), buf, sizeof buf), NFSERR_NOENT);
    gone[12] ^= 1;
    EXPECT_EQ(nfs_readlink(gone.data(), buf, sizeof buf), NFSERR_STALE);
}

}  // namespace
