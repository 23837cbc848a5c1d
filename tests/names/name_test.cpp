// Composing a path from a directory and a name, and volume roots.
#include "names/name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/config_guard.h"

namespace {

// On any refusal the path must be left as it was.
TEST(AddName, AppendsOrRefusesLeavingThePath) {
    config_guard keep;
    const std::string D = "c:\\data", dir1003 = "c:\\" + std::string(1000, 'd');
    const struct {
        std::string dir, name;
        uint32_t status;
        std::string path;
        uint32_t max_name = 255;
        bool lowercase = false;
        uint32_t charset = CHARSET_ASCII;
    } cases[] = {
        {D, "Readme.TXT", 0, D + "\\Readme.TXT"},
        {D, ".", 0, D},
        {D, "..", 1, D},
        {D, "caf\xc3\xa9", 2, D},  // not ASCII under CharSet 0
        {D, "caf\xc3\xa9", 0, D + "\\caf\xc3\xa9", 255, false, CHARSET_UTF8},
        {"a:", "readme.text", 63, "a:", 12},  // 8.3 volume
        {"a:", "readme.text", 63, "a:", 0},   // volume not known yet
        {"C:\\Data", "ReadMe.TXT", 0, "c:\\data\\readme.txt", 255, true},
        {dir1003, std::string(19, 'n'), 0, dir1003 + "\\" + std::string(19, 'n')},  // 1023
        {dir1003, std::string(20, 'n'), 63, dir1003},
        {D, "", 2, D},      {D, "a*b", 2, D},  {D, "a/b", 2, D},  {D, "a\\b", 2, D},
        {D, "a:b", 2, D},   {D, "a\tb", 2, D}, {D, "a\"b", 2, D}, {D, "\x7f", 2, D},
        {D, "COM7", 13, D}, {D, "Nul.x.y", 13, D}, {D, "com1.log", 13, D},  // devices
        {D, "com0", 0, D + "\\com0"},         {D, "com10", 0, D + "\\com10"},
        {D, "console", 0, D + "\\console"},   {D, "auxx.txt", 0, D + "\\auxx.txt"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dir.substr(0, 20) + " + " + c.name.substr(0, 20));
        config.charset = c.charset;
        char path[NFS_PATH_MAX];
        snprintf(path, sizeof path, "%s", c.dir.c_str());
        EXPECT_EQ(name_append(path, c.name.c_str(), c.max_name, c.lowercase), c.status);
        EXPECT_EQ(path, c.path);
    }
}

TEST(VolumeRoot, DriveAndShareRoots) {
    const struct {
        const char *path;
        bool is_root;
        const char *root;
    } cases[] = {
        {"c:\\data\\x", false, "c:\\"},
        {"\\\\srv\\share", true, "\\\\srv\\share\\"},
        {"\\\\srv\\share\\dir\\f", false, "\\\\srv\\share\\"},
    };
    char root[NFS_PATH_MAX];
    for (const auto &c : cases) {
        EXPECT_EQ(volume_root(c.path, root), c.is_root) << c.path;
        EXPECT_STREQ(root, c.root) << c.path;
    }
    std::string long_share = "\\\\srv\\" + std::string(1100, 's');
    volume_root(long_share.c_str(), root);
    EXPECT_EQ(strlen(root), 1023u);
}

}  // namespace
