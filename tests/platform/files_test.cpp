// The server's own files where an installed program directory meets them:
// settings reached through a symbolic link, and the inode table looked at
// by a check while a server may hold it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/mapfile.h"
#include "platform/textfile.h"
#include "support/home.h"

namespace {

TEST(Files, AWriteThroughALinkReplacesItsTargetAndKeepsTheLink) {
    test_home home;
    home.write("etc.reg", "old\n");
    ASSERT_EQ(symlink(home.file("etc.reg").c_str(), home.file("settings.reg").c_str()), 0);
    ASSERT_TRUE(textfile_write(home.file("settings.reg").c_str(), "new\n", false, nullptr));
    struct stat st;
    ASSERT_EQ(lstat(home.file("settings.reg").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(home.read("etc.reg"), "new\n");
    // A link to nowhere is refused rather than replaced by a file.
    ASSERT_EQ(symlink(home.file("missing/x").c_str(), home.file("dangling").c_str()), 0);
    EXPECT_FALSE(textfile_write(home.file("dangling").c_str(), "x\n", false, nullptr));
    ASSERT_EQ(lstat(home.file("dangling").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(Files, ASnapshotSeesTheTableButNeverChangesOrLocksIt) {
    test_home home;
    std::string path = home.file("inodes.nfs");
    mapfile owner;
    ASSERT_TRUE(mapfile_open(&owner, path.c_str(), false));
    ASSERT_TRUE(mapfile_map(&owner, 4096));
    memcpy(owner.base, "table", 5);

    mapfile_snapshots(true);
    mapfile copy;
    ASSERT_TRUE(mapfile_open(&copy, path.c_str(), false));  // the owner's lock does not stop it
    ASSERT_TRUE(mapfile_map(&copy, 1024));
    EXPECT_EQ(copy.size, 4096u);
    EXPECT_EQ(memcmp(copy.base, "table", 5), 0);
    memcpy(copy.base, "check", 5);
    ASSERT_TRUE(mapfile_grow(&copy, 8192));
    EXPECT_EQ(memcmp(copy.base, "check", 5), 0);
    EXPECT_EQ(copy.base[8191], 0);
    mapfile_close(&copy);
    EXPECT_EQ(memcmp(owner.base, "table", 5), 0);
    // A missing table is an empty one, and stays missing.
    std::string absent = home.file("none.nfs");
    ASSERT_TRUE(mapfile_open(&copy, absent.c_str(), false));
    ASSERT_TRUE(mapfile_map(&copy, 1024));
    EXPECT_EQ(copy.size, 1024u);
    mapfile_close(&copy);
    EXPECT_NE(access(absent.c_str(), F_OK), 0);
    mapfile_snapshots(false);

    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4096);
    mapfile_close(&owner);
}

}  // namespace
