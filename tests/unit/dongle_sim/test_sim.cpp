// The simulated dongle's contract with the tests that use it: the picture
// stamp's layout (the end-to-end probe reads it from screenshots), pictures
// that decode back to their stamps and bars, and the resend choice from
// acknowledgement bitmaps.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mem.h>
}

#include "dongle_sim/bitblocks.h"
#include "dongle_sim/sim_resend.h"
#include "dongle_sim/sim_video.h"
#include "dongle_sim/test_pattern.h"
#include "support/bytes.h"

namespace {

const uint64_t kTime = 1717171717123ull; // a wall-clock time in ms (2024)

} // namespace

// The stamp reads back from the picture, and a picture with one cell flipped
// does not pass its CRC-8 (poly 0x07, init 0xFF, pinned here by hand).
TEST(SimStamp, ReadsBackAndOneFlippedCellIsRefused)
{
    EXPECT_EQ(bitblocks_crc8(unhex("800000010102030405060708").data(), 12), 0x4A);
    const int w = 1280, h = 720, ys = w + 24, cs = w / 2 + 12;
    Bytes y((size_t)ys * h, 100), u((size_t)cs * h / 2, 128), v = u;
    bitblocks_write(y.data(), ys, u.data(), cs, v.data(), cs, w, h, 0x80000001u, 0x0102030405060708ull);
    uint32_t f = 0;
    uint64_t t = 0;
    ASSERT_TRUE(bitblocks_read(y.data(), ys, w, h, &f, &t));
    EXPECT_EQ(f, 0x80000001u);
    EXPECT_EQ(t, 0x0102030405060708ull);
    // Cell 40 (a time bit) of 16x16 pixels from (16, 16), 235 for 1 and 16 for 0.
    const uint8_t flipped = y[(size_t)16 * ys + 16 + 16 * 40] == 235 ? 16 : 235;
    for (int k = 0; k < 256; k++)
        y[(size_t)(16 + k / 16) * ys + 16 + 16 * 40 + k % 16] = flipped;
    EXPECT_FALSE(bitblocks_read(y.data(), ys, w, h, &f, &t));
}

TEST(SimVideo, EncodesPicturesThatDecodeBackToTheirStampsAndBars)
{
    SimVideoConfig c;
    c.width = 640;
    c.height = 360;
    SimVideo *sv = nullptr;
    ASSERT_EQ(sim_video_create(&c, &sv), 0);
    size_t hlen = 0;
    const uint8_t *header = sim_video_codec_header(sv, &hlen);
    ASSERT_GT(hlen, 5u);
    EXPECT_EQ(hex(header, 5), "0000000167"); // SPS first, behind a four-byte start code

    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    ctx->extradata = (uint8_t *)av_mallocz(hlen + AV_INPUT_BUFFER_PADDING_SIZE);
    std::memcpy(ctx->extradata, header, hlen);
    ctx->extradata_size = (int)hlen;
    ASSERT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
    AVFrame *f = av_frame_alloc();
    AVPacket *pkt = av_packet_alloc();
    for (uint32_t i = 0; i < 10; i++) {
        Bytes au;
        bool idr = false;
        ASSERT_EQ(sim_video_encode(sv, 1000 + i, kTime + 33 * i, false, &au, &idr), 0);
        EXPECT_EQ(idr, i == 0);
        au.resize(au.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        pkt->data = au.data();
        pkt->size = (int)(au.size() - AV_INPUT_BUFFER_PADDING_SIZE);
        ASSERT_EQ(avcodec_send_packet(ctx, pkt), 0);
        ASSERT_EQ(avcodec_receive_frame(ctx, f), 0) << i;
        uint32_t rf = 0;
        uint64_t rt = 0;
        ASSERT_TRUE(bitblocks_read(f->data[0], f->linesize[0], 640, 360, &rf, &rt)) << i;
        EXPECT_EQ(rf, 1000 + i);
        EXPECT_EQ(rt, kTime + 33 * i);
        const int py = test_pattern_probe_y(360);
        for (int b = 0; b < TEST_PATTERN_BAR_COUNT; b++) {
            const int px = test_pattern_probe_x(640, b);
            EXPECT_NEAR(f->data[0][(size_t)py * f->linesize[0] + px], test_pattern_bars[b].y, 6) << test_pattern_bars[b].name;
            EXPECT_NEAR(f->data[2][(size_t)(py / 2) * f->linesize[2] + px / 2], test_pattern_bars[b].cr, 6);
        }
    }
    av_packet_free(&pkt);
    av_frame_free(&f);
    avcodec_free_context(&ctx);
    sim_video_destroy(&sv);
}

TEST(SimResend, ResendsWhatTheBitmapLacks)
{
    uint64_t sent[64], t0 = 1000;
    uint8_t resent[64] = {};
    for (auto &s : sent)
        s = t0;
    // 6 fragments, 0 1 _ 3 _ _ received: 2 is a hole and goes again at once;
    // 4 and 5 may still be on their way until they are stale.
    EXPECT_EQ(sim_select_resends(0x3F, 0x0B, sent, resent, t0 + 1, 24000, 12000, 8), 0x04u);
    EXPECT_EQ(sim_select_resends(0x3F, 0x0F, sent, resent, t0 + 23999, 24000, 12000, 8), 0u);
    EXPECT_EQ(sim_select_resends(0x3F, 0x0F, sent, resent, t0 + 24000, 24000, 12000, 8), 0x30u);
    // A resent fragment waits the regap, and is given up after the limit.
    sent[2] = 10000, resent[2] = 1;
    EXPECT_EQ(sim_select_resends(0xF, 0xB, sent, resent, 10005, 100, 50, 8), 0u);
    EXPECT_EQ(sim_select_resends(0xF, 0xB, sent, resent, 10050, 100, 50, 8), 0x4u);
    resent[2] = 8;
    EXPECT_EQ(sim_select_resends(0xF, 0xB, sent, resent, 99999, 100, 50, 8), 0u);
    // Bits beyond the expected fragments are ignored; all 64 of a full window count.
    resent[2] = 0;
    EXPECT_EQ(sim_select_resends(0x3, 0xFFFFFFFFu, sent, resent, 1 << 30, 1, 1, 8), 0u);
    EXPECT_EQ(sim_select_resends(~0ull, 1ull << 63, sent, resent, t0 + 1000, 1000, 1000, 8), ~0ull >> 1);
}
