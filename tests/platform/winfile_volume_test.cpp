// Volume information, serial numbers, free space and drive types.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/drive.h"
#include "platform/winfile.h"
#include "support/drive_temp.h"

namespace {

TEST(Volume, InformationAndDriveTypes) {
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
    EXPECT_EQ(volume_serial("C:"), serial);
    EXPECT_EQ(fails(win_get_volume_information("c:\\sub\\", nullptr, 0, nullptr, nullptr, nullptr,
                                               nullptr, 0)),
              ERROR_DIR_NOT_ROOT);
    EXPECT_EQ(volume_serial("q:\\"), 0u);
    const struct {
        const char *root;
        uint32_t type;
    } types[] = {{"c:\\", DRIVE_FIXED},
                 {"C:", DRIVE_FIXED},
                 {"q:\\", DRIVE_NO_ROOT_DIR},
                 {"c:\\dir\\", DRIVE_NO_ROOT_DIR},
                 {"\\\\srv\\share\\", DRIVE_NO_ROOT_DIR}};
    for (const auto &t : types) EXPECT_EQ(win_get_drive_type(t.root), t.type) << t.root;
}

TEST(Volume, RecreatedDirectoryIsANewMediumAndMissingIsNotReady) {
    temp_drive c('C', DRIVE_FIXED, 0x12345678);
    temp_drive e('E', DRIVE_REMOVABLE);
    EXPECT_EQ(volume_serial("c:\\"), 0x12345678u);  // fixed by the map
    uint32_t s1 = volume_serial("e:\\");
    ASSERT_EQ(rmdir(e.dir().c_str()), 0);
    EXPECT_EQ(fails(volume_serial("e:\\") != 0), ERROR_NOT_READY);
    uint64_t free_bytes;
    EXPECT_EQ(fails(win_get_disk_free_space_ex("e:\\", &free_bytes, nullptr, nullptr)),
              ERROR_NOT_READY);
    ASSERT_EQ(mkdir(e.dir().c_str(), 0755), 0);
    uint32_t s2 = volume_serial("e:\\");
    EXPECT_NE(s2, 0u);
    EXPECT_NE(s1, s2);
    EXPECT_EQ(win_get_drive_type("e:\\"), DRIVE_REMOVABLE);
}

// Free space is asked of a directory root; a file or a missing directory fails.
TEST(Volume, FreeSpaceOfDirectoriesOnly) {
    temp_drive c;
    mkdir(c.host("d").c_str(), 0755);
    write_file(c.host("f"), "x");
    uint64_t avail = 0, total = 0;
    ASSERT_TRUE(win_get_disk_free_space_ex("c:\\d\\", &avail, &total, nullptr));
    EXPECT_GT(total, 0u);
    EXPECT_FALSE(win_get_disk_free_space_ex("c:\\f", &avail, nullptr, nullptr));
    EXPECT_EQ(fails(win_get_disk_free_space_ex("c:\\none\\", &avail, nullptr, nullptr)),
              ERROR_PATH_NOT_FOUND);
}

}  // namespace
