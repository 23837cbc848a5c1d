// Open files: CreateFile dispositions and the calls on a handle, the runtime
// descriptors over the same table, and the attributes both of them honour
// (READONLY as the owner's write bit, HIDDEN and SYSTEM in the extended
// attribute, SYSTEM alone for link and device files).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <tuple>

#include "platform/rtfile.h"
#include "platform/winfile.h"
#include "support/drive_temp.h"

namespace {

mode_t mode_of(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}
// errno of a runtime call that returned -1, 0 when it did not fail.
int err(long long rc) {
    return rc == -1 ? errno : 0;
}

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
    EXPECT_EQ(std::tuple(info.size_low, info.size_high, info.attributes, info.links),
              std::tuple(9u, 0u, uint32_t(FILE_ATTRIBUTE_NORMAL), 1u));
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
    // As runtime descriptors: read-only, with the same content.
    EXPECT_EQ(err(rt_open("c:\\l", RT_O_RDWR, 0)), EACCES);
    int fd = rt_open("c:\\l", RT_O_RDONLY | RT_O_BINARY, 0);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(rt_read(fd, buf, sizeof buf), 11);
    EXPECT_EQ(rt_filelength(fd), 11);
    rt_close(fd);

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

// ---- attributes ------------------------------------------------------------

TEST_F(Handle, ReadOnlyIsTheOwnerWriteBitHiddenAndSystemAnExtendedAttribute) {
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
    // HIDDEN and SYSTEM live in the extended attribute.
    ASSERT_TRUE(win_set_file_attributes(
        "c:\\F", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
    char text[16] = {};
    ASSERT_GT(getxattr(c.host("f").c_str(), "user.nimbora.attrib", text, sizeof text - 1), 0);
    EXPECT_STREQ(text, "6");
    EXPECT_EQ(win_get_file_attributes("c:\\f"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    ASSERT_TRUE(win_set_file_attributes("c:\\f", 0));
    EXPECT_EQ(win_get_file_attributes("c:\\f"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_LT(getxattr(c.host("f").c_str(), "user.nimbora.attrib", text, sizeof text), 0);
    ASSERT_TRUE(
        win_set_file_attributes("c:\\dir", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(win_get_file_attributes("c:\\dir"),
              FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(mode_of(c.host("dir")), 0555u);
    EXPECT_EQ(fails(win_set_file_attributes("c:\\none", FILE_ATTRIBUTE_HIDDEN)),
              ERROR_FILE_NOT_FOUND);
    // Link files are SYSTEM whatever is set, and their target is untouched.
    chmod(c.host("f").c_str(), 0644);
    ASSERT_EQ(symlink("f", c.host("l").c_str()), 0);
    EXPECT_TRUE(win_set_file_attributes("c:\\l", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(win_get_file_attributes("c:\\l"), FILE_ATTRIBUTE_SYSTEM);
    EXPECT_EQ(mode_of(c.host("f")), 0644u);
    EXPECT_EQ(win_get_file_attributes("c:\\f"), FILE_ATTRIBUTE_NORMAL);
}

// ramfs keeps no extended attributes: HIDDEN and SYSTEM cannot be kept, and
// a call that asks for them changes nothing, not even the content.
TEST_F(Handle, NoExtendedAttributesGivesError50AndChangesNothing) {
    int rc = with_mounted(c.dir(), "ramfs", [&] {
        write_file(c.host("f"), "x");
        chmod(c.host("f").c_str(), 0644);
        int bad = 0;
        if (win_get_file_attributes("c:\\f") != FILE_ATTRIBUTE_NORMAL) bad |= 1;
        if (fails(win_set_file_attributes(
                "c:\\f", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY)) != ERROR_NOT_SUPPORTED)
            bad |= 2;
        if (mode_of(c.host("f")) != 0644) bad |= 4;  // READONLY was not applied either
        if (open_fails("c:\\f", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN) !=
                ERROR_NOT_SUPPORTED ||
            read_file(c.host("f")) != "x")
            bad |= 8;
        if (!win_set_file_attributes("c:\\f", FILE_ATTRIBUTE_READONLY)) bad |= 16;
        if (win_get_file_attributes("c:\\f") != FILE_ATTRIBUTE_READONLY) bad |= 32;
        return bad;
    });
    if (rc == 77) GTEST_SKIP() << "no private mount namespace";
    EXPECT_EQ(rc, 0);
}

// ---- runtime descriptors ---------------------------------------------------

TEST_F(Handle, RuntimeDescriptorsReadOnlyFilesTimesAndErrno) {
    int fd = rt_open("c:\\new", RT_O_RDWR | RT_O_CREAT | RT_O_EXCL | RT_O_BINARY,
                     RT_S_IREAD | RT_S_IWRITE);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(rt_write(fd, "hello world", 11), 11);
    EXPECT_EQ(rt_lseek(fd, 6, RT_SEEK_SET), 6);
    char buf[16] = {};
    EXPECT_EQ(rt_read(fd, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "world");
    EXPECT_EQ(rt_filelength(fd), 11);
    EXPECT_EQ(rt_lseek(fd, 1LL << 33, RT_SEEK_SET), 1LL << 33);
    EXPECT_EQ(rt_read(fd, buf, sizeof buf), 0);
    EXPECT_EQ(rt_commit(fd), 0);
    EXPECT_EQ(rt_close(fd), 0);
    EXPECT_EQ(err(rt_close(fd)), EBADF);
    EXPECT_EQ(err(rt_open("C:\\NEW", RT_O_RDWR | RT_O_CREAT | RT_O_EXCL, RT_S_IWRITE)), EEXIST);
    EXPECT_EQ(err(rt_open("c:\\none", RT_O_RDONLY, 0)), ENOENT);
    EXPECT_EQ(err(rt_open("c:\\nodir\\x", RT_O_RDWR | RT_O_CREAT, RT_S_IWRITE)), ENOENT);
    fd = rt_open("c:\\new", RT_O_RDWR | RT_O_CREAT | RT_O_TRUNC, RT_S_IWRITE);
    ASSERT_GT(fd, 0);
    rt_close(fd);
    EXPECT_EQ(read_file(c.host("new")), "");
    // Created without write permission: READONLY once closed.
    fd = rt_open("c:\\made-ro", RT_O_RDWR | RT_O_CREAT | RT_O_BINARY, RT_S_IREAD);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(rt_write(fd, "abc", 3), 3);
    rt_close(fd);
    EXPECT_EQ(win_get_file_attributes("c:\\made-ro"), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(err(rt_open("c:\\made-ro", RT_O_RDWR, 0)), EACCES);
    EXPECT_EQ(err(rt_open("c:\\made-ro", RT_O_RDONLY | RT_O_TRUNC, 0)), EACCES);
    EXPECT_EQ(err(rt_open("c:\\dir", RT_O_RDONLY, 0)), EACCES);
    EXPECT_EQ(read_file(c.host("made-ro")), "abc");
    fd = rt_open("c:\\made-ro", RT_O_RDONLY, 0);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(rt_write(fd, "x", 1), -1);
    rt_close(fd);
    ASSERT_EQ(rt_utime("c:\\F", 1000, 2000), 0);
    struct stat st;
    stat(c.host("f").c_str(), &st);
    EXPECT_EQ(st.st_atime, 1000);
    EXPECT_EQ(st.st_mtime, 2000);
    EXPECT_EQ(err(rt_utime("c:\\ro", 3000, 4000)), EACCES);
    EXPECT_EQ(err(rt_utime("c:\\none", 3000, 4000)), ENOENT);
    // Runtime calls report the injected errno and leave the last error alone.
    win_set_last_error(0);
    win_fail_inject("_open", ENOSPC, 1);
    EXPECT_EQ(err(rt_open("c:\\n", RT_O_RDWR | RT_O_CREAT, RT_S_IWRITE)), ENOSPC);
    EXPECT_EQ(win_last_error(), 0u);
    EXPECT_FALSE(c.has("n"));
    fd = rt_open("c:\\n", RT_O_RDWR | RT_O_CREAT, RT_S_IWRITE);
    ASSERT_GT(fd, 0);
    win_fail_inject("_write", EIO, 1);
    EXPECT_EQ(err(rt_write(fd, "x", 1)), EIO);
    rt_close(fd);
    win_fail_clear();
}

}  // namespace
