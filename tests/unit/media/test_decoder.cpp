// The decoder thread and the recorder. Streams are made with libx264; every
// picture carries its frame number in the bit-block stamp, read back from the
// Y plane. A listener can hold the decoder thread inside a call until the
// test lets it go, so queue contents are known exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include "dongle_sim/annexb_file.h"
#include "dongle_sim/bitblocks.h"
#include "media/decoder.h"
#include "media/recorder.h"
#include "support/bytes.h"
#include "support/wait.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = std::chrono::seconds(20);

// An access unit that carries its own SPS and PPS behind an access unit
// delimiter, so it is no configuration packet (byte 4 is the delimiter's).
Bytes with_inband_header(const Bytes &header, const Bytes &picture)
{
    return cat({{0x00, 0x00, 0x00, 0x01, 0x09, 0xF0}, header, picture});
}

// A stream made with libx264: grey luma carrying the frame number in the
// bit-block stamp, flat chroma U = 90, V = 170; IDR pictures first and when
// asked for; pictures hold their slice NAL units only.
constexpr uint8_t kChromaU = 90, kChromaV = 170;

struct Stream {
    AVCodecContext *ctx = nullptr;
    AVFrame *pic = av_frame_alloc();
    AVPacket *pkt = av_packet_alloc();
    Bytes header; // SPS, then PPS
    Stream(int w, int h, AVPixelFormat fmt = AV_PIX_FMT_YUV420P, int slices = 1)
    {
        const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
        if (!codec)
            return;
        ctx = avcodec_alloc_context3(codec);
        ctx->width = w, ctx->height = h, ctx->pix_fmt = fmt, ctx->slices = slices;
        ctx->time_base = AVRational{1, 30}, ctx->max_b_frames = 0, ctx->thread_count = 1;
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
        av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
        av_opt_set(ctx->priv_data, "forced-idr", "1", 0);
        av_opt_set(ctx->priv_data, "x264-params", "log=-1", 0);
        pic->format = fmt, pic->width = w, pic->height = h;
        if (avcodec_open2(ctx, codec, nullptr) < 0 || av_frame_get_buffer(pic, 0) < 0) {
            avcodec_free_context(&ctx);
            return;
        }
        Bytes pps;
        size_t pos = 0, off = 0, n = 0;
        while (annexb_next_nal(ctx->extradata, (size_t)ctx->extradata_size, &pos, &off, &n))
            annexb_append_nal((ctx->extradata[off] & 0x1F) == ANNEXB_NAL_SPS ? &header : &pps, ctx->extradata + off, n);
        header.insert(header.end(), pps.begin(), pps.end());
    }
    ~Stream()
    {
        av_packet_free(&pkt);
        av_frame_free(&pic);
        avcodec_free_context(&ctx);
    }
    bool ok() const { return ctx != nullptr && !header.empty(); }
    Bytes picture(uint32_t frame, bool idr = false)
    {
        EXPECT_GE(av_frame_make_writable(pic), 0);
        const int chroma_rows = AV_CEIL_RSHIFT(pic->height, av_pix_fmt_desc_get(ctx->pix_fmt)->log2_chroma_h);
        const uint8_t fill[3] = {100, kChromaU, kChromaV};
        for (int p = 0; p < 3; p++)
            std::memset(pic->data[p], fill[p], (size_t)pic->linesize[p] * (p ? chroma_rows : pic->height));
        bitblocks_write(pic->data[0], pic->linesize[0], nullptr, 0, nullptr, 0, pic->width, pic->height, frame, 0);
        pic->pts = frame;
        pic->pict_type = idr ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        EXPECT_EQ(avcodec_send_frame(ctx, pic), 0);
        EXPECT_EQ(avcodec_receive_packet(ctx, pkt), 0);
        Bytes au;
        size_t pos = 0, off = 0, n = 0;
        while (annexb_next_nal(pkt->data, (size_t)pkt->size, &pos, &off, &n))
            if ((pkt->data[off] & 0x1F) >= 1 && (pkt->data[off] & 0x1F) <= 5)
                annexb_append_nal(&au, pkt->data + off, n);
        av_packet_unref(pkt);
        return au;
    }
};

struct FrameSeen {
    DecodedPicture *ref; // the reference the listener took
    bool same_planes;    // its planes are the ones the call handed out
};

// Records the listener calls, in log as "s<width>x<height>" for a size and
// "f<stamp number>" for a picture, marked when its planes are not planar
// 4:2:0 of the size announced last with the streams' chroma. A gate: the call
// for picture number block_at (0-based) waits until released.
struct Listener {
    std::mutex m;
    std::condition_variable cv;
    std::vector<FrameSeen> frames;
    std::string log;
    int width = 0, height = 0;
    int block_at = -1;
    bool blocked = false, released = false, gate_expired = false;

    ~Listener()
    {
        for (FrameSeen &f : frames)
            picture_release(&f.ref);
    }
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
    auto *r = static_cast<Listener *>(ctx);
    std::lock_guard<std::mutex> g(r->m);
    r->log += "s" + std::to_string(w) + "x" + std::to_string(h) + " ";
    r->width = w, r->height = h;
    r->cv.notify_all();
}

void on_frame(void *ctx, int planes, uint8_t *const *p, const int *line, int height)
{
    auto *r = static_cast<Listener *>(ctx);
    std::unique_lock<std::mutex> g(r->m);
    const int w = r->width;
    uint32_t number = 0;
    uint64_t t = 0;
    const bool stamp = bitblocks_read(p[0], line[0], w, height, &number, &t);
    const size_t crow = (size_t)(height + 1) / 2 - 1, ccol = (size_t)(w + 1) / 4;
    const bool planar = planes == 3 && height == r->height && line[0] >= w && line[1] >= (w + 1) / 2 &&
                        line[1] < w && line[1] == line[2] && std::abs(p[1][crow * line[1] + ccol] - kChromaU) <= 3 &&
                        std::abs(p[2][crow * line[2] + ccol] - kChromaV) <= 3;
    r->log += "f" + (stamp ? std::to_string(number) : "?") + (planar ? " " : "(not planar 4:2:0) ");
    FrameSeen f{decoder_picture_ref(), false};
    PicturePlanes pp;
    f.same_planes = picture_planes(f.ref, &pp) && pp.data[0] == p[0] && pp.width == w;
    r->frames.push_back(f);
    r->cv.notify_all();
    if ((int)r->frames.size() - 1 == r->block_at) {
        r->blocked = true;
        r->cv.notify_all();
        if (!r->cv.wait_until(g, Clock::now() + kDeadline, [r] { return r->released; }))
            r->gate_expired = true;
    }
}

// "WxH, N pictures, key first, last at T ms, sound" as libavformat reads the file.
std::string probe(const std::string &path)
{
    AVFormatContext *f = nullptr;
    if (avformat_open_input(&f, path.c_str(), nullptr, nullptr) < 0)
        return "unreadable";
    avformat_find_stream_info(f, nullptr);
    AVPacket *pkt = av_packet_alloc();
    int pictures = 0, sound = 0;
    std::string size, key, last;
    while (av_read_frame(f, pkt) >= 0) {
        AVStream *s = f->streams[pkt->stream_index];
        if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            size = std::to_string(s->codecpar->width) + "x" + std::to_string(s->codecpar->height);
            if (pictures++ == 0)
                key = pkt->flags & AV_PKT_FLAG_KEY ? ", key first" : ", no key first";
            last = ", last at " + std::to_string(av_rescale_q(pkt->pts, s->time_base, AVRational{1, 1000})) + " ms";
        } else {
            sound++;
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&f);
    return size + ", " + std::to_string(pictures) + " pictures" + key + last + (sound ? ", sound" : "");
}

// Hands `count` pictures of w x h to the recorder 33 ms apart from *t_us, the
// codec header first, 10 ms of silence after each; pictures before `first` are
// not handed over, picture `idr` is an IDR picture (so is picture 0).
void stream(Recorder *r, int w, int h, int count, int first, int idr, uint64_t *t_us)
{
    Stream s(w, h);
    ASSERT_TRUE(s.ok());
    recorder_on_packet(r, s.header.data(), (uint32_t)s.header.size(), *t_us);
    std::vector<uint8_t> pcm(1920);
    for (int i = 0; i < count; i++, *t_us += 33333) {
        Bytes au = s.picture((uint32_t)i, i == idr);
        if (i >= first)
            recorder_on_packet(r, au.data(), (uint32_t)au.size(), *t_us);
        recorder_on_pcm(r, pcm.data(), (uint32_t)pcm.size(), 2, 48000);
    }
}

class Decoder : public ::testing::Test {
protected:
    VideoSizeListeners size_listeners;
    FrameListeners frame_listeners;
    Listener rec;
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
};

} // namespace

// One sequence through the decoder's reconfigurations: packets before any
// configuration, packets too short to be anything, pictures with an IDR in the middle, a configuration that
// discards what is queued, an SPS of another size inside the stream, then 4:4:4
// pictures, which reach the listeners as planar 4:2:0 through the scaler; the
// scaler follows size and format changes by configuration or in-band SPS.
// Held references of each path stay intact past later pictures and past the
// decoder. With several slices a picture (slice threads), the last picture
// still comes out for its own packet, not a packet later.
TEST_F(Decoder, ConfigurationsSizeAndFormatChanges)
{
    Stream a(1280, 720), b(640, 360), c(480, 272, AV_PIX_FMT_YUV420P, 4), x(320, 240, AV_PIX_FMT_YUV444P),
        y(640, 360, AV_PIX_FMT_YUV444P);
    ASSERT_TRUE(a.ok() && b.ok() && c.ok() && x.ok() && y.ok()) << "libx264 (with 4:4:4) unavailable";
    for (uint32_t i = 900; i < 902; i++)
        submit(a.picture(i), i);
    // The decoder thread has taken them, so the configuration below does not discard them.
    ASSERT_TRUE(wait_until([&] { return decoder_queue_length(d) == 0; }));
    rec.block_at = 1;
    submit(a.header);
    // Exact-size heap copies: the address sanitizer sees any read of byte 4
    // of a packet that has none.
    for (const char *h : {"", "00", "0000", "000001", "00000001", "0000000165"}) {
        Exact e(unhex(h));
        decoder_submit(d, e.p, (uint32_t)e.n, 900, 0, 0);
    }
    decoder_submit(d, nullptr, 100, 1, 0, 0); // ignored
    Bytes buf = a.picture(0, true);
    submit(buf, 0);
    std::fill(buf.begin(), buf.end(), 0xFF); // submit copies the bytes
    submit(a.picture(1), 1);
    ASSERT_TRUE(rec.wait([&] { return rec.blocked; }));
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
    submit(x.header);
    submit(x.picture(30), 30);
    submit(x.picture(31), 31);
    submit(with_inband_header(c.header, c.picture(40, true)), 40);
    submit(with_inband_header(y.header, y.picture(50)), 50);
    ASSERT_TRUE(wait_frames(10));
    submit(c.header); // a new configuration of another format and size
    submit(c.picture(60, true), 60);
    ASSERT_TRUE(wait_frames(11));
    decoder_destroy(&d);
    std::lock_guard<std::mutex> g(rec.m);
    EXPECT_EQ(rec.log, "s1280x720 f0 f1 s1280x720 f7 f8 s640x360 f20 f21 s320x240 f30 f31 s480x272 f40 s640x360 f50 "
                       "s480x272 f60 ");
    std::string held;
    for (const FrameSeen &f : rec.frames) {
        PicturePlanes p;
        uint32_t number = 0;
        uint64_t t = 0;
        const bool ok = f.same_planes && picture_planes(f.ref, &p) &&
                        bitblocks_read(p.data[0], p.line_sizes[0], p.width, p.height, &number, &t);
        held += (ok ? std::to_string(number) : "?") + " ";
    }
    EXPECT_EQ(held, "0 1 7 8 20 21 30 31 40 50 60 ");
}

TEST_F(Decoder, DestroyWhileDecodingReturnsAfterThatPacket)
{
    Stream s(1280, 720);
    ASSERT_TRUE(s.ok());
    rec.block_at = 0;
    submit(s.header);
    for (uint32_t i = 0; i <= 30; i++)
        submit(s.picture(i), i);
    ASSERT_TRUE(rec.wait([&] { return rec.blocked; }));
    std::atomic<bool> entered{false};
    std::thread stopper([&] {
        entered = true;
        decoder_destroy(&d);
    });
    ASSERT_TRUE(wait_until([&] { return entered.load(); }));
    rec.release();
    stopper.join();
    EXPECT_EQ(d, nullptr);
    std::lock_guard<std::mutex> g(rec.m);
    EXPECT_LT(rec.frames.size(), 31u); // the queued pictures were not decoded

    VideoDecoder *idle = decoder_create(nullptr, nullptr); // right after create
    auto t0 = Clock::now();
    decoder_destroy(&idle);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
}

// A file opens at the first IDR picture after the start (pictures before it
// are dropped), new parameter sets close it and the next IDR picture opens
// another, garbage from the link changes nothing; libavformat reads it back.
TEST(Recorder, FilesOpenAtIdrPicturesAndCloseAtNewParameterSets)
{
    char dir[] = "/tmp/kavri-recorder.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    Recorder *r = recorder_create();
    ASSERT_NE(r, nullptr);
    const uint8_t junk[] = {0, 0, 0, 1, 0x41, 0x88, 0, 0, 1, 0x67};
    uint64_t t = 1000000;
    recorder_on_pcm(r, nullptr, 0, 2, 48000);
    stream(r, 320, 240, 3, 0, 0, &t);  // before the start: nothing is written
    ASSERT_EQ(recorder_start(r, (std::string(dir) + "/KAVRI").c_str()), 0);
    for (uint32_t n = 0; n <= sizeof junk; n++)  // cut-off and garbage units before a key frame
        recorder_on_packet(r, junk, n, t);
    recorder_on_packet(r, nullptr, 5, t);
    recorder_on_pcm(r, junk, 3, 9, 1);
    stream(r, 320, 240, 12, 1, 5, &t);  // P pictures, then an IDR picture at 5
    stream(r, 160, 120, 6, 0, 0, &t);   // new parameter sets, IDR first
    recorder_stop(r);
    RecorderStatus st{};
    EXPECT_TRUE(wait_until([&] { return recorder_status(r, &st), st.files >= 2; }));
    recorder_destroy(&r);
    EXPECT_EQ(st.files * 10 + st.recording, 20u);
    EXPECT_STREQ(st.error, "");

    // Arrival times count from the first picture of each file.
    std::vector<std::string> files;
    for (const auto &e : std::filesystem::directory_iterator(std::string(dir) + "/KAVRI"))
        files.push_back(probe(e.path()));
    std::filesystem::remove_all(dir);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"160x120, 6 pictures, key first, last at 166 ms, sound",
                                               "320x240, 7 pictures, key first, last at 199 ms, sound"}));
}
