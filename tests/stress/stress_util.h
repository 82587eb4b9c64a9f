// Shared by the stress and soak tests.
#pragma once

#include <dirent.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/audio_output.h"
#include "platform/fake/audio_output_fake.h"
#include "sim_process.h"
#include "support/link_probe.h"

namespace stress {

// Limits grow by this factor in the sanitizer builds (or KAVRI_STRESS_SLOW).
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

inline int thread_count()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

inline long rss_kib()
{
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

struct FakeAudio {
    FakeAudio()
    {
        audio_output_use_fake(true);
        audio_output_fake_reset();
    }
    ~FakeAudio() { audio_output_use_fake(false); }
};

inline const char *ip_for(const char *proto) { return proto[0] == '2' ? "127.0.0.3" : "127.0.0.2"; }
inline std::string proto_name(const ::testing::TestParamInfo<const char *> &i)
{
    return std::string("Protocol") + i.param;
}

// Scans 127.0.0.0/24 for the device with this id (empty id: no answer).
inline DeviceRecord discover(LinkContext *link, LinkProbe *probe, const std::string &id)
{
    uint32_t subnet = ipv4("127.0.0.0");
    link_set_subnets(link, &subnet, 1);
    link_scan(link);
    DeviceRecord found = probe->wait_device(id, scaled(5000));
    // The thread counts below start from a link without the scan thread.
    wait_until(scaled(5000), [&] { return !link_scanning(link); });
    return found;
}

inline std::vector<std::string> sim_args(const char *ip, const char *protocol, std::vector<std::string> more = {})
{
    std::vector<std::string> a = {"--bind", ip, "--protocol", protocol, "--size", "640x360",
                                  "--id", std::string("sim-") + ip};
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

// The thread count once it has held still for 300 ms (a thread told to end
// may still be on its way out).
inline int settled_thread_count()
{
    int last = thread_count();
    uint64_t since = clock_steady_ms(), give_up = since + 5000;
    while (clock_steady_ms() < give_up && clock_steady_ms() - since < 300) {
        wait_until(10, [] { return false; });
        if (int now = thread_count(); now != last)
            last = now, since = clock_steady_ms();
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

inline bool threads_back_to(int expected, int timeout_ms)
{
    return wait_until(timeout_ms, [&] { return thread_count() == expected; });
}

inline void stop_promptly(LinkContext **link, int threads_before)
{
    uint64_t s0 = clock_steady_ms();
    link_stop(link);
    EXPECT_LE(clock_steady_ms() - s0, (uint64_t)scaled(1500)) << "link_stop took long";
    EXPECT_TRUE(threads_back_to(threads_before, scaled(2000)))
        << thread_count() << " threads, " << threads_before << " before the link started";
}

}  // namespace stress
