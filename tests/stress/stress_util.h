// Shared by the stress and soak tests: the process's thread count and
// resident memory, and time limits scaled for the slow sanitizer builds.
#pragma once

#include <dirent.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sim_process.h"
#include "support/link_probe.h"

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

using Probe = LinkProbe;
inline LinkContext *start_link(Probe *probe) { return start_probed_link(probe); }

// Scans 127.0.0.0/24 and returns the record of the device with this id
// (empty id when none answered within the limit).
inline DeviceRecord discover(LinkContext *link, Probe *probe, const std::string &id)
{
    uint32_t subnet = ipv4("127.0.0.0");
    link_set_subnets(link, &subnet, 1);
    link_scan(link);
    DeviceRecord found = probe->wait_device(id, scaled(5000));
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
