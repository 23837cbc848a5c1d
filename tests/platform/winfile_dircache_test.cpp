// The case-insensitive directory index under concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/winfile.h"
#include "support/drive_temp.h"

namespace {

// Four threads create names in one directory and look up each other's names
// under another case while a fifth lists the directory: every name created
// must be found under any case, at once.
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
