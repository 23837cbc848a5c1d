// Drives and volumes: the drive map read from the settings store, what the
// volume calls report about a mapped drive, and the mapped table file with
// the volume of a host path.
#include "platform/drive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>

#include "platform/mapfile.h"
#include "platform/winfile.h"
#include "support/drive_temp.h"
#include "support/home.h"

namespace {

struct Drives : public ::testing::Test {
    test_home home;
    std::string dir_c, dir_e;
    void SetUp() override {
        dir_c = home.file("c");
        dir_e = home.file("e");
        mkdir(dir_c.c_str(), 0755);
        mkdir(dir_e.c_str(), 0755);
    }
    void TearDown() override {
        drive_set_remote(false);
        drive_reset();
    }
    void settings(const std::string &values) {
        home.write("settings.reg",
                   "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd\\Drives]\n" + values);
        drive_load();
    }
};

TEST_F(Drives, LettersTypesSerialsAndRunTimeMapping) {
    settings("\"C\"=\"" + dir_c + "\"\n\"E\"=\"" + dir_e +
             "\"\n\"E-Type\"=\"2\"\n\"E-Serial\"=\"4660\"\n");
    EXPECT_EQ(win_get_drive_type("c:\\"), DRIVE_FIXED);
    EXPECT_EQ(win_get_drive_type("E:\\"), DRIVE_REMOVABLE);
    EXPECT_EQ(win_get_drive_type("d:\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(volume_serial("e:\\"), 4660u);
    home.write("c/x.txt", "x");
    EXPECT_EQ(win_get_file_attributes("C:\\X.TXT"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(drive_map("x", dir_e.c_str(), DRIVE_CDROM, 0));
    EXPECT_EQ(win_get_drive_type("X:\\"), DRIVE_CDROM);
    EXPECT_TRUE(drive_map("X", nullptr, 0, 0));
    EXPECT_EQ(win_get_drive_type("x:\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_FALSE(drive_map("XY", dir_e.c_str(), 3, 0));
    EXPECT_FALSE(drive_map("C", "relative/dir", 3, 0));
}

TEST_F(Drives, WithoutAnyDriveValueCIsTheRoot) {
    settings("");
    EXPECT_EQ(win_get_drive_type("c:\\"), DRIVE_FIXED);
    EXPECT_EQ(win_get_file_attributes("c:\\etc"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(win_get_drive_type("e:\\"), DRIVE_NO_ROOT_DIR);
}

TEST_F(Drives, UncRootsOnlyWithRemote) {
    std::string values = "\"C\"=\"" + dir_c + "\"\n\"\\\\\\\\srv\\\\share\"=\"" + dir_e + "\"\n";
    settings(values);
    EXPECT_EQ(win_get_drive_type("\\\\srv\\share\\"), DRIVE_NO_ROOT_DIR);
    drive_set_remote(true);
    settings(values);
    EXPECT_EQ(win_get_drive_type("\\\\SRV\\Share"), DRIVE_REMOTE);
    home.write("e/f", "x");
    EXPECT_EQ(win_get_file_attributes("\\\\srv\\share\\F"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(win_get_file_attributes("\\\\srv\\other\\f"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(win_last_error(), ERROR_BAD_NET_NAME);
}

// ---- volumes ---------------------------------------------------------------

TEST(Volume, InformationOfRootsOnly) {
    temp_drive c;
    char fs[32] = {};
    uint32_t serial = 0, maxc = 0;
    ASSERT_TRUE(
        win_get_volume_information("c:\\", nullptr, 0, &serial, &maxc, nullptr, fs, sizeof fs));
    EXPECT_EQ(std::tuple(std::string(fs), maxc), std::tuple(std::string("NTFS"), 255u));
    EXPECT_NE(serial, 0u);
    EXPECT_EQ(volume_serial("C:"), serial);
    EXPECT_EQ(fails(win_get_volume_information("c:\\sub\\", nullptr, 0, nullptr, nullptr, nullptr,
                                               nullptr, 0)),
              ERROR_DIR_NOT_ROOT);
    EXPECT_EQ(volume_serial("q:\\"), 0u);
    EXPECT_EQ(win_get_drive_type("c:\\dir\\"), DRIVE_NO_ROOT_DIR);
}

TEST(Volume, RecreatedDirectoryIsANewMediumAndMissingIsNotReady) {
    temp_drive e('E', DRIVE_REMOVABLE);
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

// ---- the mapped table file -------------------------------------------------
// Mapping, extension and growth are shown through the inode table's tests.

TEST(Mapfile, OpeningIsExclusiveUntilClosed) {
    test_home dir;
    std::string f = dir.file("t");
    mapfile a, b;
    ASSERT_TRUE(mapfile_open(&a, f.c_str(), false));
    ASSERT_TRUE(mapfile_map(&a, 4096));
    a.base[100] = 7;
    EXPECT_FALSE(mapfile_open(&b, f.c_str(), false));
    EXPECT_FALSE(mapfile_open(&b, f.c_str(), true));  // and it does not empty a's file
    uint64_t size = 0;
    EXPECT_TRUE(mapfile_size(&a, &size));
    EXPECT_EQ(size, 4096u);
    EXPECT_EQ(a.base[100], 7);
    mapfile_close(&a);
    EXPECT_TRUE(mapfile_open(&b, f.c_str(), false));
    mapfile_close(&b);
}

TEST(Mapfile, VolumeSerialOfAHostPath) {
    test_home dir;
    uint32_t home = 0, missing = 0, none = 0;
    ASSERT_TRUE(host_path_volume_serial(dir.path().c_str(), &home));
    EXPECT_NE(home, 0u);
    ASSERT_TRUE(host_path_volume_serial(dir.file("missing").c_str(), &missing));  // its folder
    EXPECT_EQ(missing, home);
    EXPECT_FALSE(host_path_volume_serial("\\\\srv\\share\\inodes.nfs", &none));
    EXPECT_FALSE(host_path_volume_serial("/no/such/folder/at/all", &none));
}

}  // namespace
