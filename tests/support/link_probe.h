// What the real link reports, for the tests to wait on. Pictures count as
// stamped when their bit blocks read; `fresh` counts those newer than any before.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "dongle_sim/bitblocks.h"
#include "link/link.h"

struct LinkProbe {
    std::mutex m;
    std::condition_variable cv;
    std::vector<int> states, admitted;
    std::vector<DeviceRecord> devices;
    int scans_started = 0, scans_finished = 0;
    int width = 0, height = 0, size_reports = 0;
    uint32_t frames = 0, stamped = 0, fresh = 0, last_stamp = 0;
    bool stamps_in_order = true, keep_arrivals = false;
    std::vector<uint64_t> arrivals;  // wall-clock ms of each fresh picture (keep_arrivals)
    std::vector<uint32_t> shown;     // frame number of each fresh picture (keep_arrivals)
    // Called for each device report with the probe unlocked (the UI's rule).
    std::function<void(const DeviceRecord &)> device_hook;

    template <class F> static void locked(void *c, F f)
    {
        auto *p = (LinkProbe *)c;
        std::lock_guard<std::mutex> g(p->m);
        f(*p);
        p->cv.notify_all();
    }
    static void on_frame(void *c, int, uint8_t *const *data, const int *linesize, int height)
    {
        locked(c, [&](LinkProbe &p) {
            p.frames++;
            uint32_t frame;
            uint64_t t;
            if (p.width <= 0 || !bitblocks_read(data[0], linesize[0], p.width, height, &frame, &t))
                return;
            if (p.stamped && frame <= p.last_stamp) {
                p.stamps_in_order = false;
            } else {
                p.fresh++;
                if (p.keep_arrivals) {
                    p.arrivals.push_back(clock_wall_ms());
                    p.shown.push_back(frame);
                }
            }
            p.last_stamp = std::max(frame, p.last_stamp);
            p.stamped++;
        });
    }
    void attach(LinkContext *link)
    {
        link_on_state(link, this, [](void *c, int s) { locked(c, [&](LinkProbe &p) { p.states.push_back(s); }); });
        link_on_admitted(link, this, [](void *c, int a) { locked(c, [&](LinkProbe &p) { p.admitted.push_back(a); }); });
        link_on_scan_started(link, this, [](void *c) { locked(c, [](LinkProbe &p) { p.scans_started++; }); });
        link_on_scan_finished(link, this, [](void *c) { locked(c, [](LinkProbe &p) { p.scans_finished++; }); });
        link_on_device(link, this, [](void *c, const DeviceRecord *r) {
            locked(c, [&](LinkProbe &p) { p.devices.push_back(*r); });
            if (((LinkProbe *)c)->device_hook)
                ((LinkProbe *)c)->device_hook(*r);
        });
        link_on_video_size(link, this, [](void *c, int w, int h) {
            locked(c, [&](LinkProbe &p) { p.width = w, p.height = h, p.size_reports++; });
        });
        link_on_frame(link, this, on_frame);
    }
    bool wait(int timeout_ms, const std::function<bool()> &pred)
    {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::milliseconds(timeout_ms), pred);
    }
    bool wait_state(int state, int timeout_ms)
    {
        return wait(timeout_ms, [&] { return !states.empty() && states.back() == state; });
    }
    template <class T> T get(T LinkProbe::*field)
    {
        std::lock_guard<std::mutex> g(m);
        return this->*field;
    }
    int count_state(int state)
    {
        auto s = get(&LinkProbe::states);
        return (int)std::count(s.begin(), s.end(), state);
    }
    int last_state()
    {
        auto s = get(&LinkProbe::states);
        return s.empty() ? -1 : s.back();
    }
    uint32_t fresh_now() { return get(&LinkProbe::fresh); }
    bool wait_fresh(uint32_t from, uint32_t count, int timeout_ms)
    {
        return wait(timeout_ms, [&] { return fresh >= from + count; });
    }
    // For a device that numbers its pictures from 1 again (all: and a new link).
    void restart_numbers(bool all = false)
    {
        std::lock_guard<std::mutex> g(m);
        stamped = last_stamp = 0;
        stamps_in_order = true;
        if (all) {
            states.clear();
            admitted.clear();
            devices.clear();
            frames = 0;
        }
    }
    void reset() { restart_numbers(true); }
    // The first reported device with this id within the limit (empty id: none).
    DeviceRecord wait_device(const std::string &id, int timeout_ms)
    {
        DeviceRecord found{};
        wait(timeout_ms, [&] {
            for (auto &d : devices)
                if (id == d.id)
                    return found = d, true;
            return false;
        });
        return found;
    }
};

inline uint32_t ipv4(const char *ip)
{
    in_addr a;
    inet_pton(AF_INET, ip, &a);
    return a.s_addr;
}

inline int no_adapters(void *, uint32_t *, int) { return 0; }

// A link without a first scan that reports to the probe (if any), sound on.
// Without an adapter source of its own it sees no real interface.
inline LinkContext *start_probed_link(LinkProbe *probe, LinkOptions o = {})
{
    o.no_initial_scan = 1;
    o.adapters = o.adapters ? o.adapters : no_adapters;
    LinkContext *link = link_start(&o);
    if (link && probe) {
        probe->attach(link);
        link_set_audio(link, 1);
    }
    return link;
}

// A record for a device that is not scanned.
inline DeviceRecord record_at(const char *ip, int generation, uint16_t port = 36459)
{
    DeviceRecord r{};
    r.address.in4.sin_family = AF_INET;
    r.address.in4.sin_port = htons(port);
    r.address.in4.sin_addr.s_addr = ipv4(ip);
    r.version[0] = (uint8_t)generation;
    return r;
}
