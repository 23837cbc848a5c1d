// Composing a path from a directory and a name, and volume roots.
#include "nfsd/name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "server/config.h"

namespace {

struct NameCase {
    uint32_t status;
    std::string path;
};

NameCase add(const char *dir, const std::string &name, uint32_t max_name = 255,
             uint32_t flags = 0) {
    export_entry e = {};
    e.max_name = max_name;
    e.flags = flags;
    char path[NFS_PATH_MAX];
    snprintf(path, sizeof path, "%s", dir);
    uint32_t status = nfs_add_name(&e, path, name.c_str());
    return {status, path};
}

TEST(AddName, AppendsAndKeepsThePathOnRefusal) {
    config.charset = 0;
    EXPECT_EQ(add("c:\\data", "Readme.TXT").path, "c:\\data\\Readme.TXT");
    EXPECT_EQ(add("c:\\data", ".").path, "c:\\data");
    EXPECT_EQ(add("c:\\data", "..").status, 1u);
    for (const char *bad : {"", "a*b", "a/b", "a\\b", "a:b", "a?b", "a|b", "a<b", "a\"b", "\x7f"}) {
        NameCase r = add("c:\\data", bad);
        EXPECT_EQ(r.status, 2u) << bad;
        EXPECT_EQ(r.path, "c:\\data") << bad;
    }
    EXPECT_EQ(add("c:\\data", "caf\xc3\xa9").status, 2u);  // not ASCII under CharSet 0
    config.charset = 2;
    EXPECT_EQ(add("c:\\data", "caf\xc3\xa9").status, 0u);
    config.charset = 0;
}

TEST(AddName, DeviceNamesAreRefused) {
    for (const char *device : {"con.txt", "COM7", "aux", "Nul.x.y", "prn", "com1.log"}) {
        NameCase r = add("c:\\data", device);
        EXPECT_EQ(r.status, 13u) << device;
        EXPECT_EQ(r.path, "c:\\data") << device;
    }
    for (const char *fine : {"com0", "com10", "console", "nul_", "auxx.txt", "com"})
        EXPECT_EQ(add("c:\\data", fine).status, 0u) << fine;
}

TEST(AddName, ShortNameVolumes) {
    EXPECT_EQ(add("a:", "readme.text", 12).status, 63u);
    EXPECT_EQ(add("a:", "longername", 12).status, 63u);
    EXPECT_EQ(add("a:", "a b", 12).status, 2u);
    EXPECT_EQ(add("a:", "readme.txt", 12).path, "a:\\readme.txt");
    EXPECT_EQ(add("a:", "12345678", 12).status, 0u);
    EXPECT_EQ(add("a:", "readme.text", 0).status, 63u);  // volume not known yet
    // On a long-name volume, only names as long as its limit fall back.
    EXPECT_EQ(add("c:", "readme.text", 255).status, 0u);
    EXPECT_EQ(add("c:", std::string(255, 'n'), 255).status, 63u);
}

TEST(AddName, LowercaseExportFoldsTheWholePath) {
    EXPECT_EQ(add("C:\\Data", "ReadMe.TXT", 255, EXP_LOWERCASE).path, "c:\\data\\readme.txt");
}

TEST(AddName, NeverOverrunsThePathBuffer) {
    std::string dir = "c:\\" + std::string(1000, 'd');  // 1003 characters
    // 1003 + '\' + 19 = 1023 characters: fits with the terminator.
    NameCase r = add(dir.c_str(), std::string(19, 'n'));
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.path.size(), 1023u);
    // One more would need 1025 bytes.
    r = add(dir.c_str(), std::string(20, 'n'));
    EXPECT_EQ(r.status, 63u);
    EXPECT_EQ(r.path, dir);
}

TEST(VolumeRoot, DriveAndShareRoots) {
    char root[NFS_PATH_MAX];
    EXPECT_TRUE(volume_root("c:", root));
    EXPECT_STREQ(root, "c:\\");
    EXPECT_TRUE(volume_root("c:\\", root));
    EXPECT_FALSE(volume_root("c:\\data\\x", root));
    EXPECT_STREQ(root, "c:\\");
    EXPECT_TRUE(volume_root("\\\\srv\\share", root));
    EXPECT_STREQ(root, "\\\\srv\\share\\");
    EXPECT_TRUE(volume_root("\\\\srv\\share\\", root));
    EXPECT_FALSE(volume_root("\\\\srv\\share\\dir\\f", root));
    EXPECT_STREQ(root, "\\\\srv\\share\\");
    std::string long_share = "\\\\srv\\" + std::string(1100, 's');
    volume_root(long_share.c_str(), root);
    EXPECT_EQ(strlen(root), 1023u);
}

}  // namespace
