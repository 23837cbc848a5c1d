// Name resolution: containment inside the drive, case folding, bad names.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/winfile.h"
#include "support/drive_temp.h"

namespace {

uint32_t attrs(const std::string &p) {
    return win_get_file_attributes(p.c_str());
}

class Escape : public ::testing::Test {
   protected:
    temp_drive c;
    std::string outside;  // a secret next to the drive directory
    void SetUp() override {
        outside = c.dir() + "-outside";
        mkdir(outside.c_str(), 0755);
        write_file(outside + "/secret", "top secret");
        mkdir(c.host("data").c_str(), 0755);
        write_file(c.host("data/f.txt"), "inside");
    }
    void TearDown() override {
        unlink((outside + "/secret").c_str());
        rmdir(outside.c_str());
    }
};

TEST_F(Escape, DotDotIsClampedAtTheDriveRoot) {
    // "c:\..\..\x" is "c:\x", as on Windows: never the directory above.
    std::string name = outside.substr(outside.rfind('/') + 1);
    EXPECT_EQ(attrs("c:\\..\\" + name + "\\secret"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(attrs("c:\\data\\..\\..\\..\\" + name + "\\secret"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(attrs("c:\\data\\..\\..\\data\\f.txt"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(attrs("c:\\..\\data\\.\\f.txt"), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Escape, SymlinkInsideTheTreeIsNeverFollowed) {
    ASSERT_EQ(symlink("/etc", c.host("data/etc").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), c.host("out").c_str()), 0);
    ASSERT_EQ(symlink("/etc/passwd", c.host("data/passwd").c_str()), 0);
    mkdir(c.host("data/a").c_str(), 0755);
    ASSERT_EQ(symlink("../../..", c.host("data/a/up").c_str()), 0);
    // The link itself is a link file; nothing behind it is reachable.
    EXPECT_EQ(attrs("c:\\data\\etc"), FILE_ATTRIBUTE_SYSTEM);
    EXPECT_EQ(attr_fails("c:\\data\\etc\\passwd"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(attr_fails("c:\\OUT\\secret"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(attr_fails("c:\\data\\a\\up\\etc\\passwd"), ERROR_PATH_NOT_FOUND);
    win_find_data fd;
    EXPECT_EQ(win_find_first_file("c:\\data\\a\\up\\*.*", &fd), nullptr);
    // Writing through links fails and leaves the targets alone.
    EXPECT_NE(open_fails("c:\\out\\new", GENERIC_WRITE, CREATE_NEW), kSucceeded);
    EXPECT_NE(access((outside + "/new").c_str(), F_OK), 0);
    EXPECT_FALSE(win_create_directory("c:\\data\\etc\\evil"));
    EXPECT_FALSE(win_delete_file("c:\\out\\secret"));
    EXPECT_FALSE(win_copy_file("c:\\out\\secret", "c:\\data\\copy", true));
    EXPECT_FALSE(win_move_file("c:\\out\\secret", "c:\\data\\moved"));
    EXPECT_EQ(read_file(outside + "/secret"), "top secret");
    // Opening the link to a file gives the link text, not /etc/passwd, and
    // it can neither be written through nor pass its attributes on.
    win_handle h = win_create_file("c:\\data\\passwd", GENERIC_READ, 0, OPEN_EXISTING, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[64] = {};
    uint32_t n = 0;
    ASSERT_TRUE(win_read_file(h, buf, sizeof buf - 1, &n));
    EXPECT_EQ(std::string(buf, n), "/etc/passwd");
    EXPECT_TRUE(win_close_handle(h));
    EXPECT_EQ(open_fails("c:\\data\\passwd", GENERIC_WRITE, OPEN_EXISTING), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(win_set_file_attributes("c:\\data\\passwd", FILE_ATTRIBUTE_READONLY));
    struct stat st;
    ASSERT_EQ(stat("/etc/passwd", &st), 0);
    EXPECT_TRUE(st.st_mode & S_IWUSR);
}

TEST_F(Escape, BadNamesAndPathsOutsideAnyDrive) {
    const struct {
        const char *path;
        uint32_t error;
    } cases[] = {
        {"c:\\data/f.txt", ERROR_INVALID_NAME},  {"c:\\data\\..\\/etc/passwd", ERROR_INVALID_NAME},
        {"c:\\data\\a\x01", ERROR_INVALID_NAME}, {"c:\\x:y", ERROR_INVALID_NAME},
        {"c:\\x*", ERROR_INVALID_NAME},          {"c:\\x?", ERROR_INVALID_NAME},
        {"c:\\x<", ERROR_INVALID_NAME},          {"c:\\x|", ERROR_INVALID_NAME},
        {"c:\\x\"", ERROR_INVALID_NAME},         {"\\etc\\passwd", ERROR_PATH_NOT_FOUND},
        {"etc\\passwd", ERROR_PATH_NOT_FOUND},   {"/etc/passwd", ERROR_PATH_NOT_FOUND},
        {"q:\\etc", ERROR_PATH_NOT_FOUND},       {"\\\\server\\share\\x", ERROR_BAD_NET_NAME},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.path);
        EXPECT_EQ(attr_fails(t.path), t.error);
        EXPECT_EQ(fails(win_create_directory(t.path)), t.error);
    }
    // A name ends at its NUL: what follows never reaches the disk.
    const char embedded[] = "c:\\data\\f.txt\0\\..\\..\\etc";
    EXPECT_EQ(win_get_file_attributes(embedded), FILE_ATTRIBUTE_NORMAL);
}

TEST(Case, ExactMatchFirstThenSmallestFoldedName) {
    temp_drive c;
    write_file(c.host("Readme.TXT"), "one");
    mkdir(c.host("Sub").c_str(), 0755);
    write_file(c.host("Sub/x"), "x");
    EXPECT_EQ(attrs("c:\\README.txt"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(attrs("c:\\sUB\\X"), FILE_ATTRIBUTE_NORMAL);
    // Two names differing only in case: the exact one wins, otherwise the
    // byte-wise smallest ("ReadMe.txt" < "Readme.TXT"), whatever the order.
    write_file(c.host("ReadMe.txt"), "two");
    for (auto [asked, found] :
         {std::pair{"c:\\readme.txt", "ReadMe.txt"}, std::pair{"c:\\Readme.TXT", "Readme.TXT"}}) {
        win_find_data d;
        win_find_handle h = win_find_first_file(asked, &d);
        ASSERT_NE(h, nullptr);
        EXPECT_STREQ(d.name, found);
        win_find_close(h);
    }
}

TEST(Case, IndexFollowsChangesMadeOutsideTheLayer) {
    temp_drive c;
    for (int i = 0; i < 50; i++) write_file(c.host("f" + std::to_string(i)), "");
    EXPECT_EQ(attrs("c:\\F7"), FILE_ATTRIBUTE_NORMAL);  // builds the index
    write_file(c.host("Late"), "");
    EXPECT_EQ(attrs("c:\\LATE"), FILE_ATTRIBUTE_NORMAL);
    unlink(c.host("f7").c_str());
    EXPECT_EQ(attr_fails("c:\\F7"), ERROR_FILE_NOT_FOUND);
}

TEST(Limits, LongNamesPathsAndMissingDriveDirectories) {
    temp_drive c;
    temp_drive e('E');
    EXPECT_EQ(fails(win_create_directory(("c:\\" + std::string(256, 'a')).c_str())),
              ERROR_FILENAME_EXCED_RANGE);
    std::string path = "c:";
    while (path.size() < 5000) path += "\\abcdefgh";
    EXPECT_EQ(attr_fails(path), ERROR_FILENAME_EXCED_RANGE);
    rmdir(e.dir().c_str());
    EXPECT_EQ(attr_fails("e:\\x"), ERROR_NOT_READY);
    mkdir(e.dir().c_str(), 0755);
    EXPECT_EQ(attrs("e:\\"), FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace
