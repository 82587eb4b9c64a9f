// The video view's picture hand-over, fit and texture geometry (no GL needed:
// the state behind the view's lock is a plain record).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
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
    VideoUpload u{};
    video_planes_begin_render(&s.p, &u);
    return u;
}

} // namespace

// --- Letterbox fit ----------------------------------------------------------

TEST(VideoFit, PictureIsScaledToFitAndCentredBetweenBars)
{
    struct Case {
        int out_w, out_h, pic_w, pic_h;
        VideoArea want;
        float sx, sy;
    } const cases[] = {
        // Wide picture in a squarer window: bars top and bottom.
        {1280, 1024, 1920, 1080, {0, 152, 1280, 720}, 1.0f, 720.0f / 1024.0f},
        // Smaller picture scaled up by width.
        {1920, 1200, 1280, 720, {0, 60, 1920, 1080}, 1.0f, 1080.0f / 1200.0f},
        // s = 800 / 1920 by width: 1080 * 0.41666 = 450 rows, centred in 1000.
        {800, 1000, 1920, 1080, {0, 275, 800, 450}, 1.0f, 0.45f},
        // s = 400 / 720 by height: 1280 * 0.5555 = 711.1 -> 711, x = (1000 - 711.1) / 2 = 144.4 -> 144.
        {1000, 400, 1280, 720, {144, 0, 711, 400}, 0.7111f, 1.0f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.pic_w << "x" << c.pic_h << " in " << c.out_w << "x" << c.out_h);
        VideoArea r{};
        float sx = 0, sy = 0;
        ASSERT_EQ(video_fit(c.out_w, c.out_h, c.pic_w, c.pic_h, &r, &sx, &sy), 0);
        EXPECT_EQ(std::vector<int>({r.x, r.y, r.width, r.height}),
                  std::vector<int>({c.want.x, c.want.y, c.want.width, c.want.height}));
        EXPECT_NEAR(sx, c.sx, 1e-4);
        EXPECT_NEAR(sy, c.sy, 1e-4);
    }
    // The scale outputs are optional; an empty output (a minimised window) or
    // picture draws nothing and keeps the rectangle.
    VideoArea r{1, 2, 3, 4};
    for (const auto &[ow, oh, pw, ph] : std::vector<std::array<int, 4>>{{0, 600, 1920, 1080}, {800, 0, 1920, 1080},
                                                                        {800, 600, 0, 1080}, {800, 600, 1920, -1}})
        EXPECT_LT(video_fit(ow, oh, pw, ph, &r, nullptr, nullptr), 0);
    EXPECT_EQ(std::vector<int>({r.x, r.y, r.width, r.height}), std::vector<int>({1, 2, 3, 4}));
    EXPECT_EQ(video_fit(1920, 1200, 1280, 720, &r, nullptr, nullptr), 0);
}

// --- Texture geometry ---------------------------------------------------------

TEST(VideoGeometry, TexturesTakeTheVisiblePlanesAndTheStridesBecomeRowLengths)
{
    struct Case {
        const char *what;
        int width, height, ls0, ls12;
        bool ok;
        int w0, w1, rows0, rows1;
    } const cases[] = {
        {"full HD with padded strides: the padding is never uploaded", 1920, 1080, 2048, 1024, true, 1920, 960, 1080,
         540},
        {"odd sizes round chroma up", 1081, 1081, 1088, 544, true, 1081, 541, 1081, 541},
        {"a chroma stride narrower than the chroma width is refused", 64, 32, 64, 31, false, 0, 0, 0, 0},
        {"a luma stride narrower than the width is refused", 64, 32, 63, 32, false, 0, 0, 0, 0},
        {"no rows", 64, 0, 64, 32, false, 0, 0, 0, 0},
    };
    uint8_t byte = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        PicturePlanes p{c.width, c.height, {&byte, &byte, &byte}, {c.ls0, c.ls12, c.ls12}};
        VideoTextureGeometry g;
        ASSERT_EQ(video_texture_geometry(p, &g), c.ok);
        if (!c.ok)
            continue;
        EXPECT_EQ(std::vector<int>({g.widths[0], g.widths[1], g.widths[2], g.rows[0], g.rows[2], g.row_lengths[0], g.row_lengths[1]}),
                  std::vector<int>({c.w0, c.w1, c.w1, c.rows0, c.rows1, c.ls0, c.ls12}));
    }
    PicturePlanes missing{64, 32, {&byte, nullptr, &byte}, {64, 32, 32}};
    VideoTextureGeometry g;
    EXPECT_FALSE(video_texture_geometry(missing, &g));
}

TEST(VideoGeometry, PixelBuffersOnlyWhereTheDriverUploadsAsynchronously)
{
    struct Case {
        const char *renderer;
        int major, minor;
        bool can_map;
        VideoUploadPath want;
    } const cases[] = {
        {"llvmpipe (LLVM 15.0.6, 256 bits)", 4, 5, true, VideoUploadPath::Direct},
        {"softpipe", 3, 3, true, VideoUploadPath::Direct},
        {"Mesa Intel(R) UHD Graphics 620 (KBL GT2)", 4, 6, true, VideoUploadPath::PixelBuffer},
        {"NVIDIA GeForce GTX 1060/PCIe/SSE2", 4, 6, true, VideoUploadPath::PixelBuffer},
        {"AMD Radeon RX 580", 4, 6, false, VideoUploadPath::Direct}, // no glMapBuffer
        {"Mesa DRI R300", 2, 0, true, VideoUploadPath::Direct},
        {nullptr, 4, 6, true, VideoUploadPath::Direct},
    };
    for (const Case &c : cases)
        EXPECT_EQ(video_upload_path_for(c.renderer, c.major, c.minor, c.can_map), c.want)
            << (c.renderer ? c.renderer : "(null)");
}

TEST(VideoGeometry, ChromaRowsAndVersionStrings)
{
    EXPECT_EQ(video_plane_rows(1081, 0) * 1000 + video_plane_rows(1081, 1), 1081541);
    EXPECT_EQ(video_plane_rows(-4, 1), 0);
    EXPECT_EQ(video_plane_rows(0x7fffffff, 1), 0x40000000); // no overflow in the rounding
    const struct {
        const char *text;
        int major, minor; // -1: refused
    } rows[] = {{"4.5 (Compatibility Profile) Mesa 22.3.6", 4, 5}, {"2.1 Mesa 22.3.6", 2, 1},
                {"3.0.0 NVIDIA 525.147.05", 3, 0}, {"OpenGL ES 3.2 Mesa 22.3.6", -1, -1}, {nullptr, -1, -1}, {"", -1, -1}};
    for (const auto &r : rows) {
        int major = -7, minor = -7;
        const int rc = gl_parse_version(r.text, &major, &minor);
        EXPECT_EQ(rc < 0 ? -1 : major * 10 + minor, r.major < 0 ? -1 : r.major * 10 + r.minor) << (r.text ? r.text : "(null)");
    }
}

// --- Entry-point loading (a fake resolver, no context) -------------------------

namespace {
const char *g_fake_version;
bool g_fake_drop_shaders;
std::vector<std::string> g_asked;

const GLubyte *fake_get_string(GLenum name)
{
    return name == GL_VERSION ? (const GLubyte *)g_fake_version : nullptr;
}
void fake_any(void) {}

void *fake_get_proc(const char *name)
{
    g_asked.push_back(name);
    if (strcmp(name, "glGetString") == 0)
        return (void *)fake_get_string;
    if (g_fake_drop_shaders && strcmp(name, "glCreateShader") == 0)
        return nullptr;
    return (void *)fake_any;
}
} // namespace

TEST(GlLoader, EntriesFollowTheContextVersion)
{
    // A 2.1 context leaves the 3.0 entries null even where the driver has stubs,
    // and does not ask for them; a missing shader entry or a too old context fails.
    const struct {
        const char *version;
        bool drop_shaders;
        int rc; // 0 loaded, -1 refused
        bool framebuffers;
    } rows[] = {{"4.5 (Compatibility Profile) Mesa 22.3.6", false, 0, true}, {"2.1 Mesa 22.3.6", false, 0, false},
                {"4.5 (Compatibility Profile) Mesa 22.3.6", true, -1, false}, {"1.4 Mesa", false, -1, false},
                {"OpenGL ES 3.2 Mesa 22.3.6", false, -1, false}};
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.version) + (r.drop_shaders ? " without glCreateShader" : ""));
        g_fake_version = r.version, g_fake_drop_shaders = r.drop_shaders;
        g_asked.clear();
        ASSERT_EQ(gl_load_functions(fake_get_proc) < 0 ? -1 : 0, r.rc);
        if (r.rc == 0) {
            EXPECT_NE(gl_api.CreateShader, nullptr);
            EXPECT_NE(gl_api.Uniform1f, nullptr);
            for (void *f : {(void *)gl_api.GenerateMipmap, (void *)gl_api.BindFramebuffer, (void *)gl_api.CheckFramebufferStatus})
                EXPECT_EQ(f != nullptr, r.framebuffers);
            EXPECT_EQ(std::count(g_asked.begin(), g_asked.end(), "glGenerateMipmap") > 0, r.framebuffers);
        }
        gl_api = GlApi{};
    }
}

// --- Picture hand-over ----------------------------------------------------------

namespace {

// A counted copy of a picture, as a decoder's listener would get one.
DecodedPicture *counted(const Picture &pic)
{
    return picture_copy(pic.width, pic.height, const_cast<uint8_t *const *>(pic.pointers), pic.line_sizes);
}

} // namespace

TEST(VideoPlanes, PictureBeforeAnySizeIsHandedBackAndNothingDraws)
{
    Store s;
    Picture pic(64, 32, 64, 32, 32);
    DecodedPicture *ref = counted(pic);
    EXPECT_EQ(video_planes_take(&s.p, ref, nullptr), ref);
    picture_release(&ref);
    EXPECT_EQ(begin(s).picture, nullptr);

    video_planes_set_size(&s.p, 1920, 0);
    video_planes_set_size(&s.p, -1, 1080);
    EXPECT_EQ(s.p.video_width, 0);
    video_planes_set_size(&s.p, 1920, 1080);
    EXPECT_EQ(s.p.video_height, 1080);
}

TEST(VideoPlanes, NewestPictureIsUploadedOnceAndASupersededOneIsHandedBackUnseen)
{
    Store s;
    video_planes_set_size(&s.p, 64, 32);
    Picture a(64, 32, 64, 32, 32), b(64, 32, 64, 32, 32);
    b.planes[0][0] = 0xee;
    DecodedPicture *ra = counted(a), *rb = counted(b);
    FrameTiming ta{7, 0, 0, 0, 0}, tb{8, 0, 0, 0, 0};
    EXPECT_EQ(video_planes_take(&s.p, ra, &ta), nullptr);
    // b comes before a was drawn: a goes back to its owner, never drawn.
    EXPECT_EQ(video_planes_take(&s.p, rb, &tb), ra);
    picture_release(&ra);
    EXPECT_EQ(s.p.superseded, 1u);

    VideoUpload u = begin(s);
    ASSERT_EQ(u.picture, rb);
    EXPECT_EQ(u.timing.frame, 8u);
    PicturePlanes planes;
    ASSERT_TRUE(picture_planes(u.picture, &planes));
    EXPECT_EQ(planes.data[0][0], 0xee);
    picture_release(&u.picture);
    // Nothing new: nothing to upload again.
    EXPECT_EQ(begin(s).picture, nullptr);
}

TEST(VideoPlanes, EmptyingDropsThePendingPictureUntilTheNextOne)
{
    Store s;
    video_planes_set_size(&s.p, 64, 32);
    Picture pic(64, 32, 64, 32, 32);
    DecodedPicture *ref = counted(pic);
    video_planes_take(&s.p, ref, nullptr);
    EXPECT_EQ(video_planes_clear(&s.p), ref);
    picture_release(&ref);
    VideoUpload u = begin(s);
    EXPECT_TRUE(u.emptied);
    EXPECT_EQ(u.picture, nullptr);
    EXPECT_FALSE(begin(s).emptied);

    ref = counted(pic);
    video_planes_take(&s.p, ref, nullptr);
    u = begin(s);
    EXPECT_FALSE(u.emptied);
    EXPECT_EQ(u.picture, ref);
    picture_release(&u.picture);
}

TEST(VideoPlanes, CountedCopyKeepsTheVisiblePlanesAndRefusesMalformedOnes)
{
    // 1352 wide, chroma rows 688 bytes apart (not half the luma stride).
    Picture pic(1352, 9, 1360, 688, 688);
    DecodedPicture *ref = counted(pic);
    ASSERT_NE(ref, nullptr);
    PicturePlanes p;
    ASSERT_TRUE(picture_planes(ref, &p));
    EXPECT_EQ(p.width, 1352);
    EXPECT_EQ(p.height, 9);
    for (int i = 0; i < 3; i++)
        for (int r = 0; r < video_plane_rows(9, i); r++)
            EXPECT_EQ(memcmp(p.data[i] + r * p.line_sizes[i], pic.planes[i].data() + r * pic.line_sizes[i],
                             i ? 676 : 1352),
                      0)
                << "plane " << i << " row " << r;
    // The copy is its own: the caller may reuse its planes at once.
    pic.planes[0][0] ^= 0xff;
    EXPECT_EQ(p.data[0][0], Picture::pattern(0, 0, 0));
    picture_release(&ref);
    EXPECT_EQ(ref, nullptr);
    picture_release(&ref);

    uint8_t *missing[3] = {pic.pointers[0], nullptr, pic.pointers[2]};
    const int negative[3] = {-1360, 688, 688};
    EXPECT_EQ(picture_copy(1352, 9, missing, pic.line_sizes), nullptr);
    EXPECT_EQ(picture_copy(1352, 9, pic.pointers, negative), nullptr);
    EXPECT_EQ(picture_copy(1352, 0, pic.pointers, pic.line_sizes), nullptr);
    EXPECT_EQ(picture_copy(1352, 9, nullptr, pic.line_sizes), nullptr);
    EXPECT_FALSE(picture_planes(nullptr, &p));
}
