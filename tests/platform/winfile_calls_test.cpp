// The Windows file calls as both hosts answer them: names without case, what
// CreateFile and the calls on names refuse without changing anything, the
// calls on a handle, the attributes a caller sets and reads back, and
// listings with their patterns and directory counts. Each test works in a
// fresh folder "t" (over drive C: on Linux, the temporary folder on Windows).
#include "platform/winfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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
    uint32_t attrs(const std::string &rel) const {
        return win_get_file_attributes(at(rel).c_str());
    }
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
        if (h == kNoHandle) return "<" + std::to_string(win_last_error()) + ">";
        win_read_file(h, buf, sizeof buf, &n);
        win_close_handle(h);
        return std::string(buf, n);
    }
    // The names a search gives, sorted (the hosts list in different orders).
    names listing(const std::string &pattern, bool names_only = false) const {
        names out;
        win_find_data d;
        win_find_handle h = names_only ? win_find_first_name(at(pattern).c_str(), &d)
                                       : win_find_first_file(at(pattern).c_str(), &d);
        for (bool more = h != nullptr; more; more = win_find_next_file(h, &d))
            out.push_back(d.name);
        EXPECT_EQ(win_last_error(), ERROR_NO_MORE_FILES) << pattern;
        if (h) win_find_close(h);
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(Calls, NamesWithoutCase) {
    make("Mixed.Txt", "abc");
    EXPECT_EQ(attrs("MIXED.TXT"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(content("mixed.txt"), "abc");
    EXPECT_EQ(listing("MIXED.TXT"), names({"Mixed.Txt"}));
    // A move to another case renames on disk.
    ASSERT_TRUE(win_move_file(at("mixed.txt").c_str(), at("MIXED.txt").c_str()));
    EXPECT_EQ(listing("*.txt"), names({"MIXED.txt"}));
    // Opening an existing name under another case reaches it, never a second file.
    make("other", "old");
    ASSERT_TRUE(win_copy_file(at("mixed.TXT").c_str(), at("OTHER").c_str(), false));
    EXPECT_EQ(open_fails(at("MIXED.TXT"), GENERIC_WRITE, TRUNCATE_EXISTING), kSucceeded);
    EXPECT_EQ(listing("*"), names({".", "..", "MIXED.txt", "other"}));
    EXPECT_EQ(content("other"), "abc");
    EXPECT_EQ(content("mixed.txt"), "");
}

// Each row is refused with its error, and afterwards nothing has changed.
TEST_F(Calls, RefusalsChangeNothing) {
    make("f", "hello");
    make("g", "other");
    make("ro", "ro");
    ASSERT_TRUE(win_set_file_attributes(at("ro").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(win_create_directory(at("d").c_str()));
    make("d\\inner");
    // A call on one or two names; an open with its access and disposition.
    enum op { OPEN, MKDIR, RMDIR, DEL, MOVE, COPY, COPY_NEW, LINK };
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
        {"make a folder that exists", MKDIR, "D", "", 0, 0, ERROR_ALREADY_EXISTS},
        {"remove a full folder", RMDIR, "d", "", 0, 0, ERROR_DIR_NOT_EMPTY},
        {"remove a file as a folder", RMDIR, "f", "", 0, 0, ERROR_DIRECTORY},
        {"remove a missing folder", RMDIR, "none", "", 0, 0, ERROR_FILE_NOT_FOUND},
        {"delete a folder", DEL, "d", "", 0, 0, ERROR_ACCESS_DENIED},
        {"delete a missing file", DEL, "none", "", 0, 0, ERROR_FILE_NOT_FOUND},
        {"move onto a name under another case", MOVE, "f", "G", 0, 0, ERROR_ALREADY_EXISTS},
        {"copy onto an existing name", COPY_NEW, "f", "g", 0, 0, ERROR_FILE_EXISTS},
        {"copy a folder", COPY_NEW, "d", "x", 0, 0, ERROR_ACCESS_DENIED},
        {"link onto an existing name", LINK, "ro", "d\\inner", 0, 0, ERROR_ALREADY_EXISTS},
    };
    for (const auto &r : rows) {
        std::string a = at(r.a), b = at(r.b);
        bool ok = r.call == OPEN    ? open_fails(a, r.access, r.disposition) == kSucceeded
                  : r.call == MKDIR ? win_create_directory(a.c_str())
                  : r.call == RMDIR ? win_remove_directory(a.c_str())
                  : r.call == DEL   ? win_delete_file(a.c_str())
                  : r.call == MOVE  ? win_move_file(a.c_str(), b.c_str())
                  : r.call == LINK  ? win_create_hard_link(a.c_str(), b.c_str())
                                    : win_copy_file(a.c_str(), b.c_str(), r.call == COPY_NEW);
        EXPECT_EQ(fails(ok), r.error) << r.what;
    }
    EXPECT_EQ(listing("*"), names({".", "..", "d", "f", "g", "ro"}));
    EXPECT_EQ(listing("d\\*"), names({".", "..", "inner"}));
    EXPECT_EQ(content("f") + content("g") + content("ro"), "hellootherro");
    // What succeeds: a copy keeps the attributes, moves take folders along.
    ASSERT_TRUE(win_set_file_attributes(at("f").c_str(), FILE_ATTRIBUTE_READONLY |
                                                             FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(win_copy_file(at("f").c_str(), at("d\\copy").c_str(), true));
    EXPECT_EQ(attrs("d\\copy"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    ASSERT_TRUE(win_move_file(at("g").c_str(), at("d\\moved").c_str()));
    ASSERT_TRUE(win_move_file(at("d").c_str(), at("e").c_str()));
    EXPECT_EQ(listing("e\\*", true), names({".", "..", "copy", "inner", "moved"}));
    EXPECT_EQ(content("e\\copy") + content("e\\moved"), "helloother");
}

TEST_F(Calls, CallsOnAHandle) {
    make("f", "0123456789");
    // CREATE_ALWAYS over a file succeeds and says it existed.
    win_handle h =
        win_create_file(at("f").c_str(), GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
    EXPECT_EQ(win_last_error(), ERROR_ALREADY_EXISTS);
    uint32_t n = 0;
    ASSERT_TRUE(win_write_file(h, "abcdef", 6, &n));
    int64_t pos = -1;
    ASSERT_TRUE(win_set_file_pointer(h, -2, &pos, FILE_END));
    EXPECT_EQ(pos, 4);
    ASSERT_TRUE(win_set_end_of_file(h));
    uint64_t size = 0;
    ASSERT_TRUE(win_get_file_size(h, &size));
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(fails(win_set_file_pointer(h, -10, nullptr, FILE_BEGIN)), ERROR_NEGATIVE_SEEK);
    ASSERT_TRUE(win_flush_file_buffers(h));
    EXPECT_TRUE(win_close_handle(h));
    EXPECT_EQ(content("f"), "abcd");
    EXPECT_EQ(fails(win_close_handle(kNoHandle)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(fails(win_read_file(kNoHandle, &n, 4, &n)), ERROR_INVALID_HANDLE);
}

TEST_F(Calls, AttributesSetAndReadBack) {
    make("f");
    EXPECT_EQ(attrs("f"), FILE_ATTRIBUTE_NORMAL);
    const uint32_t rows[][2] = {  // set, then read
        {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY},
        {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE,
         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
        {0, FILE_ATTRIBUTE_NORMAL},
    };
    for (const auto &row : rows) {
        ASSERT_TRUE(win_set_file_attributes(at("F").c_str(), row[0])) << row[0];
        EXPECT_EQ(attrs("f"), row[1]) << row[0];
    }
    ASSERT_TRUE(win_create_directory(at("d").c_str()));
    EXPECT_EQ(attrs("D"), FILE_ATTRIBUTE_DIRECTORY);
    ASSERT_TRUE(win_set_file_attributes(at("d").c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(attrs("d"), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(fails(win_set_file_attributes(at("none").c_str(), 0)), ERROR_FILE_NOT_FOUND);
}

// Patterns, a single find, the count of directories and the names-only
// search agree with the full one.
TEST_F(Calls, ListingsAndDirectoryCounts) {
    for (const char *d : {"sub", "sub\\x", "sub\\y", "Other"})
        ASSERT_TRUE(win_create_directory(at(d).c_str()));
    make("sub\\LongFileName.text", "abc");
    make("sub\\SHORT.TXT");
    make("sub\\other.c");
    EXPECT_EQ(listing("sub\\*.*"),
              names({".", "..", "LongFileName.text", "SHORT.TXT", "other.c", "x", "y"}));
    EXPECT_EQ(listing("sub\\*.t*"), names({"LongFileName.text", "SHORT.TXT"}));
    EXPECT_EQ(listing("sub\\?????.c"), names({"other.c"}));
    EXPECT_EQ(listing("sub\\*.*", true), listing("sub\\*.*"));
    win_find_data d;
    win_find_handle h = win_find_first_file(at("sub\\longfilename.TEXT").c_str(), &d);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(d.name, "LongFileName.text");
    EXPECT_EQ(d.size_low, 3u);
    EXPECT_EQ(d.attributes, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(fails(win_find_next_file(h, &d)), ERROR_NO_MORE_FILES);
    win_find_close(h);
    EXPECT_EQ(fails(win_find_first_file(at("sub\\*.zip").c_str(), &d) != nullptr),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(fails(win_find_first_file(at("none\\*.*").c_str(), &d) != nullptr),
              ERROR_PATH_NOT_FOUND);
    const struct {
        const char *pattern;
        uint32_t count;
    } counts[] = {{"sub\\*.*", 4}, {"sub\\*.c", 0}, {"*", 4}, {"sub", 1}, {"sub\\other.c", 0}};
    uint32_t count = 99;
    for (const auto &t : counts) {
        EXPECT_TRUE(win_count_directories(at(t.pattern).c_str(), &count)) << t.pattern;
        EXPECT_EQ(count, t.count) << t.pattern;
    }
    EXPECT_EQ(fails(win_count_directories(at("none\\*").c_str(), &count)), ERROR_PATH_NOT_FOUND);
    // A folder named with a final separator is the folder itself.
    for (const char *p : {"SUB", "sub\\", "sub\\\\"}) {
        ASSERT_TRUE(win_find_entry(at(p).c_str(), &d, &count)) << p;
        EXPECT_STREQ(d.name, "sub");
        EXPECT_EQ(d.attributes, FILE_ATTRIBUTE_DIRECTORY);
        EXPECT_EQ(count, 4u);
    }
    ASSERT_TRUE(win_find_entry(at("sub\\short.txt").c_str(), &d, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(fails(win_find_entry(at("sub\\s*").c_str(), &d, &count)), ERROR_INVALID_NAME);
    EXPECT_EQ(fails(win_find_entry(at("sub\\none").c_str(), &d, &count)), ERROR_FILE_NOT_FOUND);
}

}  // namespace
