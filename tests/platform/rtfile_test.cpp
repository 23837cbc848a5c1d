// Runtime file descriptors over Windows paths.
#include "platform/rtfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/winfile.h"
#include "support/drive_temp.h"

namespace {

// errno of a call that returned -1, 0 when it did not fail.
int err(long long rc) {
    return rc == -1 ? errno : 0;
}

TEST(Runtime, CreateExclusiveSeekTruncateAndErrno) {
    temp_drive c;
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
}

TEST(Runtime, ReadOnlyFilesDirectoriesAndLinkFiles) {
    temp_drive c;
    mkdir(c.host("d").c_str(), 0755);
    ASSERT_EQ(symlink("../x", c.host("l").c_str()), 0);
    // Created without write permission: READONLY once closed.
    int fd = rt_open("c:\\ro", RT_O_RDWR | RT_O_CREAT | RT_O_BINARY, RT_S_IREAD);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(rt_write(fd, "abc", 3), 3);
    rt_close(fd);
    EXPECT_EQ(win_get_file_attributes("c:\\ro"), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(err(rt_open("c:\\ro", RT_O_RDWR, 0)), EACCES);
    EXPECT_EQ(err(rt_open("c:\\ro", RT_O_RDONLY | RT_O_TRUNC, 0)), EACCES);
    EXPECT_EQ(err(rt_open("c:\\d", RT_O_RDONLY, 0)), EACCES);
    EXPECT_EQ(err(rt_open("c:\\l", RT_O_RDWR, 0)), EACCES);
    EXPECT_EQ(read_file(c.host("ro")), "abc");
    fd = rt_open("c:\\ro", RT_O_RDONLY, 0);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(rt_write(fd, "x", 1), -1);
    rt_close(fd);
    // A link file reads as its text.
    fd = rt_open("c:\\l", RT_O_RDONLY | RT_O_BINARY, 0);
    ASSERT_GT(fd, 0);
    char buf[16] = {};
    EXPECT_EQ(rt_read(fd, buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "../x");
    EXPECT_EQ(rt_filelength(fd), 4);
    rt_close(fd);
}

TEST(Runtime, SetTimesAndInjectedErrors) {
    temp_drive c;
    write_file(c.host("f"), "x");
    ASSERT_EQ(rt_utime("c:\\F", 1000, 2000), 0);
    struct stat st;
    stat(c.host("f").c_str(), &st);
    EXPECT_EQ(st.st_atime, 1000);
    EXPECT_EQ(st.st_mtime, 2000);
    chmod(c.host("f").c_str(), 0444);
    EXPECT_EQ(err(rt_utime("c:\\f", 3000, 4000)), EACCES);
    EXPECT_EQ(err(rt_utime("c:\\none", 3000, 4000)), ENOENT);

    win_fail_inject("_open", ENOSPC, 1);
    EXPECT_EQ(err(rt_open("c:\\n", RT_O_RDWR | RT_O_CREAT, RT_S_IWRITE)), ENOSPC);
    EXPECT_FALSE(c.has("n"));
    int fd = rt_open("c:\\n", RT_O_RDWR | RT_O_CREAT, RT_S_IWRITE);
    ASSERT_GT(fd, 0);
    win_fail_inject("_write", EIO, 1);
    EXPECT_EQ(err(rt_write(fd, "x", 1)), EIO);
    rt_close(fd);
    win_fail_clear();
}

}  // namespace
