// The statistics overlay's text (the same rates as the statistics line) and
// the screenshot's colour conversion (the simulator's bars come back as the
// test picture's table says).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "dongle_sim/test_pattern.h"
#include "ui/screenshot.h"
#include "ui/stats_overlay.h"

TEST(StatsOverlay, TextTwiceASecondFromTheStatisticsLineCounters)
{
    StreamStats a{}, b{};
    b.pictures = 30, b.decoded = 29, b.drawn = 28, b.video_bytes = 250000, b.lost = 3, b.resent = 5;
    b.decode_us = 29 * 2500, b.shown_us = 28 * 20000;
    OverlayInfo info{1920, 1080, 2, "192.168.4.1"};
    StatsOverlay o{};
    EXPECT_EQ(stats_overlay_tick(&o, &a, 1000000, &info), 0);
    EXPECT_EQ(stats_overlay_tick(&o, &b, 1000000 + STATS_OVERLAY_INTERVAL_US - 1, &info), 0);
    EXPECT_STREQ(o.text, "");
    ASSERT_EQ(stats_overlay_tick(&o, &b, 1000000 + STATS_OVERLAY_INTERVAL_US, &info), 1);
    EXPECT_STREQ(o.text, "1920x1080 at 60.0 fps\n"
                         "per second: 60.0 received, 58.0 decoded, 56.0 drawn\n"
                         "4.00 Mbit/s\n"
                         "fragments: 3 lost, 5 resent\n"
                         "decode 2.50 ms, end-to-end 20.00 ms\n"
                         "protocol 2, 192.168.4.1");
    char line[256];
    stream_stats_format(&a, &b, STATS_OVERLAY_INTERVAL_US, line, sizeof line);
    EXPECT_STREQ(line, "stream: 60.0 received, 58.0 decoded, 56.0 drawn per second, 4.00 Mbit/s, "
                       "fragments lost 3 resent 5, decode 2.50 ms, end-to-end 20.00 ms");
    info.protocol = 0;
    StreamRates none{};
    char usb[256];
    stats_overlay_format(&none, &info, usb, sizeof usb);
    EXPECT_NE(std::string(usb).find("\nUSB, 192.168.4.1"), std::string::npos) << usb;
    EXPECT_EQ(stats_overlay_format(&none, &info, usb, 10), 9u);
    stats_overlay_stop(&o);
    EXPECT_STREQ(o.text, "");
}

TEST(Screenshot, BarsComeOutAsTheShaderShowsThem)
{
    const int w = 320, h = 180;
    YuvPicture p;
    p.width = w, p.height = h;
    p.strides[0] = w + 32, p.strides[1] = p.strides[2] = w / 2 + 16;  // padded rows, as decoders give them
    for (int i = 0; i < 3; i++)
        p.planes[i].resize((size_t)p.strides[i] * (i ? h / 2 : h));
    test_pattern_draw(p.planes[0].data(), p.strides[0], p.planes[1].data(), p.strides[1], p.planes[2].data(),
                      p.strides[2], w, h, 7, 0);
    std::vector<uint8_t> rgb;
    ASSERT_EQ(screenshot_to_rgb(&p, &rgb), 0);
    ASSERT_EQ(rgb.size(), (size_t)w * h * 3);
    for (int i = 0; i < TEST_PATTERN_BAR_COUNT; i++) {
        const TestPatternBar &b = test_pattern_bars[i];
        const uint8_t *px = &rgb[((size_t)test_pattern_probe_y(h) * w + test_pattern_probe_x(w, i)) * 3];
        EXPECT_LE(std::abs(px[0] - b.r), 2) << b.name;
        EXPECT_LE(std::abs(px[1] - b.g), 2) << b.name;
        EXPECT_LE(std::abs(px[2] - b.b), 2) << b.name;
    }
    // Planes too small for the size, or no size, give no picture.
    p.planes[2].resize(10);
    EXPECT_EQ(screenshot_to_rgb(&p, &rgb), -1);
    YuvPicture empty;
    EXPECT_EQ(screenshot_to_rgb(&empty, &rgb), -1);
}
