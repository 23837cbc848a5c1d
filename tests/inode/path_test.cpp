// Paths and records: drive and UNC paths, rebuilding paths within the depth
// and buffer limits, and ".." that never leaves an export.
#include "platform/drive.h"
#include "support/inode_table.h"

namespace {

using path = inode_test;

// ".." is never stored, and UNC roots only with "Remote".
TEST_F(path, DotDotAndUncRootsAreNotStored) {
    start();
    EXPECT_EQ(inode_path_lookup("C:\\dir\\..\\x"), 0u);
    EXPECT_EQ(inode_path_lookup("\\\\srv\\share\\f"), 0u);
    config.remote = 1;
    drive_set_remote(true);
    uint32_t f = inode_path_lookup("\\\\srv\\share\\f");
    EXPECT_EQ(inode_path_find("\\\\SRV\\share\\F"), f);
    EXPECT_EQ(path_of(f), "\\\\srv\\share\\f");
}

TEST_F(path, DepthAndLengthLimitsRefuseThePath) {
    start();
    std::string p = "C:";
    uint32_t r = 0;
    for (int level = 1; level <= 31; level++) {
        p += "\\d" + std::to_string(level);
        ASSERT_NE(r = inode_path_lookup(p.c_str()), 0u);
        if (level == 30) {
            EXPECT_EQ(path_of(r), p);
        }
    }
    EXPECT_EQ(path_of(r), "");  // 31 below the drive record

    for (p = "C:"; p.size() < 1007;)
        ASSERT_NE(r = inode_path_lookup((p += "\\" + std::string(200, 'n')).c_str()), 0u);
    uint32_t last =
        inode_lookup(r, std::string(16, 'x').c_str());  // 1024 bytes: no room for the NUL
    uint32_t fits = inode_lookup(r, std::string(15, 'y').c_str());  // 1023 bytes and the NUL
    char buf[INODE_PATH_MAX];
    EXPECT_EQ(inode_path(last, buf), nullptr);
    EXPECT_STREQ(buf, "");
    ASSERT_NE(inode_path(fits, buf), nullptr);
    EXPECT_EQ(std::strlen(buf), 1023u);
}

TEST_F(path, ParentStopsAtTheExportRoot) {
    start();
    uint32_t root = inode_path_lookup("c:\\data"), sub = inode_path_lookup("c:\\data\\sub"),
             deeper = inode_path_lookup("c:\\data\\sub\\deeper");
    char lower[] = "c:\\data", upper[] = "C:\\DATA";
    const struct {
        char *exp_path;
        uint32_t root_inode, inode;
        const char *path, *want_path;
        uint32_t want;
    } cases[] = {
        {lower, 0, deeper, "c:\\data\\sub\\deeper", "c:\\data\\sub", sub},
        {lower, 0, sub, "c:\\data\\sub", "c:\\data", root},
        {lower, 0, root, "c:\\data", "c:\\data", root},  // ".." of the root is the root
        {lower, 0, sub, "c:\\dat", "c:\\data", root},    // anything not below the export
        {lower, 0, 4096, "c:\\data\\x", "c:\\data\\x", 0},
        // The export in another case than the stored records: the rebuilt
        // root path sorts after "C:\DATA" byte for byte, yet ".." stays.
        {upper, 0, root, "c:\\data", "C:\\DATA", root},
        {upper, 0, sub, "c:\\data\\sub", "c:\\data", root},
        {lower, root, root, "c:\\data\\x", "c:\\data", root},  // by number too
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        char buf[INODE_PATH_MAX];
        std::strcpy(buf, c.path);
        EXPECT_EQ(inode_parent(c.root_inode, c.exp_path, c.inode, buf), c.want);
        EXPECT_STREQ(buf, c.want_path);
    }
}

}  // namespace
