// The simulated dongle's media: bit-block stamp, test pattern, live encoder,
// Annex B splitter and sine tone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include "dongle_sim/annexb_file.h"
#include "dongle_sim/bitblocks.h"
#include "dongle_sim/sim_audio.h"
#include "dongle_sim/sim_video.h"
#include "dongle_sim/test_pattern.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A planar YUV 4:2:0 picture with strides wider than the picture and a
// guard byte value in the padding, so writes past the width show up.
struct Yuv {
    int w, h, ys, cs;
    Bytes y, u, v;
    Yuv(int w_, int h_, uint8_t fill = 128) : w(w_), h(h_), ys(w_ + 24), cs((w_ + 1) / 2 + 12)
    {
        y.assign((size_t)ys * h, fill);
        u.assign((size_t)cs * ((h + 1) / 2), 128);
        v.assign((size_t)cs * ((h + 1) / 2), 128);
    }
    uint8_t &Y(int x, int yy) { return y[(size_t)yy * ys + x]; }
};

const uint64_t kTime = 1717171717123ull; // a wall-clock time in ms (2024)

// ---------------------------------------------------------------------------
// Test helpers independent of the code under test.

struct Nal {
    int type;
    size_t start_code_len;
    size_t offset, len;
};

// Lists the NAL units of an Annex B buffer with the length of the start code
// in front of each (3 or 4).
std::vector<Nal> list_nals(const Bytes &b)
{
    std::vector<size_t> starts;
    for (size_t i = 0; i + 2 < b.size(); i++) {
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1)
            starts.push_back(i);
    }
    std::vector<Nal> out;
    for (size_t k = 0; k < starts.size(); k++) {
        size_t s = starts[k];
        size_t sc = (s > 0 && b[s - 1] == 0) ? 4 : 3;
        size_t off = s + 3;
        size_t end = k + 1 < starts.size() ? starts[k + 1] : b.size();
        while (end > off && b[end - 1] == 0)
            end--;
        if (off < b.size())
            out.push_back({b[off] & 0x1F, sc, off, end - off});
    }
    return out;
}

bool starts_with(const Bytes &b, std::initializer_list<uint8_t> prefix)
{
    return b.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), b.begin());
}

bool contains(const Bytes &b, std::initializer_list<uint8_t> needle)
{
    return std::search(b.begin(), b.end(), needle.begin(), needle.end()) != b.end();
}

// The decoder set up as the viewer does: H.264 by codec id, the codec header
// as extradata, one receive per packet.
struct Decoder {
    AVCodecContext *ctx = nullptr;
    AVFrame *frame = nullptr;
    AVPacket *pkt = nullptr;
    explicit Decoder(const uint8_t *header, size_t len)
    {
        const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        ctx = avcodec_alloc_context3(codec);
        ctx->pix_fmt = AV_PIX_FMT_YUV420P;
        ctx->extradata = (uint8_t *)av_mallocz(len + AV_INPUT_BUFFER_PADDING_SIZE);
        std::memcpy(ctx->extradata, header, len);
        ctx->extradata_size = (int)len;
        if (avcodec_open2(ctx, codec, nullptr) < 0)
            avcodec_free_context(&ctx);
        frame = av_frame_alloc();
        pkt = av_packet_alloc();
    }
    ~Decoder()
    {
        av_packet_free(&pkt);
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
    }
    // Returns the decoded picture or null.
    AVFrame *decode(const Bytes &au)
    {
        Bytes padded(au);
        padded.resize(au.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        pkt->data = padded.data();
        pkt->size = (int)au.size();
        if ((au[4] & 0x1F) == 5)
            avcodec_flush_buffers(ctx);
        avcodec_send_packet(ctx, pkt);
        av_frame_unref(frame);
        return avcodec_receive_frame(ctx, frame) == 0 ? frame : nullptr;
    }
};

// The viewer's conversion: full-range luma, chroma centred on 128.
void device_rgb(double y, double u, double v, uint8_t out[3])
{
    u -= 128.0;
    v -= 128.0;
    double c[3] = {y + 1.13983 * v, y - 0.39465 * u - 0.58060 * v, y + 2.03211 * u};
    for (int i = 0; i < 3; i++)
        out[i] = (uint8_t)std::lround(std::clamp(c[i], 0.0, 255.0));
}

// Scales a decoded picture to (dw, dh), converts it to packed RGB24 as the
// viewer does and pastes it into a black canvas of (cw, ch) at (dx, dy): a
// letterboxed, scaled window.
Bytes letterbox_rgb(const AVFrame *f, int cw, int ch, int dx, int dy, int dw, int dh)
{
    SwsContext *sws = sws_getContext(f->width, f->height, (AVPixelFormat)f->format, dw, dh, AV_PIX_FMT_YUV444P,
                                     SWS_BILINEAR, nullptr, nullptr, nullptr);
    Bytes planes((size_t)dw * dh * 3);
    uint8_t *dst[4] = {planes.data(), planes.data() + (size_t)dw * dh, planes.data() + (size_t)2 * dw * dh, nullptr};
    int dst_stride[4] = {dw, dw, dw, 0};
    sws_scale(sws, f->data, f->linesize, 0, f->height, dst, dst_stride);
    sws_freeContext(sws);
    Bytes canvas((size_t)cw * ch * 3, 0);
    for (int r = 0; r < dh; r++)
        for (int x = 0; x < dw; x++) {
            size_t i = (size_t)r * dw + x;
            device_rgb(dst[0][i], dst[1][i], dst[2][i], &canvas[((size_t)(dy + r) * cw + dx + x) * 3]);
        }
    return canvas;
}

std::vector<Bytes> encode_frames(SimVideo *v, int count, uint32_t first_frame, std::vector<bool> *idr = nullptr,
                                 int force_at = -1)
{
    std::vector<Bytes> aus;
    for (int i = 0; i < count; i++) {
        Bytes au;
        bool is_idr = false;
        EXPECT_EQ(sim_video_encode(v, first_frame + i, kTime + 33 * i, i == force_at, &au, &is_idr), 0);
        aus.push_back(au);
        if (idr)
            idr->push_back(is_idr);
    }
    return aus;
}

// ---------------------------------------------------------------------------
// Bit blocks.

TEST(BitBlocks, RoundTripsAtCommonSizes)
{
    const int sizes[][2] = {{1280, 720}, {640, 360}, {1920, 1080}, {640, 480}, {720, 576}, {400, 400}, {321, 241}};
    const uint32_t frames[] = {0, 1, 0x80000001u, 0xFFFFFFFFu};
    const uint64_t times[] = {0, kTime, 0xFFFFFFFFFFFFFFFFull};
    for (auto &s : sizes) {
        for (uint32_t f : frames) {
            for (uint64_t t : times) {
                Yuv pic(s[0], s[1]);
                bitblocks_write(pic.y.data(), pic.ys, pic.u.data(), pic.cs, pic.v.data(), pic.cs, pic.w, pic.h, f,
                                t);
                uint32_t rf = 1234;
                uint64_t rt = 5678;
                ASSERT_TRUE(bitblocks_read(pic.y.data(), pic.ys, pic.w, pic.h, &rf, &rt)) << s[0] << "x" << s[1];
                EXPECT_EQ(rf, f);
                EXPECT_EQ(rt, t);
            }
        }
    }
}

// The stamp's layout is read by end-to-end tests from screenshots, so its
// cells are pinned here by hand: frame 0x80000001, time 0x0102030405060708,
// CRC-8 (poly 0x07, init 0xFF) of those 12 big-endian bytes = 0x4A.
TEST(BitBlocks, CellLayoutIsFixed)
{
    const std::string expected = std::string("1101") +                              // start marker
                                 "10000000" "00000000" "00000000" "00000001" +       // frame
                                 "00000001" "00000010" "00000011" "00000100"          // time
                                 "00000101" "00000110" "00000111" "00001000" +
                                 "01001010" +                                        // CRC-8
                                 "1011";                                             // stop marker
    ASSERT_EQ(expected.size(), 112u);
    Yuv pic(1280, 720, 100);
    bitblocks_write(pic.y.data(), pic.ys, pic.u.data(), pic.cs, pic.v.data(), pic.cs, 1280, 720, 0x80000001u,
                    0x0102030405060708ull);
    EXPECT_DOUBLE_EQ(bitblocks_unit(1280, 720), 16.0);
    for (int cell = 0; cell < 112; cell++) {
        int row = cell / 56, col = cell % 56;
        // Every pixel of the 16x16 block at (16 + 16 col, 16 + 16 row).
        uint8_t want = expected[cell] == '1' ? 235 : 16;
        for (int yy = 0; yy < 16; yy++) {
            for (int xx = 0; xx < 16; xx++)
                ASSERT_EQ(pic.Y(16 + 16 * col + xx, 16 + 16 * row + yy), want) << "cell " << cell;
        }
    }
    // Black backing half a block around, neutral chroma under it.
    EXPECT_EQ(pic.Y(8, 8), 16);
    EXPECT_EQ(pic.Y(16 + 56 * 16 + 7, 16 + 2 * 16 + 7), 16);
    EXPECT_EQ(pic.Y(16 + 56 * 16 + 8, 16), 100);
    EXPECT_EQ(pic.Y(7, 16), 100);
    EXPECT_EQ(pic.Y(16, 16 + 2 * 16 + 8), 100);
    EXPECT_EQ(bitblocks_crc8((const uint8_t *)"\x80\x00\x00\x01\x01\x02\x03\x04\x05\x06\x07\x08", 12), 0x4A);
}

TEST(BitBlocks, WritesNothingOutsideThePicture)
{
    Yuv pic(120, 200, 77); // narrow: the stamp is as wide as the picture allows
    bitblocks_write(pic.y.data(), pic.ys, pic.u.data(), pic.cs, pic.v.data(), pic.cs, pic.w, pic.h, 7, 9);
    for (int r = 0; r < pic.h; r++) {
        for (int x = pic.w; x < pic.ys; x++)
            ASSERT_EQ(pic.y[(size_t)r * pic.ys + x], 77);
    }
    uint32_t f = 0;
    uint64_t t = 0;
    ASSERT_TRUE(bitblocks_read(pic.y.data(), pic.ys, pic.w, pic.h, &f, &t));
    EXPECT_EQ(f, 7u);
    EXPECT_EQ(t, 9u);

    // Too small for 2-pixel blocks: nothing drawn, nothing read.
    Yuv tiny(60, 40, 77);
    bitblocks_write(tiny.y.data(), tiny.ys, tiny.u.data(), tiny.cs, tiny.v.data(), tiny.cs, tiny.w, tiny.h, 7, 9);
    for (uint8_t b : tiny.y)
        ASSERT_EQ(b, 77);
    EXPECT_FALSE(bitblocks_read(tiny.y.data(), tiny.ys, tiny.w, tiny.h, &f, &t));
}

TEST(BitBlocks, RejectsGarbageAndDamage)
{
    uint32_t f = 0;
    uint64_t t = 0;
    Yuv grey(1280, 720);
    EXPECT_FALSE(bitblocks_read(grey.y.data(), grey.ys, 1280, 720, &f, &t));
    Yuv white(1280, 720, 235);
    EXPECT_FALSE(bitblocks_read(white.y.data(), white.ys, 1280, 720, &f, &t));
    Yuv black(1280, 720, 16);
    EXPECT_FALSE(bitblocks_read(black.y.data(), black.ys, 1280, 720, &f, &t));

    auto stamped = [] {
        Yuv p(1280, 720);
        bitblocks_write(p.y.data(), p.ys, p.u.data(), p.cs, p.v.data(), p.cs, 1280, 720, 42, kTime);
        return p;
    };
    auto flip_cell = [](Yuv &p, int cell) {
        int x0 = 16 + 16 * (cell % 56), y0 = 16 + 16 * (cell / 56);
        for (int yy = 0; yy < 16; yy++) {
            for (int xx = 0; xx < 16; xx++)
                p.Y(x0 + xx, y0 + yy) = p.Y(x0 + xx, y0 + yy) > 128 ? 16 : 235;
        }
    };
    for (int cell : {0, 2, 4, 40, 70, 103, 107, 108, 111}) {
        Yuv p = stamped();
        flip_cell(p, cell);
        EXPECT_FALSE(bitblocks_read(p.y.data(), p.ys, 1280, 720, &f, &t)) << "cell " << cell;
    }
    // Undamaged, the same stamp reads.
    Yuv p = stamped();
    ASSERT_TRUE(bitblocks_read(p.y.data(), p.ys, 1280, 720, &f, &t));
    EXPECT_EQ(f, 42u);
}

TEST(BitBlocks, SurvivesNoiseAndBlurredEdges)
{
    Yuv pic(640, 360);
    bitblocks_write(pic.y.data(), pic.ys, pic.u.data(), pic.cs, pic.v.data(), pic.cs, 640, 360, 99, kTime);
    uint32_t seed = 1;
    for (int r = 0; r < 360; r++) {
        for (int x = 0; x < 640; x++) {
            seed = seed * 1103515245u + 12345u;
            int noise = (int)((seed >> 16) % 81) - 40;
            int val = pic.Y(x, r) + noise;
            pic.Y(x, r) = (uint8_t)(val < 0 ? 0 : val > 255 ? 255 : val);
        }
    }
    uint32_t f = 0;
    uint64_t t = 0;
    ASSERT_TRUE(bitblocks_read(pic.y.data(), pic.ys, 640, 360, &f, &t));
    EXPECT_EQ(f, 99u);
    EXPECT_EQ(t, kTime);
}

TEST(BitBlocks, RgbReaderRejectsRectanglesOutsideTheImage)
{
    Bytes img((size_t)300 * 200 * 3, 0);
    uint32_t f;
    uint64_t t;
    EXPECT_FALSE(bitblocks_read_rgb(img.data(), 900, 300, 200, 200, 100, 1280, 720, &f, &t));
    EXPECT_FALSE(bitblocks_read_rgb(img.data(), 900, 300, 200, -500, -500, 1280, 720, &f, &t));
    EXPECT_FALSE(bitblocks_read_rgb(img.data(), 900, 300, 200, 0, 0, 0, 0, &f, &t));
    EXPECT_FALSE(bitblocks_read_rgb(img.data(), 100, 300, 200, 0, 0, 300, 200, &f, &t)); // stride too short
}

// ---------------------------------------------------------------------------
// Test pattern.

TEST(TestPattern, BarsHoldTheDocumentedValues)
{
    for (auto size : {std::pair{1280, 720}, std::pair{640, 360}}) {
        Yuv pic(size.first, size.second);
        test_pattern_draw(pic.y.data(), pic.ys, pic.u.data(), pic.cs, pic.v.data(), pic.cs, pic.w, pic.h, 3, kTime);
        int py = test_pattern_probe_y(pic.h);
        for (int i = 0; i < TEST_PATTERN_BAR_COUNT; i++) {
            int px = test_pattern_probe_x(pic.w, i);
            EXPECT_EQ(pic.Y(px, py), test_pattern_bars[i].y) << test_pattern_bars[i].name;
            EXPECT_EQ(pic.u[(size_t)(py / 2) * pic.cs + px / 2], test_pattern_bars[i].cb);
            EXPECT_EQ(pic.v[(size_t)(py / 2) * pic.cs + px / 2], test_pattern_bars[i].cr);
        }
        uint32_t f;
        uint64_t t;
        ASSERT_TRUE(bitblocks_read(pic.y.data(), pic.ys, pic.w, pic.h, &f, &t));
        EXPECT_EQ(f, 3u);
    }
}

// The documented RGB of each bar is what the viewer's conversion gives, and
// the drawn Y, U, V are the device model's values for that RGB (worked out
// here from the model's coefficients).
TEST(TestPattern, DocumentedValuesFollowTheDeviceColourModel)
{
    const char *names[] = {"white", "yellow", "cyan", "green", "magenta", "red", "blue", "black"};
    for (int i = 0; i < TEST_PATTERN_BAR_COUNT; i++) {
        const TestPatternBar &b = test_pattern_bars[i];
        EXPECT_STREQ(b.name, names[i]);
        double y = 0.299 * b.r + 0.587 * b.g + 0.114 * b.b;
        EXPECT_NEAR(b.y, y, 0.6) << b.name;
        EXPECT_NEAR(b.cb, 0.492 * (b.b - y) + 128.0, 0.6) << b.name;
        EXPECT_NEAR(b.cr, 0.877 * (b.r - y) + 128.0, 0.6) << b.name;
        uint8_t rgb[3];
        device_rgb(b.y, b.cb, b.cr, rgb);
        EXPECT_NEAR(rgb[0], b.r, 2) << b.name;
        EXPECT_NEAR(rgb[1], b.g, 2) << b.name;
        EXPECT_NEAR(rgb[2], b.b, 2) << b.name;
    }
}

TEST(TestPattern, SquareMovesWithTheFrameNumber)
{
    Yuv a(640, 360), b(640, 360);
    test_pattern_draw(a.y.data(), a.ys, a.u.data(), a.cs, a.v.data(), a.cs, 640, 360, 10, kTime);
    test_pattern_draw(b.y.data(), b.ys, b.u.data(), b.cs, b.v.data(), b.cs, 640, 360, 11, kTime);
    int strip_mid = (test_pattern_bars_height(360) + 360) / 2;
    int differ = 0, white = 0;
    for (int x = 0; x < 640; x++) {
        differ += a.Y(x, strip_mid) != b.Y(x, strip_mid);
        white += a.Y(x, strip_mid) == 235;
    }
    EXPECT_GT(differ, 0);
    EXPECT_EQ(white, (360 - test_pattern_bars_height(360)) / 2);
}

TEST(TestPattern, NoiseTouchesOnlyTheStripBackground)
{
    Yuv a(640, 360), b(640, 360);
    test_pattern_draw(a.y.data(), a.ys, a.u.data(), a.cs, a.v.data(), a.cs, 640, 360, 10, kTime);
    test_pattern_draw_ex(b.y.data(), b.ys, b.u.data(), b.cs, b.v.data(), b.cs, 640, 360, 10, kTime, true);
    int bars_h = test_pattern_bars_height(360);
    int changed = 0;
    for (int r = 0; r < 360; r++) {
        for (int x = 0; x < 640; x++) {
            if (r < bars_h || a.Y(x, r) == 235)
                ASSERT_EQ(a.Y(x, r), b.Y(x, r)) << x << "," << r; // bars, stamp, square
            else
                ASSERT_LT(b.Y(x, r), 80);
            changed += a.Y(x, r) != b.Y(x, r);
        }
    }
    EXPECT_GT(changed, 640 * (360 - bars_h) / 2);
    EXPECT_EQ(a.u, b.u);
    EXPECT_EQ(a.v, b.v);
}

// ---------------------------------------------------------------------------
// Live encoder.

class Encoder : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(Encoder, CodecHeaderIsSpsThenPps)
{
    SimVideoConfig c;
    c.width = GetParam().first;
    c.height = GetParam().second;
    SimVideo *v = nullptr;
    ASSERT_EQ(sim_video_create(&c, &v), 0);
    size_t len = 0;
    const uint8_t *h = sim_video_codec_header(v, &len);
    Bytes header(h, h + len);
    EXPECT_TRUE(starts_with(header, {0, 0, 0, 1, 0x67}));
    EXPECT_TRUE(contains(header, {0, 0, 0, 1, 0x68}));
    auto nals = list_nals(header);
    ASSERT_EQ(nals.size(), 2u);
    EXPECT_EQ(nals[0].type, 7);
    EXPECT_EQ(nals[1].type, 8);
    for (auto &n : nals)
        EXPECT_EQ(n.start_code_len, 4u);
    sim_video_destroy(&v);
    EXPECT_EQ(v, nullptr);
}

TEST_P(Encoder, DecodesBackFrameNumbersTimesAndBars)
{
    const int w = GetParam().first, h = GetParam().second;
    SimVideoConfig c;
    c.width = w;
    c.height = h;
    SimVideo *v = nullptr;
    ASSERT_EQ(sim_video_create(&c, &v), 0);
    size_t hlen = 0;
    const uint8_t *header = sim_video_codec_header(v, &hlen);
    Decoder dec(header, hlen);
    ASSERT_NE(dec.ctx, nullptr);

    const uint32_t first = 1000;
    for (int i = 0; i < 30; i++) {
        Bytes au;
        bool is_idr = false;
        uint64_t sent = kTime + 33 * i;
        ASSERT_EQ(sim_video_encode(v, first + i, sent, false, &au, &is_idr), 0);
        AVFrame *f = dec.decode(au);
        ASSERT_NE(f, nullptr) << "picture " << i;
        ASSERT_EQ(f->width, w);
        ASSERT_EQ(f->height, h);
        ASSERT_EQ(f->format, AV_PIX_FMT_YUV420P);
        uint32_t rf = 0;
        uint64_t rt = 0;
        ASSERT_TRUE(bitblocks_read(f->data[0], f->linesize[0], w, h, &rf, &rt)) << "picture " << i;
        EXPECT_EQ(rf, first + i);
        EXPECT_EQ(rt, sent);

        if (i == 29) {
            int py = test_pattern_probe_y(h);
            for (int b = 0; b < TEST_PATTERN_BAR_COUNT; b++) {
                const TestPatternBar &bar = test_pattern_bars[b];
                int px = test_pattern_probe_x(w, b);
                EXPECT_NEAR(f->data[0][(size_t)py * f->linesize[0] + px], bar.y, 6) << bar.name;
                EXPECT_NEAR(f->data[1][(size_t)(py / 2) * f->linesize[1] + px / 2], bar.cb, 6) << bar.name;
                EXPECT_NEAR(f->data[2][(size_t)(py / 2) * f->linesize[2] + px / 2], bar.cr, 6) << bar.name;
            }
            // Through RGB as a viewer shows it, scaled to 0.6 inside a letterbox.
            int dw = w * 6 / 10, dh = h * 6 / 10, cw = dw + 2 * (w / 10), ch = dh + 2 * (h / 10) + 30;
            int dx = (cw - dw) / 2, dy = (ch - dh) / 2;
            Bytes rgb = letterbox_rgb(f, cw, ch, dx, dy, dw, dh);
            rf = 0;
            rt = 0;
            ASSERT_TRUE(bitblocks_read_rgb(rgb.data(), cw * 3, cw, ch, dx, dy, dw, dh, &rf, &rt));
            EXPECT_EQ(rf, first + i);
            EXPECT_EQ(rt, sent);
            int ry = dy + test_pattern_probe_y(dh);
            for (int b = 0; b < TEST_PATTERN_BAR_COUNT; b++) {
                const TestPatternBar &bar = test_pattern_bars[b];
                const uint8_t *px = &rgb[((size_t)ry * cw + dx + test_pattern_probe_x(dw, b)) * 3];
                EXPECT_NEAR(px[0], bar.r, 10) << bar.name;
                EXPECT_NEAR(px[1], bar.g, 10) << bar.name;
                EXPECT_NEAR(px[2], bar.b, 10) << bar.name;
            }
            // The same picture off by a wrong rectangle is not read.
            EXPECT_FALSE(bitblocks_read_rgb(rgb.data(), cw * 3, cw, ch, 0, 0, cw, ch, &rf, &rt));
        }
    }
    sim_video_destroy(&v);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Encoder, ::testing::Values(std::pair{1280, 720}, std::pair{640, 360}),
                         [](const auto &info) {
                             return std::to_string(info.param.first) + "x" + std::to_string(info.param.second);
                         });

TEST(EncoderUnits, StartWithTheirFirstSliceBehindFourByteStartCodes)
{
    SimVideoConfig c;
    c.width = 320;
    c.height = 240;
    c.threads = 2; // several slices a picture: each behind its own 4-byte start code
    SimVideo *v = nullptr;
    ASSERT_EQ(sim_video_create(&c, &v), 0);
    std::vector<bool> idr;
    auto aus = encode_frames(v, 12, 0, &idr, 7);
    ASSERT_EQ(aus.size(), 12u);
    for (size_t i = 0; i < aus.size(); i++) {
        const Bytes &au = aus[i];
        ASSERT_GE(au.size(), 6u);
        EXPECT_TRUE(starts_with(au, {0, 0, 0, 1}));
        int first = au[4] & 0x1F;
        EXPECT_TRUE(first == 1 || first == 5) << "unit " << i << " starts with NAL type " << first;
        EXPECT_EQ(idr[i], first == 5);
        for (auto &n : list_nals(au)) {
            EXPECT_EQ(n.start_code_len, 4u);
            EXPECT_TRUE(n.type == 1 || n.type == 5) << "unit " << i << " holds NAL type " << n.type;
        }
    }
    EXPECT_TRUE(idr[0]);
    EXPECT_TRUE(idr[7]); // forced
    for (int i : {1, 2, 3, 4, 5, 6, 8, 9, 10, 11})
        EXPECT_FALSE(idr[i]) << i;
    sim_video_destroy(&v);
}

TEST(EncoderUnits, PeriodicIdrCountsFromTheLastIdr)
{
    SimVideoConfig c;
    c.width = 160;
    c.height = 96;
    c.fps = 10;
    c.idr_interval_s = 0.5; // every 5 pictures
    SimVideo *v = nullptr;
    ASSERT_EQ(sim_video_create(&c, &v), 0);
    std::vector<bool> idr;
    encode_frames(v, 16, 0, &idr, 7);
    std::vector<bool> want(16, false);
    for (int i : {0, 5, 7, 12})
        want[i] = true;
    EXPECT_EQ(idr, want);
    sim_video_destroy(&v);
}

// With noise the pictures are as large as the bit rate allows, and the stamp
// still reads back from every one.
TEST(EncoderUnits, NoiseSpendsTheBitRate)
{
    SimVideoConfig c;
    c.width = 640;
    c.height = 360;
    c.noise = true;
    SimVideo *v = nullptr;
    ASSERT_EQ(sim_video_create(&c, &v), 0);
    size_t hlen = 0;
    const uint8_t *header = sim_video_codec_header(v, &hlen);
    Decoder dec(header, hlen);
    size_t total = 0;
    const int n = 15;
    for (int i = 0; i < n; i++) {
        Bytes au;
        ASSERT_EQ(sim_video_encode(v, i, kTime + i, false, &au, nullptr), 0);
        total += au.size();
        AVFrame *f = dec.decode(au);
        ASSERT_NE(f, nullptr);
        uint32_t rf = 0;
        uint64_t rt = 0;
        ASSERT_TRUE(bitblocks_read(f->data[0], f->linesize[0], 640, 360, &rf, &rt)) << "picture " << i;
        EXPECT_EQ(rf, (uint32_t)i);
        EXPECT_EQ(rt, kTime + i);
    }
    double per_picture = sim_video_bitrate_kbps(v) * 1000.0 / 8 / c.fps;
    EXPECT_GT(total / (double)n, per_picture / 2);
    EXPECT_LT(total / (double)n, per_picture * 2);
    sim_video_destroy(&v);
}

TEST(EncoderUnits, RejectsBadConfigurations)
{
    SimVideo *v = reinterpret_cast<SimVideo *>(1);
    SimVideoConfig c;
    c.width = 641;
    EXPECT_EQ(sim_video_create(&c, &v), SIM_VIDEO_E_CONFIG);
    EXPECT_EQ(v, nullptr);
    c = SimVideoConfig();
    c.fps = 0;
    EXPECT_EQ(sim_video_create(&c, &v), SIM_VIDEO_E_CONFIG);
    c = SimVideoConfig();
    c.dump_path = "/nonexistent-dir/x.h264";
    EXPECT_EQ(sim_video_create(&c, &v), SIM_VIDEO_E_DUMP);
    EXPECT_EQ(sim_video_create(nullptr, &v), SIM_VIDEO_E_CONFIG);
    sim_video_destroy(nullptr);
}

// The dump file is a plain Annex B stream that the splitter (and ffmpeg)
// reads back as the same header and units.
TEST(EncoderUnits, DumpFileSplitsBackIntoTheSameUnits)
{
    std::string path = std::string(KAVRI_BINARY_DIR) + "/test_sim_media_dump.h264";
    SimVideoConfig c;
    c.width = 320;
    c.height = 180;
    c.dump_path = path.c_str();
    SimVideo *v = nullptr;
    ASSERT_EQ(sim_video_create(&c, &v), 0);
    auto aus = encode_frames(v, 10, 5, nullptr, 4);
    size_t hlen = 0;
    const uint8_t *h = sim_video_codec_header(v, &hlen);
    Bytes header(h, h + hlen);
    sim_video_destroy(&v);

    AnnexbStream s;
    ASSERT_EQ(annexb_file_load(path.c_str(), 1 << 24, &s), 10);
    EXPECT_EQ(s.codec_header, header);
    EXPECT_EQ(s.units, aus);
    EXPECT_EQ(s.first_idr, 0u);
    EXPECT_EQ(s.idr, (std::vector<uint8_t>{1, 0, 0, 0, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(annexb_file_load(path.c_str(), 100, &s), -2);
    std::remove(path.c_str());
}

// ---------------------------------------------------------------------------
// Annex B splitter.

// Parameter sets, an IDR picture and two P pictures, written by hand:
// leading garbage, an access unit delimiter and an SEI up front, mixed 3- and
// 4-byte start codes, an emulation-prevention byte inside a slice and
// trailing zero bytes.
const Bytes kSps = {0x67, 0x42, 0xC0, 0x1E, 0xD9, 0x00, 0xA0, 0x47, 0xFE, 0xC8};
const Bytes kPps = {0x68, 0xCE, 0x3C, 0x80};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x33, 0xFF};
const Bytes kP1 = {0x41, 0x9A, 0x02, 0x11};
const Bytes kP2 = {0x41, 0x9A, 0x00, 0x00, 0x03, 0x01, 0x55};

Bytes hand_stream()
{
    return {0xAB, 0xCD,                                      // garbage before the first start code
            0x00, 0x00, 0x00, 0x01, 0x09, 0xF0,              // AUD
            0x00, 0x00, 0x00, 0x01, 0x67, 0x42, 0xC0, 0x1E, 0xD9, 0x00, 0xA0, 0x47, 0xFE, 0xC8,
            0x00, 0x00, 0x01, 0x68, 0xCE, 0x3C, 0x80,        // PPS behind a 3-byte start code
            0x00, 0x00, 0x01, 0x06, 0x05, 0x01, 0xAA, 0x80,  // SEI
            0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x84, 0x00, 0x33, 0xFF,
            0x00, 0x00, 0x01, 0x41, 0x9A, 0x02, 0x11, 0x00, 0x00, // trailing zeros
            0x00, 0x00, 0x00, 0x01, 0x41, 0x9A, 0x00, 0x00, 0x03, 0x01, 0x55};
}

Bytes with_start_codes(std::initializer_list<const Bytes *> nals)
{
    Bytes out;
    for (const Bytes *n : nals) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), n->begin(), n->end());
    }
    return out;
}

TEST(AnnexbSplit, HandWrittenStream)
{
    Bytes in = hand_stream();
    AnnexbStream s;
    ASSERT_EQ(annexb_split(in.data(), in.size(), &s), 3);
    EXPECT_EQ(s.codec_header, (Bytes{0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1E, 0xD9, 0x00, 0xA0, 0x47, 0xFE, 0xC8,
                                      0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80}));
    EXPECT_EQ(s.units[0], (Bytes{0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00, 0x33, 0xFF}));
    EXPECT_EQ(s.units[1], (Bytes{0, 0, 0, 1, 0x41, 0x9A, 0x02, 0x11}));
    EXPECT_EQ(s.units[2], (Bytes{0, 0, 0, 1, 0x41, 0x9A, 0x00, 0x00, 0x03, 0x01, 0x55}));
    EXPECT_EQ(s.idr, (std::vector<uint8_t>{1, 0, 0}));
    EXPECT_EQ(s.first_idr, 0u);
    EXPECT_EQ(s.sps_count, 1u);
    EXPECT_EQ(s.pps_count, 1u);
}

TEST(AnnexbSplit, SlicesOfOnePictureStayTogether)
{
    // Second slice of each picture: first_mb_in_slice = 40, ue(v) 0000 0101001 -> first bit 0.
    const Bytes idr2 = {0x65, 0x05, 0x29, 0x80};
    const Bytes p2 = {0x41, 0x05, 0x29, 0x80};
    const Bytes sei = {0x06, 0x05, 0x01, 0xAA, 0x80};
    Bytes in = with_start_codes({&kSps, &kPps, &kIdr, &idr2, &kP1, &p2, &kP1, &sei, &p2});
    AnnexbStream s;
    // The SEI between the last two slices ends the picture before it.
    ASSERT_EQ(annexb_split(in.data(), in.size(), &s), 4);
    EXPECT_EQ(s.units[0], with_start_codes({&kIdr, &idr2}));
    EXPECT_EQ(s.units[1], with_start_codes({&kP1, &p2}));
    EXPECT_EQ(s.units[2], with_start_codes({&kP1}));
    EXPECT_EQ(s.units[3], with_start_codes({&p2}));
}

TEST(AnnexbSplit, RepeatedParameterSetsAreKeptOnce)
{
    const Bytes pps2 = {0x68, 0xDE, 0x3C, 0x80};
    Bytes in = with_start_codes({&kSps, &kPps, &kIdr, &kP1, &kSps, &kPps, &pps2, &kIdr, &kP2});
    AnnexbStream s;
    ASSERT_EQ(annexb_split(in.data(), in.size(), &s), 4);
    EXPECT_EQ(s.codec_header, with_start_codes({&kSps, &kPps, &pps2}));
    EXPECT_EQ(s.idr, (std::vector<uint8_t>{1, 0, 1, 0}));
}

TEST(AnnexbSplit, DegenerateInputs)
{
    AnnexbStream s;
    EXPECT_EQ(annexb_split(nullptr, 0, &s), 0);
    EXPECT_EQ(annexb_split(nullptr, 5, &s), -1);
    const Bytes cases[] = {
        {},
        {0x00},
        {0x00, 0x00, 0x01},
        {0x00, 0x00, 0x00, 0x00, 0x00},
        {0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01},
        {0x41, 0x9A, 0x02}, // no start code at all
    };
    for (const Bytes &c : cases) {
        // Exactly sized heap copies, so a read past the end is caught by the
        // address sanitizer.
        uint8_t *copy = new uint8_t[c.size() + 1];
        if (!c.empty())
            std::memcpy(copy, c.data(), c.size());
        EXPECT_EQ(annexb_split(copy, c.size(), &s), 0);
        EXPECT_TRUE(s.codec_header.empty());
        delete[] copy;
    }
    // A slice of one byte at the very end cannot tell its first_mb_in_slice:
    // it joins the picture before it, and nothing is read past the input.
    Bytes last = {0x00, 0x00, 0x01, 0x41, 0x9A, 0x00, 0x00, 0x01, 0x41};
    ASSERT_EQ(annexb_split(last.data(), last.size(), &s), 1);
    EXPECT_EQ(s.units[0], (Bytes{0, 0, 0, 1, 0x41, 0x9A, 0, 0, 0, 1, 0x41}));
    EXPECT_EQ(s.first_idr, 1u);
}

TEST(AnnexbSplit, LoopingReaderStartsAtTheFirstIdr)
{
    Bytes in = with_start_codes({&kSps, &kPps, &kP1, &kIdr, &kP2});
    AnnexbStream s;
    ASSERT_EQ(annexb_split(in.data(), in.size(), &s), 3);
    EXPECT_EQ(s.first_idr, 1u);
    size_t cursor = 0;
    bool idr = false;
    const Bytes expect[] = {with_start_codes({&kIdr}), with_start_codes({&kP2})};
    for (int i = 0; i < 5; i++) {
        const Bytes *u = annexb_stream_next(&s, &cursor, &idr);
        ASSERT_NE(u, nullptr);
        EXPECT_EQ(*u, expect[i % 2]);
        EXPECT_EQ(idr, i % 2 == 0);
    }
    Bytes no_idr = with_start_codes({&kSps, &kPps, &kP1});
    ASSERT_EQ(annexb_split(no_idr.data(), no_idr.size(), &s), 1);
    cursor = 0;
    EXPECT_EQ(annexb_stream_next(&s, &cursor, &idr), nullptr);
}

TEST(AnnexbSplit, FileLoaderReportsUnusableFiles)
{
    AnnexbStream s;
    EXPECT_EQ(annexb_file_load("/nonexistent-dir/none.h264", 1 << 20, &s), -1);
    std::string path = std::string(KAVRI_BINARY_DIR) + "/test_sim_media_loader.h264";
    auto write = [&](const Bytes &b) {
        FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(b.data(), 1, b.size(), f);
        std::fclose(f);
    };
    write(with_start_codes({&kPps, &kIdr}));
    EXPECT_EQ(annexb_file_load(path.c_str(), 1 << 20, &s), -3);
    EXPECT_TRUE(s.codec_header.empty());
    write(with_start_codes({&kSps, &kIdr}));
    EXPECT_EQ(annexb_file_load(path.c_str(), 1 << 20, &s), -3);
    EXPECT_TRUE(s.codec_header.empty());
    write(with_start_codes({&kSps, &kPps, &kP1}));
    EXPECT_EQ(annexb_file_load(path.c_str(), 1 << 20, &s), -4);
    write(hand_stream());
    EXPECT_EQ(annexb_file_load(path.c_str(), 1 << 20, &s), 3);
    std::remove(path.c_str());
}

// ---------------------------------------------------------------------------
// Sine tone.

std::vector<int16_t> tone_samples(SimAudio *a, int packets, int channel)
{
    std::vector<int16_t> out;
    uint8_t pkt[SIM_AUDIO_PACKET_BYTES + 4];
    for (int p = 0; p < packets; p++) {
        std::memset(pkt, 0xEE, sizeof pkt);
        sim_audio_next(a, pkt);
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(pkt[SIM_AUDIO_PACKET_BYTES + i], 0xEE); // exactly 1920 bytes written
        for (int f = 0; f < SIM_AUDIO_PACKET_FRAMES; f++) {
            int16_t l = (int16_t)(pkt[4 * f] | pkt[4 * f + 1] << 8);
            int16_t r = (int16_t)(pkt[4 * f + 2] | pkt[4 * f + 3] << 8);
            EXPECT_EQ(l, r);
            out.push_back(channel == 0 ? l : r);
        }
    }
    return out;
}

TEST(SimAudio, FirstPacketBytes)
{
    EXPECT_EQ(SIM_AUDIO_PACKET_BYTES, 1920);
    SimAudio a;
    sim_audio_init(&a);
    uint8_t pkt[SIM_AUDIO_PACKET_BYTES];
    sim_audio_next(&a, pkt);
    // round(8231 * sin(2 pi 440 n / 48000)) for n = 0..3: 0, 474, 946, 1415,
    // little-endian, left then right.
    const uint8_t want[] = {0x00, 0x00, 0x00, 0x00, 0xDA, 0x01, 0xDA, 0x01,
                            0xB2, 0x03, 0xB2, 0x03, 0x87, 0x05, 0x87, 0x05};
    EXPECT_EQ(0, std::memcmp(pkt, want, sizeof want));
}

TEST(SimAudio, IsA440HzToneAtMinus12Dbfs)
{
    SimAudio a;
    sim_audio_init(&a);
    auto s = tone_samples(&a, 100, 0); // one second
    ASSERT_EQ(s.size(), 48000u);
    int crossings = 0, peak = 0;
    for (size_t i = 1; i < s.size(); i++) {
        if ((s[i - 1] < 0) != (s[i] < 0))
            crossings++;
        peak = std::max(peak, std::abs((int)s[i]));
    }
    EXPECT_NEAR(crossings / 2.0, 440.0, 1.0);
    EXPECT_NEAR(20 * std::log10(peak / 32768.0), -12.0, 0.2);
}

TEST(SimAudio, PhaseRunsOnAcrossPackets)
{
    SimAudio a;
    sim_audio_init(&a);
    auto s = tone_samples(&a, 260, 1); // past the 1200-sample table more than once
    for (size_t n = 0; n < s.size(); n++) {
        double ideal = 8231 * std::sin(2 * 3.14159265358979323846 * 440.0 * (double)n / 48000.0);
        ASSERT_NEAR(s[n], ideal, 1.0) << "sample " << n;
    }
}

} // namespace
