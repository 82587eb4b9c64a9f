// The receiver's rules for key frames, silence and new streams, and the
// link's protocol generation, driven on a link that link_start never started
// (no sockets, no decoder: what it sends goes nowhere).
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <vector>

#include "base/clock.h"
#include "link/link_context.h"
#include "link/receiver.h"
#include "protocol/wire.h"

namespace {

// A connected, streaming link to 192.168.1.50 in one protocol generation,
// with its receiver.
struct Bare {
    LinkContext *l = new LinkContext();
    Receiver *r = nullptr;
    sockaddr_storage from{};

    explicit Bare(int protocol)
    {
        l->protocol = protocol, l->active = 1, l->connected = 1, l->state = LINK_STATE_STREAMING;
        l->input_queue = queue_create();
        l->last_traffic_ms = link_now_ms();
        l->frame_num_info = 4;  // the SPS gives frame_num 4 bits
        auto *a = reinterpret_cast<sockaddr_in *>(&from);
        a->sin_family = AF_INET;
        a->sin_port = htons(WIRE_PORT_STREAM);
        inet_pton(AF_INET, "192.168.1.50", &a->sin_addr);
        std::memcpy(&l->device_address, a, sizeof *a);
        r = receiver_create(l);
    }
    ~Bare()
    {
        receiver_destroy(&r);
        {
            std::lock_guard<std::mutex> g(l->control_lock);
            control_queue_clear(l);
        }
        queue_destroy(&l->input_queue);
        delete l;
    }
    void datagram(std::vector<uint8_t> d) { receiver_datagram(r, d.data(), d.size(), &from); }
    // Fragment `index` of a picture of `count`: an IDR slice or a P slice
    // (both reference pictures), with first_mb 0, slice type 0, PPS 0 and
    // frame_num in 4 bits.
    void fragment(uint32_t frame, bool idr, unsigned count = 1, unsigned index = 0, unsigned frame_num = 0)
    {
        const uint8_t nal[6] = {0, 0, 0, 1, (uint8_t)(idr ? 0x65 : 0x41), (uint8_t)(0xE0 | (frame_num & 15) << 1)};
        std::vector<uint8_t> d(16 + 64 + sizeof nal);
        int n = l->protocol.load() >= 2
                    ? p2_build_video_fragment(d.data(), d.size(), frame, count, index, false, nal, sizeof nal)
                    : p1_build_video_block(d.data(), d.size(), count, index, frame, nal, sizeof nal);
        ASSERT_GT(n, 0);
        d.resize((size_t)n);
        datagram(d);
    }
    bool asked_key_frame() const { return l->key_request_ms.load() != 0; }
};

struct Step {
    uint32_t frame;
    bool idr;
    unsigned fragments_sent;  // of 2; 1 leaves the picture incomplete
    unsigned frame_num;       // of the slice header
};

struct KeyFrameCase {
    const char *name;
    std::vector<Step> steps;
    bool asks;  // a key frame is asked for
};

// Only a picture the receiver gave up (left incomplete for a newer one), or
// one the coded stream shows missing (frame_num skips), asks for a key
// frame; transport numbers that grow by more than one, or jump, do not.
TEST(ReceiverKeyFrames, OnlyAPictureGivenUpAsksForAKeyFrame)
{
    const KeyFrameCase cases[] = {
        {"numbers by two", {{2, true, 2, 0}, {4, false, 2, 1}, {6, false, 2, 2}, {8, false, 2, 3}}, false},
        {"a jump", {{1, true, 2, 0}, {2, false, 2, 1}, {90, false, 2, 2}, {91, false, 2, 3}}, false},
        {"one left incomplete", {{1, true, 2, 0}, {2, false, 1, 1}, {3, false, 2, 2}}, true},
        {"one lost whole", {{1, true, 2, 0}, {2, false, 2, 1}, {4, false, 2, 3}}, true},
    };
    for (int protocol : {1, 2}) {
        for (const KeyFrameCase &c : cases) {
            SCOPED_TRACE(std::string(c.name) + ", protocol " + std::to_string(protocol));
            Bare b(protocol);
            for (const Step &s : c.steps)
                for (unsigned i = 0; i < s.fragments_sent; i++)
                    b.fragment(s.frame, s.idr, 2, i, s.frame_num);
            EXPECT_EQ(b.asked_key_frame(), c.asks);
            EXPECT_EQ(b.l->key_frame_seen.load() != 0, !c.asks);  // pictures wait for the key frame
            EXPECT_EQ(b.l->last_frame.load(), c.steps.back().frame);
        }
    }
}

// Stamps that another thread stored after this one read the clock: newer
// than now, they count as no time elapsed, never as 2^64 ms.
TEST(ReceiverClock, AStampNewerThanNowIsNoTimeElapsed)
{
    struct {
        uint64_t stamp, now, elapsed;
    } const rows[] = {{100, 250, 150}, {250, 250, 0}, {251, 250, 0}, {~0ull, 0, 0}};
    for (const auto &row : rows)
        EXPECT_EQ(clock_elapsed(row.stamp, row.now), row.elapsed);

    // The silence rule keeps a healthy connection.
    Bare silence(2);
    silence.l->last_traffic_ms = link_now_ms() + 60000;
    receiver_tick(silence.r);
    EXPECT_EQ(silence.l->state.load(), (uint32_t)LINK_STATE_STREAMING);
    EXPECT_EQ(silence.l->active.load(), 1u);

    // A key frame just asked for (by another thread) is not asked for again.
    Bare waiting(2);
    const uint64_t asked = link_now_ms() + 60000;
    waiting.l->key_request_ms = asked;
    waiting.fragment(5, false);
    EXPECT_EQ(waiting.l->key_request_ms.load(), asked);
}

// A new stream may number its pictures from 1 again: the picture being
// assembled (of the old numbering) must not make them all "older".
TEST(ReceiverNewStream, AVideoStateStartsTheAssemblyAgain)
{
    Bare b(2);
    b.fragment(500, true);
    b.fragment(501, false, 2, 0);  // left incomplete by the end of the stream
    std::vector<uint8_t> state(64);
    const uint8_t sps[8] = {0, 0, 0, 1, 0x67, 0x42, 0, 0x1e};
    int n = p2_build_video_state(state.data(), state.size(), 7, true, sps, sizeof sps);
    ASSERT_GT(n, 0);
    state.resize((size_t)n);
    b.datagram(state);
    b.fragment(1, true);
    EXPECT_EQ(b.l->last_frame.load(), 1u);
    EXPECT_EQ(b.l->key_frame_seen.load(), 1u);
}

// Protocol 1 asks for key frames on the control stream, whose thread sends
// them: a control stream stalled in a send (its lock held) must not stall
// the receiver's fragments and acknowledgements.
TEST(ReceiverKeyFrames, ProtocolOneRequestDoesNotWaitForTheControlStream)
{
    Bare b(1);
    std::unique_lock<std::mutex> stalled(b.l->tcp_lock);
    auto walk = std::async(std::launch::async, [&] {
        b.fragment(1, true, 2, 0);
        b.fragment(1, true, 2, 1);
        b.fragment(2, false, 2, 0);
        b.fragment(3, false, 2, 0);  // gives picture 2 up
    });
    bool returned = walk.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    stalled.unlock();
    walk.get();
    EXPECT_TRUE(returned);
    EXPECT_EQ(b.l->p1_key_request.load(), 1u);  // for the connection thread to send
}

// A USB target connected after a protocol-2 session has ended: its settings
// must not go to the protocol-2 control queue (addressed to the network
// device no longer in use, retried for seconds).
TEST(LinkGeneration, AUsbTargetAfterAProtocolTwoSessionQueuesNoControlPackets)
{
    LinkContext *l = new LinkContext();
    l->input_queue = queue_create();
    l->options.usb_transport = [](LinkContext *k) {
        while (!k->stop_control.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    l->protocol = 2, l->active = 1;
    link_reset(l);  // the protocol-2 session ends (silence)
    DeviceRecord usb{};
    usb.usb = 1;
    link_select_target(l, &usb);
    link_set_audio(l, 0);
    link_set_input(l, 1);
    link_request_key_frame(l);
    {
        std::lock_guard<std::mutex> g(l->control_lock);
        EXPECT_EQ(l->control_count, 0u);
    }
    link_disconnect(l, true);
    {
        std::lock_guard<std::mutex> g(l->control_lock);
        control_queue_clear(l);
    }
    queue_destroy(&l->input_queue);
    delete l;
}

}  // namespace
