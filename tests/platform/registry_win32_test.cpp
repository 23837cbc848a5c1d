// The settings store on Windows is the registry itself: what the server
// writes, regedit shows (wide strings under HKLM\Software\Nimbora), and
// what an administrator sets there, the server reads.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "support/home.h"

#include <windows.h>

namespace {

constexpr const char *SUBKEY = "nfsd-test";
constexpr const wchar_t *KEY = L"Software\\Nimbora\\nfsd-test";

class RegistryWin32 : public ::testing::Test {
   protected:
    void SetUp() override { wipe(); }
    void TearDown() override { wipe(); }
    static void wipe() {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, KEY);
        RegDeleteTreeW(HKEY_CURRENT_USER, KEY);
    }
    // Sets a value the way another tool would.
    static void set_raw(HKEY root, const wchar_t *name, DWORD type, const void *data, DWORD size) {
        HKEY k;
        ASSERT_EQ(RegCreateKeyExW(root, KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(k, name, 0, type, static_cast<const BYTE *>(data), size), ERROR_SUCCESS);
        RegCloseKey(k);
    }
    // What another tool reads: the wide string, or "<absent>".
    static std::wstring get_wide(HKEY root, const wchar_t *name) {
        wchar_t buf[256];
        DWORD size = sizeof buf, type = 0;
        if (RegGetValueW(root, KEY, name, RRF_RT_REG_SZ, &type, buf, &size) != ERROR_SUCCESS)
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
    struct row {
        const char *name;
        const char *text;     // UTF-8 as the server holds it
        const wchar_t *wide;  // what the registry holds
    } rows[] = {
        {"Port", "2049", L"2049"},
        {"Empty", "", L""},
        {"Gr\xc3\xbc\xc3\x9f" "e", "K\xc3\xa4se \xe2\x82\xac", L"K\u00e4se \u20ac"},
    };
    for (const row &r : rows) {
        ASSERT_TRUE(reg_write_string(SUBKEY, r.name, r.text)) << r.name;
        EXPECT_EQ(read(r.name), r.text) << r.name;
    }
    EXPECT_EQ(get_wide(HKEY_LOCAL_MACHINE, L"Port"), L"2049");
    EXPECT_EQ(get_wide(HKEY_LOCAL_MACHINE, L"Gr\u00fc\u00dfe"), L"K\u00e4se \u20ac");
    EXPECT_EQ(get_wide(HKEY_CURRENT_USER, L"Port"), L"<absent>");
}

TEST_F(RegistryWin32, MissingTooLongAndDeletedValuesGiveTheDefault) {
    EXPECT_EQ(read("Nothing"), "dflt");  // no key at all
    ASSERT_TRUE(reg_write_string(SUBKEY, "Long", "0123456789"));
    EXPECT_EQ(read("Long", "d", 11), "0123456789");
    EXPECT_EQ(read("Long", "d", 10), "d");  // no room for the terminator: not read
    ASSERT_TRUE(reg_write_string(SUBKEY, "Long", nullptr));
    EXPECT_EQ(get_wide(HKEY_LOCAL_MACHINE, L"Long"), L"<absent>");
    EXPECT_TRUE(reg_write_string(SUBKEY, "Long", nullptr));  // absent already
    EXPECT_TRUE(reg_write_string("nfsd-test-none", "x", nullptr));
}

TEST_F(RegistryWin32, NumbersScanTextAndOnlyDifferencesFromTheDefaultAreStored) {
    set_raw(HKEY_LOCAL_MACHINE, L"Spaced", REG_SZ, L"  42x", 12);
    EXPECT_EQ(reg_read_number(SUBKEY, "Spaced", 7), 42u);
    set_raw(HKEY_LOCAL_MACHINE, L"Word", REG_SZ, L"many", 10);
    EXPECT_EQ(reg_read_number(SUBKEY, "Word", 7), 7u);
    EXPECT_EQ(reg_read_number(SUBKEY, "Missing", 7), 7u);
    ASSERT_TRUE(reg_write_number(SUBKEY, "Mount-Port", 1234, 1058));
    EXPECT_EQ(get_wide(HKEY_LOCAL_MACHINE, L"Mount-Port"), L"1234");
    ASSERT_TRUE(reg_write_number(SUBKEY, "Mount-Port", 1058, 1058));
    EXPECT_EQ(get_wide(HKEY_LOCAL_MACHINE, L"Mount-Port"), L"<absent>");
}

TEST_F(RegistryWin32, OtherTypesReadAsTheirRawBytes) {
    DWORD word = 0x00000031;  // "1" followed by three zero bytes
    set_raw(HKEY_LOCAL_MACHINE, L"Dword", REG_DWORD, &word, sizeof word);
    char buf[16];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(reg_read_string(SUBKEY, "Dword", "", buf, sizeof buf), 4u);
    EXPECT_EQ(memcmp(buf, "1\0\0\0\0", 5), 0);
}

TEST_F(RegistryWin32, EnumerationListsStringValuesOnly) {
    ASSERT_TRUE(reg_write_string(SUBKEY, "C", "c:\\"));
    ASSERT_TRUE(reg_write_string(SUBKEY, "D-Type", "2"));
    DWORD word = 5;
    set_raw(HKEY_LOCAL_MACHINE, L"Bin", REG_DWORD, &word, sizeof word);
    std::vector<std::string> seen;
    uint32_t n = reg_enum_strings(
        SUBKEY,
        [](const char *name, const char *text, void *ctx) {
            static_cast<std::vector<std::string> *>(ctx)->push_back(std::string(name) + "=" + text);
        },
        &seen);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_NE(std::find(seen.begin(), seen.end(), "C=c:\\"), seen.end());
    EXPECT_NE(std::find(seen.begin(), seen.end(), "D-Type=2"), seen.end());
    EXPECT_EQ(reg_enum_strings("nfsd-test-none", [](const char *, const char *, void *) {}, nullptr), 0u);
}

TEST_F(RegistryWin32, UserValuesLiveInTheUsersKey) {
    ASSERT_TRUE(reg_write_user_string(SUBKEY, "Language", "deutsch.dll"));
    EXPECT_EQ(get_wide(HKEY_CURRENT_USER, L"Language"), L"deutsch.dll");
    EXPECT_EQ(get_wide(HKEY_LOCAL_MACHINE, L"Language"), L"<absent>");
    char buf[32];
    EXPECT_EQ(reg_read_user_string(SUBKEY, "Language", "", buf, sizeof buf), 11u);
    EXPECT_STREQ(buf, "deutsch.dll");
    EXPECT_EQ(read("Language"), "dflt");
}

TEST(ProgramDirectoryWin32, IsTheExecutablesFolderWithABackslashUnlessSet) {
    wchar_t exe[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
    std::wstring folder(exe);
    folder.erase(folder.find_last_of(L'\\') + 1);
    char buf[MAX_PATH * 3];
    ASSERT_GT(program_directory(buf, sizeof buf), 0u);
    wchar_t wide[MAX_PATH];
    MultiByteToWideChar(CP_UTF8, 0, buf, -1, wide, MAX_PATH);
    EXPECT_EQ(std::wstring(wide), folder);
    {
        test_home home;
        ASSERT_GT(program_directory(buf, sizeof buf), 0u);
        EXPECT_EQ(std::string(buf), home.path());
        EXPECT_EQ(home.path().back(), '\\');
    }
    EXPECT_EQ(program_directory(buf, 2), 0u);  // too small: nothing
    EXPECT_STREQ(buf, "");
    EXPECT_GT(windows_nt_major(), 0u);
}

}  // namespace
