// USB stream transport. Arbitrary pipe content is the fuzz harness's
// (fuzz_usb_message).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "link/link.h"
#include "link/usb_transport.h"
#include "support/bytes.h"

TEST(UsbFraming, HeadersMessagesAndTheModeSwitchReport)
{
    uint8_t out[6];
    ASSERT_EQ(usb_msg_build(out, sizeof out, USB_CLASS_STATUS, USB_TYPE_VIDEO_ACK, 0), 6);
    EXPECT_EQ(hex(out, 6), "015000000000");
    EXPECT_EQ(usb_msg_build(out, 5, 1, 1, 0), -1);
    // The length is little endian; the largest that fits the buffer (4 MiB
    // - 6) is the fuzz harness's to hold to.
    const Bytes header = unhex("0282 01000200");
    UsbMsgHeader m;
    ASSERT_EQ(usb_msg_parse_header(header.data(), header.size(), &m), 0);
    EXPECT_EQ(m.cls * 256 + m.type, 0x0282);
    EXPECT_EQ(m.length, 131073u);
    // The next message of a byte block: the second one lacks its payload byte.
    const Bytes two = unhex("0181 02000000 aabb 0283 01000000");
    UsbMsgHeader h;
    const uint8_t *p = nullptr;
    ASSERT_EQ(usb_next_message(two.data(), two.size(), &h, &p), 8);
    EXPECT_EQ(p, two.data() + 6);
    EXPECT_EQ(usb_next_message(two.data() + 8, two.size() - 8, &h, &p), 0);
    // The mode-switch report: 0c 80, then zeros to the interface's length.
    Bytes r(9, 0xEE);
    ASSERT_EQ(usb_mode_switch_report(r.data(), r.size()), 9);
    EXPECT_EQ(hex(r), "0c8000000000000000");
    EXPECT_EQ(usb_mode_switch_report(r.data(), 1), -1);
}

TEST(UsbPipes, LastBulkPipeOfEachDirectionWins)
{
    // Interrupt (3) and isochronous (1) pipes are skipped.
    const UsbEndpointInfo eps[] = {{0x81, 0x02}, {0x83, 0x03}, {0x01, 0x02}, {0x82, 0x02}, {0x04, 0x02}, {0x05, 0x01}};
    uint8_t in = 0, out = 0;
    ASSERT_EQ(usb_pick_pipes(eps, 6, &in, &out), 0);
    EXPECT_EQ(in * 256 + out, 0x8204);
    EXPECT_EQ(usb_pick_pipes(eps + 2, 1, &in, &out), -1) << "no bulk in";
}

namespace {

// Hands out at most `chunk` bytes a read, and records what each read asked.
struct ScriptedPipe {
    Bytes data;
    size_t chunk = SIZE_MAX;
    size_t pos = 0;
    std::vector<size_t> asked;

    static int read(void *c, uint8_t *dst, size_t n)
    {
        auto *p = (ScriptedPipe *)c;
        p->asked.push_back(n);
        size_t k = std::min({n, p->chunk, p->data.size() - p->pos});
        if (k == 0)
            return -1;
        std::memcpy(dst, p->data.data() + p->pos, k);
        p->pos += k;
        return (int)k;
    }
};

Bytes message(uint8_t cls, uint8_t type, const Bytes &payload)
{
    uint32_t n = (uint32_t)payload.size();
    return cat({{cls, type, (uint8_t)n, (uint8_t)(n >> 8), (uint8_t)(n >> 16), (uint8_t)(n >> 24)}, payload});
}

Bytes counting(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (uint8_t)(i * 13);
    return b;
}

} // namespace

TEST(UsbReadMessage, PiecesShortReadsAndAPipeThatEnds)
{
    const size_t big = USB_RECEIVE_BUFFER_SIZE;
    const struct {
        const char *what;
        Bytes data;
        size_t chunk, cap;
        int result;
        std::vector<size_t> asked;
    } cases[] = {
        {"payload in pieces of 131072", message(2, 0x82, counting(131073)), SIZE_MAX, big, 0, {6, 131072, 1}},
        {"short reads continue until the piece is whole", message(2, 0x83, counting(2500)), 1000, 16384, 0,
         {6, 2500, 1500, 500}},
        {"the pipe ends within the payload", unhex("0282 64000000 0102"), SIZE_MAX, big, -1, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedPipe pipe;
        pipe.data = cat({c.data, {0x77}}); // the next message's first byte stays unread
        pipe.chunk = c.chunk;
        UsbReader r{&pipe, ScriptedPipe::read};
        Bytes buf(c.cap, 0);
        UsbMsgHeader h;
        ASSERT_EQ(usb_read_message(&r, buf.data(), buf.size(), &h), c.result);
        if (c.result == 0) {
            EXPECT_EQ(pipe.asked, c.asked);
            EXPECT_EQ(pipe.pos, c.data.size());
            EXPECT_EQ(Bytes(buf.begin(), buf.begin() + c.data.size()), c.data);
        }
    }
}

namespace {

// Records every effect as a line of text, in order.
struct Recorder {
    bool video_present = false;
    bool audio_on = true;
    int ack_result = 0;
    std::vector<std::string> events;

    static Recorder *R(void *c) { return (Recorder *)c; }
    static void ev(void *c, const std::string &s) { R(c)->events.push_back(s); }
    int feed(const Bytes &msg)
    {
        UsbMsgHeader h;
        const uint8_t *p = nullptr;
        EXPECT_EQ(usb_next_message(msg.data(), msg.size(), &h, &p), (long)msg.size());
        UsbSink s{this,
                  [](void *c) { return R(c)->video_present; },
                  [](void *c, bool v) { R(c)->video_present = v, ev(c, v ? "video_present=1" : "video_present=0"); },
                  [](void *c) { return R(c)->audio_on; },
                  [](void *c, const uint8_t *d, uint32_t n) { ev(c, "submit " + hex(d, n)); },
                  [](void *c) { return ev(c, "ack"), R(c)->ack_result; },
                  [](void *c, uint32_t s) { ev(c, "state " + std::to_string(s)); },
                  [](void *c, uint32_t ch, uint32_t r) { ev(c, "format " + std::to_string(ch) + " " + std::to_string(r)); },
                  [](void *c) { ev(c, "stop"); },
                  [](void *c, const uint8_t *d, uint32_t n) { ev(c, "push " + hex(d, n)); }};
        return usb_dispatch(&s, &h, p);
    }
};

using Events = std::vector<std::string>;

const char *const kAccessUnit = "0282 05000000 0000000165";

} // namespace

TEST(UsbDispatch, MessagesFromTheDongle)
{
    struct Case {
        const char *what;
        bool video_present, audio_on;
        int ack_result;
        std::vector<const char *> msgs;
        int last_result; // of the last message; the others give 0
        Events events;
    } const cases[] = {
        {"video status 1: the 9-byte codec header goes before any access unit", false, true, 0,
         {"0180 0b000000 0109 000000016700000168", kAccessUnit}, 0,
         {"video_present=1", "submit 000000016700000168", "ack", "state 5", "submit 0000000165"}},
        {"codec header length 0x20 with 3 bytes present is cut", false, true, 0, {"0180 05000000 0120 aabbcc"}, 0,
         {"video_present=1", "submit aabbcc", "ack", "state 5"}},
        {"empty video status counts as no picture", true, true, 0, {"0180 00000000"}, 0,
         {"video_present=0", "state 4"}},
        {"failed acknowledgement ends the loop without state 5", false, true, -1, {"0180 02000000 0100"}, -1,
         {"video_present=1", "ack"}},
        {"audio status: 2 channels, 48000 Hz", false, true, 0, {"0181 06000000 0102 80bb0000"}, 0,
         {"format 2 48000"}},
        {"audio status with zero channels changes nothing", false, true, 0, {"0181 06000000 0100 80bb0000"}, 0, {}},
        {"audio status without audio (or empty) stops the output", false, true, 0,
         {"0181 06000000 0002 80bb0000", "0181 00000000"}, 0, {"stop", "stop"}},
        {"audio status too short for the rate changes nothing", false, true, 0, {"0181 03000000 010280"}, 0, {}},
        {"audio data is dropped while audio is off", false, false, 0, {"0283 04000000 01020304"}, 0, {}},
        {"other classes and types are ignored", true, true, 0, {"0280 01000000 01", "0301 00000000"}, 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Recorder r;
        r.video_present = c.video_present;
        r.audio_on = c.audio_on;
        r.ack_result = c.ack_result;
        for (size_t i = 0; i < c.msgs.size(); i++)
            EXPECT_EQ(r.feed(unhex(c.msgs[i])), i + 1 == c.msgs.size() ? c.last_result : 0) << i;
        EXPECT_EQ(r.events, c.events);
    }
}
