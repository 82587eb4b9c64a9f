// Shared by the stress and soak tests: a listener record that keeps what the
// link reports (states, devices, decoded pictures read by their bit blocks),
// the process's thread count and resident memory, and time limits scaled for
// the slow sanitizer builds.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dongle_sim/bitblocks.h"
#include "base/clock.h"
#include "link/link.h"
#include "sim_process.h"

namespace stress {

// Time limits that are about work done by the link (connecting, decoding)
// grow by this factor in the sanitizer builds (KAVRI_STRESS_SLOW overrides
// it). Limits that the link's own timers define (the 4 s silence rule) get
// only a fixed allowance on top.
inline int slow_factor()
{
#if defined(__SANITIZE_THREAD__)
    int f = 4;
#elif defined(__SANITIZE_ADDRESS__)
    int f = 3;
#else
    int f = 1;
#endif
    if (const char *s = std::getenv("KAVRI_STRESS_SLOW"))
        f = std::atoi(s);
    return f < 1 ? 1 : f;
}
inline int scaled(int ms) { return ms * slow_factor(); }

// Threads of this process right now.
inline int thread_count()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                n++;
        closedir(d);
    }
    return n;
}

// Resident memory of this process in KiB (VmRSS), 0 when unreadable.
inline long rss_kib()
{
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

inline uint32_t ipv4(const char *ip)
{
    in_addr a;
    inet_pton(AF_INET, ip, &a);
    return a.s_addr;
}

inline int no_adapters(void *, uint32_t *, int) { return 0; }

// Everything the link reports, for the test to wait on. Pictures count only
// when their bit blocks read; `fresh` counts pictures newer than the last one
// counted (a reconnect to a restarted device starts its numbers again: call
// restart_numbers).
struct Probe {
    std::mutex m;
    std::condition_variable cv;
    std::vector<int> states;
    std::vector<DeviceRecord> devices;
    int width = 0, height = 0;
    uint32_t frames = 0, stamped = 0, fresh = 0, last_stamp = 0;
    bool stamps_in_order = true;
    bool keep_arrivals = false;
    std::vector<uint64_t> arrivals;  // wall-clock ms of each fresh picture (keep_arrivals)
    std::vector<uint32_t> shown;     // frame number of each fresh picture (keep_arrivals)
    // Called for each device report with the probe unlocked (for the UI's rule).
    std::function<void(const DeviceRecord &)> device_hook;

    static void on_state(void *c, int s)
    {
        auto *p = (Probe *)c;
        std::lock_guard<std::mutex> g(p->m);
        p->states.push_back(s);
        p->cv.notify_all();
    }
    static void on_device(void *c, const DeviceRecord *r)
    {
        auto *p = (Probe *)c;
        {
            std::lock_guard<std::mutex> g(p->m);
            p->devices.push_back(*r);
            p->cv.notify_all();
        }
        if (p->device_hook)
            p->device_hook(*r);
    }
    static void on_size(void *c, int w, int h)
    {
        auto *p = (Probe *)c;
        std::lock_guard<std::mutex> g(p->m);
        p->width = w;
        p->height = h;
        p->cv.notify_all();
    }
    static void on_frame(void *c, int, uint8_t *const *data, const int *linesize, int height)
    {
        auto *p = (Probe *)c;
        std::lock_guard<std::mutex> g(p->m);
        p->frames++;
        uint32_t frame;
        uint64_t t;
        if (p->width > 0 && bitblocks_read(data[0], linesize[0], p->width, height, &frame, &t)) {
            if (p->stamped && frame <= p->last_stamp) {
                p->stamps_in_order = false;
            } else {
                p->fresh++;
                if (p->keep_arrivals) {
                    p->arrivals.push_back(clock_wall_ms());
                    p->shown.push_back(frame);
                }
            }
            p->last_stamp = std::max(frame, p->last_stamp);
            p->stamped++;
        }
        p->cv.notify_all();
    }

    void attach(LinkContext *link)
    {
        link_on_state(link, this, on_state);
        link_on_device(link, this, on_device);
        link_on_video_size(link, this, on_size);
        link_on_frame(link, this, on_frame);
    }
    bool wait(int timeout_ms, const std::function<bool()> &pred)
    {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::milliseconds(timeout_ms), pred);
    }
    int last_state()
    {
        std::lock_guard<std::mutex> g(m);
        return states.empty() ? -1 : states.back();
    }
    uint32_t fresh_now()
    {
        std::lock_guard<std::mutex> g(m);
        return fresh;
    }
    // Waits for `count` fresh pictures beyond `from`.
    bool wait_fresh(uint32_t from, uint32_t count, int timeout_ms)
    {
        return wait(timeout_ms, [&] { return fresh >= from + count; });
    }
    void restart_numbers()
    {
        std::lock_guard<std::mutex> g(m);
        stamped = 0;
        last_stamp = 0;
        stamps_in_order = true;
    }
};

// A link without a first scan that reports to the probe, sound on (so both
// protocols carry their sound too).
inline LinkContext *start_link(Probe *probe)
{
    LinkOptions o{};
    o.adapters = no_adapters;
    o.no_initial_scan = 1;
    LinkContext *link = link_start(&o);
    if (link) {
        probe->attach(link);
        link_set_audio(link, 1);
    }
    return link;
}

// Scans 127.0.0.0/24 and returns the record of the device with this id
// (empty id when none answered within the limit).
inline DeviceRecord discover(LinkContext *link, Probe *probe, const std::string &id)
{
    uint32_t subnet = ipv4("127.0.0.0");
    link_set_subnets(link, &subnet, 1);
    link_scan(link);
    DeviceRecord found{};
    probe->wait(scaled(5000), [&] {
        for (auto &d : probe->devices)
            if (id == d.id) {
                found = d;
                return true;
            }
        return false;
    });
    // The scan thread ends soon after the last probe; the thread counts
    // below start from a link without it.
    wait_until(scaled(5000), [&] { return !link_scanning(link); });
    return found;
}

// The simulator's arguments for one device at ip: small pictures, the id
// "sim-<ip>".
inline std::vector<std::string> sim_args(const char *ip, const char *protocol, std::vector<std::string> more = {})
{
    std::vector<std::string> a = {"--bind", ip, "--protocol", protocol, "--size", "640x360",
                                  "--id", std::string("sim-") + ip};
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

// The thread count once it has held still for 300 ms (a thread that was
// told to end, such as a finished scan, may still be on its way out).
inline int settled_thread_count()
{
    int last = thread_count();
    uint64_t since = clock_steady_ms(), give_up = since + 5000;
    while (clock_steady_ms() < give_up) {
        wait_until(10, [] { return false; });
        int now = thread_count();
        if (now != last) {
            last = now;
            since = clock_steady_ms();
        } else if (clock_steady_ms() - since >= 300) {
            break;
        }
    }
    return last;
}

// The count before the link starts. A thread is made and joined first: the
// thread sanitizer starts a helper thread of its own at the first thread
// made, which must not be taken for one the link left behind.
inline int baseline_thread_count()
{
    std::thread([] {}).join();
    return settled_thread_count();
}

// Waits for the thread count to come back to `expected` (threads end a
// moment after they are told to).
inline bool threads_back_to(int expected, int timeout_ms)
{
    return wait_until(timeout_ms, [&] { return thread_count() == expected; });
}

}  // namespace stress
