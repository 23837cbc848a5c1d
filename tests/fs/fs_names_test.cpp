// Code page conversion: codepage_convert and the names of "CharSet" 1.
#include "fs/fs_names.h"

#include <gtest/gtest.h>

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
    // Characters missing from the code page, and stray bytes, become '?'.
    char back[32] = "x\xCE\xA9y\xFFz";
    EXPECT_EQ(codepage_convert(0, 1252, back, sizeof back), 6u);
    EXPECT_STREQ(back, "x?y?z");
}

TEST(CodepageConvert, FailuresLeaveTheBufferUnchanged) {
    const struct {
        std::string text;
        uint32_t codepage, size;
        int to_utf8;
    } cases[] = {
        {"\xE9\xE9\xE9\xE9\xE9", 1252, 8, 1},     // grows to 10 bytes in UTF-8
        {"a\x81z", 1252, 8, 1},                   // 0x81 has no character in 1252
        {"abc", 99999, 8, 1},                     // no such code page
        {std::string(6144, 'a'), 1252, 6145, 1},  // over 6144 characters with the NUL
        {std::string(6144, 'a'), 1252, 6145, 0},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.text.substr(0, 8));
        std::string buf = t.text;
        buf.resize(t.size);
        EXPECT_EQ(codepage_convert(t.to_utf8, t.codepage, buf.data(), t.size), 0u);
        EXPECT_EQ(buf.substr(0, t.text.size()), t.text);
    }
    std::string ok(6143, 'a');
    EXPECT_EQ(codepage_convert(1, 1252, ok.data(), uint32_t(ok.size() + 1)), 6144u);
}

// Names under "CharSet" 1 (the path calls themselves are tested in fs_calls):
// going out, what the code page lacks becomes '?'.
TEST(Names, OutgoingNamesThroughTheCodePage) {
    config.charset = 1;
    config.codepage = 0;
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
