// The scan thread: one pass of USB detection and discovery probes to every
// host of each local /24 network and of each extra network. Answers arrive on
// the receiver thread.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/clock.h"
#include "link/link_context.h"
#include "protocol/wire.h"

int link_default_adapters(void *, uint32_t *addresses, int max)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return 0;
    // The last IPv4 address of each adapter that is up and not loopback.
    std::vector<std::pair<std::string, uint32_t>> found;
    for (ifaddrs *a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET)
            continue;
        if ((a->ifa_flags & IFF_LOOPBACK) || !(a->ifa_flags & IFF_UP) || !(a->ifa_flags & IFF_RUNNING))
            continue;
        uint32_t addr = ((const sockaddr_in *)a->ifa_addr)->sin_addr.s_addr;
        bool known = false;
        for (auto &f : found)
            if (f.first == a->ifa_name) {
                f.second = addr;
                known = true;
            }
        if (!known)
            found.emplace_back(a->ifa_name, addr);
    }
    freeifaddrs(list);
    int n = 0;
    for (auto &f : found)
        if (n < max)
            addresses[n++] = f.second;
    return n;
}

static bool same_24(uint32_t a, uint32_t b)
{
    // Network byte order in memory: the first three bytes are a.b.c.
    return std::memcmp(&a, &b, 3) == 0;
}

void scan_thread_main(LinkContext *l)
{
    listeners_call(&l->scan_started_listeners);
    if (l->options.usb_detect)
        l->options.usb_detect(l);

    std::vector<uint32_t> nets;
    uint32_t adapters[64];
    int na = l->options.adapters(l->options.adapters_context, adapters, 64);
    for (int i = 0; i < na && i < 64; i++)
        nets.push_back(adapters[i]);
    {
        std::lock_guard<std::mutex> g(l->subnet_lock);
        for (int i = 0; i < l->subnet_count; i++) {
            bool dup = false;
            for (uint32_t n : nets)
                dup = dup || same_24(n, l->subnets[i]);
            if (!dup)
                nets.push_back(l->subnets[i]);
        }
    }

    for (int h = 1; h <= 254 && !l->stop_all.load(); h++) {
        for (uint32_t net : nets) {
            uint32_t dest = net;
            ((uint8_t *)&dest)[3] = (uint8_t)h;
            if (dest == net)
                continue;  // the adapter's own address
            char probe[64];
            int len = wire_build_probe(probe, sizeof probe, l->viewer_port, (int64_t)clock_wall_ms(),
                                       wire_tz_field());
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(WIRE_PORT_DISCOVERY);
            to.sin_addr.s_addr = dest;
            if (len > 0 && l->udp_ok)
                net_udp_send_to(&l->udp, (const uint8_t *)probe, (size_t)len, (const sockaddr *)&to);
        }
        if (h % 10 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    listeners_call(&l->scan_finished_listeners);
    l->scanning = 0;
}
