// The wrappers under the three "CharSet" values, the hard-link slots and the
// start-up log lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "fs/fs.h"
#include "server/config.h"
#include "support/drive_temp.h"
#include "support/log_capture.h"

namespace {

struct CharSet : public ::testing::Test {
    temp_drive c;
    void TearDown() override {
        config.charset = 0;
        config.codepage = 0;
        hardlink_reset();
    }
};

// The bytes C3 A4 are one character (U+00E4) in UTF-8 and under "CharSet" 0
// reach the disk unchanged; under "CharSet" 1 they are two characters of the
// code page, stored as their UTF-8 form. Listings give back the client's bytes.
TEST_F(CharSet, NameBytesOnDiskAndBackPerCharSet) {
    const struct {
        uint32_t charset;
        const char *on_disk;
    } cases[] = {{2, "\xC3\xA4"}, {0, "\xC3\xA4"}, {1, "\xC3\x83\xC2\xA4"}};
    for (const auto &t : cases) {
        SCOPED_TRACE(t.charset);
        config.charset = t.charset;
        win_handle h = fs_create_file("c:\\\xC3\xA4", GENERIC_WRITE, 0, CREATE_NEW, 0);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        win_close_handle(h);
        EXPECT_TRUE(c.has(t.on_disk));
        win_find_data d;
        win_find_handle f = fs_find_first("c:\\*.*", &d);
        ASSERT_NE(f, nullptr);
        fs_find_close(f);
        EXPECT_STREQ(d.name, "\xC3\xA4");
        EXPECT_EQ(fs_get_attributes("c:\\\xC3\xA4"), FILE_ATTRIBUTE_NORMAL);
        EXPECT_TRUE(fs_delete_file("c:\\\xC3\xA4"));
        EXPECT_FALSE(c.has(t.on_disk));
    }
}

TEST_F(CharSet, AnsiNamesOnEveryPathCallAndBytesTheCodePageLacks) {
    config.charset = 1;
    ASSERT_TRUE(fs_create_directory("c:\\\xC3\xA4"));
    ASSERT_TRUE(fs_move_file("c:\\\xC3\xA4", "c:\\\xE9t\xE9"));
    EXPECT_TRUE(c.has("\xC3\xA9t\xC3\xA9"));
    int fd = fs_open("c:\\\xE9t\xE9\\f", RT_O_RDWR | RT_O_CREAT, RT_S_IWRITE);
    ASSERT_GT(fd, 0);
    rt_close(fd);
    EXPECT_TRUE(c.has("\xC3\xA9t\xC3\xA9/f"));
    EXPECT_EQ(fs_utime("c:\\\xE9t\xE9\\f", 10, 20), 0);
    // A byte the code page lacks cannot name a file.
    EXPECT_EQ(fails(fs_create_directory("c:\\\x81")), ERROR_INVALID_NAME);
    EXPECT_EQ(fs_open("c:\\\x81", RT_O_RDWR | RT_O_CREAT, RT_S_IWRITE), -1);
}

TEST_F(CharSet, HardLinkSlots) {
    write_file(c.host("f"), "x");
    hardlink_reset();
    EXPECT_FALSE(hardlink_available());
    EXPECT_EQ(fails(fs_create_hard_link("c:\\g", "c:\\f")), ERROR_INVALID_FUNCTION);
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
    log_capture log(1);
    config.charset = 1;
    hardlink_reset();
    fs_startup_log();
    hardlink_lookup();
    config.charset = 2;
    fs_startup_log();
    std::string text = log.text();
    // "YYYY-MM-DD HH:MM:SS" then the text.
    auto pos = text.find(" nfsd   client charset ANSI\n");
    ASSERT_NE(pos, std::string::npos) << text;
    EXPECT_EQ(pos, 19u);
    EXPECT_NE(text.find(" nfsd   client charset UTF-8\n"), std::string::npos);
    EXPECT_EQ(text.find("hardlinks"), text.rfind("hardlinks"));  // once, after the lookup
    EXPECT_NE(text.find(" nfsd   NTFS 2000/XP hardlinks supported\n"), std::string::npos);
}

}  // namespace
