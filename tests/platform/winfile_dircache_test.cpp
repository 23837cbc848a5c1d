// The case-insensitive directory index under concurrent use.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/winfile.h"
#include "platform/winfile_internal.h"
#include "support/drive_temp.h"

namespace {

// Four threads create names in one directory and look up each other's names
// under another case, and rename half of them, while a fifth lists the
// directory: every name created must be found under any case at once, and a
// name moved away must be gone at once.
TEST(DirIndex, ConcurrentCreatesAndCaseLookups) {
    temp_drive c;
    ASSERT_TRUE(win_create_directory("c:\\Shared"));
    std::atomic<int> missing{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([t, &missing] {
            for (int i = 0; i < 200; i++) {
                std::string name = "File_" + std::to_string(t) + "_" + std::to_string(i);
                win_handle h = win_create_file(("c:\\shared\\" + name).c_str(), GENERIC_WRITE, 0,
                                               CREATE_NEW, 0);
                if (h == INVALID_HANDLE_VALUE) {
                    missing++;
                    continue;
                }
                win_close_handle(h);
                for (char &ch : name) ch = char(ch ^ 0x20 * (ch >= 'A' && ch <= 'z' && ch != '_'));
                if (win_get_file_attributes(("c:\\SHARED\\" + name).c_str()) !=
                    FILE_ATTRIBUTE_NORMAL)
                    missing++;
                if (i % 2) continue;
                // Every other name moves on: the new one is found under
                // another case, the old one is gone under any case.
                std::string moved = "Moved_" + std::to_string(t) + "_" + std::to_string(i);
                if (!win_move_file(("c:\\shared\\" + name).c_str(),
                                   ("c:\\shared\\" + moved).c_str()))
                    missing++;
                if (win_get_file_attributes(("c:\\shared\\MOVED" + moved.substr(5)).c_str()) !=
                        FILE_ATTRIBUTE_NORMAL ||
                    win_get_file_attributes(("c:\\shared\\" + name).c_str()) !=
                        INVALID_FILE_ATTRIBUTES)
                    missing++;
            }
        });
    std::thread lister([&stop] {
        while (!stop) {
            win_find_data d;
            win_find_handle h = win_find_first_file("c:\\shared\\*.*", &d);
            if (h) {
                while (win_find_next_file(h, &d)) {
                }
                win_find_close(h);
            }
        }
    });
    for (auto &th : threads) th.join();
    stop = true;
    lister.join();
    EXPECT_EQ(missing, 0);
    // More than one search at a time than the fixed pool holds still works.
    std::vector<win_find_handle> open;
    for (int i = 0; i < 40; i++) {
        win_find_data d;
        win_find_handle h = win_find_first_file("c:\\shared\\*.*", &d);
        ASSERT_NE(h, nullptr);
        open.push_back(h);
    }
    for (auto h : open) EXPECT_TRUE(win_find_close(h));
}

}  // namespace

namespace {

bool on_disk(const temp_drive &c, const std::string &name) {
    return access(c.host(name).c_str(), F_OK) == 0;
}

// The index must drop names that the layer removes or renames away: a stale
// entry would make a later create under another case reuse the old name.
TEST(DirIndex, RemovedAndRenamedNamesLeaveTheIndex) {
    temp_drive c;
    for (const char *n : {"Foo", "Gone", "Dir", "Twin", "TWIN"}) write_file(c.host(n), "");
    unlink(c.host("Dir").c_str());
    mkdir(c.host("Dir").c_str(), 0755);
    EXPECT_EQ(win_get_file_attributes("c:\\FOO"), FILE_ATTRIBUTE_NORMAL);  // builds the index
    // Each change is followed at once by a create under another case.
    auto create = [](const char *n) {
        win_handle h = win_create_file(n, GENERIC_WRITE, 0, CREATE_NEW, 0);
        if (h == INVALID_HANDLE_VALUE) return false;
        return win_close_handle(h);
    };
    ASSERT_TRUE(win_move_file("c:\\Foo", "c:\\bar"));
    ASSERT_TRUE(create("c:\\FOO"));
    ASSERT_TRUE(win_delete_file("c:\\Gone"));
    ASSERT_TRUE(create("c:\\gONE"));
    ASSERT_TRUE(win_remove_directory("c:\\Dir"));
    ASSERT_TRUE(create("c:\\dIR"));
    EXPECT_TRUE(on_disk(c, "FOO") && !on_disk(c, "Foo"));
    EXPECT_TRUE(on_disk(c, "gONE") && !on_disk(c, "Gone"));
    EXPECT_TRUE(on_disk(c, "dIR") && !on_disk(c, "Dir"));
    EXPECT_EQ(win_get_file_attributes("c:\\BAR"), FILE_ATTRIBUTE_NORMAL);
    // Of two names differing only in case, removing the one the index shows
    // leaves the other one found.
    ASSERT_TRUE(win_delete_file("c:\\TWIN"));
    win_find_data d;
    win_find_handle h = win_find_first_file("c:\\twin", &d);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(d.name, "Twin");
    win_find_close(h);
    // A case change of a name leaves only the new spelling.
    ASSERT_TRUE(win_move_file("c:\\bar", "c:\\Bar"));
    EXPECT_TRUE(on_disk(c, "Bar") && !on_disk(c, "bar"));
    EXPECT_EQ(win_get_file_attributes("c:\\BAR"), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace

namespace {

// A name in its exact case costs no scan; other cases cost one scan per
// directory, however many names are looked up or added through the layer.
TEST(DirIndex, ScansOnlyForOtherCasesAndOncePerDirectory) {
    temp_drive c;
    ASSERT_EQ(mkdir(c.host("Big").c_str(), 0755), 0);
    for (int i = 0; i < 500; i++) write_file(c.host("Big/Name" + std::to_string(i)), "");
    uint64_t before = dircache_scan_count();
    for (int i = 0; i < 500; i += 5) {
        std::string p = "c:\\Big\\Name" + std::to_string(i);
        ASSERT_EQ(win_get_file_attributes(p.c_str()), FILE_ATTRIBUTE_NORMAL);
    }
    EXPECT_EQ(dircache_scan_count(), before);
    for (int i = 0; i < 500; i += 5) {
        std::string p = "c:\\BIG\\name" + std::to_string(i);
        ASSERT_EQ(win_get_file_attributes(p.c_str()), FILE_ATTRIBUTE_NORMAL);
    }
    // One scan of the drive root (for "BIG") and one of Big itself.
    EXPECT_EQ(dircache_scan_count(), before + 2);
    before = dircache_scan_count();
    for (int i = 0; i < 200; i++) {
        std::string p = "c:\\Big\\New" + std::to_string(i);
        win_handle h = win_create_file(p.c_str(), GENERIC_WRITE, 0, CREATE_NEW, 0);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        win_close_handle(h);
        if (i % 2) {
            ASSERT_TRUE(win_delete_file(("c:\\Big\\NAME" + std::to_string(i)).c_str()));
        }
    }
    EXPECT_EQ(win_get_file_attributes("c:\\Big\\NEW199"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(win_get_file_attributes("c:\\Big\\NAME199"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(dircache_scan_count(), before);
}

}  // namespace
