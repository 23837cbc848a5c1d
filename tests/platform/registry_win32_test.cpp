// The settings store on Windows is the registry itself: what the server
// writes, regedit shows (wide strings under HKLM\Software\Nimbora), and what
// an administrator sets there, the server reads. (Numbers, and their removal
// at the default, are seen by the settings sheet's test; the text they scan
// is the same on both hosts: registry_test.cpp.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/registry.h"

#include <windows.h>

namespace {

constexpr const char *SUBKEY = "nfsd-test";
constexpr const wchar_t *KEY = L"Software\\Nimbora\\nfsd-test";

std::string read(const char *name, const char *def = "dflt", uint32_t size = 64) {
    char buf[64];
    uint32_t n = reg_read_string(SUBKEY, name, def, buf, size);
    EXPECT_EQ(n, strlen(buf));
    return buf;
}

// Too small a buffer, like a missing value, gives the default; a value of
// another type reads as its raw bytes, terminated.
TEST(RegistryWin32, WhatTheServerAndOtherToolsSeeOfEachOther) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, KEY);
    EXPECT_EQ(read("Nothing"), "dflt");  // no key at all
    ASSERT_TRUE(reg_write_string(SUBKEY, "Empty", ""));
    EXPECT_EQ(read("Empty"), "");
    ASSERT_TRUE(reg_write_string(SUBKEY, "Gr\xc3\xbc\xc3\x9f" "e", "K\xc3\xa4se \xe2\x82\xac"));
    EXPECT_EQ(read("Gr\xc3\xbc\xc3\x9f" "e"), "K\xc3\xa4se \xe2\x82\xac");
    wchar_t wide[32] = {};
    DWORD size = sizeof wide;
    RegGetValueW(HKEY_LOCAL_MACHINE, KEY, L"Gr\u00fc\u00dfe", RRF_RT_REG_SZ, nullptr, wide, &size);
    EXPECT_EQ(std::wstring(wide), L"K\u00e4se \u20ac");

    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, KEY, L"Word", REG_SZ, L"many", 10), 0);
    EXPECT_EQ(read("Word", "d", 5), "many");
    EXPECT_EQ(read("Word", "d", 4), "d");  // no room for the terminator: not read
    DWORD word = 0x00000031;               // "1" followed by three zero bytes
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, KEY, L"Dword", REG_DWORD, &word, 4), 0);
    char buf[16];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(reg_read_string(SUBKEY, "Dword", "", buf, sizeof buf), 4u);
    EXPECT_EQ(memcmp(buf, "1\0\0\0\0", 5), 0);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, KEY);
}

}  // namespace
