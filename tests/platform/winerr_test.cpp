// The last error; the fault-injection seam is tested through the calls that
// consult it (winfile_ops, rtfile).
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

// Runtime calls (leading '_') report errno and leave the last error alone.
TEST(Seam, RuntimeCallsLeaveTheLastErrorAlone) {
    uint32_t e = 0;
    win_set_last_error(0);
    win_fail_inject("_read", EIO, 0);
    EXPECT_FALSE(win_fail_check("CopyFile", &e));
    EXPECT_TRUE(win_fail_check("_read", &e));
    EXPECT_EQ(e, uint32_t(EIO));
    EXPECT_EQ(win_last_error(), 0u);
    win_fail_clear();
    EXPECT_FALSE(win_fail_check("_read", &e));
}

}  // namespace
