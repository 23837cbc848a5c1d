// RENAME: every kind of destination, the records that move with the names,
// containment, the sharing-violation retries with the temporary copy, and
// that every failure leaves the disk and the inode table as they were.
#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>

#include "inode/inode.h"
#include "names/nfs_status.h"
#include "nfsd/fileops.h"
#include "support/fileops_tree.h"

namespace {

constexpr uint32_t R = FILE_ATTRIBUTE_READONLY, H = FILE_ATTRIBUTE_HIDDEN,
                   S = FILE_ATTRIBUTE_SYSTEM, D = FILE_ATTRIBUTE_DIRECTORY;
using names = std::vector<std::string>;

uint32_t rename(fileops_tree &t, const std::string &from_dir, const char *from,
                const std::string &to_dir, const char *to, rpc_cred c = user_cred(),
                int from_export = 0, int to_export = 0) {
    nfs_fh f = t.fh(from_dir, from_export);
    nfs_fh d = t.fh(to_dir, to_export);
    return file_rename(f.data(), d.data(), from, to, &c);
}

uint32_t inode(fileops_tree &t, const std::string &rel) {
    return nfs_tree::inode_of(t.fh(rel));
}

TEST(FileopsRename, FileKeepsItsNumber) {
    fileops_tree t;
    t.make("a/");
    t.make("b/");
    t.make("a/f.txt", "data");
    ASSERT_TRUE(t.set_attrs("a/f.txt", R | H));
    uint32_t n = inode(t, "a/f.txt");
    ASSERT_EQ(rename(t, "a", "f.txt", "b", "g.txt"), NFS_OK);
    EXPECT_EQ(t.listing("a"), names{});
    EXPECT_EQ(t.listing("b"), names{"g.txt"});
    EXPECT_EQ(t.content("b/g.txt"), "data");
    EXPECT_EQ(t.attrs("b/g.txt"), R | H);
    EXPECT_EQ(t.record("b/g.txt"), n);
    EXPECT_EQ(t.record("a/f.txt"), 0u);
    EXPECT_TRUE(t.stale_records().empty());
}

TEST(FileopsRename, OntoAnExistingFile) {
    fileops_tree t;
    t.make("src", "new");
    t.make("dst", "old");
    ASSERT_TRUE(t.set_attrs("src", S));  // a link file moves as one
    uint32_t dst = inode(t, "dst");
    inode(t, "src");
    ASSERT_EQ(rename(t, "", "src", "", "dst"), NFS_OK);
    EXPECT_EQ(t.listing(), names{"dst"});  // nothing parked is left
    EXPECT_EQ(t.content("dst"), "new");
    EXPECT_EQ(t.attrs("dst"), S);
    EXPECT_EQ(t.record("dst"), dst);  // takes the destination's number
    EXPECT_EQ(t.record("src"), 0u);
    EXPECT_TRUE(t.stale_records().empty());

    // A READONLY destination goes for uid 0 only.
    t.make("src", "newer");
    ASSERT_TRUE(t.set_attrs("dst", R));
    t.log();
    EXPECT_EQ(rename(t, "", "src", "", "dst"), NFSERR_ACCES);
    EXPECT_EQ(t.log(), "file_rename c:\\src c:\\dst remove error 5\n");
    EXPECT_EQ(t.listing(), (names{"dst", "src"}));
    EXPECT_EQ(t.attrs("dst"), R);
    ASSERT_EQ(rename(t, "", "src", "", "dst", root_cred()), NFS_OK);
    EXPECT_EQ(t.content("dst"), "newer");
    EXPECT_EQ(t.listing(), names{"dst"});
}

TEST(FileopsRename, FileOntoADirectoryMovesIntoIt) {
    fileops_tree t;
    t.make("f.txt", "data");
    t.make("box/");
    t.make("box/sub/");
    uint32_t n = inode(t, "f.txt");
    ASSERT_EQ(rename(t, "", "f.txt", "", "BOX"), NFS_OK);
    EXPECT_EQ(t.listing(), names{"box"});
    EXPECT_EQ(t.content("box/f.txt"), "data");
    EXPECT_EQ(t.record("box/f.txt"), n);
    // An existing file of that name there is replaced; a directory is not.
    t.make("f.txt", "second");
    ASSERT_EQ(rename(t, "", "f.txt", "", "box"), NFS_OK);
    EXPECT_EQ(t.content("box/f.txt"), "second");
    t.make("sub", "file named like the directory");
    EXPECT_EQ(rename(t, "", "sub", "", "box"), NFSERR_ISDIR);
    EXPECT_TRUE(t.exists("sub"));
    // Moving a file into the directory it is in changes nothing.
    ASSERT_EQ(rename(t, "box", "f.txt", "", "box"), NFS_OK);
    EXPECT_EQ(t.content("box/f.txt"), "second");
    EXPECT_TRUE(t.stale_records().empty());
}

TEST(FileopsRename, Directories) {
    fileops_tree t;
    t.make("a/");
    t.make("a/inner/");
    t.make("a/inner/f", "x");
    t.make("empty/");
    t.make("full/");
    t.make("full/g", "y");
    inode(t, "a/inner/f");  // the moved directory's contents are known
    uint32_t empty = inode(t, "empty");
    t.log();
    EXPECT_EQ(rename(t, "", "a", "", "full"), NFSERR_EXIST);
    EXPECT_EQ(t.log(), "file_rename c:\\full error 145\n");
    EXPECT_EQ(t.listing(), (names{"a", "empty", "full"}));

    ASSERT_EQ(rename(t, "", "a", "", "empty"), NFS_OK);
    EXPECT_EQ(t.listing(), (names{"empty", "full"}));
    EXPECT_EQ(t.content("empty/inner/f"), "x");
    EXPECT_EQ(t.record("empty"), empty);
    EXPECT_EQ(t.record("a"), 0u);
    EXPECT_TRUE(t.stale_records().empty());

    // Never into its own subtree, and nothing is touched trying.
    t.make("empty/inner/deeper/");
    EXPECT_EQ(rename(t, "", "empty", "empty/inner", "x"), NFSERR_INVAL);
    EXPECT_EQ(rename(t, "", "EMPTY", "empty/inner", "deeper"), NFSERR_INVAL);
    EXPECT_TRUE(t.exists("empty/inner/deeper"));
    EXPECT_TRUE(t.exists("empty/inner/f"));
}

TEST(FileopsRename, SameNameAndCaseChange) {
    fileops_tree t;
    t.make("Name.txt", "x");
    uint32_t n = inode(t, "Name.txt");
    ASSERT_EQ(rename(t, "", "Name.txt", "", "Name.txt"), NFS_OK);
    EXPECT_EQ(t.listing(), names{"Name.txt"});
    ASSERT_EQ(rename(t, "", "name.txt", "", "NAME.TXT"), NFS_OK);
    EXPECT_EQ(t.listing(), names{"NAME.TXT"});
    EXPECT_EQ(t.content("NAME.TXT"), "x");
    EXPECT_EQ(t.record("name.txt"), n);
}

TEST(FileopsRename, ContainmentAndBadNames) {
    fileops_tree t("c:\\one -maproot:0\nc:\\two -maproot:0\nd:\\ -maproot:0\nc:\\ro -ro\n",
                   {"one", "one/sub", "two", "ro"});
    t.make("one/f", "x");
    t.make("two/f", "other export");
    rpc_cred c = user_cred();
    EXPECT_EQ(rename(t, "one", "f", "two", "f", c, 0, 1), NFSERR_XDEV);
    EXPECT_EQ(rename(t, "one", "f", "two", "g", c, 0, 1), NFSERR_XDEV);
    nfs_fh one = t.fh("one");
    nfs_fh d_root = t.handle("d:", 2);
    EXPECT_EQ(file_rename(one.data(), d_root.data(), "f", "f", &c), NFSERR_IO);
    EXPECT_EQ(rename(t, "one", "f", "ro", "f", c, 0, 3), NFSERR_ROFS);
    EXPECT_EQ(rename(t, "ro", "x", "one", "f", c, 3, 0), NFSERR_ROFS);
    EXPECT_EQ(rename(t, "one", "f", "one", ".."), NFSERR_PERM);
    EXPECT_EQ(rename(t, "one", "..", "one", "x"), NFSERR_PERM);
    EXPECT_EQ(rename(t, "one", "f", "one", "."), NFSERR_INVAL);
    EXPECT_EQ(rename(t, "one/sub", ".", "one", "moved"), NFSERR_INVAL);
    EXPECT_EQ(rename(t, "one", "f", "one", "..\\two\\f"), NFSERR_NOENT);
    EXPECT_EQ(rename(t, "one", "f", "one", "sub/f"), NFSERR_NOENT);
    EXPECT_EQ(rename(t, "one", "missing", "one", "x"), NFSERR_NOENT);
    EXPECT_EQ(t.log(), "file_rename c:\\one\\missing c:\\one\\x failed error 2\n");
    EXPECT_EQ(t.listing("one"), (names{"f", "sub"}));
    EXPECT_EQ(t.listing("two"), names{"f"});
    EXPECT_EQ(t.content("two/f"), "other export");
}

// The destination held by another program: the seam makes its removal fail
// with a sharing violation `failures` times.
TEST(FileopsRename, SharingViolationRetriesThenGivesUp) {
    const struct {
        uint32_t failures;
        uint32_t status;
    } cases[] = {
        {3, NFS_OK},
        {FILE_RENAME_RETRIES, NFS_OK},
        {FILE_RENAME_RETRIES + 1, NFSERR_ACCES},
    };
    for (const auto &c : cases) {
        fileops_tree t;
        t.make("src.txt", "new");
        t.make("dst.txt", "old");
        uint32_t dst = inode(t, "dst.txt");
        uint32_t src = inode(t, "src.txt");
        win_fail_inject("DeleteFile", ERROR_SHARING_VIOLATION, c.failures);
        EXPECT_EQ(rename(t, "", "src.txt", "", "dst.txt"), c.status) << c.failures;
        win_fail_clear();
        if (c.status == NFS_OK) {
            // The copy moved; the original source went afterwards.
            EXPECT_EQ(t.listing(), names{"dst.txt"});
            EXPECT_EQ(t.content("dst.txt"), "new");
            EXPECT_EQ(t.record("dst.txt"), dst);
            EXPECT_EQ(t.log(), "");
        } else {
            EXPECT_EQ(t.listing(), (names{"dst.txt", "src.txt"}));  // no dst.tx_, nothing parked
            EXPECT_EQ(t.content("dst.txt"), "old");
            EXPECT_EQ(t.content("src.txt"), "new");
            EXPECT_EQ(t.record("src.txt"), src);
            EXPECT_EQ(t.record("dst.txt"), dst);
            EXPECT_EQ(t.log(), "file_rename c:\\src.txt c:\\dst.txt remove error 32\n");
        }
        EXPECT_TRUE(t.stale_records().empty());
    }
}

TEST(FileopsRename, FailuresPutEverythingBack) {
    const struct {
        const char *what;
        bool dest;  // a destination file exists
        // (call, error, count) rules, in order
        std::vector<std::tuple<const char *, uint32_t, uint32_t>> rules;
        uint32_t status;
        const char *log;
    } cases[] = {
        {"move after clearing", false, {{"MoveFile", ERROR_ACCESS_DENIED, 1}}, NFSERR_ACCES,
         "file_rename c:\\src c:\\dst error 5\n"},
        {"move after removing the destination", true, {{"MoveFile", ERROR_DISK_FULL, 1}},
         NFSERR_NOSPC, "file_rename c:\\src c:\\dst error 112\n"},
        {"move after the temporary copy", true,
         {{"DeleteFile", ERROR_SHARING_VIOLATION, 1}, {"MoveFile", ERROR_DISK_FULL, 1}},
         NFSERR_NOSPC, "file_rename c:\\ds_ c:\\dst error 112\n"},
        {"the temporary copy", true,
         {{"DeleteFile", ERROR_SHARING_VIOLATION, 1}, {"CopyFile", ERROR_DISK_FULL, 1}},
         NFSERR_NOSPC, "file_rename c:\\src c:\\dst copy error 112\n"},
        {"the copy of a held source", false,
         {{"MoveFile", ERROR_SHARING_VIOLATION, 1}, {"CopyFile", ERROR_DISK_FULL, 1}},
         NFSERR_NOSPC, "file_rename c:\\src c:\\dst copy error 112\n"},
        {"the move of that copy", true,
         {{"MoveFile", ERROR_SHARING_VIOLATION, 2}}, NFSERR_ACCES,
         "file_rename c:\\ds_ c:\\dst error 32\n"},
    };
    for (const auto &c : cases) {
        fileops_tree t;
        t.make("src", "new");
        ASSERT_TRUE(t.set_attrs("src", R | S));
        if (c.dest) {
            t.make("dst", "old");
            ASSERT_TRUE(t.set_attrs("dst", H));
        }
        uint32_t src = inode(t, "src");
        uint32_t dst = c.dest ? inode(t, "dst") : 0;
        for (const auto &[call, error, count] : c.rules) win_fail_inject(call, error, count);
        EXPECT_EQ(rename(t, "", "src", "", "dst", root_cred()), c.status) << c.what;
        win_fail_clear();
        EXPECT_EQ(t.log(), c.log) << c.what;
        EXPECT_EQ(t.listing(), (c.dest ? names{"dst", "src"} : names{"src"})) << c.what;
        EXPECT_EQ(t.content("src"), "new") << c.what;
        EXPECT_EQ(t.attrs("src"), R | S) << c.what;
        EXPECT_EQ(t.record("src"), src) << c.what;
        if (c.dest) {
            EXPECT_EQ(t.content("dst"), "old") << c.what;
            EXPECT_EQ(t.attrs("dst"), H) << c.what;
            EXPECT_EQ(t.record("dst"), dst) << c.what;
        }
        EXPECT_TRUE(t.stale_records().empty()) << c.what;
    }
}

TEST(FileopsRename, HeldSourceMovesAsACopy) {
    fileops_tree t;
    t.make("src", "data");
    ASSERT_TRUE(t.set_attrs("src", H));
    uint32_t n = inode(t, "src");
    win_fail_inject("MoveFile", ERROR_SHARING_VIOLATION, 1);
    ASSERT_EQ(rename(t, "", "src", "", "dst"), NFS_OK);
    EXPECT_EQ(t.listing(), names{"dst"});
    EXPECT_EQ(t.content("dst"), "data");
    EXPECT_EQ(t.attrs("dst"), H);
    EXPECT_EQ(t.record("dst"), n);
}

TEST(FileopsRename, EmptiedDestinationDirectoryComesBack) {
    fileops_tree t;
    t.make("a/");
    t.make("a/f", "x");
    t.make("b/");
    ASSERT_TRUE(t.set_attrs("b", H));
    uint32_t b = inode(t, "b");
    win_fail_inject("MoveFile", ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(rename(t, "", "a", "", "b"), NFSERR_ACCES);
    EXPECT_EQ(t.listing(), (names{"a", "b"}));
    EXPECT_EQ(t.attrs("b"), H | D);
    EXPECT_EQ(t.record("b"), b);
    EXPECT_TRUE(t.exists("a/f"));
}

}  // namespace

namespace {

// Without hard links (FAT) the destination is moved aside instead.
TEST(FileopsRename, WithoutHardLinksTheDestinationIsMovedAside) {
    fileops_tree t;
    hardlink_reset();
    t.make("src", "new");
    t.make("dst", "old");
    ASSERT_EQ(rename(t, "", "src", "", "dst"), NFS_OK);
    EXPECT_EQ(t.listing(), names{"dst"});
    EXPECT_EQ(t.content("dst"), "new");

    t.make("src", "newer");
    win_fail_inject("MoveFile", ERROR_SHARING_VIOLATION, 2);
    ASSERT_EQ(rename(t, "", "src", "", "dst"), NFS_OK);
    EXPECT_EQ(t.listing(), names{"dst"});
    EXPECT_EQ(t.content("dst"), "newer");

    t.make("src", "newest");
    win_fail_inject("MoveFile", ERROR_SHARING_VIOLATION, 1);
    win_fail_inject("CopyFile", ERROR_DISK_FULL, 1);
    EXPECT_EQ(rename(t, "", "src", "", "dst"), NFSERR_NOSPC);
    EXPECT_EQ(t.listing(), (names{"dst", "src"}));
    EXPECT_EQ(t.content("dst"), "newer");
    hardlink_lookup();
}

}  // namespace
