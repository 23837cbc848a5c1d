// The mapped table file: exclusive opening and the volume serial of a POSIX
// path. Mapping, extension and growth (a failed one included) are shown
// through the inode table's own tests, which see their effect on the file.
#include "platform/mapfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "support/home.h"

namespace {

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

TEST(Mapfile, VolumeSerialFollowsTheFileSystem) {
    test_home dir;
    char shm[] = "/dev/shm/mapfile-XXXXXX";
    bool made = mkdtemp(shm) != nullptr;
    uint32_t home = 0, missing = 0, tmp = 0, other = 0;
    ASSERT_TRUE(host_path_volume_serial(dir.path().c_str(), &home));
    EXPECT_NE(home, 0u);
    ASSERT_TRUE(host_path_volume_serial(dir.file("missing").c_str(), &missing));  // its folder
    EXPECT_EQ(missing, home);
    struct stat s1, s2;
    if (made && stat(shm, &s1) == 0 && stat(dir.path().c_str(), &s2) == 0 &&
        s1.st_dev != s2.st_dev) {
        EXPECT_TRUE(host_path_volume_serial(shm, &other));
        EXPECT_NE(other, home);
    }
    if (made) std::filesystem::remove_all(shm);
    EXPECT_FALSE(host_path_volume_serial("\\\\srv\\share\\inodes.nfs", &tmp));
    EXPECT_FALSE(host_path_volume_serial("/no/such/folder/at/all", &tmp));
}

}  // namespace
