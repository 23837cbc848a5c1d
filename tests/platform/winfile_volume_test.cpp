// Volume information, serial numbers, free space and drive types.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/drive.h"
#include "platform/winfile.h"
#include "support/drive_temp.h"

namespace {

TEST(Volume, InformationOfAMappedDrive) {
    temp_drive c;
    char name[32] = "junk", fs[32] = {};
    uint32_t serial = 0, maxc = 0, flags = 0;
    ASSERT_TRUE(win_get_volume_information("c:\\", name, sizeof name, &serial, &maxc, &flags, fs,
                                           sizeof fs));
    EXPECT_STREQ(name, "");
    EXPECT_STREQ(fs, "NTFS");
    EXPECT_EQ(flags, 3u);
    EXPECT_EQ(maxc, 255u);
    EXPECT_NE(serial, 0u);
    uint32_t again = 0;
    ASSERT_TRUE(win_get_volume_information("C:", nullptr, 0, &again, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(again, serial);
    EXPECT_FALSE(
        win_get_volume_information("c:\\sub\\", nullptr, 0, &again, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(win_last_error(), ERROR_DIR_NOT_ROOT);
}

TEST(Volume, RecreatedDirectoryIsANewMediumAndMissingIsNotReady) {
    temp_drive c;
    temp_drive e('E', DRIVE_REMOVABLE);
    uint32_t s1 = 0, s2 = 0;
    ASSERT_TRUE(win_get_volume_information("e:\\", nullptr, 0, &s1, nullptr, nullptr, nullptr, 0));
    ASSERT_EQ(rmdir(e.dir().c_str()), 0);
    EXPECT_FALSE(win_get_volume_information("e:\\", nullptr, 0, &s2, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(win_last_error(), ERROR_NOT_READY);
    uint64_t free_bytes;
    EXPECT_FALSE(win_get_disk_free_space_ex("e:\\", &free_bytes, nullptr, nullptr));
    EXPECT_EQ(win_last_error(), ERROR_NOT_READY);
    ASSERT_EQ(mkdir(e.dir().c_str(), 0755), 0);
    ASSERT_TRUE(win_get_volume_information("e:\\", nullptr, 0, &s2, nullptr, nullptr, nullptr, 0));
    EXPECT_NE(s1, s2);
    EXPECT_EQ(win_get_drive_type("e:\\"), DRIVE_REMOVABLE);
}

TEST(Volume, FixedSerialFromTheMap) {
    temp_drive c('C', DRIVE_FIXED, 0x12345678);
    uint32_t s = 0;
    ASSERT_TRUE(win_get_volume_information("c:\\", nullptr, 0, &s, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(s, 0x12345678u);
}

TEST(Volume, DriveTypes) {
    temp_drive c;
    EXPECT_EQ(win_get_drive_type("c:\\"), DRIVE_FIXED);
    EXPECT_EQ(win_get_drive_type("C:"), DRIVE_FIXED);
    EXPECT_EQ(win_get_drive_type("q:\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(win_get_drive_type("c:\\dir\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(win_get_drive_type("\\\\srv\\share\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_FALSE(
        win_get_volume_information("q:\\", nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0));
}

TEST(Volume, FreeSpace) {
    temp_drive c;
    mkdir(c.host("d").c_str(), 0755);
    write_file(c.host("f"), "x");
    uint64_t avail = 0, total = 0, free_all = 0;
    ASSERT_TRUE(win_get_disk_free_space_ex("c:\\", &avail, &total, &free_all));
    EXPECT_GT(total, 0u);
    EXPECT_LE(avail, free_all);
    EXPECT_LE(free_all, total);
    EXPECT_TRUE(win_get_disk_free_space_ex("c:\\d\\", &avail, nullptr, nullptr));
    EXPECT_FALSE(win_get_disk_free_space_ex("c:\\f", &avail, nullptr, nullptr));
    EXPECT_FALSE(win_get_disk_free_space_ex("c:\\none\\", &avail, nullptr, nullptr));
    EXPECT_EQ(win_last_error(), ERROR_PATH_NOT_FOUND);
}

}  // namespace
