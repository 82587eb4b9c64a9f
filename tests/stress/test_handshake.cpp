// Handshakes broken at every step by the simulated dongle: each attempt
// completes or is back in state 0 in bounded time, a following connect
// succeeds, and link_stop returns promptly, also in the middle of the fault.

#include <cstdio>

#include "stress_util.h"

namespace {

using namespace stress;

enum Outcome { STREAMED, BACK_TO_NONE, STUCK };
const char *const kOutcomes[] = {"streamed", "state 0", "stuck"};

// One broken handshake per row: the simulator's fault, how the first attempt
// must end, the fault's own event and how often the device logs it (-1: at
// least once), and what is checked once streaming (or link_stop in the fault).
enum After { NOTHING, KEEPS_STREAMING_AND_RECONNECTS, CUT_WHILE_STREAMING, STOP_MIDWAY };
struct Fault {
    const char *name, *proto, *option, *n;
    Outcome first;
    const char *event;
    int events;
    After after;
};

void PrintTo(const Fault &f, std::ostream *os) { *os << f.name; }

class Handshakes : public ::testing::TestWithParam<Fault> {
protected:
    FakeAudio audio;
    SimProcess sim;
    LinkProbe probe;
    LinkContext *link = nullptr;
    DeviceRecord target{};

    void TearDown() override
    {
        link_stop(&link);
        sim_stop(&sim);
    }
    // Connection attempts until one streams (three new pictures), at most
    // `tries`; each must stream or fall back to state 0 within the link's 4 s
    // limit for a handshake step.
    std::vector<Outcome> connect_until_streaming(int tries, const char *what)
    {
        std::vector<Outcome> outs;
        for (int i = 0; i < tries && (outs.empty() || outs.back() == BACK_TO_NONE); i++) {
            size_t mark = probe.get(&LinkProbe::states).size();
            probe.restart_numbers();
            uint32_t from = probe.fresh_now();
            uint64_t t0 = clock_steady_ms();
            link_select_target(link, &target);
            Outcome o = STUCK;
            probe.wait(scaled(4000) + 2500, [&] {
                if (probe.fresh >= from + 3)
                    o = STREAMED;
                else if (probe.states.size() > mark + 1 && probe.states.back() == LINK_STATE_NONE)
                    o = BACK_TO_NONE;
                return o != STUCK;
            });
            std::printf("HANDSHAKE %s attempt=%d outcome=%s ms=%llu\n", what, i + 1, kOutcomes[o],
                        (unsigned long long)(clock_steady_ms() - t0));
            EXPECT_NE(o, STUCK) << what << ": attempt " << i + 1 << " neither streamed nor ended; last state "
                                << probe.last_state();
            outs.push_back(o);
        }
        return outs;
    }
};

TEST_P(Handshakes, EndOrCompleteInTimeThenTheNextConnectSucceeds)
{
    const Fault &f = GetParam();
    const char *ip = ip_for(f.proto);
    ASSERT_TRUE(sim_start(&sim, sim_args(ip, f.proto, {f.option, f.n})));
    const int threads_before = baseline_thread_count();
    link = start_probed_link(&probe);
    ASSERT_NE(link, nullptr);
    target = discover(link, &probe, std::string("sim-") + ip);
    ASSERT_TRUE(target.id[0]);
    if (f.after == STOP_MIDWAY) {
        link_select_target(link, &target);
        ASSERT_TRUE(sim_wait_event(&sim, f.event, 1, scaled(5000)));
        return stop_promptly(&link, threads_before);
    }
    auto outs = connect_until_streaming(4, f.name);
    ASSERT_EQ(outs.back(), STREAMED);
    EXPECT_EQ(outs.front(), f.first);
    if (f.event) {
        ASSERT_TRUE(sim_wait_event(&sim, f.event, 1, 1000));
        if (f.events >= 0) {
            EXPECT_EQ(sim_events(&sim, f.event).size(), (size_t)f.events);
        }
    }
    if (f.after == KEEPS_STREAMING_AND_RECONNECTS) {
        EXPECT_TRUE(probe.wait_fresh(probe.fresh_now(), 30, scaled(5000)));
        link_disconnect(link, true);
        EXPECT_EQ(link_state(link), LINK_STATE_NONE);
        EXPECT_EQ(connect_until_streaming(1, "again").back(), STREAMED);
    } else if (f.after == CUT_WHILE_STREAMING) {
        // State 0 comes at once.
        ASSERT_TRUE(probe.wait_state(LINK_STATE_NONE, scaled(3000))) << "last state " << probe.last_state();
        EXPECT_EQ(connect_until_streaming(1, "after-cut").back(), STREAMED);
    }
    stop_promptly(&link, threads_before);
}

// A connection start never heard leaves a device that admits but sends only
// its stream parameters: the link must not stay in that, and tells the device
// it ended. Control message 1 is the admission, 2 the video start, 3 the
// first keep-alive.
INSTANTIATE_TEST_SUITE_P(
    Faults, Handshakes,
    ::testing::Values(
        Fault{"ConnectRepliesLost3", "2", "--drop-connect-replies", "3", STREAMED, "connect_reply_dropped", 3, NOTHING},
        Fault{"ConnectNeverAnswered", "2", "--drop-connect-replies", "45", BACK_TO_NONE, nullptr, 0, NOTHING},
        Fault{"StartsLost4", "2", "--ignore-starts", "4", STREAMED, "start_ignored", 4, NOTHING},
        Fault{"StartNeverHeard", "2", "--ignore-starts", "60", BACK_TO_NONE, "disconnect", -1, NOTHING},
        Fault{"SettingsUnacked3", "2", "--unacked-settings", "3", STREAMED, nullptr, 0, KEEPS_STREAMING_AND_RECONNECTS},
        Fault{"SettingsNeverAcked", "2", "--unacked-settings", "100", STREAMED, nullptr, 0,
              KEEPS_STREAMING_AND_RECONNECTS},
        Fault{"ControlCutInAdmission", "1", "--cut-control", "1", BACK_TO_NONE, "control_cut", -1, NOTHING},
        Fault{"ControlCutInVideoStart", "1", "--cut-control", "2", BACK_TO_NONE, "control_cut", -1, NOTHING},
        Fault{"ControlCutInKeepAlive", "1", "--cut-control", "3", STREAMED, "control_cut", -1, CUT_WHILE_STREAMING},
        Fault{"StopInConnect", "2", "--drop-connect-replies", "1000", STUCK, "connect_reply_dropped", 0, STOP_MIDWAY},
        Fault{"StopInStart", "2", "--ignore-starts", "1000", STUCK, "start_ignored", 0, STOP_MIDWAY},
        Fault{"StopInSettings", "2", "--unacked-settings", "1000", STUCK, "setting_ignored", 0, STOP_MIDWAY},
        Fault{"StopInControlCut", "1", "--cut-control", "2", STUCK, "control_cut", 0, STOP_MIDWAY}),
    [](const ::testing::TestParamInfo<Fault> &i) { return std::string(i.param.name); });

}  // namespace
