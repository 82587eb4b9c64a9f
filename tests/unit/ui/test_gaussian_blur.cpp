// The background blur's sizes, quad, kernel and per-frame decisions (no GL:
// the object is only constructed and destroyed without names, which makes no
// GL call).
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

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

TEST(GaussianBlurShrunkSize, PhotoAtLevel100Is256By194)
{
    int rc = -1;
    Size s = shrunk(100, 4096, 3112, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(s.w, 256);
    EXPECT_EQ(s.h, 194); // 194.5 truncated
}

TEST(GaussianBlurShrunkSize, OddSizesAreTruncatedAtEachLevel)
{
    // level 25 halves, 50 quarters, 75 eighths, 100 sixteenths.
    Size a = shrunk(25, 1001, 999);
    EXPECT_EQ(a.w, 500);
    EXPECT_EQ(a.h, 499);
    Size b = shrunk(50, 1001, 999);
    EXPECT_EQ(b.w, 250);
    EXPECT_EQ(b.h, 249);
    Size c = shrunk(75, 17, 15);
    EXPECT_EQ(c.w, 2);
    EXPECT_EQ(c.h, 1);
    Size d = shrunk(100, 31, 47);
    EXPECT_EQ(d.w, 1);
    EXPECT_EQ(d.h, 2);
    Size e = shrunk(100, 15, 4096);
    EXPECT_EQ(e.w, 0);
    EXPECT_EQ(e.h, 256);
}

TEST(GaussianBlurShrunkSize, LevelZeroKeepsSourceAndMissingPhotoIsEmpty)
{
    Size a = shrunk(0, 4096, 3112);
    EXPECT_EQ(a.w, 4096);
    EXPECT_EQ(a.h, 3112);
    int rc = -1;
    Size b = shrunk(100, 0, 0, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(b.w, 0);
    EXPECT_EQ(b.h, 0);
}

TEST(GaussianBlurShrunkSize, OutOfRangeInputsGiveEmptyAndFail)
{
    int rc = 0;
    Size a = shrunk(100, -16, 16, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(a.w, 0);
    EXPECT_EQ(a.h, 0);
    // 2^-40 as a factor: the size would not fit an int.
    Size b = shrunk(-1000, 4096, 3112, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(b.w, 0);
    EXPECT_EQ(b.h, 0);
    // A huge level shrinks everything to nothing, which is valid.
    Size c = shrunk(INT_MAX, 4096, 3112, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(c.w, 0);
    EXPECT_EQ(c.h, 0);
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

TEST(GaussianBlurWeight, IsTheSymmetricSigma3Gaussian)
{
    const double pi = 3.141592653589793;
    EXPECT_DOUBLE_EQ(gaussian_blur_weight(0), 1.0 / (18.0 * pi));
    EXPECT_DOUBLE_EQ(gaussian_blur_weight(3), std::exp(-0.5) / (18.0 * pi));
    for (int i = 1; i <= 100; i++) {
        EXPECT_EQ(gaussian_blur_weight(i), gaussian_blur_weight(-i)) << i;
        EXPECT_LT(gaussian_blur_weight(i), gaussian_blur_weight(i - 1)) << i;
    }
}

TEST(GaussianBlurWeight, TapsOfRadius100SumToTheGaussianIntegral)
{
    // Sampled at whole pixels, a sigma-3 Gaussian sums to its integral,
    // 1 / (sqrt(2 pi) sigma); the shader divides by this sum, so the
    // normalised taps add up to 1 and the picture keeps its brightness.
    double sum = 0;
    for (int i = -100; i <= 100; i++)
        sum += gaussian_blur_weight(i);
    EXPECT_NEAR(sum, 1.0 / (std::sqrt(2.0 * 3.141592653589793) * 3.0), 1e-12);
    double normalised = 0;
    for (int i = -100; i <= 100; i++)
        normalised += gaussian_blur_weight(i) / sum;
    EXPECT_NEAR(normalised, 1.0, 1e-12);
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
