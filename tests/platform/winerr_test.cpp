// Last error and the fault-injection seam.
#include "platform/winerr.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

namespace {

TEST(LastError, IsPerThread) {
    win_set_last_error(ERROR_ACCESS_DENIED);
    uint32_t other = 1;
    std::thread t([&] { other = win_last_error(); });
    t.join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(win_last_error(), ERROR_ACCESS_DENIED);
}

TEST(Seam, CountsRulesAndClears) {
    uint32_t e = 0;
    EXPECT_FALSE(win_fail_check("DeleteFile", &e));
    win_fail_inject("DeleteFile", ERROR_SHARING_VIOLATION, 2);
    win_fail_inject("MoveFile", ERROR_LOCK_VIOLATION, 0);
    EXPECT_FALSE(win_fail_check("CopyFile", &e));
    EXPECT_TRUE(win_fail_check("DeleteFile", &e));
    EXPECT_EQ(e, ERROR_SHARING_VIOLATION);
    EXPECT_EQ(win_last_error(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(win_fail_check("DeleteFile", &e));
    EXPECT_FALSE(win_fail_check("DeleteFile", &e));
    for (int i = 0; i < 5; i++) EXPECT_TRUE(win_fail_check("MoveFile", &e));
    // A new rule for the same call replaces the old one.
    win_fail_inject("MoveFile", ERROR_ACCESS_DENIED, 1);
    EXPECT_TRUE(win_fail_check("MoveFile", &e));
    EXPECT_EQ(e, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(win_fail_check("MoveFile", &e));
    // Runtime calls leave the last error alone (they report errno).
    win_set_last_error(0);
    win_fail_inject("_read", EIO, 0);
    EXPECT_TRUE(win_fail_check("_read", &e));
    EXPECT_EQ(win_last_error(), 0u);
    win_fail_clear();
    EXPECT_FALSE(win_fail_check("_read", &e));
}

}  // namespace
