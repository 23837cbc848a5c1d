// Code page conversion: codepage_convert and the names of "CharSet" 1.
#include "fs/fs_names.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fs/fs.h"
#include "server/config.h"

namespace {

TEST(CodepageConvert, BothDirectionsThrough1252) {
    char buf[64] = "caf\xE9 \x80";                               // "café €" in 1252
    EXPECT_EQ(codepage_convert(1, 1252, buf, sizeof buf), 10u);  // 9 bytes + NUL
    EXPECT_STREQ(buf, "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(codepage_convert(0, 0, buf, sizeof buf), 7u);  // 0 means 1252
    EXPECT_STREQ(buf, "caf\xE9 \x80");
    // An empty string converts (length 1: the terminator), it does not fail.
    char empty[4] = "";
    EXPECT_EQ(codepage_convert(1, 1252, empty, sizeof empty), 1u);
}

TEST(CodepageConvert, FailuresLeaveTheBufferUnchanged) {
    char buf[8] = "\xE9\xE9\xE9\xE9\xE9";  // grows to 10 bytes in UTF-8
    EXPECT_EQ(codepage_convert(1, 1252, buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, "\xE9\xE9\xE9\xE9\xE9");
    char bad[8] = "a\x81z";  // 0x81 has no character in 1252
    EXPECT_EQ(codepage_convert(1, 1252, bad, sizeof bad), 0u);
    EXPECT_STREQ(bad, "a\x81z");
    char any[8] = "abc";
    EXPECT_EQ(codepage_convert(1, 99999, any, sizeof any), 0u);
    EXPECT_STREQ(any, "abc");
}

TEST(CodepageConvert, LimitOf6144Characters) {
    std::string ok(6143, 'a'), too_long(6144, 'a');
    std::string b1 = ok, b2 = too_long;
    EXPECT_EQ(codepage_convert(1, 1252, b1.data(), uint32_t(b1.size() + 1)), 6144u);
    EXPECT_EQ(codepage_convert(1, 1252, b2.data(), uint32_t(b2.size() + 1)), 0u);
    EXPECT_EQ(codepage_convert(0, 1252, b2.data(), uint32_t(b2.size() + 1)), 0u);
    EXPECT_EQ(b2, too_long);
}

TEST(CodepageConvert, CharactersMissingFromTheCodePageShowAsQuestionMarks) {
    char buf[32] = "x\xCE\xA9y\xFFz";  // Omega, then a stray byte
    EXPECT_GT(codepage_convert(0, 1252, buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, "x?y?z");
}

TEST(Names, OnlyCharSet1Converts) {
    char buf[FS_PATH_BYTES];
    const char *in = "c:\\\xC3\xA4";
    config.charset = 2;
    EXPECT_EQ(fs_name_in(in, buf), in);
    config.charset = 0;
    EXPECT_EQ(fs_name_in(in, buf), in);
    config.charset = 1;
    config.codepage = 0;
    const char *p = fs_name_in(in, buf);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "c:\\\xC3\x83\xC2\xA4");
    EXPECT_EQ(fs_name_in("c:\\\x81", buf), nullptr);
    EXPECT_EQ(win_last_error(), ERROR_INVALID_NAME);
    char name[260] = "\xC3\x83\xC2\xA4";
    fs_name_out(name, sizeof name);
    EXPECT_STREQ(name, "\xC3\xA4");
    config.codepage = 1251;  // Cyrillic: U+00E4 is not there
    char other[260] = "\xC3\xA4\xD0\x96";
    fs_name_out(other, sizeof other);
    EXPECT_STREQ(other, "?\xC6");
    config.charset = 0;
    config.codepage = 0;
}

}  // namespace
