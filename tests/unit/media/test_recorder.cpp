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

    // Arrival times count from the first picture of each file.
    std::vector<std::string> files;
    for (const auto &e : std::filesystem::directory_iterator(std::string(dir) + "/KAVRI"))
        files.push_back(probe(e.path()));
    std::filesystem::remove_all(dir);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"160x120, 6 pictures, key first, last at 166 ms, sound",
                                               "320x240, 7 pictures, key first, last at 199 ms, sound"}));
}
