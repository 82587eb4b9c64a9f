// The receiver's key-frame rules and the link's protocol generation, driven
// on a link that link_start never started (no sockets, no decoder).
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>

#include "link/link_context.h"
#include "link/receiver.h"
#include "protocol/wire.h"

namespace {

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
    // Fragment `index` of `count`: an IDR or P slice with frame_num in 4 bits.
    void fragment(uint32_t frame, bool idr, unsigned count = 1, unsigned index = 0, unsigned frame_num = 0)
    {
        const uint8_t nal[6] = {0, 0, 0, 1, (uint8_t)(idr ? 0x65 : 0x41), (uint8_t)(0xE0 | (frame_num & 15) << 1)};
        std::vector<uint8_t> d(16 + 64 + sizeof nal);
        int n = l->protocol.load() >= 2
                    ? p2_build_video_fragment(d.data(), d.size(), frame, count, index, false, nal, sizeof nal)
                    : p1_build_video_block(d.data(), d.size(), count, index, frame, nal, sizeof nal);
        ASSERT_GT(n, 0);
        receiver_datagram(r, d.data(), (size_t)n, &from);
    }
};

// Only a picture the receiver gave up (left incomplete for a newer one), or
// one the coded stream shows missing (frame_num skips), asks for a key
// frame. (Transport numbers that skip ask for none: the integration test
// PicturesMoveWhenTheirNumbersSkipWithoutKeyFrameRequests.)
TEST(ReceiverKeyFrames, OnlyAPictureGivenUpAsksForAKeyFrame)
{
    // Pictures of 2 fragments: frame number, fragments sent, frame_num of
    // the slice header; the first is the key frame.
    const unsigned cases[][3][3] = {
        {{1, 2, 0}, {2, 1, 1}, {3, 2, 2}},  // one left incomplete
        {{1, 2, 0}, {2, 2, 1}, {4, 2, 3}},  // one lost whole
    };
    for (int protocol : {1, 2}) {
        for (const auto &steps : cases) {
            SCOPED_TRACE(std::to_string(steps[2][0]) + ", protocol " + std::to_string(protocol));
            Bare b(protocol);
            for (const auto &s : steps)
                for (unsigned i = 0; i < s[1]; i++)
                    b.fragment(s[0], s[0] == 1, 2, i, s[2]);
            EXPECT_NE(b.l->key_request_ms.load(), 0u);
            EXPECT_EQ(b.l->key_frame_seen.load(), 0u) << "pictures wait for the key frame";
            EXPECT_EQ(b.l->last_frame.load(), steps[2][0]);
        }
    }
    // A key frame just asked for (by another thread, with a stamp newer than
    // this thread's clock read) is not asked for again.
    Bare waiting(2);
    const uint64_t asked = link_now_ms() + 60000;
    waiting.l->key_request_ms = asked;
    waiting.fragment(5, false);
    EXPECT_EQ(waiting.l->key_request_ms.load(), asked);
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
    Bare b(2);
    LinkContext *l = b.l;
    l->options.usb_transport = [](LinkContext *k) {
        while (!k->stop_control.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
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
}

}  // namespace
