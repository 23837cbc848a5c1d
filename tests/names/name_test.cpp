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
    const std::string dir1003 = "c:\\" + std::string(1000, 'd');
    const struct {
        std::string dir, name;
        uint32_t status;
        std::string path;
        uint32_t max_name = 255;
        bool lowercase = false;
        uint32_t charset = CHARSET_ASCII;
    } cases[] = {
        {"c:\\data", "Readme.TXT", 0, "c:\\data\\Readme.TXT"},
        {"c:\\data", ".", 0, "c:\\data"},
        {"c:\\data", "..", 1, "c:\\data"},
        {"c:\\data", "caf\xc3\xa9", 2, "c:\\data"},  // not ASCII under CharSet 0
        {"c:\\data", "caf\xc3\xa9", 0, "c:\\data\\caf\xc3\xa9", 255, false, CHARSET_UTF8},
        {"a:", "readme.text", 63, "a:", 12},  // 8.3 volume
        {"a:", "readme.text", 63, "a:", 0},   // volume not known yet
        {"C:\\Data", "ReadMe.TXT", 0, "c:\\data\\readme.txt", 255, true},
        {dir1003, std::string(19, 'n'), 0, dir1003 + "\\" + std::string(19, 'n')},  // 1023
        {dir1003, std::string(20, 'n'), 63, dir1003},
    };
    auto check = [](const std::string &dir, const std::string &name, uint32_t status,
                    const std::string &expected, uint32_t max_name, bool lowercase) {
        SCOPED_TRACE(dir.substr(0, 20) + " + " + name.substr(0, 20));
        char path[NFS_PATH_MAX];
        snprintf(path, sizeof path, "%s", dir.c_str());
        EXPECT_EQ(name_append(path, name.c_str(), max_name, lowercase), status);
        EXPECT_EQ(path, expected);
    };
    for (const auto &c : cases) {
        config.charset = c.charset;
        check(c.dir, c.name, c.status, c.path, c.max_name, c.lowercase);
    }
    config.charset = CHARSET_ASCII;
    for (const char *bad : {"", "a*b", "a/b", "a\\b", "a:b", "a\tb", "a\"b", "\x7f"})
        check("c:\\data", bad, 2, "c:\\data", 255, false);
    for (const char *device : {"COM7", "Nul.x.y", "com1.log"})
        check("c:\\data", device, 13, "c:\\data", 255, false);
    for (const char *fine : {"com0", "com10", "console", "auxx.txt"})
        check("c:\\data", fine, 0, std::string("c:\\data\\") + fine, 255, false);
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
