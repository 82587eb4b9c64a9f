// The embedded resources: every file the interface asks for is there, decodes
// to its stated size and looks as the interface expects.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ui/gl_helpers.h"
#include "ui/resources.h"

namespace {

struct Decoded {
    uint8_t *pixels = nullptr;
    int width = 0, height = 0;
    ~Decoded() { image_free(pixels); }
    const uint8_t *at(int x, int y) const { return pixels + ((size_t)y * width + x) * 4; }
    int alpha_sum_column(int x) const
    {
        int sum = 0;
        for (int y = 0; y < height; y++)
            sum += at(x, y)[3];
        return sum;
    }
};

void decode(int id, const char *type, Decoded *d)
{
    size_t size = 0;
    const uint8_t *data = resource_get(id, type, &size);
    ASSERT_NE(data, nullptr) << "resource " << id;
    ASSERT_GT(size, 0u);
    d->pixels = image_decode_rgba(data, size, &d->width, &d->height);
    ASSERT_NE(d->pixels, nullptr) << "resource " << id;
}

} // namespace

TEST(Resources, IconsArePngsOfTheirSizeInWhiteOnTransparent)
{
    const int icons[][3] = {{109, 17, 18}, {110, 8, 5}, {111, 22, 22}, {112, 16, 15}, {113, 16, 15}};
    for (const auto &c : icons) {
        SCOPED_TRACE(c[0]);
        size_t size = 0;
        const uint8_t *data = resource_get(c[0], "PNG", &size);
        ASSERT_TRUE(data && size >= 8);
        EXPECT_EQ(memcmp(data, "\x89PNG\r\n\x1a\n", 8), 0);
        Decoded d;
        decode(c[0], "PNG", &d);
        ASSERT_EQ(d.width * 100 + d.height, c[1] * 100 + c[2]);
        int opaque = 0, clear = 0, coloured = 0;
        for (int i = 0; i < d.width * d.height; i++) {
            const uint8_t *p = d.pixels + (size_t)i * 4;
            coloured += p[3] > 0 && (p[0] & p[1] & p[2]) != 255;
            opaque += p[3] == 255;
            clear += p[3] == 0;
        }
        EXPECT_EQ(coloured, 0);
        EXPECT_GT(opaque, 0) << "the icon shows something";
        EXPECT_GT(clear, 0) << "the icon has a transparent background";
    }
    // The forward arrow mirrors the back arrow, whose head (the tallest column) is on the left.
    Decoded back, forward;
    decode(RESOURCE_ICON_BACK, RESOURCE_TYPE_PNG, &back);
    decode(RESOURCE_ICON_FORWARD, RESOURCE_TYPE_PNG, &forward);
    ASSERT_EQ(back.width * 100 + back.height, forward.width * 100 + forward.height);
    int tallest = 0;
    for (int x = 0; x < back.width; x++) {
        for (int y = 0; y < back.height; y++)
            ASSERT_EQ(back.at(x, y)[3], forward.at(back.width - 1 - x, y)[3]) << x << "," << y;
        if (back.alpha_sum_column(x) > back.alpha_sum_column(tallest))
            tallest = x;
    }
    EXPECT_LT(tallest, back.width / 2);
}

TEST(Resources, DecoderRejectsWhatIsNoImage)
{
    int w = 7, h = 7;
    const uint8_t junk[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_EQ(image_decode_rgba(junk, sizeof junk, &w, &h), nullptr);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(image_decode_rgba(nullptr, 10, &w, &h), nullptr);
    // A PNG cut short does not decode either.
    size_t size = 0;
    const uint8_t *png = resource_get(111, "PNG", &size);
    ASSERT_NE(png, nullptr);
    EXPECT_EQ(image_decode_rgba(png, 40, &w, &h), nullptr);
}
