// The settings store on Windows is the registry itself: what the server
// writes, regedit shows (wide strings under HKLM\Software\Nimbora), and
// what an administrator sets there, the server reads. The user's key and the
// program directory are seen at work by the sheet and end-to-end tests.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"

#include <windows.h>

namespace {

constexpr const char *SUBKEY = "nfsd-test";
constexpr const wchar_t *KEY = L"Software\\Nimbora\\nfsd-test";

class RegistryWin32 : public ::testing::Test {
   protected:
    void SetUp() override { TearDown(); }
    void TearDown() override {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, KEY);
        RegDeleteTreeW(HKEY_CURRENT_USER, KEY);
    }
    // Sets a value the way another tool would.
    static void set_raw(const wchar_t *name, DWORD type, const void *data, DWORD size) {
        ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, KEY, name, type, data, size), ERROR_SUCCESS);
    }
    // What another tool reads: the wide string, or "<absent>".
    static std::wstring get_wide(HKEY root, const wchar_t *name) {
        wchar_t buf[256];
        DWORD size = sizeof buf;
        if (RegGetValueW(root, KEY, name, RRF_RT_REG_SZ, nullptr, buf, &size) != ERROR_SUCCESS)
            return L"<absent>";
        return buf;
    }
    static std::string read(const char *name, const char *def = "dflt", uint32_t size = 64) {
        std::vector<char> buf(size);
        uint32_t n = reg_read_string(SUBKEY, name, def, buf.data(), size);
        EXPECT_EQ(n, strlen(buf.data()));
        return buf.data();
    }
};

TEST_F(RegistryWin32, WrittenTextIsAWideStringInTheMachineKey) {
    ASSERT_TRUE(reg_write_string(SUBKEY, "Empty", ""));
    EXPECT_EQ(read("Empty"), "");
    ASSERT_TRUE(reg_write_string(SUBKEY, "Gr\xc3\xbc\xc3\x9f" "e", "K\xc3\xa4se \xe2\x82\xac"));
    EXPECT_EQ(read("Gr\xc3\xbc\xc3\x9f" "e"), "K\xc3\xa4se \xe2\x82\xac");
    EXPECT_EQ(get_wide(HKEY_LOCAL_MACHINE, L"Gr\u00fc\u00dfe"), L"K\u00e4se \u20ac");
    // Only a difference from the default is stored.
    ASSERT_TRUE(reg_write_number(SUBKEY, "Mount-Port", 1234, 1058));
    EXPECT_EQ(get_wide(HKEY_LOCAL_MACHINE, L"Mount-Port"), L"1234");
    ASSERT_TRUE(reg_write_number(SUBKEY, "Mount-Port", 1058, 1058));
    EXPECT_EQ(get_wide(HKEY_LOCAL_MACHINE, L"Mount-Port"), L"<absent>");
}

// Too small a buffer, like a missing value, gives the default; a value of
// another type reads as its raw bytes. (Numbers scan the same text on both
// hosts: registry_test.cpp.)
TEST_F(RegistryWin32, ReadsOfWhatOthersSet) {
    EXPECT_EQ(read("Nothing"), "dflt");  // no key at all
    set_raw(L"Word", REG_SZ, L"many", 10);
    EXPECT_EQ(read("Word", "d", 5), "many");
    EXPECT_EQ(read("Word", "d", 4), "d");  // no room for the terminator: not read
    DWORD word = 0x00000031;  // "1" followed by three zero bytes
    set_raw(L"Dword", REG_DWORD, &word, sizeof word);
    char buf[16];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(reg_read_string(SUBKEY, "Dword", "", buf, sizeof buf), 4u);
    EXPECT_EQ(memcmp(buf, "1\0\0\0\0", 5), 0);
}

}  // namespace
