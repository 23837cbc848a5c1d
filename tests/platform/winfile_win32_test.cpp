// The Windows file calls against the real system, where it differs from the
// other host (winfile_calls_test.cpp runs on both): the paths the layer
// refuses before any call, READONLY, HIDDEN and SYSTEM as the system keeps
// them, hard links and their count, sharing, volumes, UTF-8 and ANSI names,
// the runtime's descriptors and the seam.
// Each test works in a fresh folder under the system's temporary folder.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <tuple>
#include <vector>

#include "platform/rtfile.h"
#include "platform/winfile.h"
#include "support/win_calls.h"

// The layer's invalid handle; after <windows.h>, which defines the layer's
// names again as macros, INVALID_HANDLE_VALUE is the system's.
constexpr win_handle INVALID_FILE_HANDLE = INVALID_HANDLE_VALUE;
#include <windows.h>

#include "support/win_folder.h"

namespace {

// A fresh folder for each test ("C:\...\nimbora-N").
struct Folder : public ::testing::Test {
    win_folder folder;
    std::string dir = folder.dir();
    void SetUp() override { ASSERT_TRUE(folder.ok()); }
    std::string at(const std::string &rel) const { return folder.at(rel); }
    // Windows' own view of a name below the folder.
    DWORD system_attrs(const std::string &rel) const {
        return GetFileAttributesW(folder.wat(win_folder::wide(rel)).c_str());
    }
    void make(const std::string &rel, const std::string &content = "") const {
        win_handle h = win_create_file(at(rel).c_str(), GENERIC_WRITE, 0, CREATE_NEW, 0);
        ASSERT_NE(h, INVALID_FILE_HANDLE) << rel << " " << win_last_error();
        uint32_t n = 0;
        ASSERT_TRUE(win_write_file(h, content.data(), uint32_t(content.size()), &n));
        ASSERT_TRUE(win_close_handle(h));
    }
    std::string content(const std::string &rel) const {
        win_handle h =
            win_create_file(at(rel).c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
        if (h == INVALID_FILE_HANDLE) return "<" + std::to_string(win_last_error()) + ">";
        char buf[256];
        uint32_t n = 0;
        win_read_file(h, buf, sizeof buf, &n);
        win_close_handle(h);
        return std::string(buf, n);
    }
    std::vector<std::string> listing(const std::string &pattern) const {
        std::vector<std::string> out;
        win_find_data d;
        win_find_handle h = win_find_first_file(at(pattern).c_str(), &d);
        if (!h) return out;
        do out.push_back(d.name);
        while (win_find_next_file(h, &d));
        EXPECT_EQ(win_last_error(), ERROR_NO_MORE_FILES);
        win_find_close(h);
        return out;
    }
};

// Checked before any call: nothing but a file on a drive is reachable, and
// a refused name creates nothing.
TEST_F(Folder, PathsRefusedBeforeTheSystemSeesThem) {
    const struct {
        std::string path;
        uint32_t error;
        int err;  // of the runtime calls
    } cases[] = {
        {"relative\\name", ERROR_PATH_NOT_FOUND, ENOENT},
        {"\\rooted\\without\\drive", ERROR_PATH_NOT_FOUND, ENOENT},
        {"c:drive-relative", ERROR_PATH_NOT_FOUND, ENOENT},
        {at("a/b"), ERROR_INVALID_NAME, EINVAL},
        {at("file:stream"), ERROR_INVALID_NAME, EINVAL},
        {at("star*"), ERROR_INVALID_NAME, EINVAL},
        {at("ctl\x01"), ERROR_INVALID_NAME, EINVAL},
        {"\\\\.\\PhysicalDrive0", ERROR_INVALID_NAME, EINVAL},
        {"\\\\?\\" + at("x"), ERROR_INVALID_NAME, EINVAL},
        {at("lpt1"), ERROR_ACCESS_DENIED, EACCES},
        {at("LPT1.txt"), ERROR_ACCESS_DENIED, EACCES},
        {at("nul \\x"), ERROR_ACCESS_DENIED, EACCES},
        {at("conout$"), ERROR_ACCESS_DENIED, EACCES},
        {at(std::string(256, 'n')), ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
        {at(std::string(4100, 'n')), ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.path.substr(0, 60));
        EXPECT_EQ(win_get_file_attributes(t.path.c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(win_last_error(), t.error);
        EXPECT_EQ(fails(win_create_directory(t.path.c_str())), t.error);
        EXPECT_EQ(rt_open(t.path.c_str(), RT_O_RDWR | RT_O_CREAT, RT_S_IWRITE), -1);
        EXPECT_EQ(errno, t.err);
    }
    EXPECT_EQ(listing("*"), std::vector<std::string>({".", ".."}));
    // Names that are none of these pass: "com0", a device name inside a name.
    make("com0");
    make("my lpt1");
    EXPECT_EQ(listing("*").size(), 4u);
}

// The attributes are the system's own: what the layer sets, Windows shows,
// and READONLY guards the file against the runtime's calls too.
TEST_F(Folder, AttributesAreTheSystemsOwn) {
    make("f", "data");
    // A new file carries ARCHIVE, which the layer does not report (Wine
    // shows it on every file).
    EXPECT_TRUE(system_attrs("f") & FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(win_get_file_attributes(at("f").c_str()), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(win_set_file_attributes(at("F").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(system_attrs("f") & ~FILE_ATTRIBUTE_ARCHIVE, DWORD(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(rt_open(at("f").c_str(), RT_O_WRONLY, 0), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(rt_utime(at("f").c_str(), 1, 2), -1);
    EXPECT_EQ(errno, EACCES);
    ASSERT_TRUE(win_set_file_attributes(
        at("f").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(system_attrs("f") & ~FILE_ATTRIBUTE_ARCHIVE,
              DWORD(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
}

// A hard link is a second name of one file: its count, its content, its
// index; and it never replaces a name.
TEST_F(Folder, HardLinksAndTheirCount) {
    make("first", "one");
    ASSERT_TRUE(win_create_hard_link(at("second").c_str(), at("FIRST").c_str()))
        << win_last_error();
    EXPECT_EQ(content("second"), "one");
    win_file_info a, b;
    win_handle h1 =
        win_create_file(at("first").c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    win_handle h2 =
        win_create_file(at("second").c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_TRUE(win_get_file_information_by_handle(h1, &a));
    ASSERT_TRUE(win_get_file_information_by_handle(h2, &b));
    win_close_handle(h1);
    win_close_handle(h2);
    EXPECT_EQ(a.links, 2u);
    EXPECT_EQ(std::tie(a.index_high, a.index_low, a.volume_serial),
              std::tie(b.index_high, b.index_low, b.volume_serial));
    EXPECT_EQ(a.size_low, 3u);
    EXPECT_EQ(fails(win_create_hard_link(at("second").c_str(), at("first").c_str())),
              ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(win_delete_file(at("first").c_str()));
    EXPECT_EQ(content("second"), "one");
}

// A folder opens only with backup semantics; a file held without sharing
// has no second opener and cannot be deleted.
TEST_F(Folder, FoldersAndSharing) {
    make("f", "0123456789");
    ASSERT_TRUE(win_create_directory(at("d").c_str()));
    EXPECT_EQ(open_fails(at("d"), GENERIC_READ, OPEN_EXISTING), ERROR_ACCESS_DENIED);
    EXPECT_EQ(open_fails(at("d"), GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS),
              kSucceeded);
    win_handle h = win_create_file(at("f").c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
    ASSERT_NE(h, INVALID_FILE_HANDLE);
    EXPECT_EQ(open_fails(at("f"), GENERIC_READ, OPEN_EXISTING, 0, FILE_SHARE_READ),
              ERROR_SHARING_VIOLATION);
    EXPECT_EQ(fails(win_delete_file(at("f").c_str())), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(win_close_handle(h));
    EXPECT_EQ(fails(win_close_handle(win_handle(0))), ERROR_INVALID_HANDLE);
}

// UTF-8 names reach the system as their characters and come back as the
// same bytes; bytes that are no UTF-8 are read in the ANSI code page, as
// the narrow calls read them.
TEST_F(Folder, Utf8AndAnsiNames) {
    make("\xC3\xA4", "umlaut");
    EXPECT_NE(GetFileAttributesW(folder.wat(L"\u00E4").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(listing("*"), std::vector<std::string>({".", "..", "\xC3\xA4"}));
    EXPECT_EQ(content("\xC3\x84"), "umlaut");  // U+00C4: the same name without case
    if (GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << GetACP();
    EXPECT_EQ(content("\xE4"), "umlaut");  // U+00E4 in code page 1252
    make("caf\xE9");
    EXPECT_NE(GetFileAttributesW(folder.wat(L"caf\u00E9").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(listing("caf*"), std::vector<std::string>({"caf\xC3\xA9"}));
}

// The volume of the temporary folder, through its root in both forms.
TEST_F(Folder, Volumes) {
    std::string root = dir.substr(0, 3), bare = dir.substr(0, 2);
    uint32_t serial = 0, serial2 = 0, max = 0, flags = 0;
    char label[64] = "x", fs[32] = "";
    ASSERT_TRUE(win_get_volume_information(root.c_str(), label, sizeof label, &serial, &max, &flags,
                                           fs, sizeof fs));
    ASSERT_TRUE(win_get_volume_information(bare.c_str(), nullptr, 0, &serial2, nullptr, nullptr,
                                           nullptr, 0));
    EXPECT_EQ(serial, serial2);
    EXPECT_NE(serial, 0u);
    EXPECT_EQ(max, 255u);
    EXPECT_STREQ(fs, "NTFS");
    EXPECT_TRUE(flags & FILE_CASE_PRESERVED_NAMES);
    EXPECT_EQ(fails(win_get_volume_information(at("").c_str(), nullptr, 0, &serial, nullptr,
                                               nullptr, nullptr, 0)),
              ERROR_DIR_NOT_ROOT);
    EXPECT_EQ(win_get_drive_type(root.c_str()), uint32_t(DRIVE_FIXED));
    EXPECT_EQ(win_get_drive_type(bare.c_str()), uint32_t(DRIVE_FIXED));
    EXPECT_EQ(win_get_drive_type("relative"), uint32_t(DRIVE_NO_ROOT_DIR));
    uint64_t caller = 0, total = 0, free_bytes = 0;
    ASSERT_TRUE(win_get_disk_free_space_ex(dir.c_str(), &caller, &total, &free_bytes));
    EXPECT_GT(total, 0u);
    EXPECT_LE(caller, total);
    make("f");
    win_handle h = win_create_file(at("f").c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
    win_file_info info;
    ASSERT_TRUE(win_get_file_information_by_handle(h, &info));
    win_close_handle(h);
    EXPECT_EQ(info.volume_serial, serial);
}

// The runtime's descriptors: always binary, READONLY when created without
// write permission, times set by path.
TEST_F(Folder, RuntimeDescriptors) {
    int fd = rt_open(at("t").c_str(), RT_O_RDWR | RT_O_CREAT | RT_O_TEXT, RT_S_IWRITE);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(rt_write(fd, "a\nb", 3), 3);
    EXPECT_EQ(rt_commit(fd), 0);
    EXPECT_EQ(rt_filelength(fd), 3);
    EXPECT_EQ(rt_lseek(fd, 1, RT_SEEK_SET), 1);
    char buf[8] = {};
    EXPECT_EQ(rt_read(fd, buf, sizeof buf), 2);
    EXPECT_STREQ(buf, "\nb");
    EXPECT_EQ(rt_close(fd), 0);
    EXPECT_EQ(rt_open(at("t").c_str(), RT_O_RDWR | RT_O_CREAT | RT_O_EXCL, RT_S_IWRITE), -1);
    EXPECT_EQ(errno, EEXIST);
    ASSERT_EQ(rt_utime(at("t").c_str(), 1000000000, 1200000000), 0);
    win_find_data d;
    uint32_t count;
    ASSERT_TRUE(win_find_entry(at("t").c_str(), &d, &count));
    EXPECT_EQ(win_time_to_unix(d.write_time, nullptr), 1200000000);
    fd = rt_open(at("ro").c_str(), RT_O_WRONLY | RT_O_CREAT, RT_S_IREAD);
    ASSERT_GE(fd, 0);
    rt_close(fd);
    EXPECT_EQ(win_get_file_attributes(at("ro").c_str()), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(win_create_directory(at("d").c_str()));
    EXPECT_EQ(rt_open(at("d").c_str(), RT_O_RDONLY, 0), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(rt_open(at("none").c_str(), RT_O_RDONLY, 0), -1);
    EXPECT_EQ(errno, ENOENT);
}

// Injected failures answer before the system is asked, and count down.
TEST_F(Folder, InjectedFailures) {
    make("f");
    win_fail_inject("DeleteFile", ERROR_SHARING_VIOLATION, 2);
    win_fail_inject("_open", EMFILE, 1);
    EXPECT_EQ(fails(win_delete_file(at("f").c_str())), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(fails(win_delete_file(at("f").c_str())), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(rt_open(at("f").c_str(), RT_O_RDONLY, 0), -1);
    EXPECT_EQ(errno, EMFILE);
    EXPECT_TRUE(win_delete_file(at("f").c_str()));
    win_fail_inject("CreateFile", ERROR_DISK_FULL, 0);
    EXPECT_EQ(open_fails(at("g"), GENERIC_WRITE, CREATE_NEW), ERROR_DISK_FULL);
    win_fail_clear();
    make("g");
}

}  // namespace
