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
        if (out != STREAMED) {
            std::lock_guard<std::mutex> g(probe.m);
            std::string seq;
            for (size_t i = mark; i < probe.states.size(); i++)
                seq += std::to_string(probe.states[i]) + " ";
            std::printf("HANDSHAKE states since the attempt: %s\n", seq.c_str());
        }
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

TEST_F(Handshake, LostConnectRepliesAreRepairedByTheRequestsResends)
{
    start("127.0.0.3", "2", {"--drop-connect-replies", "3"});
    auto outs = connect_until_streaming(1, "connect-reply-lost-3");
    ASSERT_EQ(outs.back(), STREAMED);
    EXPECT_EQ(sim_events(&sim, "connect_reply_dropped").size(), 3u);
    stop_promptly();
}

TEST_F(Handshake, AConnectRequestNeverAnsweredGivesUpThenTheNextConnectSucceeds)
{
    // More replies lost than the request is sent in its 4 s.
    start("127.0.0.3", "2", {"--drop-connect-replies", "45"});
    auto outs = connect_until_streaming(4, "connect-reply-lost-45");
    ASSERT_GE(outs.size(), 2u);
    EXPECT_EQ(outs.front(), BACK_TO_NONE);
    EXPECT_EQ(outs.back(), STREAMED);
    stop_promptly();
}

TEST_F(Handshake, LostConnectionStartsAreResent)
{
    start("127.0.0.3", "2", {"--ignore-starts", "4"});
    auto outs = connect_until_streaming(1, "start-lost-4");
    ASSERT_EQ(outs.back(), STREAMED);
    EXPECT_EQ(sim_events(&sim, "start_ignored").size(), 4u);
    stop_promptly();
}

TEST_F(Handshake, AConnectionStartNeverHeardEndsTheConnectionThenTheNextConnectSucceeds)
{
    // The device admits but never hears the start: it sends no pictures, only
    // its stream parameters every second. The link must not stay in that.
    start("127.0.0.3", "2", {"--ignore-starts", "60"});
    auto outs = connect_until_streaming(4, "start-lost-60");
    ASSERT_GE(outs.size(), 2u);
    EXPECT_EQ(outs.front(), BACK_TO_NONE);
    EXPECT_EQ(outs.back(), STREAMED);
    // The device was told the first connection ended.
    EXPECT_GE(sim_events(&sim, "disconnect").size(), 1u);
    stop_promptly();
}

TEST_F(Handshake, UnacknowledgedSettingsDoNotStopTheStream)
{
    for (const char *n : {"3", "100"}) {
        SCOPED_TRACE(n);
        start("127.0.0.3", "2", {"--unacked-settings", n});
        auto outs = connect_until_streaming(1, (std::string("settings-unacked-") + n).c_str());
        ASSERT_EQ(outs.back(), STREAMED);
        // Still streaming a while later, and a new connection works.
        uint32_t from = probe.fresh_now();
        EXPECT_TRUE(probe.wait_fresh(from, 30, scaled(5000)));
        link_disconnect(link, true);
        EXPECT_EQ(link_state(link), LINK_STATE_NONE);
        outs = connect_until_streaming(1, "after-unacked-settings");
        EXPECT_EQ(outs.back(), STREAMED);
        stop_promptly();
        sim_stop(&sim);
        probe.states.clear();
        probe.devices.clear();
    }
}

TEST_F(Handshake, AControlStreamCutInTheMiddleOfAMessageEndsTheConnectionThenTheNextSucceeds)
{
    // Message 1 is the admission, 2 the video start (after the start
    // sequence), 3 the first keep-alive, a second into the stream.
    for (const char *n : {"1", "2", "3"}) {
        SCOPED_TRACE(n);
        start("127.0.0.2", "1", {"--cut-control", n});
        auto outs = connect_until_streaming(3, (std::string("control-cut-") + n).c_str());
        ASSERT_TRUE(sim_wait_event(&sim, "control_cut", 1, 1000));
        ASSERT_EQ(outs.back(), STREAMED);
        if (n[0] != '3') {
            EXPECT_EQ(outs.front(), BACK_TO_NONE);
        } else {
            // Cut while streaming: state 0 comes at once.
            ASSERT_TRUE(probe.wait(scaled(3000), [&] { return probe.states.back() == LINK_STATE_NONE; }))
                << "last state " << probe.last_state();
            outs = connect_until_streaming(1, "after-cut-3");
            EXPECT_EQ(outs.back(), STREAMED);
        }
        stop_promptly();
        sim_stop(&sim);
        probe.states.clear();
        probe.devices.clear();
    }
}

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
