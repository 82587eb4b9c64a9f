// The simulated dongle's picture: eight vertical colour bars over the top
// three quarters, a black (or noisy) strip below them in which a white square moves with
// the frame number (so consecutive pictures differ and P-pictures carry
// motion), and the bit-block stamp (bitblocks.h) in the top-left corner.
//
// The bars are 75 % bars in BT.601 limited range, left to right: white,
// yellow, cyan, green, magenta, red, blue, black. Bar i covers columns
// [i * width / 8, (i + 1) * width / 8). A correct BT.601 limited-range
// conversion to RGB gives back the `r, g, b` of each entry within a couple of
// units (191 is 75 % of 255):
//
//   bar      Y    Cb   Cr     R    G    B
//   white    180  128  128    191  191  191
//   yellow   162   44  142    191  191    0
//   cyan     131  156   44      0  191  191
//   green    112   72   58      0  191    0
//   magenta   84  184  198    191    0  191
//   red       65  100  212    191    0    0
//   blue      35  212  114      0    0  191
//   black     16  128  128      0    0    0
//
// A viewer that converts with full-range or BT.709 coefficients by mistake
// shows visibly different values (white 180 instead of 191, for example).
//
// Pure functions; thread-safe.
#pragma once

#include <cstdint>

struct TestPatternBar {
    const char *name;
    uint8_t y, cb, cr; // as drawn
    uint8_t r, g, b;   // expected after BT.601 limited-range conversion
};

inline constexpr int TEST_PATTERN_BAR_COUNT = 8;

extern const TestPatternBar test_pattern_bars[TEST_PATTERN_BAR_COUNT];

// Rows [0, test_pattern_bars_height(h)) hold the bars (an even count).
int test_pattern_bars_height(int height);

// A column at the centre of bar `bar` and a row inside the bars, below the
// stamp, where the bar colours can be checked.
int test_pattern_probe_x(int width, int bar);
int test_pattern_probe_y(int height);

// Draws the whole picture for frame `frame` into a planar YUV 4:2:0 picture
// (chroma planes (width + 1) / 2 x (height + 1) / 2), stamped with frame and
// time_ms.
void test_pattern_draw(uint8_t *y, int y_stride, uint8_t *u, int u_stride, uint8_t *v, int v_stride, int width,
                       int height, uint32_t frame, uint64_t time_ms);

// Same, and with `noise` the strip's black background becomes dark grey
// noise that changes with every frame (luma 16 to 79), so that the encoder
// spends its whole bit rate as on a busy desktop; the bars, the square and
// the stamp stay as they are.
void test_pattern_draw_ex(uint8_t *y, int y_stride, uint8_t *u, int u_stride, uint8_t *v, int v_stride, int width,
                          int height, uint32_t frame, uint64_t time_ms, bool noise);
