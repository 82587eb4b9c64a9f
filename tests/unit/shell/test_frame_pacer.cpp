// Pacing the frame loop to the display rate when presenting does not wait (60 Hz: 16667 us).
#include <gtest/gtest.h>

#include <vector>

#include "shell/frame_pacer.h"

TEST(FramePacer, SleepsToTheGrid)
{
    // (time a frame is done, the sleep asked for) in order, from start at 0.
    const struct {
        const char *what;
        int refresh_before, refresh_after; // the new rate is set after the first frame
        std::vector<std::pair<int64_t, int64_t>> frames;
    } rows[] = {
        {"no overrun: the rest of each period", 60, 60, {{2000, 14667}, {16667 + 3500, 13167}, {33334 + 10000, 6667}}},
        {"an overrun goes on at once and restarts the grid", 60, 60,
         {{2000, 14667}, {16667 + 30000, 0}, {46667 + 4000, 12667}, {63334 + 1000, 15667}}},
        {"within an eighth of a period of the due time: no sleep", 60, 60, {{16667 - 2000, 0}, {14667 + 5000, 11667}}},
        {"just outside the eighth", 60, 60, {{16667 - 2100, 2100}}},
        {"never more than one period", 60, 60, {{-500000, 16667}, {-500000 + 16667 + 2000, 14667}}},
        {"a new rate from the next due time", 60, 120, {{1000, 15667}, {16667 + 1000, 8333}, {17667 + 8333 + 1000, 7333}}},
        {"unknown or nonsense rates count as sixty", 1001, 0, {{1000, 15667}, {16667 + 1000, 15667}}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        FramePacer p(r.refresh_before);
        p.start(0);
        for (size_t i = 0; i < r.frames.size(); i++) {
            EXPECT_EQ(p.frame_done(r.frames[i].first), r.frames[i].second) << i;
            if (i == 0)
                p.set_refresh(r.refresh_after);
        }
    }
    FramePacer first(60); // the first frame without start does not sleep
    EXPECT_EQ(first.frame_done(500000), 0);
    EXPECT_EQ(first.frame_done(502000), 14667);
    // Sleeps that overshoot by 150 us do not slow the rate.
    FramePacer p(60);
    p.start(0);
    int64_t now = 0;
    for (int frame = 1; frame <= 600; frame++) {
        now += 1000;
        const int64_t sleep = p.frame_done(now);
        ASSERT_GT(sleep, 0) << frame;
        now += sleep + 150;
    }
    EXPECT_TRUE(now >= 600 * 16667 && now <= 600 * 16667 + 150) << now;
    // Presents paced by vertical sync, a little off the rate told, get no sleep.
    for (int64_t beat : {16600, 16700}) {
        FramePacer v(60);
        v.start(0);
        for (int frame = 1; frame <= 2000; frame++)
            ASSERT_EQ(v.frame_done(frame * beat), 0) << "beat " << beat << ", frame " << frame;
    }
}
