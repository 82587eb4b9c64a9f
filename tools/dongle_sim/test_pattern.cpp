#include "test_pattern.h"

#include <cstring>

#include "bitblocks.h"

const TestPatternBar test_pattern_bars[TEST_PATTERN_BAR_COUNT] = {
    {"white", 191, 128, 128, 191, 191, 191}, {"yellow", 169, 45, 147, 191, 191, 0},
    {"cyan", 134, 156, 11, 0, 191, 191},     {"green", 112, 73, 30, 0, 191, 0},
    {"magenta", 79, 183, 226, 191, 0, 191},  {"red", 57, 100, 245, 191, 0, 0},
    {"blue", 22, 211, 109, 0, 0, 191},       {"black", 0, 128, 128, 0, 0, 0},
};

namespace {

const uint8_t kStripY = 0;
const uint8_t kSquareY = 235;

int bar_of_column(int x, int width)
{
    int bar = (int)((int64_t)x * TEST_PATTERN_BAR_COUNT / width);
    return bar < TEST_PATTERN_BAR_COUNT ? bar : TEST_PATTERN_BAR_COUNT - 1;
}

} // namespace

int test_pattern_bars_height(int height) { return (height * 3 / 4) & ~1; }

int test_pattern_probe_x(int width, int bar) { return (int)(((int64_t)2 * bar + 1) * width / 16); }

int test_pattern_probe_y(int height) { return test_pattern_bars_height(height) * 2 / 3; }

void test_pattern_draw(uint8_t *y, int y_stride, uint8_t *u, int u_stride, uint8_t *v, int v_stride, int width,
                       int height, uint32_t frame, uint64_t time_ms)
{
    test_pattern_draw_ex(y, y_stride, u, u_stride, v, v_stride, width, height, frame, time_ms, false);
}

void test_pattern_draw_ex(uint8_t *y, int y_stride, uint8_t *u, int u_stride, uint8_t *v, int v_stride, int width,
                          int height, uint32_t frame, uint64_t time_ms, bool noise)
{
    if (!y || !u || !v || width <= 0 || height <= 0)
        return;
    int bars_h = test_pattern_bars_height(height);
    int cw = (width + 1) / 2, ch = (height + 1) / 2;

    // One row of each plane is built once and copied down.
    uint8_t *row0 = y;
    for (int x = 0; x < width; x++)
        row0[x] = test_pattern_bars[bar_of_column(x, width)].y;
    for (int r = 1; r < bars_h; r++)
        std::memcpy(y + (size_t)r * y_stride, row0, (size_t)width);
    if (noise) {
        // xorshift32 seeded by the frame number: cheap, and different in
        // every picture so that nothing can be predicted from the last one.
        uint32_t s = frame * 2654435761u + 1u;
        for (int r = bars_h; r < height; r++) {
            uint8_t *row = y + (size_t)r * y_stride;
            for (int x = 0; x < width; x++) {
                s ^= s << 13;
                s ^= s >> 17;
                s ^= s << 5;
                row[x] = (uint8_t)(kStripY + (s & 63));
            }
        }
    } else {
        for (int r = bars_h; r < height; r++)
            std::memset(y + (size_t)r * y_stride, kStripY, (size_t)width);
    }

    for (int x = 0; x < cw; x++) {
        const TestPatternBar &b = test_pattern_bars[bar_of_column(2 * x, width)];
        u[x] = b.cb;
        v[x] = b.cr;
    }
    for (int r = 1; r < bars_h / 2; r++) {
        std::memcpy(u + (size_t)r * u_stride, u, (size_t)cw);
        std::memcpy(v + (size_t)r * v_stride, v, (size_t)cw);
    }
    for (int r = bars_h / 2; r < ch; r++) {
        std::memset(u + (size_t)r * u_stride, 128, (size_t)cw);
        std::memset(v + (size_t)r * v_stride, 128, (size_t)cw);
    }

    // The moving square: half the strip high, sliding right and wrapping.
    int strip_h = height - bars_h;
    int side = strip_h / 2;
    if (side >= 2 && side < width) {
        int step = width / 160 > 1 ? width / 160 : 1;
        int x0 = (int)(((uint64_t)frame * (uint64_t)step) % (uint64_t)(width - side));
        int y0 = bars_h + (strip_h - side) / 2;
        for (int r = y0; r < y0 + side; r++)
            std::memset(y + (size_t)r * y_stride + x0, kSquareY, (size_t)side);
    }

    bitblocks_write(y, y_stride, u, u_stride, v, v_stride, width, height, frame, time_ms);
}
