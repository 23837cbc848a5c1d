// The file-call wrappers over the real Windows calls: the characters each
// "CharSet" puts on disk, as Windows itself shows them, the bytes listings
// give back, and the hard link through the slot looked up at start.
#include <gtest/gtest.h>

#include <string>

#include "fs/fs.h"
#include "support/config_guard.h"

constexpr win_handle INVALID_FILE_HANDLE = INVALID_HANDLE_VALUE;
#include <windows.h>

#include "support/win_folder.h"

namespace {

struct WinCharSet : public ::testing::Test {
    config_guard keep;
    win_folder folder;
    void SetUp() override { ASSERT_TRUE(folder.ok()); }
};

// The bytes C3 A4 are U+00E4 in UTF-8 (and taken as UTF-8 under "CharSet"
// 0, as on every host); under "CharSet" 1 they are two characters of code
// page 1252. Listings and single finds give back the client's bytes.
TEST_F(WinCharSet, CharactersOnDiskAndBytesBack) {
    const struct {
        uint32_t charset;
        const wchar_t *on_disk;
    } cases[] = {
        {CHARSET_UTF8, L"\u00E4"}, {CHARSET_ASCII, L"\u00E4"}, {CHARSET_CODEPAGE, L"\u00C3\u00A4"}};
    config.codepage = 1252;
    std::string name = folder.at("\xC3\xA4");
    for (const auto &t : cases) {
        SCOPED_TRACE(t.charset);
        config.charset = t.charset;
        win_handle h = fs_create_file(name.c_str(), GENERIC_WRITE, 0, CREATE_NEW, 0);
        ASSERT_NE(h, INVALID_FILE_HANDLE);
        win_close_handle(h);
        EXPECT_NE(GetFileAttributesW(folder.wat(t.on_disk).c_str()), INVALID_FILE_ATTRIBUTES);
        win_find_data d;
        win_find_handle f = fs_find_first(folder.at("*").c_str(), &d);
        ASSERT_NE(f, nullptr);
        while (d.name[0] == '.' && fs_find_next(f, &d)) {
        }
        EXPECT_STREQ(d.name, "\xC3\xA4");
        fs_find_close(f);
        uint32_t count;
        ASSERT_TRUE(fs_find_entry(name.c_str(), &d, &count));
        EXPECT_STREQ(d.name, "\xC3\xA4");
        EXPECT_TRUE(fs_delete_file(name.c_str()));
        EXPECT_EQ(GetFileAttributesW(folder.wat(t.on_disk).c_str()), INVALID_FILE_ATTRIBUTES);
    }
}

// Under "CharSet" 1 the runtime calls, and the calls with two paths for
// both, convert from the code page.
TEST_F(WinCharSet, AnsiNamesOnEveryPathCall) {
    config.charset = CHARSET_CODEPAGE;
    config.codepage = 1252;
    ASSERT_TRUE(fs_create_directory(folder.at("\xE4").c_str()));
    ASSERT_TRUE(fs_move_file(folder.at("\xE4").c_str(), folder.at("\xE9t\xE9").c_str()));
    EXPECT_NE(GetFileAttributesW(folder.wat(L"\u00E9t\u00E9").c_str()), INVALID_FILE_ATTRIBUTES);
    std::string f = folder.at("\xE9t\xE9\\f");
    EXPECT_EQ(rt_close(fs_open(f.c_str(), RT_O_RDWR | RT_O_CREAT, RT_S_IWRITE)), 0);
    EXPECT_EQ(fs_utime(f.c_str(), 10, 20), 0);
    hardlink_lookup();
    ASSERT_TRUE(hardlink_available());
    ASSERT_TRUE(fs_create_hard_link(folder.at("\xE9t\xE9\\\xFC").c_str(), f.c_str()));
    EXPECT_NE(GetFileAttributesW(folder.wat(L"\u00E9t\u00E9\\\u00FC").c_str()),
              INVALID_FILE_ATTRIBUTES);
}

}  // namespace
