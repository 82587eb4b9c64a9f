// The video view's picture hand-over, fit and texture geometry (no GL needed:
// the state behind the view's lock is a plain record).
#include <gtest/gtest.h>

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

    Picture(int w, int h, int ls0, int ls1, int ls2) : width(w), height(h), line_sizes{ls0, ls1, ls2}
    {
        for (int i = 0; i < 3; i++) {
            int rows = i == 0 ? h : (h + 1) / 2;
            planes[i].resize((size_t)line_sizes[i] * rows);
            for (int r = 0; r < rows; r++)
                for (int c = 0; c < line_sizes[i]; c++)
                    planes[i][(size_t)r * line_sizes[i] + c] = pattern(i, r, c);
            pointers[i] = planes[i].data();
        }
    }
    static uint8_t pattern(int plane, int row, int col) { return (uint8_t)(plane * 71 + row * 13 + col * 7); }
};

struct Store {
    VideoPlanes p = {};
    ~Store() { video_planes_free(&p); }
};

VideoUpload begin(Store &s)
{
    VideoUpload u;
    video_planes_begin_render(&s.p, &u);
    return u;
}

} // namespace

TEST(VideoView, FitAndTextureGeometry)
{
    struct Case {
        int out_w, out_h, pic_w, pic_h;
        VideoArea want;
        float sx, sy;
    } const cases[] = {
        {1280, 1024, 1920, 1080, {0, 152, 1280, 720}, 1.0f, 720.0f / 1024.0f}, // bars top and bottom
        {1920, 1200, 1280, 720, {0, 60, 1920, 1080}, 1.0f, 1080.0f / 1200.0f},  // scaled up by width
        {800, 1000, 1920, 1080, {0, 275, 800, 450}, 1.0f, 0.45f},
        // s = 400 / 720 by height: 1280 * 0.5555 = 711.1 -> 711, x = (1000 - 711.1) / 2 = 144.4 -> 144.
        {1000, 400, 1280, 720, {144, 0, 711, 400}, 0.7111f, 1.0f},
        // An empty output (a minimised window) or picture draws nothing and keeps the rectangle.
        {0, 600, 1920, 1080, {1, 2, 3, 4}, 0, 0}, {800, 0, 1920, 1080, {1, 2, 3, 4}, 0, 0},
        {800, 600, 0, 1080, {1, 2, 3, 4}, 0, 0}, {800, 600, 1920, -1, {1, 2, 3, 4}, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.pic_w << "x" << c.pic_h << " in " << c.out_w << "x" << c.out_h);
        VideoArea r{1, 2, 3, 4};
        float sx = 0, sy = 0;
        EXPECT_EQ(video_fit(c.out_w, c.out_h, c.pic_w, c.pic_h, &r, &sx, &sy) == 0, c.sx != 0);
        EXPECT_EQ((std::vector<int>{r.x, r.y, r.width, r.height}),
                  (std::vector<int>{c.want.x, c.want.y, c.want.width, c.want.height}));
        EXPECT_NEAR(sx, c.sx, 1e-4);
        EXPECT_NEAR(sy, c.sy, 1e-4);
    }
    VideoArea r{};
    EXPECT_EQ(video_fit(1920, 1200, 1280, 720, &r, nullptr, nullptr), 0); // the scales are optional
    // A stride wider than the picture hides the padding; never past the texture.
    const float tex[][3] = {{1920, 2048, 0.9375f}, {1920, 1920, 1}, {1920, 1280, 1}, {0, 1280, 0}, {1920, 0, 0}};
    for (const auto &t : tex)
        EXPECT_FLOAT_EQ(video_tex_u((int)t[0], (int)t[1]), t[2]) << t[0] << " " << t[1];
    // Chroma rows are half the height rounded up, without overflow.
    const int rows[][3] = {{1081, 0, 1081}, {1081, 1, 541}, {1080, 2, 540}, {1, 1, 1}, {-4, 1, 0}, {0x7fffffff, 1, 0x40000000}};
    for (const auto &r2 : rows)
        EXPECT_EQ(video_plane_rows(r2[0], r2[1]), r2[2]) << r2[0];
    EXPECT_EQ(gl_single_channel_format(2), (GLenum)GL_LUMINANCE);
    EXPECT_EQ(gl_single_channel_format(3), (GLenum)GL_RED);
    const struct {
        const char *text;
        int rc, major, minor;
    } versions[] = {{"4.5 (Compatibility Profile) Mesa 22.3.6", 0, 4, 5}, {"2.1 Mesa 22.3.6", 0, 2, 1},
                    {"3.0.0 NVIDIA 525.147.05", 0, 3, 0}, {"OpenGL ES 3.2 Mesa 22.3.6", -1, 0, 0}, {"", -1, 0, 0},
                    {nullptr, -1, 0, 0}};
    for (const auto &v : versions) {
        int major = -1, minor = -1;
        EXPECT_EQ(gl_parse_version(v.text, &major, &minor) < 0 ? -1 : 0, v.rc) << (v.text ? v.text : "null");
        if (!v.rc) {
            EXPECT_EQ(major * 10 + minor, v.major * 10 + v.minor) << v.text;
        }
    }
}

// Entry-point loading through a fake resolver, no context.
namespace {
const char *g_fake_version;
bool g_fake_drop_shaders;
std::vector<std::string> g_asked;
const GLubyte *fake_get_string(GLenum name) { return name == GL_VERSION ? (const GLubyte *)g_fake_version : nullptr; }
void fake_any(void) {}
void *fake_get_proc(const char *name)
{
    g_asked.push_back(name);
    if (strcmp(name, "glGetString") == 0)
        return (void *)fake_get_string;
    return g_fake_drop_shaders && strcmp(name, "glCreateShader") == 0 ? nullptr : (void *)fake_any;
}
} // namespace

TEST(GlLoader, EntriesFollowTheContextVersion)
{
    g_fake_version = "4.5 (Compatibility Profile) Mesa 22.3.6";
    ASSERT_EQ(gl_load_functions(fake_get_proc), 0);
    EXPECT_TRUE(gl_api.GenerateMipmap && gl_api.BindFramebuffer && gl_api.CheckFramebufferStatus && gl_api.Uniform1f);
    gl_api = GlApi{};
    // 2.1 leaves the 3.0 entries null even where stubs exist; it does not even ask.
    g_fake_version = "2.1 Mesa 22.3.6";
    g_asked.clear();
    ASSERT_EQ(gl_load_functions(fake_get_proc), 0);
    EXPECT_TRUE(!gl_api.GenerateMipmap && !gl_api.BindFramebuffer && gl_api.CreateShader);
    for (const std::string &n : g_asked)
        EXPECT_NE(n, "glGenerateMipmap");
    // A missing shader entry or an old or ES context fails.
    g_fake_drop_shaders = true;
    EXPECT_LT(gl_load_functions(fake_get_proc), 0);
    g_fake_drop_shaders = false;
    for (const char *v : {"1.4 Mesa", "OpenGL ES 3.2 Mesa 22.3.6"}) {
        g_fake_version = v;
        EXPECT_LT(gl_load_functions(fake_get_proc), 0) << v;
    }
    gl_api = GlApi{};
}

// --- Picture hand-over ----------------------------------------------------------

TEST(VideoPlanes, NothingDrawnUntilSizeAndPictureAreBothThere)
{
    Store s;
    EXPECT_FALSE(begin(s).draw);
    Picture pic(64, 32, 64, 32, 32);
    video_planes_take(&s.p, 3, pic.pointers, pic.line_sizes, pic.height); // before any size: ignored
    EXPECT_EQ(s.p.plane_count, 0);
    EXPECT_EQ(s.p.planes[0], nullptr);
    video_planes_set_size(&s.p, 1920, 0); // both values must be positive
    video_planes_set_size(&s.p, -1, 1080);
    EXPECT_EQ(s.p.video_width + s.p.video_height, 0);
    video_planes_set_size(&s.p, 64, 32);
    EXPECT_FALSE(begin(s).draw);
}

TEST(VideoPlanes, PictureIsCopiedWithItsStridesAndOddChromaHeight)
{
    Store s;
    video_planes_set_size(&s.p, 60, 33);
    Picture pic(60, 33, 64, 32, 32);
    video_planes_take(&s.p, 3, pic.pointers, pic.line_sizes, pic.height);
    ASSERT_EQ(s.p.plane_count, 3);
    EXPECT_TRUE(s.p.frame_ready);
    EXPECT_TRUE(s.p.textures_stale);
    EXPECT_EQ(s.p.stored_height, 33);
    EXPECT_EQ(s.p.line_sizes[0], 64);
    EXPECT_EQ(s.p.line_sizes[1], 32);
    EXPECT_EQ(s.p.line_sizes[2], 32);
    EXPECT_EQ(memcmp(s.p.planes[0], pic.planes[0].data(), 64 * 33), 0);
    EXPECT_EQ(memcmp(s.p.planes[1], pic.planes[1].data(), 32 * 17), 0);
    EXPECT_EQ(memcmp(s.p.planes[2], pic.planes[2].data(), 32 * 17), 0);
    // The copy is the view's own: the decoder may reuse its picture at once.
    pic.planes[0][0] ^= 0xff;
    EXPECT_EQ(s.p.planes[0][0], Picture::pattern(0, 0, 0));

    VideoUpload u = begin(s);
    ASSERT_TRUE(u.draw);
    EXPECT_TRUE(u.recreate);
    EXPECT_TRUE(u.upload);
    EXPECT_EQ(u.render_width, 60);
    EXPECT_EQ(u.render_height, 33);
    EXPECT_EQ(u.widths[0], 64);
    EXPECT_EQ(u.widths[1], 32);
    EXPECT_EQ(u.rows[0], 33);
    EXPECT_EQ(u.rows[1], 17);
    EXPECT_EQ(u.rows[2], 17);
    EXPECT_EQ(u.data[0], s.p.planes[0]);
    EXPECT_FLOAT_EQ(u.tex_u, 60.0f / 64.0f);
}

TEST(VideoPlanes, SameGeometryReusesTheBuffersAndLastPictureStaysDrawable)
{
    Store s;
    video_planes_set_size(&s.p, 64, 32);
    Picture a(64, 32, 64, 32, 32);
    video_planes_take(&s.p, 3, a.pointers, a.line_sizes, a.height);
    const uint8_t *buffers[3] = {s.p.planes[0], s.p.planes[1], s.p.planes[2]};
    begin(s);

    Picture b(64, 32, 64, 32, 32);
    b.planes[1][5] = 0xee;
    video_planes_take(&s.p, 3, b.pointers, b.line_sizes, b.height);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(s.p.planes[i], buffers[i]);
    EXPECT_EQ(s.p.planes[1][5], 0xee);

    VideoUpload u = begin(s);
    EXPECT_TRUE(u.draw);
    EXPECT_FALSE(u.recreate);
    EXPECT_TRUE(u.upload);

    // No new picture: still drawn, nothing uploaded.
    u = begin(s);
    EXPECT_TRUE(u.draw);
    EXPECT_FALSE(u.recreate);
    EXPECT_FALSE(u.upload);
}

TEST(VideoPlanes, ResolutionChangeReallocatesAllPlanesAndRecreatesTextures)
{
    Store s;
    video_planes_set_size(&s.p, 1920, 1080);
    Picture big(1920, 1080, 1920, 960, 960);
    video_planes_take(&s.p, 3, big.pointers, big.line_sizes, big.height);
    begin(s);

    // A new configuration, then a picture of the new size.
    video_planes_set_size(&s.p, 640, 360);
    Picture small(640, 360, 640, 320, 320);
    video_planes_take(&s.p, 3, small.pointers, small.line_sizes, small.height);
    EXPECT_EQ(s.p.stored_height, 360);
    EXPECT_EQ(s.p.line_sizes[1], 320);
    VideoUpload u = begin(s);
    EXPECT_TRUE(u.recreate);
    EXPECT_TRUE(u.upload);
    EXPECT_EQ(u.render_width, 640);
    EXPECT_EQ(u.rows[1], 180);
    EXPECT_EQ(memcmp(u.data[2], small.planes[2].data(), 320 * 180), 0);

    // Same strides, more rows: every plane, chroma included, grows.
    video_planes_set_size(&s.p, 640, 720);
    Picture tall(640, 720, 640, 320, 320);
    video_planes_take(&s.p, 3, tall.pointers, tall.line_sizes, tall.height);
    EXPECT_EQ(memcmp(s.p.planes[1], tall.planes[1].data(), 320 * 360), 0);
    EXPECT_EQ(memcmp(s.p.planes[2], tall.planes[2].data(), 320 * 360), 0);
    u = begin(s);
    EXPECT_TRUE(u.recreate);
    EXPECT_EQ(u.rows[2], 360);
}

TEST(VideoPlanes, UploadCoversTheStoredRowsAndTheAnnouncedSize)
{
    struct Case {
        const char *what;
        int announced_w, announced_h;
        int pic_w, pic_h, ls0, ls12;
        int widths0, widths1, rows0, rows1;
        float tex_u;
    } const cases[] = {
        {"full HD with padded stride uploads whole rows", 1920, 1080, 1920, 1080, 2048, 1024, 2048, 1024, 1080, 540,
         0.9375f},
        // Never the 1080 the size listener gave.
        {"announced height above the stored picture clamps the rows", 1920, 1080, 1920, 720, 1920, 960, 1920, 960,
         720, 360, 1.0f},
        {"picture taller than announced uploads only the announced rows", 1280, 720, 1280, 736, 1280, 640, 1280, 640,
         720, 360, 1.0f},
        {"picture narrower than announced shows its whole stride", 1920, 1080, 1280, 1080, 1280, 640, 1280, 640,
         1080, 540, 1.0f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Store s;
        video_planes_set_size(&s.p, c.announced_w, c.announced_h);
        Picture pic(c.pic_w, c.pic_h, c.ls0, c.ls12, c.ls12);
        video_planes_take(&s.p, 3, pic.pointers, pic.line_sizes, pic.height);
        VideoUpload u = begin(s);
        ASSERT_TRUE(u.draw);
        EXPECT_EQ(u.render_height, c.announced_h);
        EXPECT_EQ(u.widths[0], c.widths0);
        EXPECT_EQ(u.widths[1], c.widths1);
        EXPECT_EQ(u.rows[0], c.rows0);
        EXPECT_EQ(u.rows[1], c.rows1);
        EXPECT_EQ(u.rows[2], c.rows1);
        EXPECT_FLOAT_EQ(u.tex_u, c.tex_u);
    }
}

TEST(VideoPlanes, ChromaStrideOtherThanHalfTheLumaStrideIsRepacked)
{
    // 1352 wide, 16-byte aligned rows: luma stride 1360, chroma 688 (not 680).
    Store s;
    video_planes_set_size(&s.p, 1352, 9);
    Picture pic(1352, 9, 1360, 688, 688);
    video_planes_take(&s.p, 3, pic.pointers, pic.line_sizes, pic.height);
    ASSERT_EQ(s.p.plane_count, 3);
    EXPECT_EQ(s.p.line_sizes[0], 1360);
    EXPECT_EQ(s.p.line_sizes[1], 680);
    EXPECT_EQ(s.p.line_sizes[2], 680);
    for (int i = 1; i < 3; i++)
        for (int r = 0; r < 5; r++)
            EXPECT_EQ(memcmp(s.p.planes[i] + r * 680, pic.planes[i].data() + r * 688, 680), 0)
                << "plane " << i << " row " << r;

    // A chroma stride below half the luma stride: the rest of each row is zero.
    Picture narrow(1352, 9, 1360, 676, 676);
    video_planes_take(&s.p, 3, narrow.pointers, narrow.line_sizes, narrow.height);
    EXPECT_EQ(s.p.line_sizes[1], 680);
    for (int r = 0; r < 5; r++) {
        EXPECT_EQ(memcmp(s.p.planes[2] + r * 680, narrow.planes[2].data() + r * 676, 676), 0);
        for (int c = 676; c < 680; c++)
            EXPECT_EQ(s.p.planes[2][r * 680 + c], 0);
    }
}

TEST(VideoPlanes, MalformedPicturesLeaveTheStoredOneAlone)
{
    Store s;
    video_planes_set_size(&s.p, 64, 32);
    Picture good(64, 32, 64, 32, 32);
    video_planes_take(&s.p, 3, good.pointers, good.line_sizes, good.height);
    begin(s);

    Picture other(64, 32, 64, 32, 32);
    other.planes[0][0] = 0xaa;
    video_planes_take(&s.p, 2, other.pointers, other.line_sizes, 32);  // two planes
    video_planes_take(&s.p, 4, other.pointers, other.line_sizes, 32);  // more than the view keeps
    video_planes_take(&s.p, 3, other.pointers, other.line_sizes, 0);   // no rows
    int negative[3] = {-64, 32, 32};
    video_planes_take(&s.p, 3, other.pointers, negative, 32);          // bottom-up stride
    uint8_t *missing[3] = {other.pointers[0], nullptr, other.pointers[2]};
    video_planes_take(&s.p, 3, missing, other.line_sizes, 32);
    video_planes_take(&s.p, 3, nullptr, other.line_sizes, 32);
    video_planes_take(&s.p, 3, other.pointers, nullptr, 32);

    EXPECT_FALSE(s.p.frame_ready);
    EXPECT_EQ(s.p.plane_count, 3);
    EXPECT_EQ(s.p.planes[0][0], Picture::pattern(0, 0, 0));
}

TEST(VideoPlanes, ZeroPlanesEmptiesTheView)
{
    Store s;
    video_planes_set_size(&s.p, 64, 32);
    Picture good(64, 32, 64, 32, 32);
    video_planes_take(&s.p, 3, good.pointers, good.line_sizes, good.height);
    video_planes_take(&s.p, 0, nullptr, nullptr, 0);
    EXPECT_EQ(s.p.plane_count, 0);
    EXPECT_TRUE(s.p.frame_ready);
    EXPECT_EQ(s.p.planes[0], nullptr);
    EXPECT_FALSE(begin(s).draw);

    // The next whole picture brings it back, with fresh textures.
    video_planes_take(&s.p, 3, good.pointers, good.line_sizes, good.height);
    VideoUpload u = begin(s);
    EXPECT_TRUE(u.draw);
    EXPECT_TRUE(u.recreate);
    // A size change without a picture recreates and uploads the stored one:
    // fresh textures are never drawn empty.
    video_planes_set_size(&s.p, 64, 30);
    u = begin(s);
    EXPECT_TRUE(u.draw && u.recreate && u.upload);
    EXPECT_EQ(u.rows[0] * 100 + u.rows[1], 3015);
}

