// The wrappers under the three "CharSet" values, the hard-link slots and the
// start-up log lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "fs/fs.h"
#include "server/config.h"
#include "server/log.h"
#include "support/drive_temp.h"

namespace {

struct CharSet : public ::testing::Test {
    temp_drive c;
    void TearDown() override {
        config.charset = 0;
        config.codepage = 0;
        hardlink_reset();
    }
    std::string listed_name() {
        win_find_data d;
        win_find_handle h = fs_find_first("c:\\*.*", &d);
        if (!h) return "";
        fs_find_close(h);
        return d.name;
    }
};

TEST_F(CharSet, Utf8NamesReachTheDiskUnchanged) {
    config.charset = 2;
    win_handle h = fs_create_file("c:\\\xC3\xA4", GENERIC_WRITE, 0, CREATE_NEW, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    win_close_handle(h);
    EXPECT_EQ(access(c.host("\xC3\xA4").c_str(), F_OK), 0);  // one character, U+00E4
    EXPECT_EQ(listed_name(), "\xC3\xA4");
    char fs[32];
    ASSERT_TRUE(
        fs_volume_information("c:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, sizeof fs));
    EXPECT_STREQ(fs, "NTFS");
}

TEST_F(CharSet, AnsiBytesAreTwoCharactersOfTheCodePage) {
    config.charset = 1;
    ASSERT_TRUE(fs_create_directory("c:\\\xC3\xA4"));
    // "Ã¤" on disk in UTF-8.
    EXPECT_EQ(access(c.host("\xC3\x83\xC2\xA4").c_str(), F_OK), 0);
    EXPECT_EQ(listed_name(), "\xC3\xA4");
    EXPECT_EQ(fs_get_attributes("c:\\\xC3\xA4"), FILE_ATTRIBUTE_DIRECTORY);
    ASSERT_TRUE(fs_move_file("c:\\\xC3\xA4", "c:\\\xE9t\xE9"));
    EXPECT_EQ(access(c.host("\xC3\xA9t\xC3\xA9").c_str(), F_OK), 0);
    int fd = fs_open("c:\\\xE9t\xE9\\f", RT_O_RDWR | RT_O_CREAT, RT_S_IWRITE);
    ASSERT_GT(fd, 0);
    rt_close(fd);
    EXPECT_EQ(fs_utime("c:\\\xE9t\xE9\\f", 10, 20), 0);
    // A byte the code page lacks cannot name a file.
    EXPECT_FALSE(fs_create_directory("c:\\\x81"));
    EXPECT_EQ(win_last_error(), ERROR_INVALID_NAME);
    EXPECT_EQ(fs_open("c:\\\x81", RT_O_RDWR | RT_O_CREAT, RT_S_IWRITE), -1);
}

TEST_F(CharSet, AsciiPassesBytesUnchanged) {
    config.charset = 0;
    ASSERT_TRUE(fs_create_directory("c:\\\xC3\xA4"));
    EXPECT_EQ(access(c.host("\xC3\xA4").c_str(), F_OK), 0);
    EXPECT_EQ(listed_name(), "\xC3\xA4");
}

TEST_F(CharSet, HardLinkSlots) {
    write_file(c.host("f"), "x");
    hardlink_reset();
    EXPECT_FALSE(hardlink_available());
    EXPECT_FALSE(fs_create_hard_link("c:\\g", "c:\\f"));
    EXPECT_EQ(win_last_error(), ERROR_INVALID_FUNCTION);
    config.charset = 0;
    EXPECT_TRUE(hardlink_lookup());
    EXPECT_TRUE(hardlink_available());
    // The wide slot is filled only when the lookup ran under "CharSet" 2.
    config.charset = 2;
    EXPECT_FALSE(hardlink_available());
    EXPECT_TRUE(hardlink_lookup());
    EXPECT_TRUE(hardlink_available());
    EXPECT_TRUE(fs_create_hard_link("c:\\g", "c:\\F"));
    EXPECT_EQ(read_file(c.host("g")), "x");
}

TEST_F(CharSet, StartupLogLines) {
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    log_attach(f, 1);
    config.charset = 1;
    hardlink_reset();
    fs_startup_log();
    hardlink_lookup();
    config.charset = 2;
    fs_startup_log();
    log_flush();
    log_attach(nullptr, 0);
    rewind(f);
    std::string text;
    char line[256];
    while (fgets(line, sizeof line, f)) text += line;
    fclose(f);
    // "YYYY-MM-DD HH:MM:SS" then the text.
    auto pos = text.find(" nfsd   client charset ANSI\n");
    ASSERT_NE(pos, std::string::npos) << text;
    EXPECT_EQ(pos, 19u);
    EXPECT_NE(text.find(" nfsd   client charset UTF-8\n"), std::string::npos);
    EXPECT_EQ(text.find("hardlinks"), text.rfind("hardlinks"));  // once, after the lookup
    EXPECT_NE(text.find(" nfsd   NTFS 2000/XP hardlinks supported\n"), std::string::npos);
}

}  // namespace
