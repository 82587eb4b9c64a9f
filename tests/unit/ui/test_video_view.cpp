// The video view's picture hand-over, fit, texture geometry and GL entry points (no GL context).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "ui/gl_helpers.h"
#include "ui/video_view.h"

namespace {

// A planar 4:2:0 picture whose every byte says which plane, row and column it
// came from, so a copy can be checked byte by byte.
struct Picture {
    int width, height;
    int line_sizes[3];
    std::vector<uint8_t> planes[3];
    uint8_t *pointers[3];

    Picture(int w, int h, int ls0, int ls12) : width(w), height(h), line_sizes{ls0, ls12, ls12}
    {
        for (int i = 0; i < 3; i++) {
            planes[i].resize((size_t)line_sizes[i] * (i == 0 ? h : (h + 1) / 2));
            for (size_t n = 0; n < planes[i].size(); n++)
                planes[i][n] = (uint8_t)(i * 71 + n / line_sizes[i] * 13 + n % line_sizes[i] * 7);
            pointers[i] = planes[i].data();
        }
    }
    DecodedPicture *counted() const { return picture_copy(width, height, pointers, line_sizes); }
};

struct Store {
    VideoPlanes p = {};
    ~Store() { video_planes_free(&p); }
    VideoUpload begin()
    {
        VideoUpload u{};
        video_planes_begin_render(&p, &u);
        return u;
    }
};

} // namespace

TEST(VideoFit, PictureIsScaledToFitAndCentredBetweenBars)
{
    const struct {
        int out_w, out_h, pic_w, pic_h;
        VideoArea want;
        float sx, sy;
    } cases[] = {
        // Wide picture in a squarer window: bars top and bottom.
        {1280, 1024, 1920, 1080, {0, 152, 1280, 720}, 1.0f, 720.0f / 1024.0f},
        // s = 400 / 720 by height: 1280 * 0.5555 = 711.1 -> 711, x = (1000 - 711.1) / 2 = 144.4 -> 144.
        {1000, 400, 1280, 720, {144, 0, 711, 400}, 0.7111f, 1.0f},
    };
    for (const auto &c : cases) {
        VideoArea r{};
        float sx = 0, sy = 0; // the scale outputs are optional
        ASSERT_EQ(video_fit(c.out_w, c.out_h, c.pic_w, c.pic_h, &r, &sx, &sy), 0);
        EXPECT_EQ(std::vector<int>({r.x, r.y, r.width, r.height}),
                  std::vector<int>({c.want.x, c.want.y, c.want.width, c.want.height}));
        EXPECT_TRUE(std::abs(sx - c.sx) < 1e-4 && std::abs(sy - c.sy) < 1e-4) << sx << " " << sy;
    }
    // An empty output (a minimised window) or picture draws nothing and keeps the rectangle.
    VideoArea r{1, 2, 3, 4};
    EXPECT_LT(video_fit(0, 600, 1920, 1080, &r, nullptr, nullptr), 0);
    EXPECT_LT(video_fit(800, 600, 1920, -1, &r, nullptr, nullptr), 0);
    EXPECT_EQ(std::vector<int>({r.x, r.y, r.width, r.height}), std::vector<int>({1, 2, 3, 4}));
}

TEST(VideoGeometry, TexturesTakeTheVisiblePlanesAndTheStridesBecomeRowLengths)
{
    const struct {
        const char *what;
        int width, height, ls0, ls12;
        bool ok;
        int w0 = 0, w1 = 0, rows0 = 0, rows1 = 0;
    } cases[] = {
        {"padded strides: the padding is never uploaded", 1920, 1080, 2048, 1024, true, 1920, 960, 1080, 540},
        {"odd sizes round chroma up", 1081, 1081, 1088, 544, true, 1081, 541, 1081, 541},
        {"a chroma stride narrower than the chroma width", 64, 32, 64, 31, false},
        {"no rows", 64, 0, 64, 32, false},
    };
    uint8_t byte = 0;
    for (const auto &c : cases) {
        PicturePlanes p{c.width, c.height, {&byte, &byte, &byte}, {c.ls0, c.ls12, c.ls12}};
        VideoTextureGeometry g;
        ASSERT_EQ(video_texture_geometry(p, &g), c.ok) << c.what;
        if (!c.ok)
            continue;
        EXPECT_EQ(std::vector<int>({g.widths[0], g.widths[2], g.rows[0], g.rows[2], g.row_lengths[0], g.row_lengths[1]}),
                  std::vector<int>({c.w0, c.w1, c.rows0, c.rows1, c.ls0, c.ls12}))
            << c.what;
    }
    PicturePlanes missing{64, 32, {&byte, nullptr, &byte}, {64, 32, 32}};
    VideoTextureGeometry g;
    EXPECT_FALSE(video_texture_geometry(missing, &g));
    EXPECT_EQ(video_plane_rows(0x7fffffff, 1), 0x40000000); // no overflow in the rounding
}

namespace { // a fake GL resolver
const char *g_fake_version;
bool g_fake_drop_shaders;

const GLubyte *fake_get_string(GLenum name) { return name == GL_VERSION ? (const GLubyte *)g_fake_version : nullptr; }
void fake_any(void) {}
void *fake_get_proc(const char *name)
{
    if (strcmp(name, "glGetString") == 0)
        return (void *)fake_get_string;
    return g_fake_drop_shaders && strcmp(name, "glCreateShader") == 0 ? nullptr : (void *)fake_any;
}
} // namespace

TEST(GlLoader, EntriesFollowTheContextVersion)
{
    // A 2.1 context leaves the 3.0 entries null even where the driver has
    // stubs; a missing shader entry or a too old context fails.
    const struct {
        const char *version;
        bool drop_shaders;
        int rc; // 0 loaded, -1 refused
        bool framebuffers;
    } rows[] = {{"3.0.0 NVIDIA 525.147.05", false, 0, true}, {"2.1 Mesa 22.3.6", false, 0, false},
                {"4.5 (Compatibility Profile) Mesa 22.3.6", true, -1, false}, {"1.4 Mesa", false, -1, false},
                {"OpenGL ES 3.2 Mesa 22.3.6", false, -1, false}, {"", false, -1, false}};
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.version) + (r.drop_shaders ? " without glCreateShader" : ""));
        g_fake_version = r.version, g_fake_drop_shaders = r.drop_shaders;
        ASSERT_EQ(gl_load_functions(fake_get_proc) < 0 ? -1 : 0, r.rc);
        if (r.rc == 0) {
            EXPECT_TRUE(gl_api.CreateShader && gl_api.Uniform1f);
            for (void *f : {(void *)gl_api.GenerateMipmap, (void *)gl_api.BindFramebuffer, (void *)gl_api.CheckFramebufferStatus})
                EXPECT_EQ(f != nullptr, r.framebuffers);
        }
        gl_api = GlApi{};
    }
}

TEST(VideoPlanes, NewestPictureIsUploadedOnceSupersededOnesAndOnesBeforeAnySizeAreHandedBackUnseen)
{
    Store s;
    Picture pic(64, 32, 64, 32);
    DecodedPicture *ra = pic.counted(), *rb = pic.counted();
    EXPECT_EQ(video_planes_take(&s.p, ra, nullptr), ra);
    EXPECT_EQ(s.begin().picture, nullptr);
    video_planes_set_size(&s.p, 64, 32);
    FrameTiming ta{7, 0, 0, 0, 0}, tb{8, 0, 0, 0, 0};
    EXPECT_EQ(video_planes_take(&s.p, ra, &ta), nullptr);
    EXPECT_EQ(video_planes_take(&s.p, rb, &tb), ra); // b comes before a was drawn
    EXPECT_EQ(s.p.superseded, 1u);
    VideoUpload u = s.begin();
    ASSERT_EQ(u.picture, rb);
    EXPECT_EQ(u.timing.frame, 8u);
    picture_release(&u.picture);
    EXPECT_EQ(s.begin().picture, nullptr) << "nothing new: nothing to upload again";
    // Emptying drops the pending picture until the next one.
    EXPECT_EQ(video_planes_take(&s.p, ra, nullptr), nullptr);
    EXPECT_EQ(video_planes_clear(&s.p), ra);
    picture_release(&ra);
    u = s.begin();
    EXPECT_TRUE(u.emptied && u.picture == nullptr);
    ra = pic.counted();
    video_planes_take(&s.p, ra, nullptr);
    u = s.begin();
    EXPECT_TRUE(!u.emptied && u.picture == ra);
    picture_release(&u.picture);
}

TEST(VideoPlanes, CountedCopyKeepsTheVisiblePlanesAndRefusesMalformedOnes)
{
    // 1352 wide, chroma rows 688 bytes apart (not half the luma stride).
    Picture pic(1352, 9, 1360, 688);
    DecodedPicture *ref = pic.counted();
    PicturePlanes p;
    ASSERT_TRUE(picture_planes(ref, &p));
    EXPECT_EQ(p.width * 100 + p.height, 135209);
    for (int i = 0; i < 3; i++)
        for (int r = 0; r < video_plane_rows(9, i); r++)
            ASSERT_EQ(memcmp(p.data[i] + r * p.line_sizes[i], &pic.planes[i][r * pic.line_sizes[i]], i ? 676 : 1352), 0)
                << "plane " << i << " row " << r;
    // The copy is its own: the caller may reuse its planes at once.
    const uint8_t first = pic.planes[0][0];
    pic.planes[0][0] ^= 0xff;
    EXPECT_EQ(p.data[0][0], first);
    picture_release(&ref);
    picture_release(&ref); // released and cleared: a second release does nothing
    uint8_t *missing[3] = {pic.pointers[0], nullptr, pic.pointers[2]};
    const int negative[3] = {-1360, 688, 688};
    EXPECT_EQ(picture_copy(1352, 9, missing, pic.line_sizes), nullptr);
    EXPECT_EQ(picture_copy(1352, 9, pic.pointers, negative), nullptr);
    EXPECT_FALSE(picture_planes(nullptr, &p));
}
