// The background blur's sizes, quad, kernel and per-frame decisions (no GL:
// the object is only constructed and destroyed without names, which makes no
// GL call).
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <vector>

#include "ui/gaussian_blur.h"

namespace {

struct Size {
    int w, h;
};

Size shrunk(int level, int width, int height, int *rc = nullptr)
{
    Size s = {-7, -7};
    int r = gaussian_blur_shrunk_size(level, width, height, &s.w, &s.h);
    if (rc)
        *rc = r;
    return s;
}

TEST(GaussianBlur, ShrunkSizes)
{
    // Level 25 halves, 50 quarters, 75 eighths, 100 sixteenths; truncated.
    const int rows[][6] = {
        {100, 4096, 3112, 0, 256, 194}, {25, 1001, 999, 0, 500, 499}, {50, 1001, 999, 0, 250, 249},
        {75, 17, 15, 0, 2, 1},          {100, 15, 4096, 0, 0, 256},   {0, 4096, 3112, 0, 4096, 3112},
        {100, 0, 0, 0, 0, 0},           // no photo
        {100, -16, 16, -1, 0, 0},       // out of range: empty, and a failure
        {-1000, 4096, 3112, -1, 0, 0},  // 2^-40 as a factor: would not fit an int
        {INT_MAX, 4096, 3112, 0, 0, 0}, // shrunk to nothing, which is valid
    };
    for (const auto &r : rows) {
        int rc = 0;
        Size s = shrunk(r[0], r[1], r[2], &rc);
        EXPECT_EQ((std::vector<int>{rc, s.w, s.h}), (std::vector<int>{r[3], r[4], r[5]})) << r[0] << " " << r[1];
    }
}

TEST(GaussianBlurQuad, MapsTexturesUpsideDownAndCoversTheTarget)
{
    ASSERT_EQ(GAUSSIAN_BLUR_QUAD_FLOATS, 30); // six vertices of x, y, z, u, v
    ASSERT_EQ(GAUSSIAN_BLUR_QUAD_VERTICES, 6);
    const float *q = gaussian_blur_quad();
    double area = 0;
    for (int t = 0; t < 2; t++) {
        const float *a = q + t * 15, *b = a + 5, *c = a + 10;
        area += std::fabs((b[0] - a[0]) * (c[1] - a[1]) - (c[0] - a[0]) * (b[1] - a[1])) / 2;
    }
    // Two triangles of the whole clip square, not one counted twice.
    EXPECT_DOUBLE_EQ(area, 4.0);
    for (int v = 0; v < 6; v++) {
        const float *p = q + v * 5;
        EXPECT_EQ(p[2], 1.0f) << "vertex " << v;
        EXPECT_EQ(p[3], (p[0] + 1) / 2) << "vertex " << v; // u follows x
        EXPECT_EQ(p[4], (1 - p[1]) / 2) << "vertex " << v; // v = 1 at y = -1: each pass flips
    }
}

TEST(GaussianBlurPlan, PhotoIsBlurredOnceSizedAndResizeKeepsTextures)
{
    GaussianBlurPlan p;
    gaussian_blur_plan(100, 4096, 3112, 0, 0, true, true, &p);
    EXPECT_TRUE(p.passes);
    EXPECT_TRUE(p.recreate);
    EXPECT_EQ(p.shrunk_width, 256);
    EXPECT_EQ(p.shrunk_height, 194);
    // Next frame (any window size): same textures.
    gaussian_blur_plan(100, 4096, 3112, 256, 194, true, true, &p);
    EXPECT_TRUE(p.passes);
    EXPECT_FALSE(p.recreate);
    EXPECT_EQ(p.shrunk_width, 256);
    EXPECT_EQ(p.shrunk_height, 194);
    // Another level is another size.
    gaussian_blur_plan(50, 4096, 3112, 256, 194, true, true, &p);
    EXPECT_TRUE(p.recreate);
    EXPECT_EQ(p.shrunk_width, 1024);
    EXPECT_EQ(p.shrunk_height, 778);
}

TEST(GaussianBlurPlan, DrawsTheSourceWhenNoBlurCanRun)
{
    struct Case {
        int level, w, h;
        bool fbo, program;
    } cases[] = {
        {0, 4096, 3112, true, true},   // level 0: the sharp photo
        {-25, 4096, 3112, true, true}, // below 0 as well
        {100, 0, 0, true, true},       // no photo: nothing to blur
        {100, 15, 3112, true, true},   // a side shrinks to 0
        {100, 4096, 3112, false, true}, // 2.x context without framebuffers
        {100, 4096, 3112, true, false}, // blur program failed to build
    };
    for (const Case &c : cases) {
        GaussianBlurPlan p;
        gaussian_blur_plan(c.level, c.w, c.h, 256, 194, c.fbo, c.program, &p);
        EXPECT_FALSE(p.passes) << c.level << " " << c.w << "x" << c.h;
        EXPECT_FALSE(p.recreate) << c.level << " " << c.w << "x" << c.h;
        // The textures that exist are kept, never re-made at 0 x 0.
        EXPECT_EQ(p.shrunk_width, 256);
        EXPECT_EQ(p.shrunk_height, 194);
    }
}

} // namespace
