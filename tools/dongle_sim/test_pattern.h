// The simulated dongle's picture: eight vertical colour bars over the top
// three quarters, a black (or noisy) strip below them in which a white square moves with
// the frame number (so consecutive pictures differ and P-pictures carry
// motion), and the bit-block stamp (bitblocks.h) in the top-left corner.
//
// The bars are 75 % bars in the device's own colour model: full-range luma
// Y = 0.299 R + 0.587 G + 0.114 B, and chroma U = 0.492 (B - Y) + 128,
// V = 0.877 (R - Y) + 128, the inverse of what the viewer's shader does.
// Left to right: white, yellow, cyan, green, magenta, red, blue, black. Bar i
// covers columns [i * width / 8, (i + 1) * width / 8). Converting back with
// R = Y + 1.13983 V', G = Y - 0.39465 U' - 0.58060 V', B = Y + 2.03211 U'
// (U', V' centred on 0) gives the `r, g, b` of each entry within a couple of
// units (191 is 75 % of 255):
//
//   bar      Y    U    V      R    G    B
//   white    191  128  128    191  191  191
//   yellow   169   45  147    191  191    0
//   cyan     134  156   11      0  191  191
//   green    112   73   30      0  191    0
//   magenta   79  183  226    191    0  191
//   red       57  100  245    191    0    0
//   blue      22  211  109      0    0  191
//   black      0  128  128      0    0    0
//
// A viewer that treats the picture as limited range by mistake shows visibly
// different values (white 204 instead of 191, black -19 clipped to 0).
//
// Pure functions; thread-safe.
#pragma once

#include <cstdint>

struct TestPatternBar {
    const char *name;
    uint8_t y, cb, cr; // as drawn
    uint8_t r, g, b;   // expected after the conversion back
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
// noise that changes with every frame (luma 0 to 63), so that the encoder
// spends its whole bit rate as on a busy desktop; the bars, the square and
// the stamp stay as they are.
void test_pattern_draw_ex(uint8_t *y, int y_stride, uint8_t *u, int u_stride, uint8_t *v, int v_stride, int width,
                          int height, uint32_t frame, uint64_t time_ms, bool noise);
