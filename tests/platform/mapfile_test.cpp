// The mapped table file: exclusive opening and the volume serial of a POSIX
// path. Mapping, extension and growth (a failed one included) are shown
// through the inode table's own tests, which see their effect on the file.
#include "platform/mapfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

struct temp_dir {
    std::string path;
    explicit temp_dir(const char *base = "/tmp") {
        std::string t = std::string(base) + "/mapfile-XXXXXX";
        path = mkdtemp(t.data()) ? t : "";
    }
    ~temp_dir() { std::filesystem::remove_all(path); }
    std::string file(const char *name) const { return path + "/" + name; }
};

TEST(Mapfile, OpeningIsExclusiveUntilClosed) {
    temp_dir dir;
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
    temp_dir a, b;
    uint32_t s1 = 0, s2 = 0, s3 = 0;
    ASSERT_TRUE(host_path_volume_serial(a.file("missing").c_str(), &s1));  // its folder counts
    ASSERT_TRUE(host_path_volume_serial(b.path.c_str(), &s2));
    EXPECT_NE(s1, 0u);
    EXPECT_EQ(s1, s2);
    EXPECT_TRUE(host_path_volume_serial(a.path.c_str(), &s3));
    EXPECT_EQ(s1, s3);  // stable from call to call

    temp_dir shm("/dev/shm");
    struct stat st1, st2;
    if (!shm.path.empty() && stat(shm.path.c_str(), &st1) == 0 && stat(a.path.c_str(), &st2) == 0 &&
        st1.st_dev != st2.st_dev) {
        uint32_t s4 = 0;
        ASSERT_TRUE(host_path_volume_serial(shm.path.c_str(), &s4));
        EXPECT_NE(s4, s1);
    }
    uint32_t s5 = 0;
    EXPECT_FALSE(host_path_volume_serial("\\\\srv\\share\\inodes.nfs", &s5));
    EXPECT_FALSE(host_path_volume_serial("/no/such/folder/at/all", &s5));
}

}  // namespace
