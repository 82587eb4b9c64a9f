// Units and sources of the two clocks: a wrong divisor or a swapped clock id
// would silently stretch or shrink every time-out of the link.
#include <gtest/gtest.h>

#include <ctime>

#include "base/clock.h"

TEST(Clock, WallClockIsMillisecondsSince1970)
{
    uint64_t before = (uint64_t)std::time(nullptr);
    uint64_t ms = clock_wall_ms();
    uint64_t after = (uint64_t)std::time(nullptr);
    EXPECT_GE(ms, before * 1000);
    EXPECT_LT(ms, (after + 1) * 1000);
}

TEST(Clock, SteadyMillisecondsAndMicrosecondsShareOneClock)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ref_ms = (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
    uint64_t ms1 = clock_steady_ms();
    uint64_t us = clock_steady_us();
    uint64_t ms2 = clock_steady_ms();
    EXPECT_GE(ms1, ref_ms);
    EXPECT_LE(ms1, us / 1000);
    EXPECT_LE(us / 1000, ms2);
    // Read right after each other: within a second of the reference.
    EXPECT_LT(ms2 - ref_ms, 1000u);
}
