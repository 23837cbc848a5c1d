// File operations on disk and in the inode table: CREATE, MKNOD, MKDIR, LINK,
// SYMLINK, READLINK and SETATTR (refusals that leave every export alone, the
// mode table, what failed calls leave behind); RENAME, REMOVE and RMDIR
// (destinations, sharing-violation retries, READONLY names, threads); and
// attributes as clients see them (modes under a umask, identity mapping, the
// volume check). Device files, links, sizes, times and the encoders' bytes
// are pinned by the procedure tables of nfs_proc_test.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <thread>
#include <tuple>

#include "inode/inode.h"
#include "names/nfs_status.h"
#include "nfsd/attr.h"
#include "nfsd/cache.h"
#include "platform/drive.h"
#include "platform/winerr.h"
#include "platform/winfile.h"
#include "support/fileops_tree.h"
#include "support/inode_full.h"
#include "support/nfs_tree.h"

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
    rpc_cred c = test_cred();
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

// A READONLY destination goes for uid 0 only; a change of case keeps the
// record; a file renamed onto a directory moves into it, replacing a file
// there but not a directory. Records move with the names (onto an existing
// file too: HeldFilesAndFailures). Then directories, and RMDIR.
TEST(FileopsRename, DestinationsDirectoriesAndRmdir) {
    fileops_tree t;
    t.make("src", "newer");
    t.make("g.txt", "old");
    for (const char *d : {"box/", "box/sub/", "box/f.txt"}) t.make(d);
    ASSERT_TRUE(t.set_attrs("g.txt", R));
    std::string before = t.snapshot();
    EXPECT_EQ(t.rename("", "src", "", "g.txt"), NFSERR_ACCES);
    EXPECT_EQ(t.log(), "file_rename c:\\src c:\\g.txt remove error 5\n");
    EXPECT_EQ(t.snapshot(), before);
    ASSERT_EQ(t.rename("", "src", "", "g.txt", test_cred(0, 0)), NFS_OK);
    uint32_t n = t.number("g.txt");
    ASSERT_EQ(t.rename("", "g.TXT", "", "F.TXT"), NFS_OK);
    EXPECT_EQ(t.record("F.TXT"), n);
    ASSERT_EQ(t.rename("", "F.TXT", "", "BOX"), NFS_OK);
    EXPECT_EQ(t.record("box/F.TXT"), n);
    t.make("sub", "file");
    EXPECT_EQ(t.rename("", "sub", "", "box"), NFSERR_ISDIR);
    ASSERT_EQ(t.rename("box", "f.txt", "", "box"), NFS_OK);  // stays where it is
    EXPECT_EQ(t.snapshot(), "box 16\nbox/F.TXT 128 newer\nbox/sub 16\nsub 128 file\n");

    for (const char *dir : {"a/", "a/inner/", "empty/", "full/", "b/"}) t.make(dir);
    t.make("a/inner/f", "x");
    t.make("full/g", "y");
    t.number("a/inner/f");  // the moved directory's contents are known
    uint32_t empty = t.number("empty"), b = t.number("b");
    EXPECT_EQ(t.rename("", "a", "", "full"), NFSERR_EXIST);
    EXPECT_EQ(t.log(), "file_rename c:\\full error 145\n");
    ASSERT_EQ(t.rename("", "a", "", "empty"), NFS_OK);
    EXPECT_EQ(t.content("empty/inner/f"), "x");
    // A directory whose contents were seen gets a new number; the replaced
    // directory's record goes.
    EXPECT_NE(t.record("empty"), empty);
    EXPECT_EQ(inode_record(empty), nullptr);

    // Never into its own subtree; a destination directory emptied for a
    // move that fails comes back.
    t.make("empty/inner/deeper/");
    ASSERT_TRUE(t.set_attrs("b", H));
    before = t.snapshot();
    EXPECT_EQ(t.rename("", "empty", "empty/inner", "x"), NFSERR_INVAL);
    EXPECT_EQ(t.rename("", "EMPTY", "empty/inner", "deeper"), NFSERR_INVAL);
    win_fail_inject("MoveFile", ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(t.rename("", "full", "", "b"), NFSERR_ACCES);
    EXPECT_EQ(t.snapshot(), before);
    EXPECT_EQ(t.record("b"), b);

    // RMDIR drops the records below, of names gone behind the server's back
    // too; no record is left of any name moved or removed here.
    t.number("full/g");
    ASSERT_EQ(::remove(t.host("full/g").c_str()), 0);
    ASSERT_EQ(t.rmdir("", "FULL"), NFS_OK);
    EXPECT_EQ(t.record("full/g"), 0u);
    EXPECT_TRUE(t.stale_records().empty());
}

// A READONLY source renamed by uid 0 onto a HIDDEN destination, with host
// calls failing as the rules say: a held file (sharing violation) is retried,
// then copied; without hard links (FAT) the destination is moved aside
// instead. A READONLY name is removed by uid 0 only (a link file by anyone),
// and RMDIR answers 13 as 17 to others. Success moves or drops the source's
// record; failure leaves names, attributes, contents and records as they
// were, with nothing parked left behind.
TEST(FileopsRename, HeldFilesAndFailures) {
    using rule = std::tuple<const char *, uint32_t, uint32_t>;  // call, error, count
    const uint32_t held = ERROR_SHARING_VIOLATION, full = ERROR_DISK_FULL;
    enum kind { ONTO, NEW, REMOVE, RMDIR };  // rename onto "dst" or to a new name
    const struct {
        kind k;
        std::vector<rule> rules;
        uint32_t status;
        const char *log;  // after "file_rename c:\\" for renames
        uint32_t attributes = R | S, uid = 0;
        bool fat = false;
    } cases[] = {
        // clang-format off
        {ONTO, {{"DeleteFile", held, 3}}, NFS_OK, ""},
        {NEW, {{"MoveFile", held, 1}}, NFS_OK, ""},
        {ONTO, {{"DeleteFile", held, FILE_RENAME_RETRIES + 1}}, NFSERR_ACCES,
         "src c:\\dst remove error 32"},
        {NEW, {{"MoveFile", ERROR_ACCESS_DENIED, 1}}, NFSERR_ACCES, "src c:\\dst error 5"},
        {ONTO, {{"MoveFile", full, 1}}, NFSERR_NOSPC, "src c:\\dst error 112"},
        {ONTO, {{"DeleteFile", held, 1}, {"MoveFile", full, 1}}, NFSERR_NOSPC,
         "ds_ c:\\dst error 112"},
        {ONTO, {{"DeleteFile", held, 1}, {"CopyFile", full, 1}}, NFSERR_NOSPC,
         "src c:\\dst copy error 112"},
        {NEW, {{"MoveFile", held, 1}, {"CopyFile", full, 1}}, NFSERR_NOSPC,
         "src c:\\dst copy error 112"},
        {ONTO, {{"MoveFile", held, 2}}, NFSERR_ACCES, "ds_ c:\\dst error 32"},
        {ONTO, {}, NFS_OK, "", R | S, 0, true},
        {ONTO, {{"MoveFile", held, 1}, {"CopyFile", full, 1}}, NFSERR_NOSPC,
         "src c:\\dst copy error 112", R | S, 0, true},
        {REMOVE, {}, NFS_OK, "", R},
        {REMOVE, {}, NFSERR_ACCES, "file_unlink c:\\SRC error 5\n", R | H | S, 500},
        {REMOVE, {{"DeleteFile", held, 1}}, NFSERR_ACCES, "file_unlink c:\\SRC error 32\n",
         R | H | S},
        {REMOVE, {}, NFS_OK, "", S, 500},  // a link file
        {RMDIR, {}, NFSERR_EXIST, "file_rmdir c:\\SRC error 5\n", R, 500},
        {RMDIR, {{"RemoveDirectory", held, 1}}, NFSERR_EXIST, "file_rmdir c:\\SRC error 32\n", R},
        {RMDIR, {}, NFS_OK, "", R},
        // clang-format on
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.k) + " " + (*c.log ? c.log : "success"));
        fileops_tree t;
        if (c.fat) hardlink_reset();
        t.make(c.k == RMDIR ? "src/" : "src", "new");
        ASSERT_TRUE(t.set_attrs("src", c.attributes));
        if (c.k == ONTO) {
            t.make("dst", "old");
            ASSERT_TRUE(t.set_attrs("dst", H));
        }
        uint32_t src = t.number("src"), dst = c.k == ONTO ? t.number("dst") : 0;
        std::string before = t.snapshot();
        for (const auto &[call, error, count] : c.rules) win_fail_inject(call, error, count);
        rpc_cred cred = test_cred(c.uid, 0);
        bool rename = c.k == ONTO || c.k == NEW, ok = c.status == NFS_OK;
        EXPECT_EQ(rename         ? t.rename("", "src", "", "dst", cred)
                  : c.k == RMDIR ? t.rmdir("", "SRC", cred)
                                 : t.unlink("", "SRC", cred),
                  c.status);
        win_fail_clear();
        std::string log = rename && *c.log ? "file_rename c:\\" + std::string(c.log) + "\n" : c.log;
        EXPECT_EQ(t.log(), log);
        EXPECT_EQ(t.snapshot(), !ok ? before : rename ? "dst 5 new\n" : "");
        EXPECT_EQ(t.record(rename ? "dst" : "src"), !ok ? (rename ? dst : src) : rename ? src : 0);
        EXPECT_TRUE(!ok || !dst || inode_record(dst) == nullptr);
        EXPECT_TRUE(t.stale_records().empty());
        hardlink_lookup();
    }
}

TEST(FileopsConcurrent, CreateRenameLinkRemoveInOneDirectory) {
    fileops_tree t;
    t.make("d/");
    t.make("d/shared", "x");
    const nfs_fh dir = t.fh("d"), shared = t.fh("d/shared");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int n = 0; n < 4; n++)
        threads.emplace_back([&, n] {
            rpc_cred c = test_cred();
            nfs_sattr s{};
            uint8_t fh[32];
            nfs_attr a;
            for (int i = 0; i < 60; i++) {
                std::string id = std::to_string(n) + "_" + std::to_string(i);
                std::string f = "f" + id, g = "g" + id, l = "l" + id;
                test_object d(dir, &c), d2(dir, &c), from(shared, &c);
                failures += nfs_create(d, f.c_str(), NFS_CREATE_GUARDED, &s, fh, &a) != 0;
                failures += file_rename(d, d2, f.c_str(), g.c_str()) != 0;
                failures += nfs_link(from, d, l.c_str()) != 0;
                failures += nfs_symlink(d, f.c_str(), &s, "target", 6) != 0;
                // Everyone renames onto the same name: one of them wins each time.
                file_rename(d, d2, g.c_str(), "common");
                failures += file_unlink(d, l.c_str()) != 0;
                failures += file_unlink(d, f.c_str()) != 0;
            }
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    // Renames that lost the race for "common" answer 17 and keep their g_
    // name; nothing else may be left, parked names included.
    std::string left = std::regex_replace(t.snapshot(), std::regex("d/g[0-9_]+ [^\n]*\n"), "");
    EXPECT_TRUE(std::regex_match(left, std::regex("d 16\nd/common [^\n]*\nd/shared 128 x\n")))
        << left;
    EXPECT_TRUE(t.stale_records().empty());
}

// The attributes of a Windows path in the first export, as uid 500.
uint32_t attr_of(nfs_tree &t, const std::string &path, nfs_attr *a, uint32_t inode = 0) {
    rpc_cred c = test_cred();
    return nfs_path_attr(inode, t.env.entries()[0], path.c_str(), a, &c);
}

// Device files and links show their own modes, whatever the export's umask.
TEST(AttrSpecial, NoUmaskOnDeviceFilesAndLinks) {
    nfs_tree t("c:\\ -umask:077");
    uint8_t h[NFS_SPECIAL_SIZE];
    nfs_special_header(h, NFBLK, 8, 1, 0640);
    const std::pair<const char *, uint32_t> files[] = {{"blk", 0060640}, {"ln", 0120777}};
    for (const auto &[name, mode] : files) {
        t.make(name, *name == 'b' ? std::string(reinterpret_cast<char *>(h), sizeof h) : "x");
        std::string path = std::string("c:\\") + name;
        ASSERT_TRUE(win_set_file_attributes(path.c_str(), FILE_ATTRIBUTE_SYSTEM));
        nfs_attr a;
        ASSERT_EQ(attr_of(t, path, &a), NFS_OK);
        EXPECT_EQ(a.mode, mode) << name;
    }
}

// A folder removed behind the server's back answers NOENT, and its records
// and those below go, so that no handle of them reaches a later file; other
// errors than "not there" keep the record.
TEST(AttrTree, ARemovedFolderTakesTheRecordsBelowWithIt) {
    nfs_tree t;
    for (const char *d : {"d/", "d/f", "top/"}) t.make(d);
    nfs_attr a;
    uint32_t dir = t.inode_of(t.handle("c:\\d")), file = t.inode_of(t.handle("c:\\d\\f"));
    ASSERT_NE(file, 0u);
    std::filesystem::remove_all(t.host("d"));
    EXPECT_EQ(attr_of(t, "c:\\d", &a, dir), NFSERR_NOENT);
    char path[INODE_PATH_MAX];
    EXPECT_EQ(inode_path(dir, path), nullptr);
    EXPECT_EQ(inode_path(file, path), nullptr);
    uint32_t kept = t.inode_of(t.handle("c:\\top"));
    win_fail_inject("FindFirstFile", ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(attr_of(t, "c:\\top", &a, kept), NFSERR_ACCES);
    win_fail_clear();
    EXPECT_NE(inode_path(kept, path), nullptr);
}

TEST(AttrIdentity, ExportOptionsMapTheCaller) {
    const struct {
        const char *options;
        uint32_t uid, gid;                // sent
        uint32_t mapped_uid, mapped_gid;  // after the export check
        uint32_t shown_uid, shown_gid;    // as the attributes report them
    } cases[] = {
        {"", 0, 0, 65534, 65534, 0, 0},
        {"-maproot:0", 0, 5, 0, 65534, 0, 0},
        {"-maproot:1000:100", 0, 5, 1000, 100, 1000, 100},
        {"-maproot:1000:100", 7, 5, 7, 5, 7, 5},
        {"-mapall:1000", 500, 7, 1000, 7, 1000, 7},
        {"-mapall:1000:100 -maproot:0:0", 0, 7, 1000, 100, 1000, 100},
        {"-webnfs", 500, 7, 65534, 7, 0, 7},
    };
    for (const auto &c : cases) {
        nfs_tree t(std::string("c:\\ ") + c.options);
        t.make("f", "x");
        rpc_cred cred = test_cred(c.uid, c.gid);
        const export_entry *exp = t.env.entries()[0];
        ASSERT_TRUE(nfs_check_export(exp, "c:\\f", &cred));
        EXPECT_EQ(std::pair(cred.uid, cred.gid), std::pair(c.mapped_uid, c.mapped_gid))
            << c.options << " uid " << c.uid;
        nfs_attr a;
        ASSERT_EQ(nfs_path_attr(0, exp, "c:\\f", &a, &cred), NFS_OK);
        EXPECT_EQ(std::pair(a.uid, a.gid), std::pair(c.shown_uid, c.shown_gid)) << c.options;
    }
}

TEST(AttrIdentity, VolumeCheckOnlyOffFixedDisks) {
    // Drive D: with serial 1234, then another medium (serial 99), then none.
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
        bool fixed = type == DRIVE_FIXED;
        EXPECT_EQ(nfs_check_export(exp, "d:\\f", &cred), fixed) << type;
        nfs_attr a;
        EXPECT_EQ(nfs_fh_attr(test_object(fh, &cred), &a), fixed ? NFS_OK : NFSERR_NXIO) << type;
        ASSERT_TRUE(drive_map("D", (d + "/none").c_str(), type, 0));
        EXPECT_EQ(nfs_check_export(exp, "d:\\f", nullptr), fixed) << type;
    }
}

}  // namespace
