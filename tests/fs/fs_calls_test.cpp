// The wrappers under the three "CharSet" values, code page conversion, the
// hard link through the slot looked up at start, and the start-up log
// lines; on both hosts, with the names each host keeps on disk.
#include <gtest/gtest.h>

#include <string>

#include "fs/fs.h"
#include "fs/fs_names.h"
#include "support/config_guard.h"
#include "support/log_capture.h"
// After the layer's headers: on Windows it brings <windows.h>.
#include "support/host_folder.h"

namespace {

struct CharSet : public ::testing::Test {
    config_guard keep;
    host_folder c;
    void SetUp() override { config.codepage = 1252; }
};

// The bytes C3 A4 are one character (U+00E4) in UTF-8 and reach the disk as
// it; under "CharSet" 1 they are two of the code page, U+00C3 U+00A4 (under
// "CharSet" 0 no such name gets here). Listings give back the client's bytes.
TEST_F(CharSet, NameOnDiskAndBackPerCharSet) {
    const struct {
        uint32_t charset;
        const char *on_disk;  // UTF-8
    } cases[] = {{CHARSET_UTF8, "\xC3\xA4"}, {CHARSET_CODEPAGE, "\xC3\x83\xC2\xA4"}};
    std::string name = c.at("\xC3\xA4");
    for (const auto &t : cases) {
        SCOPED_TRACE(t.charset);
        config.charset = t.charset;
        win_handle h = fs_create_file(name.c_str(), GENERIC_WRITE, 0, CREATE_NEW, 0);
        ASSERT_TRUE(win_close_handle(h));
        EXPECT_TRUE(c.has(t.on_disk));
        win_find_data d;
        std::string listed;
        win_find_handle f = fs_find_first(c.at("*").c_str(), &d);
        for (bool more = f != nullptr; more; more = fs_find_next(f, &d)) listed += d.name;
        if (f) fs_find_close(f);
        EXPECT_EQ(listed.substr(listed.find_first_not_of('.')), "\xC3\xA4");
        uint32_t count;
        ASSERT_TRUE(fs_find_entry(name.c_str(), &d, &count));
        EXPECT_STREQ(d.name, "\xC3\xA4");
        EXPECT_TRUE(fs_delete_file(name.c_str()));
        EXPECT_FALSE(c.has(t.on_disk));
    }
}

// Under "CharSet" 1 the runtime calls, and the calls with two paths for
// both, convert from the code page.
TEST_F(CharSet, AnsiNamesOnEveryPathCall) {
    config.charset = CHARSET_CODEPAGE;
    ASSERT_TRUE(fs_create_directory(c.at("\xE4").c_str()));
    ASSERT_TRUE(fs_move_file(c.at("\xE4").c_str(), c.at("\xE9t\xE9").c_str()));
    EXPECT_TRUE(c.has("\xC3\xA9t\xC3\xA9"));
    std::string f = c.at("\xE9t\xE9\\f");
    EXPECT_EQ(rt_close(fs_open(f.c_str(), RT_O_RDWR | RT_O_CREAT, RT_S_IWRITE)), 0);
    EXPECT_EQ(fs_utime(f.c_str(), 10, 20), 0);
    log_capture log(1);
    ASSERT_TRUE(hardlink_lookup());
    ASSERT_TRUE(fs_create_hard_link(c.at("\xE9t\xE9\\\xFC").c_str(), f.c_str()));
    EXPECT_TRUE(c.has("\xC3\xA9t\xC3\xA9/\xC3\xBC"));
    fs_startup_log();
    EXPECT_NE(log.text().find(" nfsd   client charset ANSI\n"), std::string::npos) << log.text();
    EXPECT_NE(log.text().find(" nfsd   NTFS 2000/XP hardlinks supported\n"), std::string::npos);
}

TEST_F(CharSet, CodePageConversion) {
    config.charset = CHARSET_CODEPAGE;
#ifndef _WIN32
    // A byte the host's table of the code page lacks cannot name a file
    // (Windows' own table of 1252 maps 0x81 to U+0081).
    EXPECT_EQ(fails(fs_create_directory(c.at("\x81").c_str())), ERROR_INVALID_NAME);
#endif
    // Going out, what the code page lacks becomes '?', never a best-fit
    // letter ("a" for U+00E4) that another file's name may hold.
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

}  // namespace
