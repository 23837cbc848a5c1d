// What every operation refuses (names and handles that would leave their
// directory, export or drive) without touching the disk, and REMOVE and
// RMDIR: who may remove READONLY names, what a failed removal puts back, and
// the records that go with the names.
#include <gtest/gtest.h>

#include <cstdio>

#include "names/nfs_status.h"
#include "support/fileops_tree.h"

namespace {

constexpr uint32_t R = FILE_ATTRIBUTE_READONLY, H = FILE_ATTRIBUTE_HIDDEN,
                   S = FILE_ATTRIBUTE_SYSTEM, D = FILE_ATTRIBUTE_DIRECTORY;
using names = std::vector<std::string>;
enum op { CREATE, MKDIR, MKNOD, SYMLINK, LINK, RENAME_TO, RENAME_FROM, REMOVE, RMDIR };

// One operation on the name `n` in the directory "one", which holds "f" and
// "sub".
uint32_t call(fileops_tree &t, op o, const std::string &n) {
    switch (o) {
        case CREATE:
            return t.create("one", n);
        case MKDIR:
            return t.mkdir("one", n);
        case MKNOD:
            return t.mknod("one", n, NFCHR);
        case SYMLINK:
            return t.symlink("one", n, "x");
        case LINK:
            return t.link("one/f", "one", n);
        case RENAME_TO:
            return t.rename("one", "f", "one", n);
        case RENAME_FROM:
            return t.rename("one", n, "one", "x");
        case REMOVE:
            return t.unlink("one", n);
        case RMDIR:
            return t.rmdir("one", n);
    }
    return ~0u;
}

TEST(FileopsRefusals, LeaveEveryExportAsItWas) {
    fileops_tree t("c:\\one -maproot:0\nc:\\two -maproot:0\nd:\\ -maproot:0\nc:\\ro -ro\n",
                   {"one", "one/sub", "two", "ro"});
    t.make("one/f", "x");
    t.make("one/sub/g", "y");
    t.make("two/f", "other export");
    t.make("ro/f", "x");
    auto untouched = [&t]() {
        return t.listing() == names{"one", "ro", "two"} && t.listing("one") == names{"f", "sub"} &&
               t.listing("one/sub") == names{"g"} && t.listing("two") == names{"f"} &&
               t.content("two/f") == "other export";
    };
    struct row {
        op o;
        std::string name;
        uint32_t status;
        const char *log = nullptr;  // not pinned when null
    };
    std::vector<row> rows = {
        {SYMLINK, "..", NFSERR_PERM},
        {SYMLINK, "a/b", NFSERR_NOENT},
        {SYMLINK, "..\\up", NFSERR_NOENT},
        {LINK, "..", NFSERR_PERM},
        {LINK, ".", NFSERR_EXIST},
        {LINK, "..\\two\\f", NFSERR_NOENT},
        {LINK, "sub/g", NFSERR_NOENT},
        {RENAME_TO, "..", NFSERR_PERM},
        {RENAME_TO, ".", NFSERR_INVAL},
        {RENAME_TO, "..\\two\\f", NFSERR_NOENT},
        {RENAME_TO, "sub/g", NFSERR_NOENT},
        {RENAME_FROM, "..", NFSERR_PERM},
        {RENAME_FROM, "missing", NFSERR_NOENT,
         "file_rename c:\\one\\missing c:\\one\\x failed error 2\n"},
        {REMOVE, "sub", NFSERR_ACCES},
        {REMOVE, "missing", NFSERR_NOENT},
        {REMOVE, ".", NFSERR_INVAL},
        {REMOVE, "..", NFSERR_PERM},
        {REMOVE, "sub\\..\\f", NFSERR_NOENT},
        {REMOVE, "../two/f", NFSERR_NOENT},
        {RMDIR, "sub", NFSERR_NOTEMPTY, ""},  // not empty and not found are not logged
        {RMDIR, "missing", NFSERR_NOENT, ""},
        {RMDIR, "..", NFSERR_EXIST},
        {RMDIR, ".", NFSERR_INVAL},
        {RMDIR, "f", NFSERR_NOTDIR, "file_rmdir c:\\one\\f error 267\n"},
    };
    // Names that must not reach the disk as a new file, directory or device.
    const std::pair<const char *, uint32_t> made_names[] = {
        {".", NFSERR_EXIST},       {"..", NFSERR_PERM},      {"a\\b", NFSERR_NOENT},
        {"a/b", NFSERR_NOENT},     {"..\\up", NFSERR_NOENT}, {"", NFSERR_NOENT},
        {"con.txt", NFSERR_ACCES}, {"a:b", NFSERR_NOENT},    {"bad\x01", NFSERR_NOENT},
    };
    for (op o : {CREATE, MKDIR, MKNOD})
        for (const auto &[name, status] : made_names) rows.push_back({o, name, status});
    t.log();
    for (const row &r : rows) {
        EXPECT_EQ(call(t, r.o, r.name), r.status) << r.o << " " << r.name;
        std::string log = t.log();
        if (r.log) {
            EXPECT_EQ(log, r.log) << r.o << " " << r.name;
        }
        EXPECT_TRUE(untouched()) << r.o << " " << r.name;
    }

    // Across exports and drives, and arguments that are not names.
    rpc_cred c = user_cred();
    EXPECT_EQ(t.link("one/f", "two", "g", 0, 1), NFSERR_XDEV);
    EXPECT_EQ(t.link("ro/f", "one", "g", 3, 0), NFSERR_XDEV);
    EXPECT_EQ(t.rename("one", "f", "two", "f", c, 0, 1), NFSERR_XDEV);
    EXPECT_EQ(t.rename("one", "f", "two", "g", c, 0, 1), NFSERR_XDEV);
    nfs_fh one = t.fh("one"), f = t.fh("one/f"), d = t.handle("d:", 2);
    EXPECT_EQ(nfs_link(f.data(), d.data(), "f"), NFSERR_IO);
    EXPECT_EQ(file_rename(one.data(), d.data(), "f", "f", &c), NFSERR_IO);
    EXPECT_EQ(t.link("one/sub", "one", "l"), NFSERR_ISDIR);
    EXPECT_EQ(t.rename("one/sub", ".", "one", "moved"), NFSERR_INVAL);
    EXPECT_EQ(t.symlink("one", "l", ""), NFSERR_NOENT);
    EXPECT_EQ(t.symlink("one", "l", std::string("a\0b", 3)), NFSERR_INVAL);
    EXPECT_TRUE(untouched());
}

TEST(FileopsRemove, ReadOnlyFilesByCaller) {
    const struct {
        uint32_t attributes, uid;
        const char *fail;  // DeleteFile fails once with a sharing violation
        uint32_t status;
        const char *log;
    } cases[] = {
        {R, 0, nullptr, NFS_OK, ""},
        {R, 500, nullptr, NFSERR_ACCES, "file_unlink c:\\F.TXT error 5\n"},
        {R | H | S, 500, nullptr, NFSERR_ACCES, "file_unlink c:\\F.TXT error 5\n"},
        {R | H | S, 0, "DeleteFile", NFSERR_ACCES, "file_unlink c:\\F.TXT error 32\n"},
        {S, 500, nullptr, NFS_OK, ""},  // a link file
    };
    for (const auto &c : cases) {
        fileops_tree t;
        t.make("f.txt", "x");
        ASSERT_TRUE(t.set_attrs("f.txt", c.attributes));
        uint32_t inode = t.number("f.txt");
        if (c.fail) win_fail_inject(c.fail, ERROR_SHARING_VIOLATION, 1);
        EXPECT_EQ(t.unlink("", "F.TXT", test_cred(c.uid, 0)), c.status) << c.attributes;
        EXPECT_EQ(t.log(), c.log);
        if (c.status == NFS_OK) {
            EXPECT_FALSE(t.exists("f.txt"));
            EXPECT_EQ(t.record("f.txt"), 0u);
        } else {
            EXPECT_EQ(t.attrs("f.txt"), c.attributes);  // the clearing step undone
            EXPECT_EQ(t.content("f.txt"), "x");
            EXPECT_EQ(t.record("f.txt"), inode);
        }
        EXPECT_TRUE(t.stale_records().empty());
    }
}

TEST(FileopsRmdir, ReadOnlyDirectory) {
    fileops_tree t;
    t.make("ro/");
    ASSERT_TRUE(t.set_attrs("ro", R));
    // 13 is answered as 17 for others; uid 0 may.
    EXPECT_EQ(t.rmdir("", "ro"), NFSERR_EXIST);
    EXPECT_EQ(t.log(), "file_rmdir c:\\ro error 5\n");
    EXPECT_EQ(t.attrs("ro"), R | D);
    win_fail_inject("RemoveDirectory", ERROR_SHARING_VIOLATION, 1);
    EXPECT_EQ(t.rmdir("", "ro", root_cred()), NFSERR_EXIST);
    EXPECT_EQ(t.attrs("ro"), R | D);  // put back after the failure
    EXPECT_EQ(t.rmdir("", "ro", root_cred()), NFS_OK);
    EXPECT_FALSE(t.exists("ro"));
}

TEST(FileopsRmdir, RecordsBelowTheDirectoryGoToo) {
    fileops_tree t;
    t.make("d/");
    t.make("d/gone.txt", "x");
    ASSERT_NE(t.number("d"), 0u);
    ASSERT_NE(t.number("d/gone.txt"), 0u);
    ASSERT_EQ(::remove(t.host("d/gone.txt").c_str()), 0);  // behind the server's back
    ASSERT_EQ(t.rmdir("", "D"), NFS_OK);
    EXPECT_FALSE(t.exists("d"));
    EXPECT_EQ(t.record("d"), 0u);
    EXPECT_EQ(t.record("d/gone.txt"), 0u);
    EXPECT_TRUE(t.stale_records().empty());
}

}  // namespace
