// The input source and thread: window input in, reports out through the
// hooks, with the gates applied and the mouse queue flushed per frame.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "input/input_thread.h"
#include "support/bytes.h"
#include "support/wait.h"

namespace {

struct FakeLink {
    std::mutex m;
    std::vector<std::string> sent; // hex
    InputGates gates{true, true, true, false};
    size_t gate_reads = 0;

    static InputGates get_gates(void *ctx)
    {
        FakeLink *f = static_cast<FakeLink *>(ctx);
        std::lock_guard<std::mutex> g(f->m);
        f->gate_reads++;
        return f->gates;
    }
    static void send(void *ctx, const uint8_t *report, size_t n)
    {
        FakeLink *f = static_cast<FakeLink *>(ctx);
        std::lock_guard<std::mutex> g(f->m);
        f->sent.push_back(hex(report, n));
    }
    // The input thread has decided about `count` reads of the gates.
    bool wait_gate_reads(size_t count)
    {
        return wait_until([&] { std::lock_guard<std::mutex> g(m); return gate_reads >= count; });
    }
    // The reports sent once `count` have been (or the deadline passed).
    std::vector<std::string> wait_for(size_t count)
    {
        wait_until([&] { std::lock_guard<std::mutex> g(m); return sent.size() >= count; });
        std::lock_guard<std::mutex> g(m);
        return sent;
    }
    void set_gates(InputGates g2)
    {
        std::lock_guard<std::mutex> g(m);
        gates = g2;
    }
};

class InputThread : public ::testing::Test {
protected:
    FakeLink link;
    InputPipeline pipe;
    void SetUp() override { input_start(&pipe, InputHooks{&link, FakeLink::get_gates, FakeLink::send, nullptr}); }
    void TearDown() override { input_stop(&pipe); }
    size_t queued()
    {
        std::lock_guard<std::mutex> g(pipe.mouse_lock);
        return pipe.mouse_queue.size();
    }
    // The input thread has queued `count` mouse entries.
    bool wait_queued(size_t count)
    {
        return wait_until([&] { return queued() >= count; });
    }
};

} // namespace

TEST_F(InputThread, NothingIsSentWhileNotConnectedOrInputIsOff)
{
    link.set_gates({false, true, true, false});
    pipe.source.key(0x1E, true);
    ASSERT_TRUE(link.wait_gate_reads(1));
    link.set_gates({true, false, false, false});
    pipe.source.key(0x1E, false);
    ASSERT_TRUE(link.wait_gate_reads(2));
    link.set_gates({true, true, true, false});
    pipe.source.key(0x39, true);  // Space
    EXPECT_EQ(link.wait_for(1), (std::vector<std::string>{"0100002c0000000000"}));
}

TEST_F(InputThread, MotionIsQueuedAndFlushedCoalesced)
{
    for (int i = 0; i < 3; i++) {
        pipe.source.mouse_motion(10, 5);
        ASSERT_TRUE(wait_queued((size_t)i + 1));
    }
    input_flush_mouse(&pipe);
    EXPECT_EQ(link.wait_for(1), (std::vector<std::string>{"02001e0f00"}));
    EXPECT_EQ(queued(), 0u);
}

TEST_F(InputThread, ReleaseClickWithLeftCtrlNeverReachesTheTarget)
{
    pipe.source.key(0x1D, true);  // left Ctrl
    ASSERT_EQ(link.wait_for(1).size(), 1u);
    pipe.source.mouse_button(1, true);   // dropped: right alone with left Ctrl
    pipe.source.mouse_button(0, true);   // left + right: reaches the target
    ASSERT_TRUE(wait_queued(1));
    input_flush_mouse(&pipe);
    auto sent = link.wait_for(2);
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[0], "010100000000000000");
    for (size_t i = 1; i < sent.size(); i++)
        EXPECT_NE(sent[i], "0202000000") << "the right button alone was sent";
    EXPECT_EQ(sent.back(), "0203000000");
}

TEST_F(InputThread, MenuFocusDropsMouseEntriesAndInputOffKeepsTheQueue)
{
    link.set_gates({true, true, true, true});
    pipe.source.mouse_motion(5, 5);
    ASSERT_TRUE(link.wait_gate_reads(1));  // read and dropped
    link.set_gates({true, true, true, false});
    pipe.source.mouse_motion(7, 0);
    ASSERT_TRUE(wait_queued(1));
    link.set_gates({true, true, false, false});
    input_flush_mouse(&pipe);  // input off: nothing goes, nothing is lost
    EXPECT_EQ(queued(), 1u);
    link.set_gates({true, true, true, false});
    input_flush_mouse(&pipe);
    EXPECT_EQ(link.wait_for(1), (std::vector<std::string>{"0200070000"}));
}

TEST_F(InputThread, ReleaseAllLetsGoOfKeysAndButtons)
{
    pipe.source.key(0x1E, true);
    pipe.source.mouse_button(0, true);
    ASSERT_TRUE(wait_queued(1));
    ASSERT_EQ(link.wait_for(1).size(), 1u);
    pipe.source.release_all();
    ASSERT_EQ(link.wait_for(2).size(), 2u);
    ASSERT_TRUE(wait_queued(2));
    input_flush_mouse(&pipe);
    EXPECT_EQ(link.wait_for(4), (std::vector<std::string>{"010000040000000000", "010000000000000000", "0201000000",
                                                         "0200000000"}));
}

TEST_F(InputThread, ForgettingDropsQueuedMotion)
{
    pipe.source.mouse_motion(3, 3);
    ASSERT_TRUE(wait_queued(1));
    link.set_gates({false, true, true, false});
    input_forget(&pipe);
    // The released key and button states are read (and, not connected, not
    // sent) before the connection comes back.
    ASSERT_TRUE(link.wait_gate_reads(3));
    link.set_gates({true, true, true, false});
    input_flush_mouse(&pipe);
    pipe.source.key(0x02, true);  // a later report proves nothing else went out
    EXPECT_EQ(link.wait_for(1), (std::vector<std::string>{"0100001e0000000000"}));
}

TEST(InputSourceStates, APressAndReleaseBeforeTheReadAreTwoStates)
{
    InputSource s;
    s.key(0x1E, true);
    s.key(0x1E, false);
    s.key(0x1E, false);  // no change: no state
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
    s.stop();
    EXPECT_EQ(s.wait(), INPUT_WAKE_STOP);
}

TEST(InputSourceStates, AStalledReaderMergesTheNewestStates)
{
    InputSource s;
    const size_t presses = INPUT_MAX_PENDING + 10;
    for (size_t i = 0; i < presses; i++)
        s.key((uint8_t)(1 + i % 250), true);
    uint8_t keys[INPUT_KEY_STATE_SIZE];
    s.read_keyboard(keys);
    EXPECT_EQ(keys[1], 0x80);
    EXPECT_EQ(keys[2], 0x00) << "the oldest state comes first";
    for (size_t i = 1; i < INPUT_MAX_PENDING; i++)
        s.read_keyboard(keys);
    // The last kept state took in every later press.
    for (size_t i = 0; i < presses; i++)
        EXPECT_EQ(keys[1 + i % 250], 0x80) << i;
}

TEST_F(InputThread, AnOpenViewerWindowKeepsTheKeysAndReleasesWhatWasHeld)
{
    pipe.source.key(0x1D, true);  // Left Ctrl of the release gesture
    ASSERT_EQ(link.wait_for(1).size(), 1u);
    link.set_gates({true, true, true, true});
    input_pause(&pipe, true);
    input_pause(&pipe, true);     // only a change acts
    pipe.source.key(0x1D, false);
    pipe.source.key(0x10, true);  // Q, typed into the menu and still held when it closes
    ASSERT_TRUE(link.wait_gate_reads(3));
    link.set_gates({true, true, true, false});
    input_pause(&pipe, false);
    EXPECT_EQ(link.wait_for(4), (std::vector<std::string>{"010100000000000000", "010000000000000000", "0200000000",
                                                         "010000140000000000"}));
}
