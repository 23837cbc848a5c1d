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
    std::string outside;
    void SetUp() override {
        // A secret next to the drive directory, and one in /etc-like form.
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
    // The link itself is a link file; nothing behind it is reachable.
    EXPECT_EQ(attrs("c:\\data\\etc"), FILE_ATTRIBUTE_SYSTEM);
    EXPECT_EQ(attrs("c:\\data\\etc\\passwd"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(win_last_error(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(attrs("c:\\out\\secret"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(attrs("c:\\OUT\\secret"), INVALID_FILE_ATTRIBUTES);
    // Writing through links fails and leaves the targets alone.
    EXPECT_EQ(win_create_file("c:\\out\\new", GENERIC_WRITE, 0, CREATE_NEW, 0),
              INVALID_HANDLE_VALUE);
    EXPECT_NE(access((outside + "/new").c_str(), F_OK), 0);
    EXPECT_FALSE(win_create_directory("c:\\data\\etc\\evil"));
    EXPECT_FALSE(win_delete_file("c:\\out\\secret"));
    EXPECT_FALSE(win_copy_file("c:\\out\\secret", "c:\\data\\copy", true));
    EXPECT_FALSE(win_move_file("c:\\out\\secret", "c:\\data\\moved"));
    EXPECT_EQ(read_file(outside + "/secret"), "top secret");
    // Opening the link to a file gives the link text, not /etc/passwd.
    win_handle h = win_create_file("c:\\data\\passwd", GENERIC_READ, 0, OPEN_EXISTING, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[64] = {};
    uint32_t n = 0;
    ASSERT_TRUE(win_read_file(h, buf, sizeof buf - 1, &n));
    EXPECT_EQ(std::string(buf, n), "/etc/passwd");
    // Nor can it be written through, truncated or have its attributes moved.
    EXPECT_EQ(win_create_file("c:\\data\\passwd", GENERIC_WRITE, 0, OPEN_EXISTING, 0),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(win_last_error(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(win_set_file_attributes("c:\\data\\passwd", FILE_ATTRIBUTE_READONLY));
    struct stat st;
    ASSERT_EQ(stat("/etc/passwd", &st), 0);
    EXPECT_TRUE(st.st_mode & S_IWUSR);
    EXPECT_TRUE(win_close_handle(h));
}

TEST_F(Escape, LinkedDirectoryAtDepthIsNotAHop) {
    mkdir(c.host("data/a").c_str(), 0755);
    mkdir(c.host("data/a/b").c_str(), 0755);
    ASSERT_EQ(symlink("../../../..", c.host("data/a/b/up").c_str()), 0);
    EXPECT_EQ(attrs("c:\\data\\a\\b\\up\\etc\\passwd"), INVALID_FILE_ATTRIBUTES);
    win_find_data fd;
    EXPECT_EQ(win_find_first_file("c:\\data\\a\\b\\up\\*.*", &fd), nullptr);
    EXPECT_EQ(win_last_error(), ERROR_PATH_NOT_FOUND);
}

TEST_F(Escape, SlashAndControlCharactersAreInvalidNames) {
    EXPECT_EQ(attrs("c:\\data/f.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(win_last_error(), ERROR_INVALID_NAME);
    EXPECT_EQ(attrs("c:\\data\\..\\/etc/passwd"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(win_last_error(), ERROR_INVALID_NAME);
    EXPECT_EQ(attrs("c:\\data\\a\x01"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(win_last_error(), ERROR_INVALID_NAME);
    for (const char *bad : {"c:\\x:y", "c:\\x*", "c:\\x?", "c:\\x<", "c:\\x|", "c:\\x\""}) {
        EXPECT_FALSE(win_create_directory(bad)) << bad;
        EXPECT_EQ(win_last_error(), ERROR_INVALID_NAME) << bad;
    }
    // A name ends at its NUL: what follows never reaches the disk.
    const char embedded[] = "c:\\data\\f.txt\0\\..\\..\\etc";
    EXPECT_EQ(win_get_file_attributes(embedded), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Escape, PathsWithoutAMappedDrive) {
    EXPECT_EQ(attrs("\\etc\\passwd"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(win_last_error(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(attrs("etc\\passwd"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(win_last_error(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(attrs("/etc/passwd"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(attrs("q:\\etc"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(win_last_error(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(attrs("\\\\server\\share\\x"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(win_last_error(), ERROR_BAD_NET_NAME);
}

TEST(Case, ExactMatchFirstThenSmallestFoldedName) {
    temp_drive c;
    write_file(c.host("Readme.TXT"), "one");
    EXPECT_EQ(win_get_file_attributes("c:\\README.txt"), FILE_ATTRIBUTE_NORMAL);
    mkdir(c.host("Sub").c_str(), 0755);
    write_file(c.host("Sub/x"), "x");
    EXPECT_EQ(win_get_file_attributes("c:\\sUB\\X"), FILE_ATTRIBUTE_NORMAL);
    // Two names differing only in case: the exact one wins, otherwise the
    // byte-wise smallest ("ReadMe.txt" < "Readme.TXT"), whatever the order.
    write_file(c.host("ReadMe.txt"), "two");
    win_find_data d;
    win_find_handle h = win_find_first_file("c:\\readme.txt", &d);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(d.name, "ReadMe.txt");
    win_find_close(h);
    h = win_find_first_file("c:\\Readme.TXT", &d);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(d.name, "Readme.TXT");
    win_find_close(h);
}

TEST(Case, CreatingUnderAnotherCaseOpensTheExistingFile) {
    temp_drive c;
    write_file(c.host("Data.bin"), "abc");
    win_handle h = win_create_file("c:\\DATA.BIN", GENERIC_READ, 0, OPEN_ALWAYS, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(win_last_error(), ERROR_ALREADY_EXISTS);
    win_close_handle(h);
    EXPECT_EQ(win_create_file("c:\\data.bin", GENERIC_WRITE, 0, CREATE_NEW, 0),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(win_last_error(), ERROR_FILE_EXISTS);
    EXPECT_FALSE(win_create_directory("c:\\DATA.bin"));
    EXPECT_EQ(win_last_error(), ERROR_ALREADY_EXISTS);
    EXPECT_NE(access(c.host("DATA.BIN").c_str(), F_OK), 0);
}

TEST(Case, IndexFollowsChangesMadeOutsideTheLayer) {
    temp_drive c;
    for (int i = 0; i < 50; i++) write_file(c.host("f" + std::to_string(i)), "");
    EXPECT_EQ(win_get_file_attributes("c:\\F7"), FILE_ATTRIBUTE_NORMAL);  // builds the index
    write_file(c.host("Late"), "");
    EXPECT_EQ(win_get_file_attributes("c:\\LATE"), FILE_ATTRIBUTE_NORMAL);
    unlink(c.host("f7").c_str());
    EXPECT_EQ(win_get_file_attributes("c:\\F7"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(win_last_error(), ERROR_FILE_NOT_FOUND);
    // Names added through the layer are found under another case at once.
    ASSERT_TRUE(win_create_directory("c:\\NewDir"));
    EXPECT_EQ(win_get_file_attributes("c:\\NEWDIR"), FILE_ATTRIBUTE_DIRECTORY);
}

TEST(Limits, LongNamesAndPaths) {
    temp_drive c;
    std::string name(256, 'a');
    EXPECT_FALSE(win_create_directory(("c:\\" + name).c_str()));
    EXPECT_EQ(win_last_error(), ERROR_FILENAME_EXCED_RANGE);
    std::string path = "c:";
    while (path.size() < 5000) path += "\\abcdefgh";
    EXPECT_EQ(win_get_file_attributes(path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(win_last_error(), ERROR_FILENAME_EXCED_RANGE);
}

TEST(Drive, MissingOrUnreadableDriveDirectory) {
    temp_drive c;
    temp_drive e('E');
    rmdir(e.dir().c_str());
    EXPECT_EQ(win_get_file_attributes("e:\\x"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(win_last_error(), ERROR_NOT_READY);
    mkdir(e.dir().c_str(), 0755);
    EXPECT_EQ(win_get_file_attributes("e:\\"), FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace
