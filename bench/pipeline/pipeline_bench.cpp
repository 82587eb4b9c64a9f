// kavri-pipeline-bench: the viewer's picture path measured end to end.
//
// Runs the real link (receiver, reassembly, acknowledgements, decoder thread)
// against a dongle on the network and draws every picture with the real
// VideoView into an SDL window, the way the viewer's UI thread does while
// pictures stream and the UI is idle: a new picture wakes the frame loop,
// which draws once per new picture and at no other time (the swaps are
// counted against the pictures shown).
// For each picture drawn it records, in microseconds of the steady clock:
//   receive  first fragment -> last fragment
//   decode   last fragment -> decoded picture (queue included)
//   draw     decoded -> uploaded and drawn
//   swap     drawn -> the swap returned
//   added    last fragment -> drawn (what the viewer adds to the network)
//   e2e      the device's send time, read back from the picture's bit
//            blocks, -> the swap returned (wall clock, milliseconds)
// and prints p50, p99 and max of each, pictures shown against pictures sent
// (by the stamps' frame numbers), the process's CPU seconds per picture shown
// (also without the software rasteriser's threads, which a GPU replaces) and
// its largest resident size. --upload direct|pbo forces the view's upload
// path (default: the one the driver gets).
//
// Run it inside a private network namespace with a display (scripts/bench
// does both): kavri-pipeline-bench --device 127.0.0.2 --seconds 20
#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include <arpa/inet.h>
#include <GL/gl.h>

#include "dongle_sim/bitblocks.h"
#include "base/clock.h"
#include "link/link.h"
#include "ui/gl_helpers.h"
#include "ui/video_view.h"

namespace {

struct Bench {
    VideoView *view = nullptr;
    uint32_t device = 0;  // network byte order
    std::atomic<bool> selected{false};
    std::atomic<int> width{0};  // the announced picture width
    std::mutex lock;
    std::condition_variable cv;
    VideoUploadPath view_path = VideoUploadPath::Direct;
    // frame number of the link -> the device's stamp (frame, send time)
    std::unordered_map<uint32_t, std::pair<uint32_t, uint64_t>> stamps;
};

struct Sample {
    double receive, decode, draw, swap, added, e2e;
};

void on_device(void *ctx, const DeviceRecord *rec)
{
    Bench *b = static_cast<Bench *>(ctx);
    if (!rec || rec->usb || rec->address.sa.sa_family != AF_INET || b->selected.load())
        return;
    if (rec->address.in4.sin_addr.s_addr != b->device)
        return;
    b->selected = true;
    link_select_target(link_global(), rec);
}

void on_size(void *ctx, int w, int h)
{
    Bench *b = static_cast<Bench *>(ctx);
    b->width = w;
    b->view->set_video_size(w, h);
}

void on_frame(void *ctx, int count, uint8_t *const *data, const int *line_sizes, int height)
{
    Bench *b = static_cast<Bench *>(ctx);
    const FrameTiming *t = decoder_picture_timing();
    uint32_t frame = 0;
    uint64_t sent_ms = 0;
    // The stamp scales with the picture: the reader needs its real width.
    const int width = b->width.load();
    const bool stamped = count == 3 && data && line_sizes && width > 0 && width <= line_sizes[0] &&
                         bitblocks_read(data[0], line_sizes[0], width, height, &frame, &sent_ms);
    b->view->take_frame(count, data, line_sizes, height);
    std::lock_guard<std::mutex> g(b->lock);
    if (t && stamped)
        b->stamps[t->frame] = {frame, sent_ms};
    b->cv.notify_one();
}

int no_adapters(void *, uint32_t *, int) { return 0; }

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t i = (size_t)(p * (double)(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// CPU seconds of this process's threads, all and those of the software
// rasteriser (named llvmpipe-N), from /proc.
void thread_cpu(double *all, double *raster)
{
    *all = *raster = 0;
    const double tick = (double)sysconf(_SC_CLK_TCK);
    DIR *d = opendir("/proc/self/task");
    if (!d)
        return;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string base = std::string("/proc/self/task/") + e->d_name;
        char comm[64] = {0};
        if (FILE *f = fopen((base + "/comm").c_str(), "r")) {
            if (!fgets(comm, sizeof comm, f))
                comm[0] = 0;
            fclose(f);
        }
        FILE *f = fopen((base + "/stat").c_str(), "r");
        if (!f)
            continue;
        char buf[1024];
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        fclose(f);
        buf[n] = 0;
        const char *p = strrchr(buf, ')');
        unsigned long long ut = 0, st = 0;
        // after ") " come fields 3..: state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
        if (p && sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) == 2) {
            double s = (double)(ut + st) / tick;
            *all += s;
            if (strncmp(comm, "llvmpipe", 8) == 0)
                *raster += s;
        }
    }
    closedir(d);
}

long rss_kb(const char *field)
{
    FILE *f = fopen("/proc/self/status", "r");
    if (!f)
        return 0;
    char line[256];
    long v = 0;
    size_t n = strlen(field);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, field, n) == 0)
            v = atol(line + n);
    fclose(f);
    return v;
}

void usage()
{
    fprintf(stderr, "usage: kavri-pipeline-bench [--device ADDR] [--seconds N] [--warmup N] [--label TEXT]\n"
                    "                            [--window WxH] [--samples FILE] [--upload direct|pbo]\n");
}

} // namespace

int main(int argc, char **argv)
{
    const char *device = "127.0.0.2";
    const char *label = "stream";
    const char *samples_path = nullptr;
    double seconds = 20, warmup = 3;
    int win_w = 800, win_h = 600;
    std::string upload = "auto";
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--device" && v) device = argv[++i];
        else if (a == "--seconds" && v) seconds = atof(argv[++i]);
        else if (a == "--warmup" && v) warmup = atof(argv[++i]);
        else if (a == "--label" && v) label = argv[++i];
        else if (a == "--samples" && v) samples_path = argv[++i];
        else if (a == "--upload" && v) upload = argv[++i];
        else if (a == "--window" && v && sscanf(argv[++i], "%dx%d", &win_w, &win_h) == 2) {}
        else { usage(); return 2; }
    }

    Bench bench;
    if (inet_pton(AF_INET, device, &bench.device) != 1) {
        usage();
        return 2;
    }
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        fprintf(stderr, "SDL: %s\n", SDL_GetError());
        return 1;
    }
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 2);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 1);
    SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
    SDL_Window *win = SDL_CreateWindow("KAVRI pipeline bench", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, win_w,
                                       win_h, SDL_WINDOW_OPENGL);
    SDL_GLContext gl = win ? SDL_GL_CreateContext(win) : nullptr;
    if (!gl) {
        fprintf(stderr, "window: %s\n", SDL_GetError());
        return 1;
    }
    SDL_GL_SetSwapInterval(1);
    gl_load_functions(nullptr);
    if (upload == "direct")
        bench.view = new VideoView(VideoUploadPath::Direct);
    else if (upload == "pbo")
        bench.view = new VideoView(VideoUploadPath::PixelBuffer);
    else
        bench.view = new VideoView();

    LinkOptions options{};
    options.adapters = no_adapters;
    options.no_initial_scan = 1;
    LinkContext *link = link_start(&options);
    if (!link) {
        fprintf(stderr, "the link did not start\n");
        return 1;
    }
    link_on_video_size(link, &bench, on_size);
    link_on_frame(link, &bench, on_frame);
    link_on_device(link, &bench, on_device);
    uint32_t subnet = bench.device & htonl(0xFFFFFF00u);
    link_set_subnets(link, &subnet, 1);

    std::vector<Sample> samples;
    uint32_t first_stamp = 0, last_stamp = 0;
    bool have_stamp = false;
    double cpu0 = 0, raster0 = 0;
    long rss_max = 0;
    uint64_t t_start = 0, t_measure = 0, t_end = 0, last_scan = 0;
    uint64_t swaps = 0, superseded0 = 0;
    const uint64_t begun = clock_steady_us();
    bool running = true;
    while (running) {
        SDL_Event ev;
        while (SDL_PollEvent(&ev))
            if (ev.type == SDL_QUIT)
                running = false;
        const uint64_t now = clock_steady_us();
        if (link_state(link) != LINK_STATE_STREAMING) {
            if (t_start == 0 && now - last_scan > 1000000) {
                bench.selected = false;
                link_scan(link);
                last_scan = now;
            }
        } else if (t_start == 0) {
            t_start = now;
            t_measure = t_start + (uint64_t)(warmup * 1e6);
            t_end = t_measure + (uint64_t)(seconds * 1e6);
        }
        if (t_start && now >= t_end)
            break;
        if (t_start == 0 && now - begun > 60000000ull) {
            fprintf(stderr, "no stream from %s\n", device);
            return 1;
        }
        const bool measuring = t_start && now >= t_measure;
        if (measuring && cpu0 == 0) {
            thread_cpu(&cpu0, &raster0);
            superseded0 = bench.view->superseded();
        }

        int w = 0, h = 0;
        SDL_GL_GetDrawableSize(win, &w, &h);
        VideoArea area{};
        if (bench.view->render(w, h, &area) != 1) {
            glViewport(0, 0, w, h);
            glClearColor(0.1f, 0.1f, 0.1f, 1.0f);
            glClear(GL_COLOR_BUFFER_BIT);
        }
        SDL_GL_SwapWindow(win);
        if (measuring)
            swaps++;
        const uint64_t swapped = clock_steady_us();
        const uint64_t wall = clock_wall_ms();

        FrameTiming t;
        uint64_t drawn_us = 0;
        if (measuring && bench.view->drew_new_picture(&t, &drawn_us)) {
            std::pair<uint32_t, uint64_t> stamp{0, 0};
            bool stamped = false;
            {
                std::lock_guard<std::mutex> g(bench.lock);
                auto it = bench.stamps.find(t.frame);
                if (it != bench.stamps.end()) {
                    stamp = it->second;
                    stamped = true;
                }
                if (bench.stamps.size() > 4096)
                    bench.stamps.clear();
            }
            Sample s{};
            s.receive = (double)(t.last_us - t.first_us) / 1000.0;
            s.decode = (double)(t.decoded_us - t.last_us) / 1000.0;
            s.draw = (double)(drawn_us - t.decoded_us) / 1000.0;
            s.swap = (double)(swapped - drawn_us) / 1000.0;
            s.added = (double)(drawn_us - t.last_us) / 1000.0;
            s.e2e = stamped ? (double)((int64_t)wall - (int64_t)stamp.second) : -1;
            samples.push_back(s);
            if (stamped) {
                if (!have_stamp)
                    first_stamp = stamp.first;
                have_stamp = true;
                last_stamp = stamp.first;
            }
        }
        if (measuring)
            rss_max = std::max(rss_max, rss_kb("VmRSS:"));

        // The viewer's loop while pictures stream and the UI is idle: the
        // next frame is for the next new picture (half a second at most, as
        // the viewer's idle beat).
        std::unique_lock<std::mutex> g(bench.lock);
        bench.cv.wait_for(g, std::chrono::milliseconds(500), [&] { return bench.view->has_new_picture(); });
    }
    const uint64_t superseded = bench.view->superseded() - superseded0;

    double cpu1 = 0, raster1 = 0;
    thread_cpu(&cpu1, &raster1);
    StreamStats stats;
    link_stream_stats(link, &stats);
    link_stop(&link);
    bench.view_path = bench.view->upload_path();
    delete bench.view;
    SDL_GL_DeleteContext(gl);
    SDL_DestroyWindow(win);
    SDL_Quit();

    if (samples.empty()) {
        fprintf(stderr, "no picture was drawn\n");
        return 1;
    }
    std::vector<double> col[6];
    for (const Sample &s : samples) {
        const double v[6] = {s.receive, s.decode, s.draw, s.swap, s.added, s.e2e};
        for (int i = 0; i < 6; i++)
            if (v[i] >= 0)
                col[i].push_back(v[i]);
    }
    const char *names[6] = {"receive", "decode", "draw", "swap", "added", "e2e"};
    const size_t shown = samples.size();
    const uint32_t sent = have_stamp ? last_stamp - first_stamp + 1 : 0;
    printf("label=%s\n", label);
    for (int i = 0; i < 6; i++)
        printf("%s_ms p50=%.2f p99=%.2f max=%.2f n=%zu\n", names[i], percentile(col[i], 0.5),
               percentile(col[i], 0.99), col[i].empty() ? 0.0 : *std::max_element(col[i].begin(), col[i].end()),
               col[i].size());
    printf("shown=%zu sent=%u swaps=%llu superseded=%llu upload=%s\n", shown, sent, (unsigned long long)swaps,
           (unsigned long long)superseded,
           bench.view_path == VideoUploadPath::PixelBuffer ? "pbo" : "direct");
    printf("cpu_s_per_frame=%.6f cpu_s_per_frame_without_raster=%.6f\n", (cpu1 - cpu0) / (double)shown,
           ((cpu1 - raster1) - (cpu0 - raster0)) / (double)shown);
    printf("rss_max_mb=%.1f\n", (double)rss_max / 1024.0);
    printf("fragments=%llu lost=%llu resent=%llu abandoned=%llu\n", (unsigned long long)stats.fragments,
           (unsigned long long)stats.lost, (unsigned long long)stats.resent, (unsigned long long)stats.abandoned);
    if (samples_path) {
        if (FILE *f = fopen(samples_path, "w")) {
            fprintf(f, "receive_ms,decode_ms,draw_ms,swap_ms,added_ms,e2e_ms\n");
            for (const Sample &s : samples)
                fprintf(f, "%.3f,%.3f,%.3f,%.3f,%.3f,%.0f\n", s.receive, s.decode, s.draw, s.swap, s.added, s.e2e);
            fclose(f);
        }
    }
    return 0;
}
