// The drive map from the settings store and removable media.
#include "platform/drive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/winfile.h"
#include "support/drive_temp.h"
#include "support/home.h"

namespace {

struct Drives : public ::testing::Test {
    test_home home;
    std::string dir_c = home.file("c"), dir_e = home.file("e");
    void SetUp() override {
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

// Letters with their types and serials; a UNC root is a drive only while
// remote use is on.
TEST_F(Drives, LettersTypesSerialsAndUncRoots) {
    std::string values = "\"C\"=\"" + dir_c + "\"\n\"E\"=\"" + dir_e +
                         "\"\n\"E-Type\"=\"2\"\n\"E-Serial\"=\"4660\"\n" +
                         "\"\\\\\\\\srv\\\\share\"=\"" + dir_e + "\"\n";
    settings(values);
    EXPECT_EQ(win_get_drive_type("c:\\"), DRIVE_FIXED);
    EXPECT_EQ(win_get_drive_type("E:\\"), DRIVE_REMOVABLE);
    EXPECT_EQ(win_get_drive_type("d:\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(volume_serial("e:\\"), 4660u);
    EXPECT_EQ(win_get_drive_type("\\\\srv\\share\\"), DRIVE_NO_ROOT_DIR);
    drive_set_remote(true);
    settings(values);
    EXPECT_EQ(win_get_drive_type("\\\\SRV\\Share"), DRIVE_REMOTE);
}

// A drive that stood in for some other directory would export what nobody
// asked for: no value, or a doubtful one, maps nothing and says why.
TEST_F(Drives, NoValueMapsNothingAndEachBadValueIsRefusedWithItsReason) {
    home.write("a-file", "x");
    const struct {
        std::string value;  // of "C"; none for the first row
        const char *reason;
    } cases[] = {
        {"", nullptr},
        {"\"C\"=\"relative/dir\"\n", "not an absolute path"},
        {"\"C\"=\"" + home.file("missing") + "\"\n", "no such directory"},
        {"\"C\"=\"" + home.file("a-file") + "\"\n", "not a directory"},
        {"\"C\"=\"\"\n", "empty value"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        settings(c.value + "\"E\"=\"" + dir_e + "\"\n");
        EXPECT_EQ(win_get_drive_type("c:\\"), DRIVE_NO_ROOT_DIR);
        EXPECT_EQ(win_get_file_attributes("c:\\etc"), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(win_get_drive_type("e:\\"), DRIVE_FIXED);  // a good value beside it still maps
        drive_problem problems[DRIVE_PROBLEMS_MAX];
        uint32_t n = drive_load_problems(problems, DRIVE_PROBLEMS_MAX);
        ASSERT_EQ(n, c.reason ? 1u : 0u);
        if (!c.reason) continue;
        EXPECT_STREQ(problems[0].name, "C");
        EXPECT_STREQ(problems[0].reason, c.reason);
    }
}

// A drive whose directory is gone has no medium; made again, it is a new one.
TEST(Volume, RecreatedDirectoryIsANewMedium) {
    temp_drive e('E', DRIVE_REMOVABLE);
    uint32_t s1 = volume_serial("e:\\");
    ASSERT_EQ(rmdir(e.dir().c_str()), 0);
    EXPECT_EQ(fails(volume_serial("e:\\") != 0), ERROR_NOT_READY);
    ASSERT_EQ(mkdir(e.dir().c_str(), 0755), 0);
    uint32_t s2 = volume_serial("e:\\");
    EXPECT_TRUE(s2 != 0 && s2 != s1) << s1 << " " << s2;
}

}  // namespace
