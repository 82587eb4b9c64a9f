// The input source and thread: window input in, reports out through the
// hooks, with the gates applied and the mouse queue flushed per frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "input/input_thread.h"
#include "support/bytes.h"
#include "support/wait.h"

namespace {

using Sent = std::vector<std::string>; // reports as hex

// The pipeline with a fake link: the gates it reads and the reports it sends.
class InputThread : public ::testing::Test {
protected:
    std::mutex m;
    Sent sent;
    InputGates gates{true, true, true, false}; // connected, keyboard, mouse, a viewer window has the focus
    size_t gate_reads = 0;
    InputPipeline pipe;

    static InputGates get_gates(void *ctx)
    {
        auto *t = static_cast<InputThread *>(ctx);
        std::lock_guard<std::mutex> g(t->m);
        t->gate_reads++;
        return t->gates;
    }
    static void send(void *ctx, const uint8_t *report, size_t n)
    {
        auto *t = static_cast<InputThread *>(ctx);
        std::lock_guard<std::mutex> g(t->m);
        t->sent.push_back(hex(report, n));
    }
    void SetUp() override { input_start(&pipe, InputHooks{this, get_gates, send, nullptr}); }
    void TearDown() override { input_stop(&pipe); }
    void set_gates(InputGates g2)
    {
        std::lock_guard<std::mutex> g(m);
        gates = g2;
    }
    // The input thread has decided about `count` reads of the gates.
    bool wait_gate_reads(size_t count)
    {
        return wait_until([&] { std::lock_guard<std::mutex> g(m); return gate_reads >= count; });
    }
    // The reports sent once `count` have been (or the deadline passed).
    Sent wait_sent(size_t count)
    {
        wait_until([&] { std::lock_guard<std::mutex> g(m); return sent.size() >= count; });
        std::lock_guard<std::mutex> g(m);
        return sent;
    }
    size_t queued()
    {
        std::lock_guard<std::mutex> g(pipe.mouse_lock);
        return pipe.mouse_queue.size();
    }
    bool wait_queued(size_t count)
    {
        return wait_until([&] { return queued() >= count; });
    }
};

} // namespace

TEST_F(InputThread, GatesDropWhatComesWhileClosedInputOffKeepsTheMouseQueueAndForgettingEmptiesIt)
{
    set_gates({false, true, true, false}); // not connected
    pipe.source.key(0x1E, true);
    pipe.source.key(0x1E, false);
    ASSERT_TRUE(wait_gate_reads(2));
    set_gates({true, true, true, true}); // a viewer window has the focus
    pipe.source.mouse_motion(5, 5);
    ASSERT_TRUE(wait_gate_reads(3));
    set_gates({true, true, true, false});
    pipe.source.mouse_motion(7, 1);
    ASSERT_TRUE(wait_queued(1));
    set_gates({true, true, false, false});
    input_flush_mouse(&pipe); // mouse input off: nothing goes, nothing is lost
    EXPECT_EQ(queued(), 1u);
    set_gates({false, true, true, false});
    input_forget(&pipe);
    // The released key and button states are read (and, not connected, not
    // sent) before the connection comes back.
    ASSERT_TRUE(wait_gate_reads(6));
    set_gates({true, true, true, false});
    input_flush_mouse(&pipe);
    pipe.source.key(0x39, true); // Space: a later report proves nothing else went out
    EXPECT_EQ(wait_sent(1), (Sent{"0100002c0000000000"}));
}

TEST_F(InputThread, ReleaseAllLetsGoOfKeysAndButtons)
{
    pipe.source.key(0x1E, true);
    pipe.source.mouse_button(0, true);
    ASSERT_TRUE(wait_queued(1));
    ASSERT_EQ(wait_sent(1).size(), 1u);
    pipe.source.release_all();
    ASSERT_EQ(wait_sent(2).size(), 2u);
    ASSERT_TRUE(wait_queued(2));
    input_flush_mouse(&pipe);
    EXPECT_EQ(wait_sent(4), (Sent{"010000040000000000", "010000000000000000", "0201000000", "0200000000"}));
}

TEST_F(InputThread, AnOpenViewerWindowKeepsTheKeysAndReleasesWhatWasHeld)
{
    pipe.source.key(0x1D, true); // Left Ctrl of the release gesture
    ASSERT_EQ(wait_sent(1).size(), 1u);
    set_gates({true, true, true, true});
    input_pause(&pipe, true);
    input_pause(&pipe, true); // only a change acts
    pipe.source.key(0x1D, false);
    pipe.source.key(0x10, true); // Q, typed into the menu and still held when it closes
    ASSERT_TRUE(wait_gate_reads(3));
    set_gates({true, true, true, false});
    input_pause(&pipe, false);
    EXPECT_EQ(wait_sent(4), (Sent{"010100000000000000", "010000000000000000", "0200000000", "010000140000000000"}));
}

TEST(InputSourceStates, APressAndReleaseBeforeTheReadAreTwoStatesAndAStalledReaderMergesTheNewest)
{
    InputSource s;
    s.key(0x1E, true);
    s.key(0x1E, false);
    s.key(0x1E, false); // no change: no state
    s.mouse_motion(4, 0);
    s.mouse_button(0, true);
    s.mouse_motion(2, 0);
    s.mouse_button(0, false);
    uint8_t keys[INPUT_KEY_STATE_SIZE];
    s.read_keyboard(keys);
    EXPECT_EQ(keys[0x1E], 0x80);
    s.read_keyboard(keys);
    EXPECT_EQ(keys[0x1E], 0x00);
    EXPECT_EQ(s.wait(), INPUT_WAKE_MOUSE) << "no keyboard state left";
    // Motion belongs to the button state it happened in.
    for (auto [x, left] : {std::pair{4, 0}, {2, 1}, {0, 0}}) {
        MouseSample m;
        s.read_mouse(&m);
        EXPECT_EQ(m.x * 10 + (m.buttons[0] != 0), x * 10 + left);
    }
    // Past INPUT_MAX_PENDING the last kept state takes in every later press.
    for (size_t i = 0; i < INPUT_MAX_PENDING + 10; i++)
        s.key((uint8_t)(1 + i % 250), true);
    s.read_keyboard(keys);
    EXPECT_EQ(keys[1] * 2 + keys[2], 0x100) << "the oldest state comes first";
    for (size_t i = 1; i < INPUT_MAX_PENDING; i++)
        s.read_keyboard(keys);
    EXPECT_EQ(std::count(keys + 1, keys + 251, 0x80), 250);
    s.stop();
    EXPECT_EQ(s.wait(), INPUT_WAKE_STOP);
}
