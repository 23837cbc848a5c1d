// The case-insensitive directory index: concurrent use, changes made through
// the layer, and what it costs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/winfile.h"
#include "platform/winfile_internal.h"
#include "support/drive_temp.h"

namespace {

bool create(const std::string &path) {
    return open_fails(path, GENERIC_WRITE, CREATE_NEW) == kSucceeded;
}
uint32_t attrs(const std::string &p) {
    return win_get_file_attributes(p.c_str());
}

// Four threads create names in one directory, look each up under another
// case and rename every other one, while a fifth lists the directory: a
// created name is found under any case at once, a moved one is gone at once.
TEST(DirIndex, ConcurrentCreatesRenamesAndCaseLookups) {
    temp_drive c;
    ASSERT_TRUE(win_create_directory("c:\\Shared"));
    std::atomic<int> missing{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([t, &missing] {
            for (int i = 0; i < 200; i++) {
                std::string id = std::to_string(t) + "_" + std::to_string(i);
                if (!create("c:\\shared\\File_" + id)) missing++;
                if (attrs("c:\\SHARED\\fILE_" + id) != FILE_ATTRIBUTE_NORMAL) missing++;
                if (i % 2) continue;
                if (!win_move_file(("c:\\shared\\FILE_" + id).c_str(),
                                   ("c:\\shared\\Moved_" + id).c_str()) ||
                    attrs("c:\\shared\\MOVED_" + id) != FILE_ATTRIBUTE_NORMAL ||
                    attrs("c:\\shared\\file_" + id) != INVALID_FILE_ATTRIBUTES)
                    missing++;
            }
        });
    std::thread lister([&stop] {
        while (!stop) {
            win_find_data d;
            win_find_handle h = win_find_first_file("c:\\shared\\*.*", &d);
            while (h && win_find_next_file(h, &d)) {
            }
            if (h) win_find_close(h);
        }
    });
    for (auto &th : threads) th.join();
    stop = true;
    lister.join();
    EXPECT_EQ(missing, 0);
    // More searches open at a time than the fixed pool holds still work.
    std::vector<win_find_handle> open;
    for (int i = 0; i < 40; i++) {
        win_find_data d;
        open.push_back(win_find_first_file("c:\\shared\\*.*", &d));
        ASSERT_NE(open.back(), nullptr);
    }
    for (auto h : open) EXPECT_TRUE(win_find_close(h));
}

// The index must drop names that the layer removes or renames away: a stale
// entry would make a later create under another case reuse the old name.
TEST(DirIndex, RemovedAndRenamedNamesLeaveTheIndex) {
    temp_drive c;
    for (const char *n : {"Foo", "Gone", "Twin", "TWIN"}) write_file(c.host(n), "");
    mkdir(c.host("Dir").c_str(), 0755);
    EXPECT_EQ(attrs("c:\\FOO"), FILE_ATTRIBUTE_NORMAL);  // builds the index
    ASSERT_TRUE(win_move_file("c:\\Foo", "c:\\bar"));
    ASSERT_TRUE(win_delete_file("c:\\Gone"));
    ASSERT_TRUE(win_remove_directory("c:\\Dir"));
    using names = std::pair<const char *, const char *>;
    for (auto [created, old] : {names{"FOO", "Foo"}, names{"gONE", "Gone"}, names{"dIR", "Dir"}}) {
        SCOPED_TRACE(created);
        ASSERT_TRUE(create(std::string("c:\\") + created));
        EXPECT_TRUE(c.has(created));
        EXPECT_FALSE(c.has(old));
    }
    EXPECT_EQ(attrs("c:\\BAR"), FILE_ATTRIBUTE_NORMAL);
    // Of two names differing only in case, removing the one the index shows
    // leaves the other one found.
    ASSERT_TRUE(win_delete_file("c:\\TWIN"));
    win_find_data d;
    win_find_handle h = win_find_first_file("c:\\twin", &d);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(d.name, "Twin");
    win_find_close(h);
}

// A name in its exact case costs no scan; other cases cost one scan per
// directory, however many names are looked up or added through the layer.
TEST(DirIndex, ScansOnlyForOtherCasesAndOncePerDirectory) {
    temp_drive c;
    ASSERT_EQ(mkdir(c.host("Big").c_str(), 0755), 0);
    for (int i = 0; i < 500; i++) write_file(c.host("Big/Name" + std::to_string(i)), "");
    uint64_t before = dircache_scan_count();
    for (int i = 0; i < 500; i += 5)
        ASSERT_EQ(attrs("c:\\Big\\Name" + std::to_string(i)), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(dircache_scan_count(), before);
    for (int i = 0; i < 500; i += 5)
        ASSERT_EQ(attrs("c:\\BIG\\name" + std::to_string(i)), FILE_ATTRIBUTE_NORMAL);
    // One scan of the drive root (for "BIG") and one of Big itself.
    EXPECT_EQ(dircache_scan_count(), before + 2);
    before = dircache_scan_count();
    for (int i = 0; i < 200; i++) {
        ASSERT_TRUE(create("c:\\Big\\New" + std::to_string(i)));
        if (i % 2) {
            ASSERT_TRUE(win_delete_file(("c:\\Big\\NAME" + std::to_string(i)).c_str()));
        }
    }
    EXPECT_EQ(attrs("c:\\Big\\NEW199"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(attrs("c:\\Big\\NAME199"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(dircache_scan_count(), before);
}

}  // namespace
