// REMOVE and RMDIR: who may remove READONLY files and directories, what a
// failed removal puts back, the answers for "." and "..", and the records
// that go with the names.
#include <gtest/gtest.h>

#include <cstdio>

#include "inode/inode.h"
#include "names/nfs_status.h"
#include "nfsd/fileops.h"
#include "support/fileops_tree.h"

namespace {

constexpr uint32_t R = FILE_ATTRIBUTE_READONLY, H = FILE_ATTRIBUTE_HIDDEN,
                   S = FILE_ATTRIBUTE_SYSTEM, D = FILE_ATTRIBUTE_DIRECTORY;

uint32_t unlink(fileops_tree &t, const std::string &dir, const char *name, rpc_cred c) {
    nfs_fh d = t.fh(dir);
    return file_unlink(d.data(), name, &c);
}

uint32_t rmdir(fileops_tree &t, const std::string &dir, const char *name, rpc_cred c) {
    nfs_fh d = t.fh(dir);
    return file_rmdir(d.data(), name, &c);
}

TEST(FileopsRemove, ReadOnlyFilesByCaller) {
    const struct {
        uint32_t attributes;
        uint32_t uid;
        uint32_t status;
        const char *log;
    } cases[] = {
        {R, 0, NFS_OK, ""},
        {R, 500, NFSERR_ACCES, "file_unlink c:\\F.TXT error 5\n"},
        {R | H | S, 500, NFSERR_ACCES, "file_unlink c:\\F.TXT error 5\n"},
        {R | H | S, 0, NFS_OK, ""},
        {S, 500, NFS_OK, ""},  // a link file
        {H, 500, NFS_OK, ""},
    };
    for (const auto &c : cases) {
        fileops_tree t;
        t.make("f.txt", "x");
        ASSERT_TRUE(t.set_attrs("f.txt", c.attributes));
        uint32_t inode = nfs_tree::inode_of(t.fh("f.txt"));  // gives the name a record
        ASSERT_NE(inode, 0u);
        EXPECT_EQ(unlink(t, "", "F.TXT", test_cred(c.uid, 0)), c.status) << c.attributes;
        EXPECT_EQ(t.log(), c.log);
        if (c.status == NFS_OK) {
            EXPECT_FALSE(t.exists("f.txt"));
            EXPECT_EQ(t.record("f.txt"), 0u);
        } else {
            EXPECT_EQ(t.attrs("f.txt"), c.attributes);  // the clearing step undone
            EXPECT_EQ(t.record("f.txt"), inode);
        }
        EXPECT_TRUE(t.stale_records().empty());
    }
}

TEST(FileopsRemove, FailureAfterTheClearingStepPutsAttributesBack) {
    fileops_tree t;
    t.make("f.txt", "x");
    ASSERT_TRUE(t.set_attrs("f.txt", R | H | S));
    win_fail_inject("DeleteFile", ERROR_SHARING_VIOLATION, 1);
    EXPECT_EQ(unlink(t, "", "f.txt", root_cred()), NFSERR_ACCES);
    EXPECT_EQ(t.log(), "file_unlink c:\\f.txt error 32\n");
    EXPECT_EQ(t.attrs("f.txt"), R | H | S);
    EXPECT_EQ(t.content("f.txt"), "x");
    // Failure lines are detail: not written at log level 1.
    t.env.log_level(1);
    win_fail_inject("DeleteFile", ERROR_SHARING_VIOLATION, 1);
    EXPECT_EQ(unlink(t, "", "f.txt", root_cred()), NFSERR_ACCES);
    EXPECT_EQ(t.log(), "");
}

TEST(FileopsRemove, WhatRemoveRefuses) {
    fileops_tree t("c:\\exp -maproot:0\nc:\\ro -ro\n", {"exp", "exp/d", "ro"});
    t.make("exp/keep", "x");
    t.make("ro/f", "x");
    rpc_cred c = user_cred();
    EXPECT_EQ(unlink(t, "exp", "d", c), NFSERR_ACCES);  // a directory
    EXPECT_EQ(unlink(t, "exp", "missing", c), NFSERR_NOENT);
    EXPECT_EQ(unlink(t, "exp", ".", c), NFSERR_INVAL);
    EXPECT_EQ(unlink(t, "exp", "..", c), NFSERR_PERM);
    EXPECT_EQ(unlink(t, "exp", "d\\..\\keep", c), NFSERR_NOENT);
    EXPECT_EQ(unlink(t, "exp", "../keep", c), NFSERR_NOENT);
    nfs_fh ro = t.fh("ro", 1);
    EXPECT_EQ(file_unlink(ro.data(), "f", &c), NFSERR_ROFS);
    EXPECT_TRUE(t.exists("exp/d"));
    EXPECT_TRUE(t.exists("exp/keep"));
    EXPECT_TRUE(t.exists("ro/f"));
}

TEST(FileopsRmdir, Answers) {
    fileops_tree t("c:\\exp -maproot:0\n", {"exp", "exp/full", "exp/empty", "exp/ro"});
    t.make("exp/full/f", "x");
    t.make("exp/file", "x");
    ASSERT_TRUE(t.set_attrs("exp/ro", R));
    t.log();
    rpc_cred user = user_cred();
    EXPECT_EQ(rmdir(t, "exp", "full", user), NFSERR_NOTEMPTY);
    EXPECT_EQ(rmdir(t, "exp", "..", user), NFSERR_EXIST);
    EXPECT_EQ(rmdir(t, "exp", ".", user), NFSERR_INVAL);
    EXPECT_EQ(rmdir(t, "exp", "missing", user), NFSERR_NOENT);
    EXPECT_EQ(t.log(), "");  // not empty and not found are not logged
    EXPECT_EQ(rmdir(t, "exp", "file", user), NFSERR_NOTDIR);
    EXPECT_EQ(t.log(), "file_rmdir c:\\exp\\file error 267\n");
    // A READONLY directory: 13 is answered as 17 for others, uid 0 may.
    EXPECT_EQ(rmdir(t, "exp", "ro", user), NFSERR_EXIST);
    EXPECT_EQ(t.log(), "file_rmdir c:\\exp\\ro error 5\n");
    EXPECT_EQ(t.attrs("exp/ro"), R | D);
    win_fail_inject("RemoveDirectory", ERROR_SHARING_VIOLATION, 1);
    EXPECT_EQ(rmdir(t, "exp", "ro", root_cred()), NFSERR_EXIST);
    EXPECT_EQ(t.attrs("exp/ro"), R | D);  // put back after the failure
    EXPECT_EQ(rmdir(t, "exp", "ro", root_cred()), NFS_OK);
    EXPECT_FALSE(t.exists("exp/ro"));
    EXPECT_TRUE(t.exists("exp/full/f"));
    EXPECT_TRUE(t.exists("exp"));
}

TEST(FileopsRmdir, RecordsBelowTheDirectoryGoToo) {
    fileops_tree t;
    t.make("d/");
    t.make("d/gone.txt", "x");
    uint32_t d = nfs_tree::inode_of(t.fh("d"));
    ASSERT_NE(nfs_tree::inode_of(t.fh("d/gone.txt")), 0u);
    ASSERT_EQ(::remove(t.host("d/gone.txt").c_str()), 0);  // removed behind the server's back
    ASSERT_EQ(rmdir(t, "", "D", user_cred()), NFS_OK);
    EXPECT_FALSE(t.exists("d"));
    EXPECT_EQ(t.record("d"), 0u);
    EXPECT_EQ(t.record("d/gone.txt"), 0u);
    EXPECT_NE(d, 0u);
    EXPECT_TRUE(t.stale_records().empty());
}

}  // namespace
