// The decoder thread: configuration packets, picture hand-off, the scaler
// path, queue discards and stopping.
//
// Streams are made here with libx264 (through the simulated dongle's encoder
// for 4:2:0, directly for 4:4:4); every picture carries its frame number in
// the bit-block stamp, which the frame listener reads back from the Y plane.
// A listener can hold the decoder thread inside a call until the test lets
// it go, so queue contents are known exactly; every wait has a deadline.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "dongle_sim/annexb_file.h"
#include "dongle_sim/bitblocks.h"
#include "dongle_sim/sim_video.h"
#include "base/clock.h"
#include "media/decoder.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using Size = std::pair<int, int>;

constexpr auto kDeadline = std::chrono::seconds(20);

// ---------------------------------------------------------------------------
// Streams.

// Keeps the slice NAL units of an encoder packet (x264 puts a version SEI in
// front of its first picture), each behind a four-byte start code.
Bytes slices_only(const uint8_t *data, size_t len)
{
    Bytes out;
    size_t pos = 0, off = 0, n = 0;
    while (annexb_next_nal(data, len, &pos, &off, &n)) {
        int type = data[off] & 0x1F;
        if (type >= 1 && type <= 5)
            annexb_append_nal(&out, data + off, n);
    }
    return out;
}

// An access unit that carries its own SPS and PPS behind an access unit
// delimiter, so it is no configuration packet (byte 4 is the delimiter's).
Bytes with_inband_header(const Bytes &header, const Bytes &picture)
{
    Bytes out = {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};
    out.insert(out.end(), header.begin(), header.end());
    out.insert(out.end(), picture.begin(), picture.end());
    return out;
}

// A 4:2:0 stream from the simulated dongle's encoder; IDR pictures only
// first and when asked for.
struct Stream420 {
    SimVideo *v = nullptr;
    Bytes header;

    Stream420(int w, int h, int slices = 1)
    {
        SimVideoConfig c;
        c.width = w;
        c.height = h;
        c.idr_interval_s = 0;
        c.threads = slices; // one slice per encoder thread
        if (sim_video_create(&c, &v) == 0) {
            size_t len = 0;
            const uint8_t *p = sim_video_codec_header(v, &len);
            header.assign(p, p + len);
        }
    }
    ~Stream420() { sim_video_destroy(&v); }
    bool ok() const { return v != nullptr; }

    Bytes picture(uint32_t frame, bool idr = false)
    {
        Bytes au;
        EXPECT_EQ(sim_video_encode(v, frame, 0, idr, &au, nullptr), 0);
        return au;
    }
};

// A 4:4:4 stream (High 4:4:4 profile) made with libx264 directly: grey luma
// with the stamp, flat chroma U = 90, V = 170.
constexpr uint8_t kChromaU = 90;
constexpr uint8_t kChromaV = 170;

struct Stream444 {
    AVCodecContext *ctx = nullptr;
    AVFrame *pic = nullptr;
    AVPacket *pkt = nullptr;
    Bytes header;
    int64_t pts = 0;

    Stream444(int w, int h)
    {
        const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
        if (!codec)
            return;
        ctx = avcodec_alloc_context3(codec);
        pic = av_frame_alloc();
        pkt = av_packet_alloc();
        ctx->width = w;
        ctx->height = h;
        ctx->pix_fmt = AV_PIX_FMT_YUV444P;
        ctx->time_base = AVRational{1, 30};
        ctx->framerate = AVRational{30, 1};
        ctx->max_b_frames = 0;
        ctx->gop_size = 250;
        ctx->thread_count = 1;
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        ctx->log_level_offset = AV_LOG_VERBOSE - AV_LOG_INFO;
        av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
        av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
        av_opt_set(ctx->priv_data, "profile", "high444", 0);
        av_opt_set(ctx->priv_data, "x264-params", "log=-1", 0);
        if (avcodec_open2(ctx, codec, nullptr) < 0) {
            avcodec_free_context(&ctx);
            return;
        }
        Bytes pps;
        size_t pos = 0, off = 0, n = 0;
        while (annexb_next_nal(ctx->extradata, (size_t)ctx->extradata_size, &pos, &off, &n)) {
            int type = ctx->extradata[off] & 0x1F;
            if (type == ANNEXB_NAL_SPS)
                annexb_append_nal(&header, ctx->extradata + off, n);
            else if (type == ANNEXB_NAL_PPS)
                annexb_append_nal(&pps, ctx->extradata + off, n);
        }
        header.insert(header.end(), pps.begin(), pps.end());
        pic->format = AV_PIX_FMT_YUV444P;
        pic->width = w;
        pic->height = h;
        if (av_frame_get_buffer(pic, 0) < 0)
            avcodec_free_context(&ctx);
    }
    ~Stream444()
    {
        av_packet_free(&pkt);
        av_frame_free(&pic);
        avcodec_free_context(&ctx);
    }
    bool ok() const { return ctx != nullptr && !header.empty(); }

    Bytes picture(uint32_t frame)
    {
        Bytes au;
        EXPECT_GE(av_frame_make_writable(pic), 0);
        for (int y = 0; y < pic->height; y++) {
            std::memset(pic->data[0] + (size_t)y * pic->linesize[0], 100, (size_t)pic->width);
            std::memset(pic->data[1] + (size_t)y * pic->linesize[1], kChromaU, (size_t)pic->width);
            std::memset(pic->data[2] + (size_t)y * pic->linesize[2], kChromaV, (size_t)pic->width);
        }
        bitblocks_write(pic->data[0], pic->linesize[0], nullptr, 0, nullptr, 0, pic->width, pic->height, frame,
                        0);
        pic->pts = pts++;
        EXPECT_EQ(avcodec_send_frame(ctx, pic), 0);
        EXPECT_EQ(avcodec_receive_packet(ctx, pkt), 0);
        au = slices_only(pkt->data, (size_t)pkt->size);
        av_packet_unref(pkt);
        return au;
    }
};

// ---------------------------------------------------------------------------
// Listeners.

struct FrameSeen {
    int planes;
    int line[3];
    int height;
    int width;         // the width announced last before this picture
    bool stamp;        // the bit-block stamp read back
    uint32_t number;   // its frame number
    uint8_t u, v;      // chroma in the middle of the last chroma row
    bool timed;        // the decoder gave the picture's timing
    FrameTiming timing;
};

struct Recorder {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Size> sizes;
    std::vector<FrameSeen> frames;
    std::vector<char> order; // 's' size, 'f' frame, in call order
    Size current{0, 0};

    // Gate: the call for picture number `block_at` (0-based) waits until
    // `released`; `blocked` tells the test it is waiting.
    int block_at = -1;
    bool blocked = false;
    bool released = false;
    bool gate_expired = false;

    template <typename Pred>
    bool wait(Pred pred)
    {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_until(g, Clock::now() + kDeadline, [&] { return pred(); });
    }
    void release()
    {
        {
            std::lock_guard<std::mutex> g(m);
            released = true;
        }
        cv.notify_all();
    }
};

void on_size(void *ctx, int w, int h)
{
    auto *r = static_cast<Recorder *>(ctx);
    std::lock_guard<std::mutex> g(r->m);
    r->sizes.push_back({w, h});
    r->order.push_back('s');
    r->current = {w, h};
    r->cv.notify_all();
}

void on_frame(void *ctx, int planes, uint8_t *const *p, const int *line, int height)
{
    auto *r = static_cast<Recorder *>(ctx);
    std::unique_lock<std::mutex> g(r->m);
    FrameSeen f{};
    f.planes = planes;
    f.line[0] = line[0];
    f.line[1] = line[1];
    f.line[2] = line[2];
    f.height = height;
    f.width = r->current.first;
    uint64_t t = 0;
    f.stamp = bitblocks_read(p[0], line[0], f.width, height, &f.number, &t);
    int crow = (height + 1) / 2 - 1;
    int ccol = (f.width + 1) / 4;
    f.u = p[1][(size_t)crow * line[1] + ccol];
    f.v = p[2][(size_t)crow * line[2] + ccol];
    if (const FrameTiming *ft = decoder_picture_timing()) {
        f.timed = true;
        f.timing = *ft;
    }
    r->frames.push_back(f);
    r->order.push_back('f');
    r->cv.notify_all();
    if ((int)r->frames.size() - 1 == r->block_at) {
        r->blocked = true;
        r->cv.notify_all();
        if (!r->cv.wait_until(g, Clock::now() + kDeadline, [r] { return r->released; }))
            r->gate_expired = true;
    }
}

class Decoder : public ::testing::Test {
protected:
    VideoSizeListeners size_listeners;
    FrameListeners frame_listeners;
    Recorder rec;
    VideoDecoder *d = nullptr;

    void SetUp() override
    {
        listeners_register(&size_listeners, &rec, on_size);
        listeners_register(&frame_listeners, &rec, on_frame);
        d = decoder_create(&size_listeners, &frame_listeners);
        ASSERT_NE(d, nullptr);
    }
    void TearDown() override
    {
        rec.release();
        decoder_destroy(&d);
        EXPECT_FALSE(rec.gate_expired);
    }

    void submit(const Bytes &b, uint32_t frame = 0) { decoder_submit(d, b.data(), (uint32_t)b.size(), frame, 1, 2); }
    bool wait_frames(size_t n)
    {
        return rec.wait([&] { return rec.frames.size() >= n; });
    }
    bool wait_blocked()
    {
        return rec.wait([&] { return rec.blocked; });
    }
    std::vector<uint32_t> numbers()
    {
        std::lock_guard<std::mutex> g(rec.m);
        std::vector<uint32_t> out;
        for (const auto &f : rec.frames)
            out.push_back(f.stamp ? f.number : 0xFFFFFFFFu);
        return out;
    }
};

// The decoder thread has taken every queued packet (a configuration
// submitted after this cannot discard them). Nothing signals an empty queue,
// so this polls, up to the deadline.
bool wait_queue_taken(VideoDecoder *d)
{
    auto end = Clock::now() + kDeadline;
    while (decoder_queue_length(d) != 0) {
        if (Clock::now() > end)
            return false;
        std::this_thread::yield();
    }
    return true;
}

int ms_since(Clock::time_point t0)
{
    return (int)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// ---------------------------------------------------------------------------
// Timing and counters.

TEST_F(Decoder, EachPictureCarriesItsOwnTimingToTheListenersOnly)
{
    Stream420 s(320, 240);
    ASSERT_TRUE(s.ok()) << "libx264 encoder unavailable";
    submit(s.header);
    const uint64_t before = clock_steady_us();
    std::vector<Bytes> pics;
    for (uint32_t i = 0; i < 3; i++)
        pics.push_back(s.picture(i, i == 0));
    // Times as the receiver gives them, and a picture that arrived whole (0, 0): it counts from its submission.
    decoder_submit(d, pics[0].data(), (uint32_t)pics[0].size(), 7, 1000, 2500);
    decoder_submit(d, pics[1].data(), (uint32_t)pics[1].size(), 8, before, before + 10);
    decoder_submit(d, pics[2].data(), (uint32_t)pics[2].size(), 9, 0, 0);
    ASSERT_TRUE(wait_frames(3));
    EXPECT_EQ(decoder_picture_timing(), nullptr);  // not on the decoder thread
    std::lock_guard<std::mutex> g(rec.m);
    const uint32_t frames[3] = {7, 8, 9};
    for (int i = 0; i < 3; i++) {
        const FrameSeen &f = rec.frames[(size_t)i];
        ASSERT_TRUE(f.timed) << i;
        EXPECT_EQ(f.timing.frame, frames[i]);
        EXPECT_EQ(f.timing.bytes, (uint32_t)pics[(size_t)i].size());
        EXPECT_GE(f.timing.decoded_us, f.timing.last_us) << i;
    }
    EXPECT_EQ(rec.frames[0].timing.first_us, 1000u);
    EXPECT_EQ(rec.frames[0].timing.last_us, 2500u);
    EXPECT_EQ(rec.frames[1].timing.first_us, before);
    EXPECT_EQ(rec.frames[1].timing.last_us, before + 10);
    EXPECT_GE(rec.frames[2].timing.first_us, before);
    EXPECT_EQ(rec.frames[2].timing.first_us, rec.frames[2].timing.last_us);
    DecoderCounters c;
    decoder_counters(d, &c);
    EXPECT_EQ(c.decoded, 3u);
    // At least the decode of the first picture, whose last fragment is dated near the clock's start.
    EXPECT_GE(c.decode_us, rec.frames[0].timing.decoded_us - 2500);
}

TEST(DecoderCountersOfNothing, AreZero)
{
    DecoderCounters c{5, 5};
    decoder_counters(nullptr, &c);
    EXPECT_EQ(c.decoded, 0u);
    EXPECT_EQ(c.decode_us, 0u);
}

// ---------------------------------------------------------------------------
// Sizes and pictures.

class DecoderSizes : public Decoder, public ::testing::WithParamInterface<Size> {};

TEST_P(DecoderSizes, AnnouncesTheSpsSizeAndDeliversPlanarPicturesInOrder)
{
    const int w = GetParam().first, h = GetParam().second;
    Stream420 s(w, h);
    ASSERT_TRUE(s.ok()) << "libx264 encoder unavailable";
    submit(s.header);
    // An IDR picture in the middle flushes the codec; the P pictures after
    // it decode as usual.
    for (uint32_t i = 0; i < 6; i++)
        submit(s.picture(i, i == 3), i);
    ASSERT_TRUE(wait_frames(6));

    std::lock_guard<std::mutex> g(rec.m);
    EXPECT_EQ(rec.sizes, (std::vector<Size>{{w, h}}));
    EXPECT_EQ(rec.order.front(), 's');
    ASSERT_EQ(rec.frames.size(), 6u);
    for (uint32_t i = 0; i < 6; i++) {
        const FrameSeen &f = rec.frames[i];
        EXPECT_EQ(f.planes, 3);
        EXPECT_EQ(f.height, h);
        EXPECT_GE(f.line[0], w);
        EXPECT_GE(f.line[1], (w + 1) / 2);
        EXPECT_GE(f.line[2], (w + 1) / 2);
        EXPECT_TRUE(f.stamp) << "picture " << i;
        EXPECT_EQ(f.number, i);
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, DecoderSizes,
                         ::testing::Values(Size{1280, 720}, Size{640, 360}, Size{1366, 768}),
                         [](const auto &info) {
                             return std::to_string(info.param.first) + "x" + std::to_string(info.param.second);
                         });

TEST_F(Decoder, PacketsBeforeTheFirstConfigurationGiveNoPictureAndNoCall)
{
    Stream420 s(640, 360);
    ASSERT_TRUE(s.ok());
    for (uint32_t i = 0; i < 3; i++)
        submit(s.picture(i), i);
    // Taken by the thread, so the configuration below does not discard them.
    ASSERT_TRUE(wait_queue_taken(d));
    submit(s.header);
    submit(s.picture(3, true), 3);
    submit(s.picture(4), 4);
    ASSERT_TRUE(wait_frames(2));
    // The queue is first in, first out: the early packets were handled
    // before the configuration, and gave nothing.
    EXPECT_EQ(numbers(), (std::vector<uint32_t>{3, 4}));
    std::lock_guard<std::mutex> g(rec.m);
    EXPECT_EQ(rec.order, (std::vector<char>{'s', 'f', 'f'}));
    EXPECT_EQ(rec.sizes, (std::vector<Size>{{640, 360}}));
}

TEST_F(Decoder, ConfigurationDiscardsTheQueuedPacketsAndAnnouncesAgain)
{
    Stream420 s(1280, 720);
    ASSERT_TRUE(s.ok());
    rec.block_at = 0;
    submit(s.header);
    submit(s.picture(0), 0);
    ASSERT_TRUE(wait_blocked());
    for (uint32_t i = 1; i <= 10; i++) {
        submit(s.picture(i), i);
        EXPECT_EQ(decoder_queue_length(d), i);
    }
    submit(s.header);
    EXPECT_EQ(decoder_queue_length(d), 1u);
    submit(s.picture(11, true), 11);
    EXPECT_EQ(decoder_queue_length(d), 2u);
    rec.release();
    ASSERT_TRUE(wait_frames(2));
    // Picture 11 came out of the last packet queued, so nothing is left.
    EXPECT_EQ(decoder_queue_length(d), 0u);
    EXPECT_EQ(numbers(), (std::vector<uint32_t>{0, 11}));
    std::lock_guard<std::mutex> g(rec.m);
    EXPECT_EQ(rec.sizes, (std::vector<Size>{{1280, 720}, {1280, 720}}));
    EXPECT_EQ(rec.order, (std::vector<char>{'s', 'f', 's', 'f'}));
}

TEST_F(Decoder, SecondConfigurationOfAnotherSizeReopens)
{
    Stream420 a(1280, 720), b(640, 360);
    ASSERT_TRUE(a.ok() && b.ok());
    submit(a.header);
    for (uint32_t i = 0; i < 3; i++)
        submit(a.picture(i), i);
    // A configuration discards what is still queued: let the first stream
    // through before the second starts.
    ASSERT_TRUE(wait_frames(3));
    submit(b.header);
    for (uint32_t i = 100; i < 103; i++)
        submit(b.picture(i), i);
    ASSERT_TRUE(wait_frames(6));
    EXPECT_EQ(numbers(), (std::vector<uint32_t>{0, 1, 2, 100, 101, 102}));
    std::lock_guard<std::mutex> g(rec.m);
    EXPECT_EQ(rec.sizes, (std::vector<Size>{{1280, 720}, {640, 360}}));
    for (size_t i = 0; i < 6; i++) {
        int w = i < 3 ? 1280 : 640, h = i < 3 ? 720 : 360;
        EXPECT_EQ(rec.frames[i].height, h);
        EXPECT_EQ(rec.frames[i].width, w);
        EXPECT_GE(rec.frames[i].line[0], w);
        EXPECT_GE(rec.frames[i].line[1], w / 2);
    }
}

TEST_F(Decoder, PictureOfAnotherSizeThanTheSpsIsAnnouncedBeforeItIsDelivered)
{
    // The configuration says 1280x720, but the stream then carries its own
    // SPS and PPS for 640x360 behind an access unit delimiter (not a
    // configuration packet) in front of an IDR picture.
    Stream420 a(1280, 720), b(640, 360);
    ASSERT_TRUE(a.ok() && b.ok());
    submit(a.header);
    submit(a.picture(0), 0);
    submit(with_inband_header(b.header, b.picture(7)), 7);
    submit(b.picture(8), 8);
    ASSERT_TRUE(wait_frames(3));
    EXPECT_EQ(numbers(), (std::vector<uint32_t>{0, 7, 8}));
    std::lock_guard<std::mutex> g(rec.m);
    EXPECT_EQ(rec.sizes, (std::vector<Size>{{1280, 720}, {640, 360}}));
    EXPECT_EQ(rec.order, (std::vector<char>{'s', 'f', 's', 'f', 'f'}));
    EXPECT_EQ(rec.frames[1].height, 360);
    EXPECT_EQ(rec.frames[1].width, 640);
}

// ---------------------------------------------------------------------------
// The scaler path.

TEST_F(Decoder, Yuv444PicturesArriveAsPlanar420)
{
    Stream444 s(640, 360);
    ASSERT_TRUE(s.ok()) << "libx264 without 4:4:4";
    submit(s.header);
    for (uint32_t i = 0; i < 4; i++)
        submit(s.picture(i), i);
    ASSERT_TRUE(wait_frames(4));
    EXPECT_EQ(numbers(), (std::vector<uint32_t>{0, 1, 2, 3}));
    std::lock_guard<std::mutex> g(rec.m);
    EXPECT_EQ(rec.sizes, (std::vector<Size>{{640, 360}}));
    for (const FrameSeen &f : rec.frames) {
        EXPECT_EQ(f.planes, 3);
        EXPECT_EQ(f.height, 360);
        EXPECT_GE(f.line[0], 640);
        // Half-width chroma rows: 4:2:0, not the decoder's 4:4:4.
        EXPECT_GE(f.line[1], 320);
        EXPECT_LT(f.line[1], 640);
        EXPECT_EQ(f.line[1], f.line[2]);
        EXPECT_NEAR(f.u, kChromaU, 3);
        EXPECT_NEAR(f.v, kChromaV, 3);
    }
}

// The picture size and format change without a new configuration, by an
// SPS inside the stream: the scaler and its frame follow, from 4:4:4 at
// 640x360 through 4:2:0 to 4:4:4 at 320x240.
TEST_F(Decoder, ScalerFollowsAChangeOfPictureSize)
{
    Stream444 a(640, 360), b(320, 240);
    Stream420 c(480, 272);
    ASSERT_TRUE(a.ok() && b.ok() && c.ok());
    submit(a.header);
    submit(a.picture(0), 0);
    submit(a.picture(1), 1);
    submit(with_inband_header(c.header, c.picture(10)), 10);
    submit(with_inband_header(b.header, b.picture(20)), 20);
    submit(b.picture(21), 21);
    ASSERT_TRUE(wait_frames(5));
    EXPECT_EQ(numbers(), (std::vector<uint32_t>{0, 1, 10, 20, 21}));
    std::lock_guard<std::mutex> g(rec.m);
    EXPECT_EQ(rec.sizes, (std::vector<Size>{{640, 360}, {480, 272}, {320, 240}}));
    const int heights[5] = {360, 360, 272, 240, 240};
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(rec.frames[i].height, heights[i]);
    for (int i : {3, 4}) {
        EXPECT_GE(rec.frames[i].line[1], 160);
        EXPECT_LT(rec.frames[i].line[1], 320);
        EXPECT_NEAR(rec.frames[i].u, kChromaU, 3);
        EXPECT_NEAR(rec.frames[i].v, kChromaV, 3);
    }
}

TEST_F(Decoder, NewConfigurationOfAnotherFormatAndSize)
{
    Stream444 a(640, 360), b(320, 240);
    Stream420 c(480, 272);
    ASSERT_TRUE(a.ok() && b.ok() && c.ok());
    // Each configuration discards what is still queued, so each stream is
    // let through before the next one starts.
    submit(a.header);
    submit(a.picture(0), 0);
    ASSERT_TRUE(wait_frames(1));
    submit(c.header);
    submit(c.picture(10), 10);
    ASSERT_TRUE(wait_frames(2));
    submit(b.header);
    submit(b.picture(20), 20);
    ASSERT_TRUE(wait_frames(3));
    EXPECT_EQ(numbers(), (std::vector<uint32_t>{0, 10, 20}));
    std::lock_guard<std::mutex> g(rec.m);
    EXPECT_EQ(rec.sizes, (std::vector<Size>{{640, 360}, {480, 272}, {320, 240}}));
    EXPECT_EQ(rec.frames[2].height, 240);
    EXPECT_NEAR(rec.frames[2].u, kChromaU, 3);
}

// ---------------------------------------------------------------------------
// Odd packets and the queue.

TEST_F(Decoder, ShortPacketsAreNotReadPastTheirEnd)
{
    Stream420 s(640, 360);
    ASSERT_TRUE(s.ok());
    submit(s.header);
    // Exact-size heap copies, so the address sanitizer sees any read of
    // byte 4 of a packet that has none.
    const uint8_t shapes[6][5] = {{0}, {0}, {0, 0}, {0, 0, 1}, {0, 0, 0, 1}, {0, 0, 0, 1, 0x65}};
    for (uint32_t n = 0; n <= 5; n++) {
        std::unique_ptr<uint8_t[]> b(new uint8_t[n ? n : 1]);
        std::memcpy(b.get(), shapes[n], n);
        decoder_submit(d, b.get(), n, 900 + n, 0, 0);
    }
    submit(s.picture(0), 0);
    submit(s.picture(1), 1);
    ASSERT_TRUE(wait_frames(2));
    EXPECT_EQ(numbers(), (std::vector<uint32_t>{0, 1}));
    std::lock_guard<std::mutex> g(rec.m);
    EXPECT_EQ(rec.sizes.size(), 1u);
}

TEST_F(Decoder, QueueLengthCountsAndNullDataIsIgnored)
{
    Stream420 s(640, 360);
    ASSERT_TRUE(s.ok());
    rec.block_at = 0;
    EXPECT_EQ(decoder_queue_length(d), 0u);
    submit(s.header);
    submit(s.picture(0), 0);
    ASSERT_TRUE(wait_blocked());
    EXPECT_EQ(decoder_queue_length(d), 0u);
    decoder_submit(d, nullptr, 100, 1, 0, 0);
    EXPECT_EQ(decoder_queue_length(d), 0u);
    for (uint32_t i = 1; i <= 5; i++) {
        submit(s.picture(i), i);
        EXPECT_EQ(decoder_queue_length(d), i);
    }
    decoder_submit(nullptr, s.header.data(), (uint32_t)s.header.size(), 0, 0, 0);
    EXPECT_EQ(decoder_queue_length(nullptr), 0u);
    rec.release();
    ASSERT_TRUE(wait_frames(6));
    EXPECT_EQ(decoder_queue_length(d), 0u);
    EXPECT_EQ(numbers(), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
}

TEST_F(Decoder, SubmitCopiesTheBytes)
{
    Stream420 s(640, 360);
    ASSERT_TRUE(s.ok());
    Bytes buf = s.header;
    decoder_submit(d, buf.data(), (uint32_t)buf.size(), 0, 0, 0);
    std::fill(buf.begin(), buf.end(), 0xFF);
    buf = s.picture(0);
    decoder_submit(d, buf.data(), (uint32_t)buf.size(), 0, 0, 0);
    std::fill(buf.begin(), buf.end(), 0xFF);
    ASSERT_TRUE(wait_frames(1));
    EXPECT_EQ(numbers(), (std::vector<uint32_t>{0}));
}

// ---------------------------------------------------------------------------
// Stopping.

TEST(DecoderStop, DestroyRightAfterCreateAndNullsAreFine)
{
    decoder_destroy(nullptr);
    VideoDecoder *none = nullptr;
    decoder_destroy(&none);
    VideoDecoder *d = decoder_create(nullptr, nullptr);
    ASSERT_NE(d, nullptr);
    auto t0 = Clock::now();
    decoder_destroy(&d);
    EXPECT_LT(ms_since(t0), 500);
    EXPECT_EQ(d, nullptr);
}

TEST_F(Decoder, DestroyWhileSleepingReturnsPromptly)
{
    Stream420 s(640, 360);
    ASSERT_TRUE(s.ok());
    submit(s.header);
    for (uint32_t i = 0; i < 3; i++)
        submit(s.picture(i), i);
    ASSERT_TRUE(wait_frames(3));
    // The queue is empty; the thread goes to sleep on its semaphore.
    auto t0 = Clock::now();
    decoder_destroy(&d);
    EXPECT_LT(ms_since(t0), 500);
    EXPECT_EQ(d, nullptr);
}

TEST_F(Decoder, DestroyWhileDecodingReturnsAfterThatPacket)
{
    Stream420 s(1280, 720);
    ASSERT_TRUE(s.ok());
    constexpr uint32_t kQueued = 30;
    rec.block_at = 0;
    submit(s.header);
    for (uint32_t i = 0; i <= kQueued; i++)
        submit(s.picture(i), i);
    ASSERT_TRUE(wait_blocked());
    EXPECT_EQ(decoder_queue_length(d), kQueued);

    std::mutex m;
    std::condition_variable cv;
    bool entered = false;
    Clock::time_point returned;
    std::thread stopper([&] {
        {
            std::lock_guard<std::mutex> g(m);
            entered = true;
        }
        cv.notify_all();
        decoder_destroy(&d);
        returned = Clock::now();
    });
    {
        std::unique_lock<std::mutex> g(m);
        EXPECT_TRUE(cv.wait_until(g, Clock::now() + kDeadline, [&] { return entered; }));
    }
    auto released = Clock::now();
    rec.release();
    stopper.join();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(returned - released).count(), 500);
    EXPECT_EQ(d, nullptr);
    // The queued pictures after the one in hand were not decoded.
    std::lock_guard<std::mutex> g(rec.m);
    EXPECT_LT(rec.frames.size(), (size_t)kQueued + 1);
}

} // namespace

// ---------------------------------------------------------------------------
// Held pictures: a listener keeps counted references instead of copies.

namespace {

struct Holder {
    std::mutex m;
    std::condition_variable cv;
    int width = 0;
    std::vector<DecodedPicture *> held;
    int same_planes = 0; // references whose planes are the ones the call handed out

    ~Holder()
    {
        for (DecodedPicture *&p : held)
            picture_release(&p);
    }
    static void on_size(void *c, int w, int) { static_cast<Holder *>(c)->width = w; }
    static void on_frame(void *c, int, uint8_t *const *planes, const int *, int)
    {
        auto *h = static_cast<Holder *>(c);
        DecodedPicture *p = decoder_picture_ref();
        PicturePlanes pp;
        std::lock_guard<std::mutex> g(h->m);
        if (picture_planes(p, &pp) && pp.data[0] == planes[0] && pp.width == h->width)
            h->same_planes++;
        h->held.push_back(p);
        h->cv.notify_all();
    }
};

} // namespace

TEST(DecoderHeldPictures, StayIntactPastLaterPicturesAndTheDecoderItself)
{
    // Several slices a picture are decoded on slice threads: each picture
    // still comes out for its own packet, never a packet later.
    for (int kind : {1, 4, 444}) {
        SCOPED_TRACE(kind);
        Stream420 s420(640, 360, kind == 444 ? 1 : kind);
        Stream444 s444(640, 360);
        ASSERT_TRUE(s420.ok() && s444.ok());
        Holder h;
        VideoSizeListeners sizes;
        FrameListeners frames;
        listeners_register(&sizes, &h, Holder::on_size);
        listeners_register(&frames, &h, Holder::on_frame);
        VideoDecoder *d = decoder_create(&sizes, &frames);
        ASSERT_NE(d, nullptr);
        const Bytes &header = kind == 444 ? s444.header : s420.header;
        decoder_submit(d, header.data(), (uint32_t)header.size(), 0, 0, 0);
        for (uint32_t i = 0; i < 8; i++) {
            Bytes au = kind == 444 ? s444.picture(i) : s420.picture(i, i == 0);
            decoder_submit(d, au.data(), (uint32_t)au.size(), i, 0, 0);
            std::unique_lock<std::mutex> g(h.m);
            ASSERT_TRUE(h.cv.wait_until(g, Clock::now() + kDeadline, [&] { return h.held.size() == i + 1; }))
                << "no picture for packet " << i;
        }
        decoder_destroy(&d);
        EXPECT_EQ(h.same_planes, 8);
        for (uint32_t i = 0; i < 8; i++) {
            PicturePlanes p;
            ASSERT_TRUE(picture_planes(h.held[i], &p));
            uint32_t number = 0;
            uint64_t t = 0;
            ASSERT_TRUE(bitblocks_read(p.data[0], p.line_sizes[0], p.width, p.height, &number, &t)) << i;
            EXPECT_EQ(number, i);
        }
    }
}
