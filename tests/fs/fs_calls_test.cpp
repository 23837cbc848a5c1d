// The wrappers under the three "CharSet" values, code page conversion and
// the start-up log lines.
#include <gtest/gtest.h>

#include <string>

#include "fs/fs.h"
#include "fs/fs_names.h"
#include "support/config_guard.h"
#include "support/drive_temp.h"
#include "support/log_capture.h"

namespace {

struct CharSet : public ::testing::Test {
    config_guard keep;
    temp_drive c;
};

// The bytes C3 A4 are one character (U+00E4) in UTF-8 and under "CharSet" 0
// reach the disk unchanged; under "CharSet" 1 they are two characters of the
// code page, stored as their UTF-8 form. Listings give back the client's bytes.
TEST_F(CharSet, NameBytesOnDiskAndBackPerCharSet) {
    const struct {
        uint32_t charset;
        const char *on_disk;
    } cases[] = {{CHARSET_UTF8, "\xC3\xA4"},
                 {CHARSET_ASCII, "\xC3\xA4"},
                 {CHARSET_CODEPAGE, "\xC3\x83\xC2\xA4"}};
    for (const auto &t : cases) {
        SCOPED_TRACE(t.charset);
        config.charset = t.charset;
        ASSERT_TRUE(
            win_close_handle(fs_create_file("c:\\\xC3\xA4", GENERIC_WRITE, 0, CREATE_NEW, 0)));
        EXPECT_TRUE(c.has(t.on_disk));
        win_find_data d;
        ASSERT_TRUE(fs_find_close(fs_find_first("c:\\*.*", &d)));
        EXPECT_STREQ(d.name, "\xC3\xA4");
        uint32_t count;
        ASSERT_TRUE(fs_find_entry("c:\\\xC3\xA4", &d, &count));
        EXPECT_STREQ(d.name, "\xC3\xA4");
        EXPECT_TRUE(fs_delete_file("c:\\\xC3\xA4"));
        EXPECT_FALSE(c.has(t.on_disk));
    }
}

TEST_F(CharSet, AnsiNamesOnEveryPathCallAndBytesTheCodePageLacks) {
    config.charset = CHARSET_CODEPAGE;
    ASSERT_TRUE(fs_create_directory("c:\\\xC3\xA4"));
    ASSERT_TRUE(fs_move_file("c:\\\xC3\xA4", "c:\\\xE9t\xE9"));
    EXPECT_TRUE(c.has("\xC3\xA9t\xC3\xA9"));
    EXPECT_EQ(rt_close(fs_open("c:\\\xE9t\xE9\\f", RT_O_RDWR | RT_O_CREAT, RT_S_IWRITE)), 0);
    EXPECT_EQ(fs_utime("c:\\\xE9t\xE9\\f", 10, 20), 0);
    // A byte the code page lacks cannot name a file.
    EXPECT_EQ(fails(fs_create_directory("c:\\\x81")), ERROR_INVALID_NAME);
    // Going out, what the code page lacks becomes '?'.
    config.codepage = 1251;  // Cyrillic: U+00E4 is not there
    char other[260] = "\xC3\xA4\xD0\x96";
    fs_name_out(other, sizeof other);
    EXPECT_STREQ(other, "?\xC6");
    // Coming in, too small a buffer fails and leaves it as it was.
    char buf[64] = "caf\xE9 \x80";                               // "café €" in 1252
    EXPECT_EQ(codepage_convert(1, 1252, buf, sizeof buf), 10u);  // 9 bytes + NUL
    EXPECT_STREQ(buf, "caf\xC3\xA9 \xE2\x82\xAC");
    char small[8] = "\xE9\xE9\xE9\xE9\xE9";  // 10 bytes in UTF-8
    EXPECT_EQ(codepage_convert(1, 1252, small, sizeof small), 0u);
    EXPECT_STREQ(small, "\xE9\xE9\xE9\xE9\xE9");
}

TEST_F(CharSet, StartupLogLines) {
    log_capture log(1);
    config.charset = CHARSET_CODEPAGE;
    hardlink_lookup();
    fs_startup_log();
    EXPECT_NE(log.text().find(" nfsd   client charset ANSI\n"), std::string::npos) << log.text();
    EXPECT_NE(log.text().find(" nfsd   NTFS 2000/XP hardlinks supported\n"), std::string::npos);
}

}  // namespace
