// Handshakes broken at every step by the simulated dongle: the connect reply
// lost, the connection start not heard, settings not acknowledged (protocol
// 2), the control stream cut in the middle of a message (protocol 1). Each
// time the link either completes (pictures come) or is back in state 0 within
// a bounded time; a following connect then succeeds, and link_stop returns
// promptly, also in the middle of a broken handshake.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/audio_output.h"
#include "platform/fake/audio_output_fake.h"
#include "stress_util.h"

namespace {

using namespace stress;

enum Outcome { STREAMED, BACK_TO_NONE, STUCK };

const char *outcome_name(Outcome o) { return o == STREAMED ? "streamed" : o == BACK_TO_NONE ? "state 0" : "stuck"; }

class Handshake : public ::testing::Test {
protected:
    SimProcess sim;
    Probe probe;
    LinkContext *link = nullptr;
    DeviceRecord target{};
    int threads_before = 0;

    void SetUp() override
    {
        audio_output_use_fake(true);
        audio_output_fake_reset();
    }
    void TearDown() override
    {
        link_stop(&link);
        sim_stop(&sim);
        audio_output_use_fake(false);
    }
    void start(const char *ip, const char *proto, std::vector<std::string> faults)
    {
        ASSERT_TRUE(sim_start(&sim, sim_args(ip, proto, faults)));
        threads_before = baseline_thread_count();
        link = start_link(&probe);
        ASSERT_NE(link, nullptr);
        target = discover(link, &probe, std::string("sim-") + ip);
        ASSERT_TRUE(target.id[0]);
    }
    // One connection attempt: select the target (connects), then wait until pictures come (three
    // new ones) or the state falls back to 0, within limit_ms.
    Outcome attempt(int limit_ms, uint64_t *took)
    {
        size_t mark;
        uint32_t from;
        {
            std::lock_guard<std::mutex> g(probe.m);
            mark = probe.states.size();
            probe.stamped = 0;
            probe.last_stamp = 0;
            from = probe.fresh;
        }
        uint64_t t0 = clock_steady_ms();
        link_select_target(link, &target);
        Outcome out = STUCK;
        probe.wait(limit_ms, [&] {
            if (probe.fresh >= from + 3) {
                out = STREAMED;
                return true;
            }
            for (size_t i = mark; i < probe.states.size(); i++)
                if (probe.states[i] == LINK_STATE_NONE && i + 1 == probe.states.size() && i > mark) {
                    out = BACK_TO_NONE;
                    return true;
                }
            return false;
        });
        *took = clock_steady_ms() - t0;
        return out;
    }
    // Attempts until one streams (at most `tries`); every attempt must end
    // one way or the other in time. Returns the outcomes.
    std::vector<Outcome> connect_until_streaming(int tries, const char *what)
    {
        std::vector<Outcome> outs;
        for (int i = 0; i < tries; i++) {
            uint64_t took = 0;
            // Every handshake step gives up after the link's 4 s limits.
            Outcome o = attempt(scaled(4000) + 2500, &took);
            std::printf("HANDSHAKE %s attempt=%d outcome=%s ms=%llu\n", what, i + 1, outcome_name(o),
                        (unsigned long long)took);
            outs.push_back(o);
            EXPECT_NE(o, STUCK) << what << ": attempt " << i + 1 << " neither streamed nor ended; last state "
                                << probe.last_state();
            if (o != BACK_TO_NONE)
                break;
        }
        return outs;
    }
    void stop_promptly()
    {
        uint64_t s0 = clock_steady_ms();
        link_stop(&link);
        EXPECT_LE(clock_steady_ms() - s0, (uint64_t)scaled(1500)) << "link_stop took long";
        EXPECT_TRUE(threads_back_to(threads_before, scaled(2000)))
            << thread_count() << " threads, " << threads_before << " before the link started";
    }
};

// One broken handshake per row: the simulator's fault, how the first attempt
// must end, the fault's own event and how often the device logs it (-1: at
// least once), and what is checked once streaming.
enum After { NOTHING, KEEPS_STREAMING_AND_RECONNECTS, CUT_WHILE_STREAMING };
struct Fault {
    const char *name, *proto, *option, *n;
    Outcome first;
    const char *event;
    int events;
    After after;
};

void PrintTo(const Fault &f, std::ostream *os) { *os << f.name; }

class Handshakes : public Handshake, public ::testing::WithParamInterface<Fault> {};

TEST_P(Handshakes, EndOrCompleteInTimeThenTheNextConnectSucceeds)
{
    const Fault &f = GetParam();
    start(f.proto[0] == '2' ? "127.0.0.3" : "127.0.0.2", f.proto, {f.option, f.n});
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
        ASSERT_TRUE(probe.wait(scaled(3000), [&] { return probe.states.back() == LINK_STATE_NONE; }))
            << "last state " << probe.last_state();
        EXPECT_EQ(connect_until_streaming(1, "after-cut").back(), STREAMED);
    }
    stop_promptly();
}

// More replies lost (45) than the request is sent in its 4 s; a connection
// start never heard leaves a device that admits but sends only its stream
// parameters: the link must not stay in that, and tells the device it ended.
// Control message 1 is the admission, 2 the video start (after the start
// sequence), 3 the first keep-alive, a second into the stream.
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
        Fault{"ControlCutInKeepAlive", "1", "--cut-control", "3", STREAMED, "control_cut", -1, CUT_WHILE_STREAMING}),
    [](const ::testing::TestParamInfo<Fault> &i) { return std::string(i.param.name); });

// link_stop in the middle of each broken handshake.
TEST_F(Handshake, StopReturnsPromptlyInTheMiddleOfEachBrokenHandshake)
{
    struct Case {
        const char *ip, *proto, *option, *event;
    };
    for (Case c : {Case{"127.0.0.3", "2", "--drop-connect-replies", "connect_reply_dropped"},
                   Case{"127.0.0.3", "2", "--ignore-starts", "start_ignored"},
                   Case{"127.0.0.3", "2", "--unacked-settings", "setting_ignored"},
                   Case{"127.0.0.2", "1", "--cut-control", "control_cut"}}) {
        SCOPED_TRACE(c.option);
        start(c.ip, c.proto, {c.option, c.proto[0] == '1' ? "2" : "1000"});
        link_select_target(link, &target);
        ASSERT_TRUE(sim_wait_event(&sim, c.event, 1, scaled(5000)));
        stop_promptly();
        sim_stop(&sim);
        probe.states.clear();
        probe.devices.clear();
    }
}

}  // namespace
