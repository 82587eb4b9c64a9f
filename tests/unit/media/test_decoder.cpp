// The decoder thread: configuration packets, picture hand-off, the scaler
// path, queue discards and stopping.
//
// Streams are made here with libx264 (through the simulated dongle's encoder
// for 4:2:0, directly for 4:4:4); every picture carries its frame number in
// the bit-block stamp, which the frame listener reads back from the Y plane.
// A listener can hold the decoder thread inside a call until the test lets
// it go, so queue contents are known exactly; every wait has a deadline.
#include <gtest/gtest.h>

#include <atomic>
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
#include "media/decoder.h"
#include "support/bytes.h"
#include "support/wait.h"

namespace {

using Clock = std::chrono::steady_clock;
using Size = std::pair<int, int>;

constexpr auto kDeadline = std::chrono::seconds(20);

// Keeps the slice NAL units of an encoder packet (x264 puts a version SEI in
// front of its first picture), each behind a four-byte start code.
Bytes slices_only(const uint8_t *data, size_t len)
{
    Bytes out;
    size_t pos = 0, off = 0, n = 0;
    while (annexb_next_nal(data, len, &pos, &off, &n))
        if ((data[off] & 0x1F) >= 1 && (data[off] & 0x1F) <= 5)
            annexb_append_nal(&out, data + off, n);
    return out;
}

// An access unit that carries its own SPS and PPS behind an access unit
// delimiter, so it is no configuration packet (byte 4 is the delimiter's).
Bytes with_inband_header(const Bytes &header, const Bytes &picture)
{
    return cat({{0x00, 0x00, 0x00, 0x01, 0x09, 0xF0}, header, picture});
}

// A 4:2:0 stream from the simulated dongle's encoder; IDR pictures only first and when asked for.
struct Stream420 {
    SimVideo *v = nullptr;
    Bytes header;
    Stream420(int w, int h, int slices = 1)
    {
        SimVideoConfig c;
        c.width = w, c.height = h, c.idr_interval_s = 0, c.threads = slices;
        size_t len = 0;
        if (sim_video_create(&c, &v) == 0)
            header = Bytes(sim_video_codec_header(v, &len), sim_video_codec_header(v, &len) + len);
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

// A 4:4:4 stream (High 4:4:4) made with libx264 directly: grey luma with the
// stamp, flat chroma U = 90, V = 170.
constexpr uint8_t kChromaU = 90, kChromaV = 170;

struct Stream444 {
    AVCodecContext *ctx = nullptr;
    AVFrame *pic = av_frame_alloc();
    AVPacket *pkt = av_packet_alloc();
    Bytes header;
    Stream444(int w, int h)
    {
        const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
        if (!codec)
            return;
        ctx = avcodec_alloc_context3(codec);
        ctx->width = w, ctx->height = h, ctx->pix_fmt = AV_PIX_FMT_YUV444P;
        ctx->time_base = AVRational{1, 30}, ctx->max_b_frames = 0, ctx->thread_count = 1;
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
        av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
        av_opt_set(ctx->priv_data, "profile", "high444", 0);
        av_opt_set(ctx->priv_data, "x264-params", "log=-1", 0);
        pic->format = AV_PIX_FMT_YUV444P, pic->width = w, pic->height = h;
        if (avcodec_open2(ctx, codec, nullptr) < 0 || av_frame_get_buffer(pic, 0) < 0) {
            avcodec_free_context(&ctx);
            return;
        }
        Bytes pps; // SPS first, then PPS
        size_t pos = 0, off = 0, n = 0;
        while (annexb_next_nal(ctx->extradata, (size_t)ctx->extradata_size, &pos, &off, &n))
            annexb_append_nal((ctx->extradata[off] & 0x1F) == ANNEXB_NAL_SPS ? &header : &pps, ctx->extradata + off, n);
        header.insert(header.end(), pps.begin(), pps.end());
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
        EXPECT_GE(av_frame_make_writable(pic), 0);
        const uint8_t fill[3] = {100, kChromaU, kChromaV};
        for (int p = 0; p < 3; p++)
            for (int y = 0; y < pic->height; y++)
                std::memset(pic->data[p] + (size_t)y * pic->linesize[p], fill[p], (size_t)pic->width);
        bitblocks_write(pic->data[0], pic->linesize[0], nullptr, 0, nullptr, 0, pic->width, pic->height, frame, 0);
        pic->pts = frame;
        EXPECT_EQ(avcodec_send_frame(ctx, pic), 0);
        EXPECT_EQ(avcodec_receive_packet(ctx, pkt), 0);
        Bytes au = slices_only(pkt->data, (size_t)pkt->size);
        av_packet_unref(pkt);
        return au;
    }
};

struct FrameSeen {
    int planes, line[3], height;
    int width;       // the width announced last before this picture
    bool stamp;      // the bit-block stamp read back
    uint32_t number; // its frame number
    uint8_t u, v;    // chroma in the middle of the last chroma row
};

// Records the listener calls. A gate: the call for picture number block_at
// (0-based) waits until released; blocked tells the test it is waiting.
struct Recorder {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Size> sizes;
    std::vector<FrameSeen> frames;
    std::vector<char> order; // 's' size, 'f' frame, in call order
    Size current{0, 0};
    int block_at = -1;
    bool blocked = false, released = false, gate_expired = false;

    template <typename Pred>
    bool wait(Pred pred)
    {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_until(g, Clock::now() + kDeadline, [&] { return pred(); });
    }
    void release()
    {
        std::lock_guard<std::mutex> g(m);
        released = true;
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
    FrameSeen f{planes, {line[0], line[1], line[2]}, height, r->current.first, false, 0, 0, 0};
    uint64_t t = 0;
    f.stamp = bitblocks_read(p[0], line[0], f.width, height, &f.number, &t);
    const size_t crow = (size_t)(height + 1) / 2 - 1, ccol = (size_t)(f.width + 1) / 4;
    f.u = p[1][crow * line[1] + ccol];
    f.v = p[2][crow * line[2] + ccol];
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

// The decoder thread has taken every queued packet (nothing signals an empty queue).
bool wait_queue_taken(VideoDecoder *d)
{
    return wait_until([d] { return decoder_queue_length(d) == 0; });
}

// ---------------------------------------------------------------------------

// One sequence through the decoder's reconfigurations: packets before any
// configuration, pictures with an IDR in the middle, a configuration that
// discards what is queued, and an SPS of another size inside the stream.
TEST_F(Decoder, ConfigurationsAndSizeChanges)
{
    Stream420 a(1280, 720), b(640, 360);
    ASSERT_TRUE(a.ok() && b.ok()) << "libx264 encoder unavailable";
    for (uint32_t i = 900; i < 902; i++)
        submit(a.picture(i), i);
    ASSERT_TRUE(wait_queue_taken(d)); // so the configuration below does not discard them
    rec.block_at = 1;
    submit(a.header);
    submit(a.picture(0, true), 0);
    submit(a.picture(1), 1);
    ASSERT_TRUE(wait_blocked());
    for (uint32_t i = 2; i <= 6; i++)
        submit(a.picture(i, i == 4), i);
    EXPECT_EQ(decoder_queue_length(d), 5u);
    submit(a.header); // discards the five
    EXPECT_EQ(decoder_queue_length(d), 1u);
    submit(a.picture(7, true), 7);
    submit(a.picture(8), 8);
    submit(with_inband_header(b.header, b.picture(20, true)), 20);
    submit(b.picture(21), 21);
    rec.release();
    ASSERT_TRUE(wait_frames(6));
    EXPECT_EQ(numbers(), (std::vector<uint32_t>{0, 1, 7, 8, 20, 21}));
    std::lock_guard<std::mutex> g(rec.m);
    EXPECT_EQ(rec.sizes, (std::vector<Size>{{1280, 720}, {1280, 720}, {640, 360}}));
    EXPECT_EQ(std::string(rec.order.begin(), rec.order.end()), "sffsffsff");
    for (const FrameSeen &f : rec.frames) {
        EXPECT_EQ(f.planes, 3);
        EXPECT_EQ(f.height, f.width == 640 ? 360 : 720);
        EXPECT_GE(f.line[0], f.width);
        EXPECT_GE(f.line[1], (f.width + 1) / 2);
    }
}

// 4:4:4 pictures reach the listeners as planar 4:2:0 through the scaler,
// which follows size and format changes by configuration or in-band SPS.
TEST_F(Decoder, Yuv444ThroughTheScaler)
{
    Stream444 a(640, 360), b(320, 240);
    Stream420 c(480, 272);
    ASSERT_TRUE(a.ok() && b.ok() && c.ok()) << "libx264 without 4:4:4";
    submit(a.header);
    submit(a.picture(0), 0);
    submit(a.picture(1), 1);
    submit(with_inband_header(c.header, c.picture(10, true)), 10);
    submit(with_inband_header(b.header, b.picture(20)), 20);
    ASSERT_TRUE(wait_frames(4));
    submit(c.header); // a new configuration of another format and size
    submit(c.picture(30, true), 30);
    ASSERT_TRUE(wait_frames(5));
    EXPECT_EQ(numbers(), (std::vector<uint32_t>{0, 1, 10, 20, 30}));
    std::lock_guard<std::mutex> g(rec.m);
    EXPECT_EQ(rec.sizes, (std::vector<Size>{{640, 360}, {480, 272}, {320, 240}, {480, 272}}));
    for (int i : {0, 1, 3}) { // half-width chroma rows, the colour kept
        const FrameSeen &f = rec.frames[i];
        EXPECT_GE(f.line[1], f.width / 2) << i;
        EXPECT_LT(f.line[1], f.width) << i;
        EXPECT_EQ(f.line[1], f.line[2]);
        EXPECT_NEAR(f.u, kChromaU, 3) << i;
        EXPECT_NEAR(f.v, kChromaV, 3) << i;
    }
}

TEST_F(Decoder, ShortPacketsAreNotReadPastTheirEnd)
{
    Stream420 s(640, 360);
    ASSERT_TRUE(s.ok());
    submit(s.header);
    // Exact-size heap copies: the address sanitizer sees any read of byte 4
    // of a packet that has none.
    for (const char *h : {"", "00", "0000", "000001", "00000001", "0000000165"}) {
        Exact e(unhex(h));
        decoder_submit(d, e.p, (uint32_t)e.n, 900, 0, 0);
    }
    decoder_submit(d, nullptr, 100, 1, 0, 0); // ignored
    Bytes buf = s.picture(0);
    decoder_submit(d, buf.data(), (uint32_t)buf.size(), 0, 0, 0);
    std::fill(buf.begin(), buf.end(), 0xFF); // submit copies the bytes
    submit(s.picture(1), 1);
    ASSERT_TRUE(wait_frames(2));
    EXPECT_EQ(numbers(), (std::vector<uint32_t>{0, 1}));
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
    std::atomic<bool> entered{false};
    Clock::time_point returned;
    std::thread stopper([&] {
        entered = true;
        decoder_destroy(&d);
        returned = Clock::now();
    });
    ASSERT_TRUE(wait_until([&] { return entered.load(); }));
    auto released = Clock::now();
    rec.release();
    stopper.join();
    EXPECT_LT(returned - released, std::chrono::milliseconds(500));
    EXPECT_EQ(d, nullptr);
    std::lock_guard<std::mutex> g(rec.m);
    EXPECT_LT(rec.frames.size(), (size_t)kQueued + 1); // the queued pictures were not decoded

    VideoDecoder *idle = decoder_create(nullptr, nullptr); // right after create
    auto t0 = Clock::now();
    decoder_destroy(&idle);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
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
