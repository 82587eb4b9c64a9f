// Connections made and ended over and over, a device that dies and comes
// back, target switches: no thread of the link is left behind.
#include <signal.h>
#include <sys/wait.h>

#include "stress_util.h"
#include "ui/found_devices.h"

namespace {

using namespace stress;

class Cycles : public ::testing::TestWithParam<const char *> {};

// The user interface's rule for reported devices (KVUI::on_device): while it
// shows no connection, a reported dongle becomes the target.
struct UiRule {
    FoundDevices found;
    std::atomic<bool> firmware_once{false};
    // Set once the link has started; its receiver may report a device before.
    std::atomic<LinkContext *> link{nullptr};
    std::atomic<int> selections{0};
    void on_device(const DeviceRecord &rec)
    {
        LinkContext *l = link.load();
        if (!l)
            return;
        bool connected = link_state(l) >= LINK_STATE_NO_VIDEO;
        FoundMerge m = found_merge(&found, rec, {}, connected, clock_wall_ms(), &firmware_once);
        if (m.select) {
            selections++;
            link_select_target(l, &m.record);
        }
    }
};

// Killed: no goodbye from the device.
void kill_sim(SimProcess *sim)
{
    ASSERT_EQ(kill(sim->pid, SIGKILL), 0);
    ASSERT_EQ(waitpid(sim->pid, nullptr, 0), sim->pid);
    sim->pid = -1;
}

TEST_P(Cycles, ReconnectsTwentyTimesThenLeavesAKilledDeviceWithinFourSecondsAndReconnectsWhenBack)
{
    FakeAudio audio;
    const char *proto = GetParam(), *ip = ip_for(proto);
    auto sim = std::make_unique<SimProcess>();
    ASSERT_TRUE(sim_start(sim.get(), sim_args(ip, proto)));
    const int threads_before = baseline_thread_count();
    LinkProbe probe;
    UiRule ui;
    probe.device_hook = [&](const DeviceRecord &rec) { ui.on_device(rec); };
    LinkContext *link = start_probed_link(&probe);
    ASSERT_NE(link, nullptr);
    ui.link = link;
    // The scan's answer connects, as in the viewer.
    DeviceRecord r = discover(link, &probe, std::string("sim-") + ip);
    ASSERT_TRUE(r.id[0]);
    ASSERT_TRUE(probe.wait_fresh(0, 5, scaled(5000))) << "last state " << probe.last_state();

    // Twenty disconnects and connects by the operator. The codec keeps its
    // slice threads from one connection to the next: the idle count is taken
    // after the first, and no cycle may add to it.
    int idle_threads = -1;
    for (int cycle = 0; cycle < 20; cycle++) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        link_disconnect(link, true);
        ASSERT_TRUE(probe.wait_state(LINK_STATE_NONE, scaled(2000))) << "last state " << probe.last_state();
        EXPECT_FALSE(link_connected(link));
        if (idle_threads < 0)
            idle_threads = settled_thread_count();
        EXPECT_TRUE(threads_back_to(idle_threads, scaled(2000)))
            << thread_count() << " threads, " << idle_threads << " when idle";
        probe.restart_numbers();  // the simulator numbers each session's pictures from 1
        uint32_t from = probe.fresh_now();
        link_select_target(link, &r);
        ASSERT_TRUE(probe.wait_fresh(from, 3, scaled(5000))) << "last state " << probe.last_state();
    }
    EXPECT_GE(sim_events(sim.get(), "connect").size(), 21u) << "every connection reached the device";
    const int streaming_threads = settled_thread_count();

    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        kill_sim(sim.get());
        // The silence rule's 4 s (protocol 1 sees its control stream close
        // at once), plus an allowance for the receiver's 100 ms turns.
        ASSERT_TRUE(probe.wait_state(LINK_STATE_NONE, 4100 + (slow_factor() - 1) * 300))
            << "last state " << probe.last_state();
        // Gone for a while: the link stays idle (its probes find nobody).
        EXPECT_FALSE(probe.wait(1500, [&] { return probe.states.back() != LINK_STATE_NONE; }));

        int selections_before = ui.selections.load();
        probe.restart_numbers();
        uint32_t from = probe.fresh_now();
        sim = std::make_unique<SimProcess>();
        ASSERT_TRUE(sim_start(sim.get(), sim_args(ip, proto)));
        ASSERT_TRUE(probe.wait_fresh(from, 5, scaled(6000)))
            << "no pictures after the device came back; last state " << probe.last_state();
        EXPECT_GT(ui.selections.load(), selections_before) << "the answer to a probe reconnected";
        EXPECT_GE(sim_events(sim.get(), "probe").size(), 1u) << "the link's own probes (no scan) found it";
        EXPECT_TRUE(threads_back_to(streaming_threads, scaled(2000)));
    }

    // After the operator's disconnect, nothing reconnects by itself.
    link_disconnect(link, true);
    kill_sim(sim.get());
    int selections_before = ui.selections.load();
    sim = std::make_unique<SimProcess>();
    ASSERT_TRUE(sim_start(sim.get(), sim_args(ip, proto)));
    EXPECT_FALSE(sim_wait_event(sim.get(), "probe", 1, 2500)) << "probed after the operator's disconnect";
    EXPECT_EQ(ui.selections.load(), selections_before);
    EXPECT_EQ(link_state(link), LINK_STATE_NONE);
    stop_promptly(&link, threads_before);
}

TEST(TargetSwitch, SwitchingBetweenTwoStreamingDevicesShowsTheNewOneEachTime)
{
    FakeAudio audio;
    const char *pairs[][2] = {{"2", "2"}, {"1", "1"}, {"2", "1"}};
    for (auto &p : pairs) {
        SCOPED_TRACE(std::string("protocols ") + p[0] + "/" + p[1]);
        // Told apart by their picture sizes.
        SimProcess a, b;
        ASSERT_TRUE(sim_start(&a, sim_args("127.0.0.3", p[0])));
        std::vector<std::string> bargs = sim_args("127.0.0.4", p[1]);
        bargs[5] = "320x240";
        ASSERT_TRUE(sim_start(&b, bargs));
        const int threads_before = baseline_thread_count();
        LinkProbe probe;
        LinkContext *link = start_probed_link(&probe);
        ASSERT_NE(link, nullptr);
        DeviceRecord ra = discover(link, &probe, "sim-127.0.0.3");
        DeviceRecord rb = discover(link, &probe, "sim-127.0.0.4");
        ASSERT_TRUE(ra.id[0] && rb.id[0]);
        for (int i = 0; i < 8; i++) {
            SCOPED_TRACE("switch " + std::to_string(i));
            const DeviceRecord &to = i % 2 == 0 ? ra : rb;
            int width = i % 2 == 0 ? 640 : 320;
            link_select_target(link, &to);
            ASSERT_TRUE(probe.wait(scaled(5000), [&] { return probe.width == width; }))
                << "width " << probe.width << ", last state " << probe.last_state();
            probe.restart_numbers();
            uint32_t from = probe.fresh_now();
            ASSERT_TRUE(probe.wait(scaled(5000), [&] { return probe.fresh >= from + 5 && probe.width == width; }))
                << "no pictures of the new target";
            EXPECT_EQ(link_state(link), LINK_STATE_STREAMING);
            EXPECT_STREQ(link_target(link).id, to.id);
        }
        stop_promptly(&link, threads_before);
    }
}

INSTANTIATE_TEST_SUITE_P(Protocols, Cycles, ::testing::Values("2", "1"), proto_name);

}  // namespace
