// Pacing the frame loop to the display rate when presenting does not wait.
#include <gtest/gtest.h>

#include "shell/frame_pacer.h"

// 60 Hz: one period is 16667 microseconds (1 000 000 / 60, rounded).

TEST(FramePacer, PeriodFromTheRefreshRate)
{
    EXPECT_EQ(FramePacer(60).period_us(), 16667);
    EXPECT_EQ(FramePacer(144).period_us(), 6944);
    EXPECT_EQ(FramePacer(75).period_us(), 13333);
    EXPECT_EQ(FramePacer(1000).period_us(), 1000);
    EXPECT_EQ(FramePacer().period_us(), 16667);
}

TEST(FramePacer, UnknownOrNonsenseRatesCountAsSixty)
{
    EXPECT_EQ(FramePacer(0).period_us(), 16667);
    EXPECT_EQ(FramePacer(-30).period_us(), 16667);
    EXPECT_EQ(FramePacer(1001).period_us(), 16667);
    FramePacer p(144);
    p.set_refresh(0);
    EXPECT_EQ(p.period_us(), 16667);
}

TEST(FramePacer, SixtyHertzWithoutOverrunSleepsTheRestOfEachPeriod)
{
    FramePacer p(60);
    p.start(1000000);
    // Frame 1 takes 2 ms: due at 1 016 667.
    EXPECT_EQ(p.frame_done(1002000), 14667);
    // Frame 2 starts when the sleep ends and takes 3.5 ms: due at 1 033 334.
    EXPECT_EQ(p.frame_done(1016667 + 3500), 13167);
    // Frame 3 takes 10 ms: due at 1 050 001.
    EXPECT_EQ(p.frame_done(1033334 + 10000), 6667);
}

TEST(FramePacer, LateWakeUpsDoNotSlowTheRate)
{
    FramePacer p(60);
    p.start(0);
    int64_t now = 0;
    for (int frame = 1; frame <= 600; frame++) {
        now += 1000;                       // the frame's work
        const int64_t sleep = p.frame_done(now);
        ASSERT_GT(sleep, 0) << frame;
        now += sleep + 150;                // the sleep overshoots by 150 us
    }
    // 600 frames at 60 Hz take ten seconds, give or take the last overshoot.
    EXPECT_LE(now, 600 * 16667 + 150);
    EXPECT_GE(now, 600 * 16667);
}

TEST(FramePacer, SixtyHertzWithOverrunGoesOnAtOnceAndRestartsTheGrid)
{
    FramePacer p(60);
    p.start(0);
    EXPECT_EQ(p.frame_done(2000), 14667);      // due 16 667
    // The next frame takes 30 ms: late by 15.333 ms, no sleep and no
    // catching up afterwards.
    EXPECT_EQ(p.frame_done(16667 + 30000), 0);
    // The grid restarted at 46 667: the following frame is due at 63 334.
    EXPECT_EQ(p.frame_done(46667 + 4000), 12667);
    EXPECT_EQ(p.frame_done(63334 + 1000), 15667);
}

TEST(FramePacer, FrameEndingJustBeforeItsDueTimeDoesNotSleep)
{
    FramePacer p(60);
    p.start(0);
    // Within an eighth of a period (2083 us) of the due time.
    EXPECT_EQ(p.frame_done(16667 - 2000), 0);
    // The grid restarted at 14 667.
    EXPECT_EQ(p.frame_done(14667 + 5000), 11667);
    // Just outside the eighth.
    FramePacer q(60);
    q.start(0);
    EXPECT_EQ(q.frame_done(16667 - 2100), 2100);
}

TEST(FramePacer, PresentsPacedByVerticalSyncGetNoSleep)
{
    // Each present returns on the display's beat, slightly faster or slower
    // than the rate the pacer was told.
    for (int64_t beat : {16600, 16667, 16700, 16683}) {
        FramePacer p(60);
        p.start(0);
        int64_t now = 0;
        for (int frame = 0; frame < 2000; frame++) {
            now += beat;
            ASSERT_EQ(p.frame_done(now), 0) << "beat " << beat << ", frame " << frame;
        }
    }
}

TEST(FramePacer, FirstFrameWithoutStartDoesNotSleep)
{
    FramePacer p(60);
    EXPECT_EQ(p.frame_done(500000), 0);
    EXPECT_EQ(p.frame_done(502000), 14667);
}

TEST(FramePacer, NeverSleepsMoreThanOnePeriod)
{
    FramePacer p(60);
    p.start(1000000);
    // The caller's time is far before the due time.
    EXPECT_EQ(p.frame_done(500000), 16667);
    // The grid restarted: the frame after the sleep is due one period later.
    EXPECT_EQ(p.frame_done(516667 + 2000), 14667);
}

TEST(FramePacer, NewRateTakesEffectFromTheNextDueTime)
{
    FramePacer p(60);
    p.start(0);
    EXPECT_EQ(p.frame_done(1000), 15667);      // due 16 667, next due 33 334
    p.set_refresh(120);
    EXPECT_EQ(p.period_us(), 8333);
    // 33 334 is more than one new period ahead: capped and restarted.
    EXPECT_EQ(p.frame_done(16667 + 1000), 8333);
    EXPECT_EQ(p.frame_done(17667 + 8333 + 1000), 7333);
}
