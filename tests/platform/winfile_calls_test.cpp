// The Windows file calls as both hosts answer them: what CreateFile and the
// calls on names refuse without changing anything, and a folder found by
// its name; then what only Windows has. Each test works in a fresh folder
// "t" (over drive C: on Linux, the temporary folder on Windows);
// winfile_test.cpp holds what only Linux has.
#include "platform/winfile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/rtfile.h"

// The layer's invalid handle; <windows.h> (through host_folder.h) names the
// system's the same.
constexpr win_handle kNoHandle = INVALID_HANDLE_VALUE;
#include "support/host_folder.h"

namespace {

using names = std::vector<std::string>;

struct Calls : public ::testing::Test {
    host_folder folder;
    void SetUp() override { ASSERT_TRUE(win_create_directory(folder.at("t").c_str())); }
    std::string at(const std::string &rel) const { return folder.at("t\\" + rel); }
    void make(const std::string &rel, const std::string &content = "") const {
        win_handle h = win_create_file(at(rel).c_str(), GENERIC_WRITE, 0, CREATE_NEW, 0);
        uint32_t n = 0;
        ASSERT_TRUE(win_write_file(h, content.data(), uint32_t(content.size()), &n)) << rel;
        ASSERT_TRUE(win_close_handle(h));
    }
    std::string content(const std::string &rel) const {
        win_handle h =
            win_create_file(at(rel).c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
        char buf[256];
        uint32_t n = 0;
        if (h == kNoHandle) return "error " + std::to_string(win_last_error());
        win_read_file(h, buf, sizeof buf, &n);
        win_close_handle(h);
        return std::string(buf, n);
    }
    // The names a search gives, sorted (the hosts list in different orders).
    names listing(const std::string &pattern) const {
        names out;
        for (const auto &entry : find_all(at(pattern))) out.push_back(entry.first);
        return out;
    }
};

// Each row is refused with its error, and afterwards nothing has changed.
// (Refusals an NFS client meets the same way are pinned by the NFS tests.)
TEST_F(Calls, RefusalsChangeNothing) {
    make("f", "hello");
    make("g", "other");
    make("ro", "ro");
    ASSERT_TRUE(win_set_file_attributes(at("ro").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(win_create_directory(at("d").c_str()));
    make("d\\inner");
    // A call on one or two names; an open with its access and disposition.
    enum op { OPEN, DEL, COPY, COPY_NEW, LINK };
    const struct {
        const char *what;
        op call;
        const char *a, *b;
        uint32_t access, disposition, error;
    } rows[] = {
        {"create a name that exists", OPEN, "F", "", GENERIC_WRITE, CREATE_NEW, ERROR_FILE_EXISTS},
        {"open no file", OPEN, "none", "", GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {"create in a missing folder", OPEN, "no\\x", "", GENERIC_WRITE, CREATE_NEW,
         ERROR_PATH_NOT_FOUND},
        {"open a folder", OPEN, "d", "", GENERIC_WRITE, OPEN_EXISTING, ERROR_ACCESS_DENIED},
        {"replace a read-only file", OPEN, "RO", "", GENERIC_WRITE, CREATE_ALWAYS,
         ERROR_ACCESS_DENIED},
        {"empty a read-only file", OPEN, "ro", "", GENERIC_WRITE, TRUNCATE_EXISTING,
         ERROR_ACCESS_DENIED},
        {"write read-only", OPEN, "ro", "", GENERIC_WRITE, OPEN_EXISTING, ERROR_ACCESS_DENIED},
        {"delete a read-only file", DEL, "ro", "", 0, 0, ERROR_ACCESS_DENIED},
        {"copy over a read-only file", COPY, "f", "RO", 0, 0, ERROR_ACCESS_DENIED},
        {"copy onto an existing name", COPY_NEW, "f", "g", 0, 0, ERROR_FILE_EXISTS},
        {"copy a folder", COPY_NEW, "d", "x", 0, 0, ERROR_ACCESS_DENIED},
        {"link onto an existing name", LINK, "ro", "d\\inner", 0, 0, ERROR_ALREADY_EXISTS},
    };
    for (const auto &r : rows) {
        std::string a = at(r.a), b = at(r.b);
        bool ok = r.call == OPEN   ? open_fails(a, r.access, r.disposition) == kSucceeded
                  : r.call == DEL  ? win_delete_file(a.c_str())
                  : r.call == LINK ? win_create_hard_link(a.c_str(), b.c_str())
                                   : win_copy_file(a.c_str(), b.c_str(), r.call == COPY_NEW);
        EXPECT_EQ(fails(ok), r.error) << r.what;
    }
    EXPECT_EQ(listing("*"), names({".", "..", "d", "f", "g", "ro"}));
    EXPECT_EQ(listing("d\\*"), names({".", "..", "inner"}));
    EXPECT_EQ(content("f") + content("g") + content("ro"), "hellootherro");
    // A copy onto a name under another case reaches it, never a second file
    // (the rest of the case rule is DirIndex's and the NFS tests').
    ASSERT_TRUE(win_copy_file(at("f").c_str(), at("G").c_str(), false));
    EXPECT_EQ(listing("*"), names({".", "..", "d", "f", "g", "ro"}));
    EXPECT_EQ(content("g"), "hello");
    // A move to another case renames on disk.
    ASSERT_TRUE(win_move_file(at("g").c_str(), at("G").c_str()));
    EXPECT_EQ(listing("*"), names({".", "..", "G", "d", "f", "ro"}));
}

// A single find of a folder, named with or without a final separator, or
// reached by a walk below it earlier in the request, is the folder itself
// with its count of directories (counts and listings agreeing in every
// state is winfile_test's).
TEST_F(Calls, AFolderFoundByNameIsTheFolderItself) {
    for (const char *d : {"sub", "sub\\x", "sub\\y"})
        ASSERT_TRUE(win_create_directory(at(d).c_str()));
    make("sub\\short.txt");
    win_find_data d;
    uint32_t count = 99;
    for (bool below : {false, true})
        for (const char *p : {"SUB", "sub\\", "sub\\\\"}) {
            win_folder_scope scope;
            if (below) win_get_file_attributes((at(p) + "\\short.txt").c_str());
            ASSERT_TRUE(win_find_entry(at(p).c_str(), &d, &count)) << p;
            EXPECT_STREQ(d.name, "sub");
            EXPECT_EQ(d.attributes, FILE_ATTRIBUTE_DIRECTORY);
            EXPECT_EQ(count, 4u);
        }
}

#ifdef _WIN32
// What only Windows has or does: device names, streams, the system's own
// attributes, sharing, hard links through the system, volumes, ANSI names,
// the runtime's descriptors and the seam.
struct OnWindows : public Calls {
    // Windows' own view of a name below the folder.
    DWORD system_attrs(const std::string &rel) const {
        return GetFileAttributesW(folder.wat(wide_string(("t\\" + rel).c_str())).c_str());
    }
};

// Checked before any call: nothing but a file on a drive is reachable, and
// a refused name creates nothing.
TEST_F(OnWindows, PathsRefusedBeforeTheSystemSeesThem) {
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
    EXPECT_EQ(listing("*"), names({".", ".."}));
    // Names that are none of these pass: "com0", a device name inside a name.
    make("com0");
    make("my lpt1");
    EXPECT_EQ(listing("*").size(), 4u);
}

// What the layer sets, the system shows; READONLY guards the file against
// the runtime's calls too; a hard link is a second name of one file; a
// folder opens only with backup semantics; a file held without sharing has
// no second opener.
TEST_F(OnWindows, TheSystemSeesAttributesLinksAndSharing) {
    make("f", "one");
    ASSERT_TRUE(win_set_file_attributes(at("F").c_str(), FILE_ATTRIBUTE_READONLY));
    // Every file carries ARCHIVE on Wine, which the layer does not report.
    EXPECT_EQ(system_attrs("f") & ~FILE_ATTRIBUTE_ARCHIVE, DWORD(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(rt_open(at("f").c_str(), RT_O_WRONLY, 0), -1);
    EXPECT_EQ(errno, EACCES);
    ASSERT_TRUE(
        win_set_file_attributes(at("f").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(system_attrs("f") & ~FILE_ATTRIBUTE_ARCHIVE,
              DWORD(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    ASSERT_TRUE(win_create_hard_link(at("second").c_str(), at("F").c_str())) << win_last_error();
    win_handle h = win_create_file(at("second").c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
    win_file_info info;
    ASSERT_TRUE(win_get_file_information_by_handle(h, &info));
    EXPECT_EQ(info.links, 2u);
    EXPECT_EQ(info.volume_serial, volume_serial(folder.dir().substr(0, 3).c_str()));
    EXPECT_EQ(open_fails(at("f"), GENERIC_READ, OPEN_EXISTING, 0, FILE_SHARE_READ),
              ERROR_SHARING_VIOLATION);
    EXPECT_EQ(fails(win_delete_file(at("f").c_str())), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(win_close_handle(h));
    ASSERT_TRUE(win_delete_file(at("f").c_str()));
    EXPECT_EQ(content("second"), "one");
    ASSERT_TRUE(win_create_directory(at("d").c_str()));
    EXPECT_EQ(open_fails(at("d"), GENERIC_READ, OPEN_EXISTING), ERROR_ACCESS_DENIED);
    EXPECT_EQ(open_fails(at("d"), GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS),
              kSucceeded);
}

// UTF-8 names reach the system as their characters and come back as the
// same bytes; bytes that are no UTF-8 are read in the ANSI code page, as
// the narrow calls read them.
TEST_F(OnWindows, Utf8AndAnsiNames) {
    make("\xC3\xA4", "umlaut");
    EXPECT_NE(GetFileAttributesW(folder.wat(L"t\\\u00E4").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(listing("*"), names({".", "..", "\xC3\xA4"}));
    EXPECT_EQ(content("\xC3\x84"), "umlaut");  // U+00C4: the same name without case
    if (GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << GetACP();
    EXPECT_EQ(content("\xE4"), "umlaut");  // U+00E4 in code page 1252
    make("caf\xE9");
    EXPECT_EQ(listing("caf*"), names({"caf\xC3\xA9"}));
}

// The volume serial is the file systems' id: one drive's root in both forms
// and its files give the same; only a root has a volume.
TEST_F(OnWindows, Volumes) {
    std::string root = folder.dir().substr(0, 3), bare = folder.dir().substr(0, 2);
    uint32_t flags = 0;
    char fs[32] = "";
    ASSERT_TRUE(win_get_volume_information(root.c_str(), nullptr, 0, nullptr, nullptr, &flags, fs,
                                           sizeof fs));
    EXPECT_STREQ(fs, "NTFS");
    EXPECT_TRUE(flags & FILE_CASE_PRESERVED_NAMES);
    EXPECT_NE(volume_serial(root.c_str()), 0u);
    EXPECT_EQ(volume_serial(bare.c_str()), volume_serial(root.c_str()));
    EXPECT_EQ(fails(volume_serial(at("").c_str()) != 0), ERROR_DIR_NOT_ROOT);
    EXPECT_EQ(win_get_drive_type(bare.c_str()), uint32_t(DRIVE_FIXED));
    uint64_t caller = 0, total = 0, free_bytes = 0;
    ASSERT_TRUE(win_get_disk_free_space_ex(folder.dir().c_str(), &caller, &total, &free_bytes));
    EXPECT_GT(total, 0u);
}

// The runtime's descriptors: READONLY when created without write
// permission, times set by path, a folder never opened as a file.
TEST_F(OnWindows, RuntimeDescriptors) {
    int fd = rt_open(at("ro").c_str(), RT_O_WRONLY | RT_O_CREAT, RT_S_IREAD);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(rt_close(fd), 0);
    EXPECT_EQ(win_get_file_attributes(at("ro").c_str()), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(rt_open(at("ro").c_str(), RT_O_RDWR | RT_O_CREAT | RT_O_EXCL, RT_S_IWRITE), -1);
    EXPECT_EQ(errno, EEXIST);
    make("t");
    ASSERT_EQ(rt_utime(at("t").c_str(), 1000000000, 1200000000), 0);
    win_find_data d;
    uint32_t count;
    ASSERT_TRUE(win_find_entry(at("t").c_str(), &d, &count));
    EXPECT_EQ(win_time_to_unix(d.write_time, nullptr), 1200000000);
    ASSERT_TRUE(win_create_directory(at("d").c_str()));
    EXPECT_EQ(rt_open(at("d").c_str(), RT_O_RDONLY, 0), -1);
    EXPECT_EQ(errno, EACCES);
}

#endif

}  // namespace
