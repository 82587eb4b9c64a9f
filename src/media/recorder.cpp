#include "media/recorder.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

#include "base/clock.h"
#include "base/dynlib.h"
#include "media/sps_pps.h"

namespace {

// libavformat's functions the recorder uses, loaded with the first file.
struct Avformat {
    decltype(&avformat_alloc_output_context2) alloc_output_context2;
    decltype(&avformat_new_stream) new_stream;
    decltype(&avio_open) open;
    decltype(&avformat_write_header) write_header;
    decltype(&av_interleaved_write_frame) write_frame;
    decltype(&av_write_trailer) write_trailer;
    decltype(&avio_closep) closep;
    decltype(&avformat_free_context) free_context;
};

// Null when the library or one of its functions is missing.
const Avformat *avformat_api()
{
    static const Avformat *api = []() -> const Avformat * {
        static Avformat a{};
        void *lib = dynlib_open("libavformat.so." AV_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR));
        const bool ok = dynlib_find(lib, "avformat_alloc_output_context2", &a.alloc_output_context2) &&
                        dynlib_find(lib, "avformat_new_stream", &a.new_stream) && dynlib_find(lib, "avio_open", &a.open) &&
                        dynlib_find(lib, "avformat_write_header", &a.write_header) &&
                        dynlib_find(lib, "av_interleaved_write_frame", &a.write_frame) &&
                        dynlib_find(lib, "av_write_trailer", &a.write_trailer) &&
                        dynlib_find(lib, "avio_closep", &a.closep) &&
                        dynlib_find(lib, "avformat_free_context", &a.free_context);
        if (!ok)
            std::fprintf(stderr, "recording: libavformat.so.%d cannot be loaded: %s\n", LIBAVFORMAT_VERSION_MAJOR,
                         lib ? "a function is missing" : dlerror());
        return ok ? &a : nullptr;
    }();
    return api;
}

constexpr int NAL_SLICE = 1, NAL_IDR = 5, NAL_SPS = 7;
constexpr size_t kQueueCap = 64u << 20;
constexpr int64_t kAudioDriftMs = 100;

enum ItemKind { ITEM_CONFIG, ITEM_VIDEO, ITEM_AUDIO, ITEM_CUT, ITEM_STOP, ITEM_GAP };

struct Item {
    int kind;
    std::vector<uint8_t> bytes;
    uint64_t arrival_us;
    uint32_t channels, rate;
};

// The open file; the writer thread's alone.
struct Output {
    AVFormatContext *fmt = nullptr;
    AVStream *video = nullptr, *audio = nullptr;
    AVPacket *packet = nullptr;
    uint64_t t0_us = 0, last_us = 0;
    int64_t last_video_ms = -1;
    uint32_t channels = 0, rate = 0;
    bool audio_anchored = false;
    int64_t audio_base_ms = 0, audio_end_ms = 0;
    uint64_t audio_samples = 0;
    uint64_t pictures = 0;
    std::string path;
};

// Calls fn(type, offset of the NAL header byte) for each NAL unit behind a
// three- or four-byte start code until fn returns false.
template <typename Fn>
void each_nal(const uint8_t *d, size_t n, Fn fn)
{
    for (size_t i = 0; i + 3 < n; i++) {
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            if (!fn(d[i + 3] & 0x1F, i + 3))
                return;
            i += 2;
        }
    }
}

int first_nal_type(const uint8_t *d, size_t n)
{
    int type = -1;
    each_nal(d, n, [&](int t, size_t) {
        type = t;
        return false;
    });
    return type;
}

// Whether the picture's first slice is an IDR slice.
bool is_idr(const std::vector<uint8_t> &b)
{
    bool idr = false;
    each_nal(b.data(), b.size(), [&](int t, size_t) {
        if (t == NAL_IDR || t == NAL_SLICE) {
            idr = t == NAL_IDR;
            return false;
        }
        return true;
    });
    return idr;
}

// Where the first slice's start code begins, or 0 when there is none.
size_t slice_start(const uint8_t *d, size_t n)
{
    size_t at = 0;
    each_nal(d, n, [&](int t, size_t header) {
        if (t == NAL_IDR || t == NAL_SLICE) {
            at = header - 3;
            if (at > 0 && d[at - 1] == 0)
                at--;
            return false;
        }
        return true;
    });
    return at;
}

bool make_folders(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); i++) {
        if (i < path.size() && path[i] != '/')
            continue;
        std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

struct Recorder {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<Item> queue;     // lock
    size_t queued_bytes = 0;    // lock
    bool gap_pending = false;   // lock: a GAP item is queued
    bool quit = false;          // lock
    std::atomic<bool> armed{false};
    std::vector<uint8_t> config; // lock: the newest configuration packet
    uint32_t channels = 0, rate = 0; // lock: the announced sound format
    std::string folder;          // lock
    RecorderStatus status{};     // lock
    std::thread thread;

    // Writer thread.
    Output out;
    std::vector<uint8_t> file_config; // the configuration files are opened with
    bool gap = false;                 // pictures are dropped up to the next IDR
};

namespace {

void set_path(Recorder *r, const std::string &p)
{
    std::snprintf(r->status.path, sizeof r->status.path, "%s", p.c_str());
}

void close_file(Recorder *r)
{
    Output &o = r->out;
    if (!o.fmt)
        return;
    const Avformat *lavf = avformat_api();  // loaded: the file was opened
    lavf->write_trailer(o.fmt);
    lavf->closep(&o.fmt->pb);
    lavf->free_context(o.fmt);
    av_packet_free(&o.packet);
    // The pictures received and the time from the first to the last.
    std::printf("recording: closed %s: %llu pictures received, %.3f s\n", o.path.c_str(),
                (unsigned long long)o.pictures, (double)(o.last_us - o.t0_us) / 1e6);
    std::fflush(stdout);
    std::lock_guard<std::mutex> g(r->lock);
    r->status.file_open = false;
    r->status.files++;
    set_path(r, o.path);
    o = Output{};
}

// Stops recording after a failure to write.
void fail(Recorder *r, const char *what)
{
    Output &o = r->out;
    if (o.fmt) {
        const Avformat *lavf = avformat_api();
        if (o.fmt->pb)
            lavf->closep(&o.fmt->pb);
        lavf->free_context(o.fmt);
        av_packet_free(&o.packet);
    }
    std::string path = o.path;
    o = Output{};
    std::lock_guard<std::mutex> g(r->lock);
    r->armed = false;
    r->status.recording = false;
    r->status.file_open = false;
    r->status.wants_key_frame = false;
    std::snprintf(r->status.error, sizeof r->status.error, "%s", what);
    set_path(r, path);
}

int open_file(Recorder *r, uint64_t arrival_us)
{
    Output &o = r->out;
    std::string folder;
    uint32_t channels, rate;
    {
        std::lock_guard<std::mutex> g(r->lock);
        folder = r->folder;
        channels = r->channels;
        rate = r->rate;
    }
    char buf[1024];
    if (recorder_new_path(folder.c_str(), ".mkv", buf, sizeof buf) != 0)
        return -1;
    std::string path = buf;
    o.path = path;

    int width = 0, height = 0;
    if (h264_config_visible_size(r->file_config.data(), (uint32_t)r->file_config.size(), &width, &height) != 0 ||
        width < 1 || height < 1)
        return -1;
    const Avformat *lavf = avformat_api();
    if (!lavf || lavf->alloc_output_context2(&o.fmt, nullptr, "matroska", path.c_str()) < 0 || !o.fmt)
        return -1;
    o.packet = av_packet_alloc();
    o.video = lavf->new_stream(o.fmt, nullptr);
    if (!o.packet || !o.video)
        return -1;
    AVCodecParameters *vp = o.video->codecpar;
    vp->codec_type = AVMEDIA_TYPE_VIDEO;
    vp->codec_id = AV_CODEC_ID_H264;
    vp->width = width;
    vp->height = height;
    vp->extradata = (uint8_t *)av_mallocz(r->file_config.size() + AV_INPUT_BUFFER_PADDING_SIZE);
    if (!vp->extradata)
        return -1;
    std::memcpy(vp->extradata, r->file_config.data(), r->file_config.size());
    vp->extradata_size = (int)r->file_config.size();
    o.video->time_base = AVRational{1, 1000};

    if (channels >= 1 && channels <= 8 && rate >= 1000 && rate <= 384000) {
        o.audio = lavf->new_stream(o.fmt, nullptr);
        if (!o.audio)
            return -1;
        AVCodecParameters *ap = o.audio->codecpar;
        ap->codec_type = AVMEDIA_TYPE_AUDIO;
        ap->codec_id = AV_CODEC_ID_PCM_S16LE;
        av_channel_layout_default(&ap->ch_layout, (int)channels);
        ap->sample_rate = (int)rate;
        ap->bits_per_coded_sample = 16;
        ap->block_align = (int)channels * 2;
        o.audio->time_base = AVRational{1, 1000};
        o.channels = channels;
        o.rate = rate;
    }
    if (lavf->open(&o.fmt->pb, path.c_str(), AVIO_FLAG_WRITE) < 0)
        return -1;
    if (lavf->write_header(o.fmt, nullptr) < 0)
        return -1;
    o.t0_us = o.last_us = arrival_us;
    std::printf("recording: opened %s (%dx%d%s)\n", path.c_str(), width, height, o.audio ? ", sound" : "");
    std::fflush(stdout);
    std::lock_guard<std::mutex> g(r->lock);
    r->status.file_open = true;
    r->status.wants_key_frame = false;
    set_path(r, path);
    return 0;
}

// Timestamps are in the streams' time base (set to milliseconds; the muxer
// keeps it).
int write_packet(Output &o, AVStream *s, std::vector<uint8_t> &bytes, int64_t pts, int64_t duration, bool key)
{
    AVPacket *p = o.packet;
    av_packet_unref(p);
    p->data = bytes.data();
    p->size = (int)bytes.size();
    p->stream_index = s->index;
    p->pts = p->dts = av_rescale_q(pts, AVRational{1, 1000}, s->time_base);
    p->duration = av_rescale_q(duration, AVRational{1, 1000}, s->time_base);
    p->flags = key ? AV_PKT_FLAG_KEY : 0;
    int rc = avformat_api()->write_frame(o.fmt, p); // copies a packet it does not own
    p->data = nullptr;
    p->size = 0;
    return rc;
}

void video(Recorder *r, Item &it)
{
    bool idr = is_idr(it.bytes);
    if (r->gap && !idr)
        return;
    r->gap = false;
    Output &o = r->out;
    if (!o.fmt) {
        if (!idr || r->file_config.empty()) {
            std::lock_guard<std::mutex> g(r->lock);
            r->status.wants_key_frame = r->status.recording;
            return;
        }
        if (open_file(r, it.arrival_us) != 0) {
            fail(r, "the recording file cannot be written");
            return;
        }
    }
    int64_t ms = (int64_t)((it.arrival_us - o.t0_us) / 1000);
    if (it.arrival_us < o.t0_us || ms <= o.last_video_ms)
        ms = o.last_video_ms + 1;
    o.last_video_ms = ms;
    if (it.arrival_us > o.last_us)
        o.last_us = it.arrival_us;
    o.pictures++;
    if (it.bytes.size() > INT32_MAX || write_packet(o, o.video, it.bytes, ms, 0, idr) < 0)
        fail(r, "writing the recording failed");
}

void audio(Recorder *r, Item &it)
{
    Output &o = r->out;
    if (!o.fmt || !o.audio || it.channels != o.channels || it.rate != o.rate || it.arrival_us < o.t0_us)
        return;
    uint64_t samples = it.bytes.size() / ((size_t)o.channels * 2);
    if (samples == 0)
        return;
    it.bytes.resize(samples * o.channels * 2);
    int64_t now_ms = (int64_t)((it.arrival_us - o.t0_us) / 1000);
    int64_t expected = o.audio_base_ms + (int64_t)(o.audio_samples * 1000 / o.rate);
    if (!o.audio_anchored || expected - now_ms > kAudioDriftMs || now_ms - expected > kAudioDriftMs) {
        o.audio_anchored = true;
        o.audio_base_ms = std::max(now_ms, o.audio_end_ms);
        o.audio_samples = 0;
        expected = o.audio_base_ms;
    }
    o.audio_samples += samples;
    int64_t end = o.audio_base_ms + (int64_t)(o.audio_samples * 1000 / o.rate);
    if (expected < o.audio_end_ms)
        expected = o.audio_end_ms;
    if (end <= expected)
        end = expected + 1;
    o.audio_end_ms = end;
    if (write_packet(o, o.audio, it.bytes, expected, end - expected, true) < 0)
        fail(r, "writing the recording failed");
}

void handle(Recorder *r, Item &it)
{
    switch (it.kind) {
    case ITEM_CONFIG:
        if (it.bytes != r->file_config) {
            bool had = r->out.fmt != nullptr;
            close_file(r);
            r->file_config = std::move(it.bytes);
            if (had) {
                std::lock_guard<std::mutex> g(r->lock);
                r->status.wants_key_frame = r->status.recording;
            }
        }
        break;
    case ITEM_VIDEO:
        video(r, it);
        break;
    case ITEM_AUDIO:
        audio(r, it);
        break;
    case ITEM_GAP:
        r->gap = true;
        break;
    case ITEM_CUT:
    case ITEM_STOP:
        close_file(r);
        break;
    }
}

void writer_main(Recorder *r)
{
    for (;;) {
        Item it;
        {
            std::unique_lock<std::mutex> g(r->lock);
            r->wake.wait(g, [r] { return r->quit || !r->queue.empty(); });
            if (r->queue.empty())
                break;
            it = std::move(r->queue.front());
            r->queue.pop_front();
            r->queued_bytes -= it.bytes.size();
            if (it.kind == ITEM_GAP)
                r->gap_pending = false;
        }
        handle(r, it);
    }
    close_file(r);
}

// Under the lock. Pictures and sound beyond the cap are dropped; a picture
// dropped leaves a gap that only an IDR picture ends.
void push(Recorder *r, Item &&it)
{
    if (r->quit)
        return;
    if ((it.kind == ITEM_VIDEO || it.kind == ITEM_AUDIO) && r->queued_bytes + it.bytes.size() > kQueueCap) {
        if (it.kind == ITEM_VIDEO && !r->gap_pending) {
            r->gap_pending = true;
            r->status.wants_key_frame = true;
            r->queue.push_back(Item{ITEM_GAP, {}, 0, 0, 0});
            r->wake.notify_one();
        }
        return;
    }
    r->queued_bytes += it.bytes.size();
    r->queue.push_back(std::move(it));
    r->wake.notify_one();
}

} // namespace

Recorder *recorder_create(void)
{
    Recorder *r = new (std::nothrow) Recorder;
    if (!r)
        return nullptr;
    try {
        r->thread = std::thread(writer_main, r);
    } catch (const std::system_error &) {
        delete r;
        return nullptr;
    }
    pthread_setname_np(r->thread.native_handle(), "kavri-recorder");
    return r;
}

void recorder_destroy(Recorder **pr)
{
    if (!pr || !*pr)
        return;
    Recorder *r = *pr;
    *pr = nullptr;
    {
        std::lock_guard<std::mutex> g(r->lock);
        r->quit = true;
        r->armed = false;
        r->wake.notify_one();
    }
    if (r->thread.joinable())
        r->thread.join();
    delete r;
}

void recorder_on_packet(void *ctx, const uint8_t *au, uint32_t len, uint64_t arrival_us)
{
    Recorder *r = static_cast<Recorder *>(ctx);
    if (!r || !au || len < 4)
        return;
    // Configuration packets are rare and always kept; pictures only while
    // recording.
    bool armed = r->armed.load(std::memory_order_relaxed);
    int type = first_nal_type(au, len);
    if (type != NAL_SPS && !armed)
        return;
    if (arrival_us == 0)
        arrival_us = clock_steady_us();
    if (type != NAL_SPS) {
        Item it{ITEM_VIDEO, std::vector<uint8_t>(au, au + len), arrival_us, 0, 0}; // copied outside the lock
        std::lock_guard<std::mutex> g(r->lock);
        push(r, std::move(it));
        return;
    }
    std::lock_guard<std::mutex> g(r->lock);
    {
        // Parameter sets with a picture behind them: the sets are the
        // configuration, and the whole unit is also a picture.
        size_t slice = slice_start(au, len);
        r->config.assign(au, au + (slice ? slice : len));
        if (armed)
            push(r, Item{ITEM_CONFIG, r->config, 0, 0, 0});
        if (!slice || !armed)
            return;
    }
    push(r, Item{ITEM_VIDEO, std::vector<uint8_t>(au, au + len), arrival_us, 0, 0});
}

void recorder_on_pcm(void *ctx, const uint8_t *pcm, uint32_t n, uint32_t channels, uint32_t rate)
{
    Recorder *r = static_cast<Recorder *>(ctx);
    if (!r)
        return;
    if (n == 0 || !pcm) {
        std::lock_guard<std::mutex> g(r->lock);
        r->channels = channels;
        r->rate = channels ? rate : 0;
        return;
    }
    if (!r->armed.load(std::memory_order_relaxed) || channels == 0)
        return;
    uint64_t now = clock_steady_us();
    std::lock_guard<std::mutex> g(r->lock);
    push(r, Item{ITEM_AUDIO, std::vector<uint8_t>(pcm, pcm + n), now, channels, rate});
}

int recorder_start(Recorder *r, const char *folder)
{
    if (!r || !folder || !make_folders(folder))
        return -1;
    std::lock_guard<std::mutex> g(r->lock);
    if (r->status.recording)
        return 0;
    r->folder = folder;
    r->status.recording = true;
    r->status.wants_key_frame = true;
    r->status.started_us = clock_steady_us();
    r->status.error[0] = 0;
    // The parameter sets in force go first, so that the first IDR picture
    // opens a file even when no configuration comes after the start.
    if (!r->config.empty())
        push(r, Item{ITEM_CONFIG, r->config, 0, 0, 0});
    r->armed = true;
    return 0;
}

void recorder_stop(Recorder *r)
{
    if (!r)
        return;
    std::lock_guard<std::mutex> g(r->lock);
    r->armed = false;
    r->status.recording = false;
    r->status.wants_key_frame = false;
    push(r, Item{ITEM_STOP, {}, 0, 0, 0});
}

void recorder_cut(Recorder *r)
{
    if (!r)
        return;
    std::lock_guard<std::mutex> g(r->lock);
    if (!r->status.recording)
        return;
    r->status.wants_key_frame = true;
    push(r, Item{ITEM_CUT, {}, 0, 0, 0});
}

void recorder_status(Recorder *r, RecorderStatus *out)
{
    *out = RecorderStatus{};
    if (!r)
        return;
    std::lock_guard<std::mutex> g(r->lock);
    *out = r->status;
}

size_t recorder_file_name(int64_t t, const char *suffix, char *out, size_t cap)
{
    if (!out || cap == 0)
        return 0;
    time_t tt = (time_t)t;
    struct tm tm;
    if (!localtime_r(&tt, &tm))
        std::memset(&tm, 0, sizeof tm);
    int n = std::snprintf(out, cap, "%04d-%02d-%02d_%02d-%02d-%02d%s", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                          tm.tm_hour, tm.tm_min, tm.tm_sec, suffix ? suffix : "");
    if (n < 0)
        return 0;
    return (size_t)n < cap ? (size_t)n : cap - 1;
}

int recorder_new_path(const char *folder, const char *ext, char *out, size_t cap)
{
    if (!folder || !ext || !out || cap == 0 || !make_folders(folder))
        return -1;
    char name[64];
    recorder_file_name((int64_t)std::time(nullptr), "", name, sizeof name);
    for (int i = 1; i < 1000; i++) {
        std::string path = std::string(folder) + "/" + name + (i > 1 ? "-" + std::to_string(i) : "") + ext;
        if (access(path.c_str(), F_OK) == 0)
            continue;
        if (path.size() >= cap)
            return -1;
        std::memcpy(out, path.c_str(), path.size() + 1);
        return 0;
    }
    return -1;
}
