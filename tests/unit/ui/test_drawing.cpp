// What the view draws besides the picture: the embedded icons, the background
// blur's per-frame decisions (no GL), the statistics overlay's text and the
// screenshot's colour conversion (the simulator's bars come back as the test
// picture's table says).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dongle_sim/test_pattern.h"
#include "ui/gaussian_blur.h"
#include "ui/gl_helpers.h"
#include "ui/resources.h"
#include "ui/screenshot.h"
#include "ui/stats_overlay.h"

namespace {

struct Decoded {
    uint8_t *pixels = nullptr;
    int width = 0, height = 0;
    explicit Decoded(int id)
    {
        size_t size = 0;
        const uint8_t *data = resource_get(id, RESOURCE_TYPE_PNG, &size);
        if (data && size >= 8 && memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0)
            pixels = image_decode_rgba(data, size, &width, &height);
    }
    ~Decoded() { image_free(pixels); }
    int alpha(int x, int y) const { return pixels[((size_t)y * width + x) * 4 + 3]; }
};

} // namespace

TEST(Resources, IconsArePngsOfTheirSizeAndTheArrowsMirrorEachOther)
{
    const int icons[][3] = {{109, 17, 18}, {110, 8, 5}, {111, 22, 22}, {112, 16, 15}, {113, 16, 15}};
    for (const auto &c : icons) {
        Decoded d(c[0]);
        ASSERT_NE(d.pixels, nullptr) << c[0];
        EXPECT_EQ(d.width * 100 + d.height, c[1] * 100 + c[2]) << c[0];
    }
    // The forward arrow mirrors the back arrow, whose head (the tallest column) is on the left.
    Decoded back(RESOURCE_ICON_BACK), forward(RESOURCE_ICON_FORWARD);
    ASSERT_TRUE(back.pixels && forward.pixels && back.width == forward.width && back.height == forward.height);
    std::vector<int> column(back.width);
    for (int x = 0; x < back.width; x++) {
        for (int y = 0; y < back.height; y++) {
            ASSERT_EQ(back.alpha(x, y), forward.alpha(back.width - 1 - x, y)) << x << "," << y;
            column[x] += back.alpha(x, y);
        }
    }
    EXPECT_LT(std::max_element(column.begin(), column.end()) - column.begin(), back.width / 2);
    int w = 7, h = 7; // a PNG cut short does not decode
    size_t size = 0;
    EXPECT_EQ(image_decode_rgba(resource_get(111, RESOURCE_TYPE_PNG, &size), 40, &w, &h), nullptr);
}

TEST(GaussianBlurPlan, PhotoIsBlurredOnceSizedAndNoBlurKeepsTheTextures)
{
    // level, photo size, texture size now, framebuffers, program -> passes, recreate, texture size after
    const struct {
        int level, w, h, have_w, have_h;
        bool fbo, program, passes, recreate;
        int shrunk_w, shrunk_h;
    } rows[] = {
        {100, 4096, 3112, 0, 0, true, true, true, true, 256, 194},       // the first frame makes them
        {100, 4096, 3112, 256, 194, true, true, true, false, 256, 194},  // the next (any window size) keeps them
        {50, 4096, 3112, 256, 194, true, true, true, true, 1024, 778},   // another level is another size
        // The source is drawn sharp; the textures that exist are kept, never re-made at 0 x 0.
        {0, 4096, 3112, 256, 194, true, true, false, false, 256, 194},   // level 0
        {-25, 4096, 3112, 256, 194, true, true, false, false, 256, 194}, // below 0
        {100, 0, 0, 256, 194, true, true, false, false, 256, 194},       // no photo
        {100, 15, 3112, 256, 194, true, true, false, false, 256, 194},   // a side shrinks to 0
        {100, 4096, 3112, 256, 194, false, true, false, false, 256, 194}, // 2.x context without framebuffers
        {100, 4096, 3112, 256, 194, true, false, false, false, 256, 194}, // blur program failed to build
    };
    for (const auto &r : rows) {
        GaussianBlurPlan p;
        gaussian_blur_plan(r.level, r.w, r.h, r.have_w, r.have_h, r.fbo, r.program, &p);
        EXPECT_EQ((std::vector<int>{p.passes, p.recreate, p.shrunk_width, p.shrunk_height}),
                  (std::vector<int>{r.passes, r.recreate, r.shrunk_w, r.shrunk_h}))
            << r.level << " " << r.w << "x" << r.h << " " << r.fbo << r.program;
    }
}

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
    info.protocol = 0;
    StreamRates none{};
    char usb[256];
    stats_overlay_format(&none, &info, usb, sizeof usb);
    EXPECT_NE(std::string(usb).find("\nUSB, 192.168.4.1"), std::string::npos) << usb;
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
        EXPECT_LE(std::max({std::abs(px[0] - b.r), std::abs(px[1] - b.g), std::abs(px[2] - b.b)}), 2) << b.name;
    }
    // Planes too small for the size, or no size, give no picture.
    p.planes[2].resize(10);
    EXPECT_EQ(screenshot_to_rgb(&p, &rgb), -1);
    YuvPicture empty;
    EXPECT_EQ(screenshot_to_rgb(&empty, &rgb), -1);
}
