// The background blur's sizes and per-frame decisions (no GL:
// the object is only constructed and destroyed without names, which makes no
// GL call).
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "ui/gaussian_blur.h"

namespace {

TEST(GaussianBlur, ShrunkSizesTruncateAndRefuseWhatWouldNotFit)
{
    // The plan tests below cover the ordinary levels (25 halves, 100 sixteenths).
    const int rows[][6] = {
        {75, 17, 15, 0, 2, 1},          {100, -16, 16, -1, 0, 0}, // out of range: empty, and a failure
        {-1000, 4096, 3112, -1, 0, 0},  // 2^-40 as a factor: would not fit an int
        {INT_MAX, 4096, 3112, 0, 0, 0}, // shrunk to nothing, which is valid
    };
    for (const auto &r : rows) {
        int w = -7, h = -7;
        const int rc = gaussian_blur_shrunk_size(r[0], r[1], r[2], &w, &h);
        EXPECT_EQ((std::vector<int>{rc, w, h}), (std::vector<int>{r[3], r[4], r[5]})) << r[0] << " " << r[1];
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
