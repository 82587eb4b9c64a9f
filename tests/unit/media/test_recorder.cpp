// The recorder against the simulator's encoder: a file opens at the first IDR
// picture after the start (pictures before it are dropped), new parameter
// sets close it and the next IDR picture opens another, garbage from the
// link changes nothing, and libavformat reads back what was written.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "dongle_sim/sim_video.h"
#include "media/recorder.h"
#include "support/wait.h"

namespace {

struct Probe {
    int width = 0, height = 0, pictures = 0, sound = 0;
    bool first_key = false;
    int64_t last_ms = -1;
};

Probe probe(const std::string &path)
{
    Probe p;
    AVFormatContext *f = nullptr;
    if (avformat_open_input(&f, path.c_str(), nullptr, nullptr) < 0)
        return p;
    avformat_find_stream_info(f, nullptr);
    AVPacket *pkt = av_packet_alloc();
    while (av_read_frame(f, pkt) >= 0) {
        AVStream *s = f->streams[pkt->stream_index];
        if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            p.width = s->codecpar->width, p.height = s->codecpar->height;
            if (p.pictures++ == 0)
                p.first_key = pkt->flags & AV_PKT_FLAG_KEY;
            p.last_ms = av_rescale_q(pkt->pts, s->time_base, AVRational{1, 1000});
        } else {
            p.sound++;
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&f);
    return p;
}

// Encodes `count` pictures of w x h and hands them over 33 ms apart from
// *t_us, the codec header first, 10 ms of silence after each; pictures
// before `first` are not handed over, picture `idr` is forced to be IDR.
void stream(Recorder *r, int w, int h, int count, int first, int idr, uint64_t *t_us)
{
    SimVideoConfig vc;
    vc.width = w, vc.height = h, vc.fps = 30, vc.idr_interval_s = 0;
    SimVideo *v = nullptr;
    ASSERT_EQ(sim_video_create(&vc, &v), 0);
    size_t n = 0;
    const uint8_t *header = sim_video_codec_header(v, &n);
    recorder_on_packet(r, header, (uint32_t)n, *t_us);
    std::vector<uint8_t> au, pcm(1920);
    for (int i = 0; i < count; i++, *t_us += 33333) {
        ASSERT_EQ(sim_video_encode(v, (uint32_t)i, 0, i == idr, &au, nullptr), 0);
        if (i >= first)
            recorder_on_packet(r, au.data(), (uint32_t)au.size(), *t_us);
        recorder_on_pcm(r, pcm.data(), (uint32_t)pcm.size(), 2, 48000);
    }
    sim_video_destroy(&v);
}

} // namespace

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

    std::vector<Probe> files;
    for (const auto &e : std::filesystem::directory_iterator(std::string(dir) + "/KAVRI"))
        files.push_back(probe(e.path()));
    std::filesystem::remove_all(dir);
    ASSERT_EQ(files.size(), 2u);
    Probe a = files[0], b = files[1];
    if (a.width != 320)
        std::swap(a, b);
    EXPECT_EQ(a.width, 320);
    EXPECT_EQ(a.pictures, 7);
    EXPECT_TRUE(a.first_key);
    EXPECT_EQ(a.last_ms, 6 * 33333 / 1000);  // arrival times from the first picture
    EXPECT_GT(a.sound, 0);
    EXPECT_EQ(b.width, 160);
    EXPECT_EQ(b.pictures, 6);
    EXPECT_TRUE(b.first_key);
}
