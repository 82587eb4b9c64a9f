// The statistics line and its 5-second rhythm.
#include <gtest/gtest.h>

#include <cstring>

#include "link/stream_stats.h"

namespace {

// Per unit: 10 Mbit of video, 3.5 ms decodes, 8.25 ms to the screen.
StreamStats totals(uint64_t k)
{
    return StreamStats{100 * k, 1250000 * k, 1000 * k, 3 * k,   12 * k,          4 * k,
                       300 * k, 1 * k,       290 * k,  290 * 3500 * k, 250 * k, 250 * 8250 * k};
}

} // namespace

TEST(StreamStats, RatesPerSecondAverageTimesAndZerosWhenNothingCountedOrTotalsWentBack)
{
    const StreamStats a = totals(1), b = totals(3);
    char line[256];
    size_t n = stream_stats_format(&a, &b, 5000000, line, sizeof line);
    EXPECT_EQ(n, strlen(line));
    EXPECT_STREQ(line, "stream: 120.0 received, 116.0 decoded, 100.0 drawn per second, 4.00 Mbit/s, "
                       "fragments lost 8 resent 24, decode 3.50 ms, end-to-end 8.25 ms");
    stream_stats_format(&a, &a, 0, line, sizeof line);
    EXPECT_STREQ(line, "stream: 0.0 received, 0.0 decoded, 0.0 drawn per second, 0.00 Mbit/s, "
                       "fragments lost 0 resent 0, decode 0.00 ms, end-to-end 0.00 ms");
    stream_stats_format(&b, &a, 5000000, line, sizeof line); // a new link
    EXPECT_EQ(std::string(line).rfind("stream: 0.0 received", 0), 0u) << line;
    EXPECT_EQ(stream_stats_format(&a, &b, 5000000, line, 20), 19u); // cut
}

TEST(StreamReport, OneLineEveryFiveSecondsWhileStreaming)
{
    StreamReport r{};
    char line[256];
    StreamStats s = totals(1);
    EXPECT_EQ(stream_report_tick(&r, &s, 1000000, line, sizeof line), 0);  // starts the period
    s = totals(2);
    EXPECT_EQ(stream_report_tick(&r, &s, 5999999, line, sizeof line), 0);
    EXPECT_EQ(stream_report_tick(&r, &s, 6000000, line, sizeof line), 1);
    EXPECT_EQ(std::string(line).rfind("stream: 60.0 received", 0), 0u) << line;
    EXPECT_EQ(stream_report_tick(&r, &s, 10999999, line, sizeof line), 0);
    EXPECT_EQ(stream_report_tick(&r, &s, 11000000, line, sizeof line), 1);
    // Stopped and started again: counting starts afresh, no line about the pause.
    stream_report_stop(&r);
    s = totals(5);
    EXPECT_EQ(stream_report_tick(&r, &s, 30000000, line, sizeof line), 0);
    EXPECT_EQ(stream_report_tick(&r, &s, 34000000, line, sizeof line), 0);
    EXPECT_EQ(stream_report_tick(&r, &s, 35000000, line, sizeof line), 1);
}
