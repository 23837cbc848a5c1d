// The mapped table file: exclusive opening, extension with zeros, growth that
// keeps the old view on failure, and the volume serial of a POSIX path.
#include "platform/mapfile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
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

uint64_t size_on_disk(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

TEST(Mapfile, OpeningIsExclusiveUntilClosed) {
    temp_dir dir;
    std::string f = dir.file("t");
    mapfile a, b;
    ASSERT_TRUE(mapfile_open(&a, f.c_str(), false));
    EXPECT_FALSE(mapfile_open(&b, f.c_str(), false));
    EXPECT_FALSE(mapfile_open(&b, f.c_str(), true));  // and it does not empty a's file
    mapfile_close(&a);
    EXPECT_TRUE(mapfile_open(&b, f.c_str(), false));
    mapfile_close(&b);
}

TEST(Mapfile, MapExtendsWithZerosAndEmptyFirstTruncates) {
    temp_dir dir;
    std::string f = dir.file("t");
    mapfile m;
    ASSERT_TRUE(mapfile_open(&m, f.c_str(), false));
    ASSERT_TRUE(mapfile_map(&m, 4096));
    EXPECT_EQ(size_on_disk(f), 4096u);
    for (int i = 0; i < 4096; i++) ASSERT_EQ(m.base[i], 0);
    std::memcpy(m.base + 100, "kept", 4);
    mapfile_close(&m);

    ASSERT_TRUE(mapfile_open(&m, f.c_str(), false));
    ASSERT_TRUE(mapfile_map(&m, 1024));  // a longer file is mapped whole
    EXPECT_EQ(m.size, 4096u);
    EXPECT_EQ(std::memcmp(m.base + 100, "kept", 4), 0);
    mapfile_close(&m);

    ASSERT_TRUE(mapfile_open(&m, f.c_str(), true));
    uint64_t size = 1;
    ASSERT_TRUE(mapfile_size(&m, &size));
    EXPECT_EQ(size, 0u);
    mapfile_close(&m);
}

TEST(Mapfile, GrowKeepsContentAndAFailedGrowthKeepsTheView) {
    temp_dir dir;
    std::string f = dir.file("t");
    mapfile m;
    ASSERT_TRUE(mapfile_open(&m, f.c_str(), false));
    ASSERT_TRUE(mapfile_map(&m, 65536));
    std::memcpy(m.base + 65500, "edge", 4);

    // A file size limit makes the extension fail as a full disk would.
    signal(SIGXFSZ, SIG_IGN);
    rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit low = old;
    low.rlim_cur = 65536;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
    uint8_t *before = m.base;
    EXPECT_FALSE(mapfile_grow(&m, 131072));
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(m.base, before);
    EXPECT_EQ(m.size, 65536u);
    EXPECT_EQ(size_on_disk(f), 65536u);
    EXPECT_EQ(std::memcmp(m.base + 65500, "edge", 4), 0);

    ASSERT_TRUE(mapfile_grow(&m, 131072));
    EXPECT_EQ(m.size, 131072u);
    EXPECT_EQ(size_on_disk(f), 131072u);
    EXPECT_EQ(std::memcmp(m.base + 65500, "edge", 4), 0);
    EXPECT_EQ(m.base[131071], 0);
    m.base[131071] = 7;  // the new part is writable and reaches the file
    mapfile_close(&m);
    ASSERT_TRUE(mapfile_open(&m, f.c_str(), false));
    ASSERT_TRUE(mapfile_map(&m, 0));
    EXPECT_EQ(m.base[131071], 7);
    mapfile_close(&m);
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
