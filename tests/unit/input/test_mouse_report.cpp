// Mouse samples -> entries -> coalesced mouse reports.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "input/mouse_report.h"

namespace {

using Report = std::array<uint8_t, 5>;

// Flushes entries with room for every report; checks that all were consumed.
std::vector<Report> flush(const std::vector<MouseEntry> &entries)
{
    std::vector<uint8_t> raw((entries.size() + 1) * 5, 0xEE);
    size_t consumed = 12345;
    size_t n = mouse_coalesce(entries.data(), entries.size(), reinterpret_cast<uint8_t(*)[5]>(raw.data()),
                              entries.size() + 1, &consumed);
    EXPECT_EQ(consumed, entries.size());
    std::vector<Report> out(n);
    for (size_t i = 0; i < n; i++)
        std::memcpy(out[i].data(), &raw[i * 5], 5);
    // Nothing past the reports written is touched.
    for (size_t i = n * 5; i < raw.size(); i++)
        EXPECT_EQ(raw[i], 0xEE) << "byte " << i;
    return out;
}

MouseSample sample(int32_t x, int32_t y, int32_t z, uint8_t left = 0, uint8_t right = 0, uint8_t middle = 0)
{
    MouseSample s;
    std::memset(&s, 0, sizeof s);
    s.x = x;
    s.y = y;
    s.z = z;
    s.buttons[0] = left;
    s.buttons[1] = right;
    s.buttons[2] = middle;
    return s;
}

// ---- Entries ---------------------------------------------------------------

TEST(MouseEntry, ClampsMotionAndTakesWheelSign)
{
    MouseEntry e;
    ASSERT_TRUE(mouse_make_entry(sample(-300, 200, 120), false, &e));
    EXPECT_EQ(e.buttons, 0);
    EXPECT_EQ(e.dx, -127);  // not -128
    EXPECT_EQ(e.dy, 127);
    EXPECT_EQ(e.wheel, 1);
    ASSERT_TRUE(mouse_make_entry(sample(-127, 126, -240), false, &e));
    EXPECT_EQ(e.dx, -127);
    EXPECT_EQ(e.dy, 126);
    EXPECT_EQ(e.wheel, -1);
    ASSERT_TRUE(mouse_make_entry(sample(INT32_MIN, INT32_MAX, 0), false, &e));
    EXPECT_EQ(e.dx, -127);
    EXPECT_EQ(e.dy, 127);
    EXPECT_EQ(e.wheel, 0);
    EXPECT_EQ(mouse_clamp(-128), -127);
    EXPECT_EQ(mouse_clamp(128), 127);
    EXPECT_EQ(mouse_clamp(-5), -5);
}

TEST(MouseEntry, ButtonBytes)
{
    MouseEntry e;
    // Any non-zero byte is down; left, right, middle -> bits 0, 1, 2.
    ASSERT_TRUE(mouse_make_entry(sample(0, 0, 0, 0x80, 0, 0x01), false, &e));
    EXPECT_EQ(e.buttons, 0x05);
    // Buttons 3-7 are not forwarded.
    MouseSample s = sample(0, 0, 0);
    for (int i = 3; i < 8; i++)
        s.buttons[i] = 0x80;
    ASSERT_TRUE(mouse_make_entry(s, false, &e));
    EXPECT_EQ(e.buttons, 0x00);
}

TEST(MouseEntry, ReleaseGestureClickNeverReachesTheTarget)
{
    MouseEntry e;
    // Right alone with left Ctrl held: dropped.
    EXPECT_FALSE(mouse_make_entry(sample(0, 0, 0, 0, 0x80), true, &e));
    // Right alone without left Ctrl: kept.
    ASSERT_TRUE(mouse_make_entry(sample(0, 0, 0, 0, 0x80), false, &e));
    EXPECT_EQ(e.buttons, 0x02);
    // Left and right together with left Ctrl: kept.
    ASSERT_TRUE(mouse_make_entry(sample(0, 0, 0, 0x80, 0x80), true, &e));
    EXPECT_EQ(e.buttons, 0x03);
    // Right and middle with left Ctrl: kept (not exactly right alone).
    ASSERT_TRUE(mouse_make_entry(sample(0, 0, 0, 0, 0x80, 0x80), true, &e));
    EXPECT_EQ(e.buttons, 0x06);
    // Plain motion with left Ctrl held: kept.
    EXPECT_TRUE(mouse_make_entry(sample(4, 0, 0), true, &e));
}

// ---- Coalescing ------------------------------------------------------------

TEST(MouseCoalesce, ThreeSmallMotionsBecomeOneReport)
{
    EXPECT_EQ(flush({{0, 10, 5, 0}, {0, 10, 5, 0}, {0, 10, 5, 0}}),
              (std::vector<Report>{{0x02, 0x00, 0x1E, 0x0F, 0x00}}));
}

TEST(MouseCoalesce, SumPastLimitSplits)
{
    EXPECT_EQ(flush({{0, 100, 0, 0}, {0, 50, 0, 0}}),
              (std::vector<Report>{{0x02, 0x00, 0x64, 0x00, 0x00}, {0x02, 0x00, 0x32, 0x00, 0x00}}));
    // Exactly 127 in magnitude still merges, on either axis and sign.
    EXPECT_EQ(flush({{0, -100, 0, 0}, {0, -27, 0, 0}}), (std::vector<Report>{{0x02, 0x00, 0x81, 0x00, 0x00}}));
    EXPECT_EQ(flush({{0, 0, -100, 0}, {0, 0, -28, 0}}),
              (std::vector<Report>{{0x02, 0x00, 0x00, 0x9C, 0x00}, {0x02, 0x00, 0x00, 0xE4, 0x00}}));
    // Motion that cancels keeps merging.
    EXPECT_EQ(flush({{0, 120, 0, 0}, {0, -120, 0, 0}, {0, 120, 0, 0}, {0, 7, 1, 0}}),
              (std::vector<Report>{{0x02, 0x00, 0x7F, 0x01, 0x00}}));
}

TEST(MouseCoalesce, WheelEntryGoesAlone)
{
    EXPECT_EQ(flush({{0, 10, 0, 0}, {0, 0, 0, -1}, {0, 10, 0, 0}}),
              (std::vector<Report>{{0x02, 0x00, 0x0A, 0x00, 0x00},
                                   {0x02, 0x00, 0x00, 0x00, 0xFF},
                                   {0x02, 0x00, 0x0A, 0x00, 0x00}}));
    // Two wheel steps in a row stay two reports; motion on a wheel entry rides along.
    EXPECT_EQ(flush({{0, 0, 0, 1}, {0, 3, 2, 1}}),
              (std::vector<Report>{{0x02, 0x00, 0x00, 0x00, 0x01}, {0x02, 0x00, 0x03, 0x02, 0x01}}));
}

TEST(MouseCoalesce, ButtonChangeStartsANewReport)
{
    EXPECT_EQ(flush({{0, 5, 0, 0}, {0, 5, 0, 0}, {1, 0, 0, 0}, {1, 3, -2, 0}, {0, 2, 0, 0}}),
              (std::vector<Report>{{0x02, 0x00, 0x0A, 0x00, 0x00},
                                   {0x02, 0x01, 0x03, 0xFE, 0x00},
                                   {0x02, 0x00, 0x02, 0x00, 0x00}}));
}

TEST(MouseCoalesce, FarMotionIsClampedEndToEnd)
{
    // One read of 300 counts to the left: -127, the rest is lost.
    MouseEntry e;
    ASSERT_TRUE(mouse_make_entry(sample(-300, 0, 0), false, &e));
    EXPECT_EQ(flush({e}), (std::vector<Report>{{0x02, 0x00, 0x81, 0x00, 0x00}}));
    // A hand-made -128 entry still yields a report inside the limit.
    EXPECT_EQ(flush({{0, -128, -128, 0}}), (std::vector<Report>{{0x02, 0x00, 0x81, 0x81, 0x00}}));
}

TEST(MouseCoalesce, CapStopsAndReportsTheEntriesConsumed)
{
    // Four reports' worth: {a,b} merged, wheel, {c}, {d,e} merged.
    const MouseEntry entries[] = {{0, 1, 0, 0}, {0, 2, 0, 0}, {0, 0, 0, 1}, {4, 3, 0, 0}, {0, 4, 0, 0}, {0, 5, 0, 0}};
    uint8_t reports[4][5];
    std::memset(reports, 0xEE, sizeof reports);
    size_t consumed = 99;
    ASSERT_EQ(mouse_coalesce(entries, 6, reports, 2, &consumed), 2u);
    EXPECT_EQ(consumed, 3u);
    EXPECT_EQ(0, std::memcmp(reports[0], "\x02\x00\x03\x00\x00", 5));
    EXPECT_EQ(0, std::memcmp(reports[1], "\x02\x00\x00\x00\x01", 5));
    EXPECT_EQ(0, std::memcmp(reports[2], "\xEE\xEE\xEE\xEE\xEE", 5));  // untouched past cap

    // The caller keeps the rest and flushes it next time.
    ASSERT_EQ(mouse_coalesce(entries + consumed, 6 - consumed, reports, 4, &consumed), 2u);
    EXPECT_EQ(consumed, 3u);
    EXPECT_EQ(0, std::memcmp(reports[0], "\x02\x04\x03\x00\x00", 5));
    EXPECT_EQ(0, std::memcmp(reports[1], "\x02\x00\x09\x00\x00", 5));

    // No room or nothing queued: nothing written, nothing consumed.
    ASSERT_EQ(mouse_coalesce(entries, 6, reports, 0, &consumed), 0u);
    EXPECT_EQ(consumed, 0u);
    ASSERT_EQ(mouse_coalesce(entries, 0, reports, 4, &consumed), 0u);
    EXPECT_EQ(consumed, 0u);
    // consumed may be null.
    EXPECT_EQ(mouse_coalesce(entries, 6, reports, 4, nullptr), 4u);
}

TEST(MouseReport, ReleasedReport)
{
    Report r;
    r.fill(0xEE);
    mouse_released_report(r.data());
    EXPECT_EQ(r, (Report{0x02, 0x00, 0x00, 0x00, 0x00}));
}

}  // namespace
