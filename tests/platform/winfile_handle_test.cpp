// CreateFile dispositions and the calls on a handle.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>

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

TEST_F(Handle, DispositionsErrorsAndContent) {
    const struct {
        const char *path;
        uint32_t access, disposition, flags;
        uint32_t error;       // last error after the call
        const char *content;  // of "f" afterwards
    } cases[] = {
        {"c:\\none", GENERIC_READ, OPEN_EXISTING, 0, ERROR_FILE_NOT_FOUND, "0123456789"},
        {"c:\\nodir\\x", GENERIC_READ, OPEN_ALWAYS, 0, ERROR_PATH_NOT_FOUND, "0123456789"},
        {"c:\\gone", GENERIC_WRITE, TRUNCATE_EXISTING, 0, ERROR_FILE_NOT_FOUND, "0123456789"},
        {"c:\\F", GENERIC_WRITE, CREATE_NEW, 0, ERROR_FILE_EXISTS, "0123456789"},
        // READONLY is enforced for every disposition that opens for writing.
        {"c:\\ro", GENERIC_WRITE, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED, "0123456789"},
        {"c:\\ro", GENERIC_WRITE, OPEN_ALWAYS, 0, ERROR_ACCESS_DENIED, "0123456789"},
        {"c:\\ro", GENERIC_WRITE, CREATE_ALWAYS, 0, ERROR_ACCESS_DENIED, "0123456789"},
        {"c:\\ro", GENERIC_WRITE, TRUNCATE_EXISTING, 0, ERROR_ACCESS_DENIED, "0123456789"},
        // Directories open only with backup semantics.
        {"c:\\dir", GENERIC_READ, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED, "0123456789"},
        {"c:\\dir", GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, ERROR_SUCCESS,
         "0123456789"},
        {"c:\\new", GENERIC_READ | GENERIC_WRITE, CREATE_NEW, 0, ERROR_SUCCESS, "0123456789"},
        // Another case opens the existing file; it never makes a second one.
        {"c:\\F", GENERIC_READ, OPEN_ALWAYS, 0, ERROR_ALREADY_EXISTS, "0123456789"},
        {"c:\\f", GENERIC_WRITE, CREATE_ALWAYS, 0, ERROR_ALREADY_EXISTS, ""},
        {"c:\\f", GENERIC_WRITE, TRUNCATE_EXISTING, 0, ERROR_SUCCESS, ""},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(std::string(t.path) + " disposition " + std::to_string(t.disposition));
        win_handle h = win_create_file(t.path, t.access, 0, t.disposition, t.flags);
        EXPECT_EQ(win_last_error(), t.error);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE,
                  t.error == ERROR_SUCCESS || t.error == ERROR_ALREADY_EXISTS);
        if (h != INVALID_HANDLE_VALUE) win_close_handle(h);
        EXPECT_EQ(read_file(c.host("f")), t.content);
        if (t.disposition == CREATE_ALWAYS && h != INVALID_HANDLE_VALUE)
            write_file(c.host("f"), "abc");
    }
    EXPECT_EQ(read_file(c.host("ro")), "ro");
    EXPECT_TRUE(c.has("new"));
    EXPECT_FALSE(c.has("F"));
}

TEST_F(Handle, ReadOnlyHandlesAndReadOnlyCreation) {
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
    EXPECT_EQ(read_file(c.host("newro")), "abc");
    // A HIDDEN file is not replaced by a plain one.
    ASSERT_TRUE(win_set_file_attributes("c:\\f", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(open_fails("c:\\f", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL),
              ERROR_ACCESS_DENIED);
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
    EXPECT_EQ(fails(win_set_file_pointer(h, -100, &pos, FILE_CURRENT)), ERROR_NEGATIVE_SEEK);
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
    EXPECT_EQ(info.volume_serial, volume_serial("c:\\"));
    EXPECT_TRUE(win_flush_file_buffers(h));
    EXPECT_TRUE(win_close_handle(h));
    EXPECT_EQ(fails(win_close_handle(h)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(read_file(c.host("f")), "0123456XY");
}

TEST_F(Handle, LinkAndDeviceFilesHaveVirtualContentFifosDoNotExist) {
    ASSERT_EQ(mkfifo(c.host("fifo").c_str(), 0644), 0);
    EXPECT_EQ(open_fails("c:\\fifo", GENERIC_READ, OPEN_EXISTING), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(attr_fails("c:\\fifo"), ERROR_FILE_NOT_FOUND);

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
    EXPECT_EQ(open_fails("c:\\null", GENERIC_WRITE, OPEN_EXISTING), ERROR_ACCESS_DENIED);
}

}  // namespace
