// Targets selected on the link's own threads (discovery answers, USB
// detection) while the operator connects and disconnects: the connection has
// one owner, and nothing starts a connection once the link stops.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "link/link_context.h"
#include "protocol/wire.h"
#include "stress_util.h"

namespace {

using namespace stress;

// USB detection finds one dongle at every scan; its transport holds the
// connection until told to stop.
void detect_usb(LinkContext *link)
{
    DeviceRecord r{};
    r.usb = 1;
    std::snprintf(r.id, sizeof r.id, "usb-stress");
    link_report_device(link, &r);
}

void hold_usb(LinkContext *link)
{
    while (!link->stop_control.load() && !link->stop_all.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

// A protocol-1 dongle at 127.0.0.9 with nothing behind its answers, sent about
// once a millisecond: each selects it, and the link is idle again at once.
void flood_answers(const std::atomic<bool> *go_on)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in from = record_at("127.0.0.9", 1, WIRE_PORT_DISCOVERY).address.in4;
    const sockaddr_in to = record_at("127.0.0.1", 1, WIRE_PORT_VIEWER).address.in4;
    ASSERT_EQ(bind(fd, (const sockaddr *)&from, sizeof from), 0);
    WireAnswerFields f{};
    f.id = "flood", f.mds = "KAVRI Viewer", f.ip = "127.0.0.9", f.version = "1.0.0.0";
    char text[512];
    int len = wire_build_answer(text, sizeof text, &f);
    ASSERT_GT(len, 0);
    while (go_on->load()) {
        sendto(fd, text, (size_t)len, 0, (const sockaddr *)&to, sizeof to);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    close(fd);
}

TEST(Selection, LinkThreadsSelectWhileTheOperatorConnectsAndDisconnects)
{
    FakeAudio audio;
    SimProcess one, two;
    ASSERT_TRUE(sim_start(&one, sim_args("127.0.0.2", "1")));
    ASSERT_TRUE(sim_start(&two, sim_args("127.0.0.3", "2")));
    const int threads_before = baseline_thread_count();

    LinkProbe probe;
    LinkOptions o{};
    o.usb_detect = detect_usb;
    o.usb_transport = hold_usb;
    LinkContext *link = start_probed_link(&probe, o);
    ASSERT_NE(link, nullptr);
    // The user interface's rule: a dongle reported while idle is selected.
    std::atomic<bool> idle_rule{true};
    probe.device_hook = [&](const DeviceRecord &r) {
        if (idle_rule.load() && !link_connected(link))
            link_select_target(link, &r);
    };
    DeviceRecord p1 = discover(link, &probe, "sim-127.0.0.2");
    DeviceRecord p2 = discover(link, &probe, "sim-127.0.0.3");
    ASSERT_TRUE(p1.id[0] && p2.id[0]);

    // Scans one after another while the operator connects and disconnects.
    std::atomic<bool> scanning{true};
    std::thread scans([&] {
        while (scanning.load())
            if (!link_scan(link))
                wait_until(10, [&] { return !link_scanning(link); });
    });
    std::thread answers(flood_answers, &scanning);
    const uint64_t end = clock_steady_ms() + (uint64_t)scaled(3000);
    for (int i = 0; clock_steady_ms() < end; i++) {
        switch (i % 5) {
        case 0: link_disconnect(link, true); break;
        case 1: link_connect(link); break;
        case 2: link_select_target(link, &p1); break;
        case 3: link_disconnect(link, false); break;
        case 4: link_select_target(link, &p2); break;
        }
    }
    scanning = false;
    scans.join();
    answers.join();
    wait_until(scaled(5000), [&] { return !link_scanning(link); });

    idle_rule = false;
    link_disconnect(link, true);
    // Pictures of the session just left may still leave the decoder: the
    // count starts once none came for a quarter of a second.
    uint32_t seen = probe.get(&LinkProbe::frames);
    uint64_t quiet_since = clock_steady_ms();
    wait_until(scaled(3000), [&] {
        uint32_t f = probe.get(&LinkProbe::frames);
        if (f != seen) {
            seen = f;
            quiet_since = clock_steady_ms();
        }
        return clock_steady_ms() - quiet_since >= 250;
    });
    probe.restart_numbers();
    uint32_t from = probe.fresh_now();
    link_select_target(link, &p2);
    EXPECT_TRUE(probe.wait_state(LINK_STATE_STREAMING, scaled(5000))) << "last state " << probe.last_state();
    EXPECT_TRUE(probe.wait_fresh(from, 3, scaled(5000)))
        << probe.get(&LinkProbe::frames) << " pictures, " << probe.get(&LinkProbe::stamped) << " stamped, "
        << probe.get(&LinkProbe::fresh) - from << " fresh; the device heard " << sim_events(&two, "setting").size()
        << " settings, sent " << sim_events(&two, "picture").size() << " pictures";

    // A scan reports its USB dongle while the link stops: it starts nothing.
    idle_rule = true;
    link_disconnect(link, true);
    link_scan(link);
    link_stop(&link);
    EXPECT_TRUE(threads_back_to(threads_before, scaled(5000))) << thread_count() << " threads, " << threads_before
                                                                 << " before";
    sim_stop(&one);
    sim_stop(&two);
}

}  // namespace
