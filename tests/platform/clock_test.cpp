// Ticks and sleeps.
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>

TEST(Clock, TicksFollowASleepInMilliseconds) {
    auto wall0 = std::chrono::steady_clock::now();
    uint32_t t0 = tick_count();
    sleep_ms(120);
    uint32_t elapsed = tick_count() - t0;
    auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - wall0)
                    .count();
    EXPECT_GE(wall, 120);
    EXPECT_GE(elapsed, 119u);  // the tick may straddle a millisecond edge
    EXPECT_LE(elapsed, static_cast<uint32_t>(wall) + 1);
}
