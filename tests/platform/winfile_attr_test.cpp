// Attributes: READONLY as the owner's write bit, HIDDEN and SYSTEM in the
// extended attribute, fixed SYSTEM for link and device files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/winfile.h"
#include "support/drive_temp.h"

namespace {

mode_t mode_of(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(Attributes, ReadOnlyIsTheOwnerWriteBit) {
    temp_drive c;
    write_file(c.host("f"), "x");
    chmod(c.host("f").c_str(), 0664);
    EXPECT_EQ(win_get_file_attributes("c:\\f"), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(win_set_file_attributes("c:\\f", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(mode_of(c.host("f")), 0444u);
    EXPECT_EQ(win_get_file_attributes("c:\\f"), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(win_set_file_attributes("c:\\f", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(mode_of(c.host("f")), 0644u);
    // Group and others' write bits alone do not make a file writable.
    chmod(c.host("f").c_str(), 0466);
    EXPECT_EQ(win_get_file_attributes("c:\\f"), FILE_ATTRIBUTE_READONLY);
}

TEST(Attributes, HiddenAndSystemLiveInTheExtendedAttribute) {
    temp_drive c;
    write_file(c.host("f"), "x");
    mkdir(c.host("d").c_str(), 0755);
    ASSERT_TRUE(win_set_file_attributes(
        "c:\\F", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
    char text[16] = {};
    ASSERT_GT(getxattr(c.host("f").c_str(), "user.nimbora.attrib", text, sizeof text - 1), 0);
    EXPECT_STREQ(text, "6");
    EXPECT_EQ(win_get_file_attributes("c:\\f"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    ASSERT_TRUE(win_set_file_attributes("c:\\f", 0));
    EXPECT_EQ(win_get_file_attributes("c:\\f"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_LT(getxattr(c.host("f").c_str(), "user.nimbora.attrib", text, sizeof text), 0);
    ASSERT_TRUE(win_set_file_attributes("c:\\d", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(win_get_file_attributes("c:\\d"),
              FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(mode_of(c.host("d")), 0555u);
    EXPECT_EQ(fails(win_set_file_attributes("c:\\none", FILE_ATTRIBUTE_HIDDEN)),
              ERROR_FILE_NOT_FOUND);
    // Link files are SYSTEM whatever is set, and their target is untouched.
    write_file(c.host("t"), "x");
    chmod(c.host("t").c_str(), 0644);
    ASSERT_EQ(symlink("t", c.host("l").c_str()), 0);
    EXPECT_TRUE(win_set_file_attributes("c:\\l", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(win_get_file_attributes("c:\\l"), FILE_ATTRIBUTE_SYSTEM);
    EXPECT_EQ(mode_of(c.host("t")), 0644u);
    EXPECT_EQ(win_get_file_attributes("c:\\t"), FILE_ATTRIBUTE_NORMAL);
}

// ramfs keeps no extended attributes.
TEST(Attributes, NoExtendedAttributesGivesError50AndChangesNothing) {
    temp_drive c;
    int rc = with_mounted(c.dir(), "ramfs", [&] {
        write_file(c.host("f"), "x");
        chmod(c.host("f").c_str(), 0644);
        int bad = 0;
        if (win_get_file_attributes("c:\\f") != FILE_ATTRIBUTE_NORMAL) bad |= 1;
        if (fails(win_set_file_attributes(
                "c:\\f", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY)) != ERROR_NOT_SUPPORTED)
            bad |= 2;
        if (mode_of(c.host("f")) != 0644) bad |= 4;  // READONLY was not applied either
        if (!win_set_file_attributes("c:\\f", FILE_ATTRIBUTE_READONLY)) bad |= 8;
        if (win_get_file_attributes("c:\\f") != FILE_ATTRIBUTE_READONLY) bad |= 16;
        return bad;
    });
    if (rc == 77) GTEST_SKIP() << "no private mount namespace";
    EXPECT_EQ(rc, 0);
}

}  // namespace
