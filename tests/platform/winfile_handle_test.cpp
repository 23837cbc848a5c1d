// CreateFile dispositions and the calls on a handle.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>

#include "platform/drive.h"
#include "platform/winfile.h"
#include "support/drive_temp.h"

namespace {

struct Handle : public ::testing::Test {
    temp_drive c;
    void SetUp() override {
        write_file(c.host("f"), "0123456789");
        write_file(c.host("ro"), "ro");
        chmod(c.host("ro").c_str(), 0444);
        mkdir(c.host("dir").c_str(), 0755);
    }
};

TEST_F(Handle, Dispositions) {
    EXPECT_EQ(win_create_file("c:\\none", GENERIC_READ, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(win_last_error(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(win_create_file("c:\\nodir\\x", GENERIC_READ, 0, OPEN_ALWAYS, 0),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(win_last_error(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(win_create_file("c:\\F", GENERIC_WRITE, 0, CREATE_NEW, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(win_last_error(), ERROR_FILE_EXISTS);

    win_handle h = win_create_file("c:\\new", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                   CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_GT(h, 0);
    EXPECT_EQ(win_last_error(), ERROR_SUCCESS);
    win_close_handle(h);

    h = win_create_file("c:\\f", GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(win_last_error(), ERROR_ALREADY_EXISTS);
    win_close_handle(h);
    EXPECT_EQ(read_file(c.host("f")), "");

    write_file(c.host("f"), "abc");
    h = win_create_file("c:\\f", GENERIC_WRITE, 0, TRUNCATE_EXISTING, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    win_close_handle(h);
    EXPECT_EQ(read_file(c.host("f")), "");
    EXPECT_EQ(win_create_file("c:\\gone", GENERIC_WRITE, 0, TRUNCATE_EXISTING, 0),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(win_last_error(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Handle, ReadOnlyIsEnforcedAndNothingChanges) {
    for (uint32_t disp : {OPEN_EXISTING, OPEN_ALWAYS, CREATE_ALWAYS, TRUNCATE_EXISTING}) {
        EXPECT_EQ(win_create_file("c:\\ro", GENERIC_WRITE, 0, disp, 0), INVALID_HANDLE_VALUE);
        EXPECT_EQ(win_last_error(), ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(read_file(c.host("ro")), "ro");
    win_handle h = win_create_file("c:\\ro", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    uint32_t n;
    EXPECT_FALSE(win_write_file(h, "x", 1, &n));
    EXPECT_EQ(win_last_error(), ERROR_ACCESS_DENIED);
    win_close_handle(h);
    // A new file created READONLY is writable through its creating handle.
    h = win_create_file("c:\\newro", GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_READONLY);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(win_write_file(h, "abc", 3, &n));
    win_close_handle(h);
    EXPECT_EQ(win_get_file_attributes("c:\\newro"), FILE_ATTRIBUTE_READONLY);
}

TEST_F(Handle, HiddenFileIsNotReplacedByAPlainOne) {
    ASSERT_TRUE(win_set_file_attributes("c:\\f", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(win_create_file("c:\\f", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(win_last_error(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(read_file(c.host("f")), "0123456789");
}

TEST_F(Handle, ReadWriteSeekTruncateAndInformation) {
    win_handle h =
        win_create_file("c:\\f", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int64_t pos;
    ASSERT_TRUE(win_set_file_pointer(h, 4, &pos, FILE_BEGIN));
    EXPECT_EQ(pos, 4);
    char buf[16] = {};
    uint32_t n;
    ASSERT_TRUE(win_read_file(h, buf, 3, &n));
    EXPECT_EQ(std::string(buf, n), "456");
    ASSERT_TRUE(win_write_file(h, "XY", 2, &n));
    EXPECT_EQ(n, 2u);
    EXPECT_FALSE(win_set_file_pointer(h, -100, &pos, FILE_CURRENT));
    EXPECT_EQ(win_last_error(), ERROR_NEGATIVE_SEEK);
    // Past the end: read gives 0 bytes; set end of file extends.
    ASSERT_TRUE(win_set_file_pointer(h, 5000000000LL, &pos, FILE_BEGIN));
    ASSERT_TRUE(win_read_file(h, buf, sizeof buf, &n));
    EXPECT_EQ(n, 0u);
    ASSERT_TRUE(win_set_end_of_file(h));
    uint64_t size;
    ASSERT_TRUE(win_get_file_size(h, &size));
    EXPECT_EQ(size, 5000000000ULL);
    ASSERT_TRUE(win_set_file_pointer(h, 9, nullptr, FILE_BEGIN));
    ASSERT_TRUE(win_set_end_of_file(h));
    win_file_info info;
    ASSERT_TRUE(win_get_file_information_by_handle(h, &info));
    EXPECT_EQ(info.size_low, 9u);
    EXPECT_EQ(info.size_high, 0u);
    EXPECT_EQ(info.attributes, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(info.links, 1u);
    uint32_t serial = 0;
    ASSERT_TRUE(
        win_get_volume_information("c:\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(info.volume_serial, serial);
    EXPECT_TRUE(win_flush_file_buffers(h));
    EXPECT_TRUE(win_close_handle(h));
    EXPECT_FALSE(win_close_handle(h));
    EXPECT_EQ(win_last_error(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(read_file(c.host("f")), "0123456XY");
}

TEST_F(Handle, DirectoriesNeedBackupSemantics) {
    EXPECT_EQ(win_create_file("c:\\dir", GENERIC_READ, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(win_last_error(), ERROR_ACCESS_DENIED);
    win_handle h =
        win_create_file("c:\\dir", GENERIC_READ, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    win_file_info info;
    ASSERT_TRUE(win_get_file_information_by_handle(h, &info));
    EXPECT_EQ(info.attributes, FILE_ATTRIBUTE_DIRECTORY);
    win_close_handle(h);
}

TEST_F(Handle, LinkAndDeviceFilesHaveVirtualContent) {
    ASSERT_EQ(symlink("../target/x", c.host("l").c_str()), 0);
    win_handle h = win_create_file("c:\\l", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[64];
    uint32_t n;
    ASSERT_TRUE(win_set_file_pointer(h, 3, nullptr, FILE_BEGIN));
    ASSERT_TRUE(win_read_file(h, buf, sizeof buf, &n));
    EXPECT_EQ(std::string(buf, n), "target/x");
    win_file_info info;
    ASSERT_TRUE(win_get_file_information_by_handle(h, &info));
    EXPECT_EQ(info.attributes, FILE_ATTRIBUTE_SYSTEM);
    EXPECT_EQ(info.size_low, 11u);
    win_close_handle(h);

    if (mknod(c.host("null").c_str(), S_IFCHR | 0640, makedev(1, 3)) != 0)
        GTEST_SKIP() << "cannot make device nodes here";
    h = win_create_file("c:\\null", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    uint8_t hdr[40];
    ASSERT_TRUE(win_read_file(h, hdr, sizeof hdr, &n));
    ASSERT_EQ(n, 32u);
    EXPECT_EQ(memcmp(hdr + 4, "specdata", 8), 0);
    EXPECT_EQ(hdr[16], 4);  // character device
    EXPECT_EQ(hdr[20], 1);  // major
    EXPECT_EQ(hdr[24], 3);  // minor
    EXPECT_EQ(hdr[28] | hdr[29] << 8, 0640);
    win_close_handle(h);
    EXPECT_EQ(win_create_file("c:\\null", GENERIC_WRITE, 0, OPEN_EXISTING, 0),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(win_last_error(), ERROR_ACCESS_DENIED);
}

TEST_F(Handle, FifosDoNotExist) {
    ASSERT_EQ(mkfifo(c.host("fifo").c_str(), 0644), 0);
    EXPECT_EQ(win_create_file("c:\\fifo", GENERIC_READ, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(win_last_error(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(win_get_file_attributes("c:\\fifo"), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
