// Paths and records: splitting drive and UNC paths, rebuilding paths within
// the depth and buffer limits, ".." that never leaves an export, and the
// name character rules.
#include "mountd/export.h"
#include "support/inode_table.h"

namespace {

using path = inode_test;

TEST_F(path, DriveFormsResolveToOneRecord) {
    start();
    uint32_t c = inode_path_lookup("C:\\");
    EXPECT_NE(c, 0u);
    EXPECT_EQ(inode_path_lookup("C:"), c);
    EXPECT_EQ(inode_path_find("c:\\"), c);
    EXPECT_EQ(path_of(c), "C:");
    uint32_t dir = inode_path_lookup("C:\\dir\\");
    EXPECT_EQ(inode_path_find("C:\\dir"), dir);
    EXPECT_EQ(inode_path_lookup("c:\\DIR"), dir);
    EXPECT_EQ(path_of(dir), "C:\\dir");
    // A final "." or ".." is ignored by the finding walk.
    EXPECT_EQ(inode_path_find("C:\\dir\\."), dir);
    EXPECT_EQ(inode_path_find("C:\\dir\\.."), dir);
    EXPECT_EQ(inode_path_find("C:\\dir\\missing"), 0u);
    EXPECT_EQ(inode_path_find("D:\\dir"), 0u);
    // Repeated separators between later components count once.
    uint32_t f = inode_path_lookup("C:\\dir\\\\f");
    EXPECT_EQ(path_of(f), "C:\\dir\\f");
    EXPECT_EQ(inode_path_find("C:\\dir\\f"), f);
    EXPECT_EQ(inode_path_lookup(""), 0u);
    EXPECT_EQ(inode_path_lookup("C:\\dir\\..\\x"), 0u);  // ".." is never stored
}

TEST_F(path, UncPathsNeedRemote) {
    start();
    EXPECT_EQ(inode_path_lookup("\\\\srv\\share\\f"), 0u);
    config.remote = 1;
    uint32_t f = inode_path_lookup("\\\\srv\\share\\f");
    ASSERT_NE(f, 0u);
    EXPECT_EQ(name_of(inode_path_find("\\\\SRV")), "/srv");
    EXPECT_EQ(path_of(f), "\\\\srv\\share\\f");
    EXPECT_EQ(inode_path_find("\\\\srv\\share\\F"), f);
    EXPECT_EQ(children(inode_path_find("\\\\srv")), std::vector<std::string>{"share"});
    config.remote = 0;
}

TEST_F(path, DepthAndLengthLimitsRefuseThePath) {
    start();
    std::string p = "C:";
    uint32_t deep = 0;
    for (int level = 1; level <= 31; level++) {
        p += "\\d" + std::to_string(level);
        uint32_t r = inode_path_lookup(p.c_str());
        ASSERT_NE(r, 0u);
        if (level == 30) {
            EXPECT_EQ(path_of(r), p);
        }
        deep = r;
    }
    EXPECT_EQ(path_of(deep), "");  // 31 below the drive record

    std::string name(200, 'n');
    std::string q = "C:";
    uint32_t r = 0;
    for (int level = 0; level < 5; level++) {
        q += "\\" + name;
        r = inode_path_lookup(q.c_str());
        ASSERT_NE(r, 0u);
    }
    EXPECT_EQ(path_of(r).size(), 1007u);
    uint32_t last =
        inode_lookup(r, std::string(16, 'x').c_str());  // 1024 bytes, no room for the NUL
    uint32_t fits = inode_lookup(r, std::string(15, 'y').c_str());  // 1023 bytes and the NUL
    char buf[INODE_PATH_MAX];
    EXPECT_EQ(inode_path(last, buf), nullptr);
    EXPECT_STREQ(buf, "");
    ASSERT_NE(inode_path(fits, buf), nullptr);
    EXPECT_EQ(std::strlen(buf), 1023u);
}

TEST_F(path, ParentStopsAtTheExportRoot) {
    start();
    char exp_path[] = "c:\\data";
    export_entry exp{};
    exp.path = exp_path;
    uint32_t root = inode_path_lookup("c:\\data");
    uint32_t sub = inode_path_lookup("c:\\data\\sub");
    uint32_t deeper = inode_path_lookup("c:\\data\\sub\\deeper");

    char buf[INODE_PATH_MAX];
    std::strcpy(buf, "c:\\data\\sub\\deeper");
    EXPECT_EQ(inode_parent(&exp, deeper, buf), sub);
    EXPECT_STREQ(buf, "c:\\data\\sub");
    EXPECT_EQ(inode_parent(&exp, sub, buf), root);
    EXPECT_STREQ(buf, "c:\\data");
    EXPECT_EQ(inode_parent(&exp, root, buf), root);  // ".." of the root is the root
    EXPECT_STREQ(buf, "c:\\data");
    std::strcpy(buf, "c:\\dat");  // anything not below the export
    EXPECT_EQ(inode_parent(&exp, sub, buf), root);
    EXPECT_STREQ(buf, "c:\\data");
    EXPECT_EQ(inode_parent(&exp, 4096, buf), 0u);

    // The export written in another case than the stored records: the root's
    // rebuilt path sorts after "C:\DATA" byte for byte, yet ".." stays.
    char upper[] = "C:\\DATA";
    exp.path = upper;
    std::strcpy(buf, path_of(root).c_str());
    EXPECT_EQ(inode_parent(&exp, root, buf), root);
    EXPECT_STREQ(buf, "C:\\DATA");
    std::strcpy(buf, path_of(sub).c_str());
    EXPECT_EQ(inode_parent(&exp, sub, buf), root);
    EXPECT_STREQ(buf, "c:\\data");
    // By number as well: the root is the root whatever path text comes along.
    exp.root_inode = root;
    std::strcpy(buf, "c:\\data\\x");
    EXPECT_EQ(inode_parent(&exp, root, buf), root);
}

TEST_F(path, NameCharacters) {
    for (unsigned char c : std::string("\"*/:<>?\\|\x7f\x1f"))
        EXPECT_FALSE(name_char_valid(c)) << int(c);
    for (unsigned char c : std::string(" azAZ09._-~'")) EXPECT_TRUE(name_char_valid(c)) << int(c);
    config.charset = 0;
    EXPECT_FALSE(name_char_valid(0x80));
    EXPECT_FALSE(name_valid("caf\xe9"));
    config.charset = 1;
    EXPECT_TRUE(name_char_valid(0xFF));
    EXPECT_TRUE(name_valid("caf\xe9"));
    EXPECT_TRUE(name_valid(""));
    EXPECT_FALSE(name_valid("a\tb"));
    config.charset = 2;
}

TEST_F(path, InvalidCharactersSplitComponents) {
    config.charset = 0;
    start();
    // Under CharSet 0 a high byte is a separator, never part of a name.
    uint32_t r = inode_path_lookup("C:\\caf\xe9x");
    EXPECT_EQ(path_of(r), "C:\\caf\\x");
    config.charset = 2;
}

}  // namespace
