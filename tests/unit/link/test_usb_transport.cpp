// USB stream transport: message framing, the mode-switch report, pipe choice,
// reading messages in pieces, and what each message from the dongle does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "link/link.h"
#include "link/usb_transport.h"

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Framing

TEST(UsbFraming, BuildWritesClassTypeAndZeroLength)
{
    uint8_t out[6];
    ASSERT_EQ(usb_msg_build(out, sizeof out, USB_CLASS_STATUS, USB_TYPE_START, 0), 6);
    EXPECT_EQ(Bytes(out, out + 6), (Bytes{0x01, 0x01, 0x00, 0x00, 0x00, 0x00}));
    ASSERT_EQ(usb_msg_build(out, sizeof out, USB_CLASS_STATUS, USB_TYPE_VIDEO_ACK, 0), 6);
    EXPECT_EQ(Bytes(out, out + 6), (Bytes{0x01, 0x50, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(usb_msg_build(out, 5, 1, 1, 0), -1);
}

TEST(UsbFraming, HeaderParse)
{
    struct Case {
        Bytes h;
        int result;
        uint32_t length;
    } const cases[] = {
        {{0x02, 0x82, 0x01, 0x00, 0x02, 0x00}, 0, 131073},  // little endian
        {{0x02, 0x82, 0xFA, 0xFF, 0x3F, 0x00}, 0, 4194298}, // 4 MiB - 6: the largest that fits
        {{0x02, 0x82, 0xFB, 0xFF, 0x3F, 0x00}, -2, 0},      // 4 MiB - 5 cannot be held
        {{0x01, 0x80, 0xFF, 0xFF, 0xFF, 0xFF}, -2, 0},
        {{0x01, 0x80, 0x00, 0x00, 0x00}, -1, 0},            // short header
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.h));
        UsbMsgHeader m;
        ASSERT_EQ(usb_msg_parse_header(c.h.data(), c.h.size(), &m), c.result);
        if (c.result == 0) {
            EXPECT_EQ(m.cls, c.h[0]);
            EXPECT_EQ(m.type, c.h[1]);
            EXPECT_EQ(m.length, c.length);
        }
    }
}

TEST(UsbFraming, NextMessageInAByteBlock)
{
    const uint8_t two[] = {0x01, 0x81, 0x02, 0x00, 0x00, 0x00, 0xAA, 0xBB, 0x02, 0x83, 0x01, 0x00, 0x00, 0x00};
    UsbMsgHeader h;
    const uint8_t *p = nullptr;
    ASSERT_EQ(usb_next_message(two, sizeof two, &h, &p), 8);
    EXPECT_EQ(h.type, 0x81);
    EXPECT_EQ(p, two + 6);
    // The second lacks its one payload byte.
    EXPECT_EQ(usb_next_message(two + 8, sizeof two - 8, &h, &p), 0);
    EXPECT_EQ(usb_next_message(two, 5, &h, &p), 0);
    const uint8_t big[] = {0x02, 0x82, 0xFB, 0xFF, 0x3F, 0x00};
    EXPECT_EQ(usb_next_message(big, sizeof big, &h, &p), -2);
}

// ---------------------------------------------------------------------------
// Mode switch report and pipes

TEST(UsbModeSwitch, ReportIs0C80ThenZerosOfTheInterfaceLength)
{
    Bytes r(64, 0xEE);
    ASSERT_EQ(usb_mode_switch_report(r.data(), r.size()), 64);
    Bytes want(64, 0);
    want[0] = 0x0C;
    want[1] = 0x80;
    EXPECT_EQ(r, want);
    r.assign(9, 0xEE);
    ASSERT_EQ(usb_mode_switch_report(r.data(), r.size()), 9);
    EXPECT_EQ(r, (Bytes{0x0C, 0x80, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(usb_mode_switch_report(r.data(), 1), -1);
}

TEST(UsbPipes, LastBulkPipeOfEachDirectionWins)
{
    struct Case {
        std::vector<UsbEndpointInfo> eps;
        int result;
        uint8_t in, out;
    } const cases[] = {
        {{{0x81, 0x02}, {0x02, 0x02}}, 0, 0x81, 0x02},
        // interrupt and isochronous pipes are skipped
        {{{0x81, 0x02}, {0x83, 0x03}, {0x01, 0x02}, {0x82, 0x02}, {0x04, 0x02}, {0x05, 0x01}}, 0, 0x82, 0x04},
        {{{0x81, 0x02}, {0x02, 0x03}}, -1, 0, 0}, // no bulk out
        {{{0x01, 0x02}}, -1, 0, 0},               // no bulk in
        {{}, -1, 0, 0},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(i);
        const Case &c = cases[i];
        uint8_t in = 0, out = 0;
        ASSERT_EQ(usb_pick_pipes(c.eps.empty() ? nullptr : c.eps.data(), (int)c.eps.size(), &in, &out), c.result);
        if (c.result == 0) {
            EXPECT_EQ(in, c.in);
            EXPECT_EQ(out, c.out);
        }
    }
}

// ---------------------------------------------------------------------------
// Reading messages

namespace {

// A pipe that hands out a byte block, at most `chunk` bytes a read, and
// records what each read asked for. fail_at: the read that fails (from 0).
struct ScriptedPipe {
    Bytes data;
    size_t pos = 0;
    size_t chunk = SIZE_MAX;
    int fail_at = -1;
    std::vector<size_t> asked;

    static int read(void *c, uint8_t *dst, size_t n)
    {
        auto *p = (ScriptedPipe *)c;
        p->asked.push_back(n);
        if (p->fail_at >= 0 && (int)p->asked.size() - 1 == p->fail_at)
            return -1;
        size_t k = std::min({n, p->chunk, p->data.size() - p->pos});
        if (k == 0)
            return -1;  // nothing more: the pipe has failed
        std::memcpy(dst, p->data.data() + p->pos, k);
        p->pos += k;
        return (int)k;
    }
};

Bytes message(uint8_t cls, uint8_t type, const Bytes &payload)
{
    Bytes m(6 + payload.size());
    uint32_t n = (uint32_t)payload.size();
    m[0] = cls;
    m[1] = type;
    m[2] = (uint8_t)n;
    m[3] = (uint8_t)(n >> 8);
    m[4] = (uint8_t)(n >> 16);
    m[5] = (uint8_t)(n >> 24);
    std::copy(payload.begin(), payload.end(), m.begin() + 6);
    return m;
}

}  // namespace

namespace {

int read_one(ScriptedPipe &pipe, size_t cap, UsbMsgHeader *h, Bytes *buf)
{
    UsbReader r{&pipe, ScriptedPipe::read};
    buf->assign(cap, 0);
    return usb_read_message(&r, buf->data(), buf->size(), h);
}

} // namespace

TEST(UsbReadMessage, PayloadIsReadInPiecesOf131072)
{
    for (size_t n : {size_t(131072), size_t(131073)}) {
        SCOPED_TRACE(n);
        Bytes payload(n);
        for (size_t i = 0; i < n; i++)
            payload[i] = (uint8_t)(i * 13);
        ScriptedPipe pipe;
        pipe.data = message(2, 0x82, payload);
        Bytes buf;
        UsbMsgHeader h;
        ASSERT_EQ(read_one(pipe, USB_RECEIVE_BUFFER_SIZE, &h, &buf), 0);
        std::vector<size_t> want{6, 131072};
        if (n > 131072)
            want.push_back(1);
        EXPECT_EQ(pipe.asked, want);
        EXPECT_EQ(h.length, n);
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), buf.begin() + 6));
    }
}

TEST(UsbReadMessage, ShortReadsAreContinuedUntilThePieceIsWhole)
{
    ScriptedPipe pipe;
    pipe.chunk = 1000;
    Bytes payload(2500);
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = (uint8_t)i;
    pipe.data = message(2, 0x83, payload);
    pipe.data.resize(pipe.data.size() + 1, 0x77);  // next message's first byte stays unread
    Bytes buf;
    UsbMsgHeader h;
    ASSERT_EQ(read_one(pipe, 16384, &h, &buf), 0);
    EXPECT_EQ(pipe.asked, (std::vector<size_t>{6, 2500, 1500, 500}));
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), buf.begin() + 6));
    EXPECT_EQ(pipe.pos, 6u + 2500u);

    // The header too may come a byte at a time.
    ScriptedPipe dribble;
    dribble.chunk = 1;
    dribble.data = message(1, 0x80, Bytes{0x00, 0x00});
    ASSERT_EQ(read_one(dribble, 64, &h, &buf), 0);
    EXPECT_EQ(h.type, 0x80);
    EXPECT_EQ(h.length, 2u);
}

TEST(UsbReadMessage, FailuresAndOversizedLengths)
{
    Bytes buf;
    UsbMsgHeader h;
    ScriptedPipe failing;
    failing.data = message(2, 0x82, Bytes(131073, 1));
    failing.fail_at = 2;  // the second payload piece
    EXPECT_EQ(read_one(failing, USB_RECEIVE_BUFFER_SIZE, &h, &buf), -1);

    ScriptedPipe empty;
    EXPECT_EQ(read_one(empty, USB_RECEIVE_BUFFER_SIZE, &h, &buf), -1);

    // 4 MiB - 5 ends without reading the payload.
    ScriptedPipe huge;
    huge.data = {0x02, 0x82, 0xFB, 0xFF, 0x3F, 0x00, 0x11, 0x22};
    EXPECT_EQ(read_one(huge, USB_RECEIVE_BUFFER_SIZE, &h, &buf), -2);
    EXPECT_EQ(huge.asked, (std::vector<size_t>{6}));

    // A length beyond the caller's buffer is refused.
    ScriptedPipe big;
    big.data = message(2, 0x83, Bytes(100, 1));
    EXPECT_EQ(read_one(big, 64, &h, &buf), -2);
}

// ---------------------------------------------------------------------------
// Dispatch

namespace {

std::string hex(const uint8_t *d, uint32_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint32_t i = 0; i < n; i++) {
        out += digits[d[i] >> 4];
        out += digits[d[i] & 15];
    }
    return out;
}

// Records every effect as a line of text, in order; data handed on is
// written out in hex.
struct Recorder {
    bool video_present = false;
    bool audio_on = true;
    int ack_result = 0;
    std::vector<std::string> events;

    static Recorder *R(void *c) { return (Recorder *)c; }
    static bool get_video(void *c) { return R(c)->video_present; }
    static void set_video(void *c, bool v)
    {
        R(c)->video_present = v;
        R(c)->events.push_back(v ? "video_present=1" : "video_present=0");
    }
    static bool get_audio(void *c) { return R(c)->audio_on; }
    static void submit(void *c, const uint8_t *d, uint32_t n) { R(c)->events.push_back("submit " + hex(d, n)); }
    static int ack(void *c)
    {
        R(c)->events.push_back("ack");
        return R(c)->ack_result;
    }
    static void state(void *c, uint32_t s) { R(c)->events.push_back("state " + std::to_string(s)); }
    static void format(void *c, uint32_t ch, uint32_t rate)
    {
        R(c)->events.push_back("format " + std::to_string(ch) + " " + std::to_string(rate));
    }
    static void stop(void *c) { R(c)->events.push_back("stop"); }
    static void push(void *c, const uint8_t *d, uint32_t n) { R(c)->events.push_back("push " + hex(d, n)); }

    int feed(const Bytes &msg)
    {
        UsbMsgHeader h;
        const uint8_t *p = nullptr;
        long used = usb_next_message(msg.data(), msg.size(), &h, &p);
        EXPECT_EQ(used, (long)msg.size());
        UsbSink s{this, get_video, set_video, get_audio, submit, ack, state, format, stop, push};
        return usb_dispatch(&s, &h, p);
    }
};

using Events = std::vector<std::string>;

const Bytes kAccessUnit = {0x02, 0x82, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x65};

} // namespace

TEST(UsbDispatch, MessagesFromTheDongle)
{
    struct Case {
        const char *what;
        bool video_present, audio_on;
        int ack_result;
        std::vector<Bytes> msgs;
        int last_result; // of the last message; the others give 0
        Events events;
    } const cases[] = {
        {"video status 0: state 4 without acknowledgement; access units dropped", false, true, 0,
         {{0x01, 0x80, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}, kAccessUnit}, 0,
         {"video_present=0", "state 4"}},
        {"video status 1: the 9-byte codec header goes before any access unit", false, true, 0,
         {{0x01, 0x80, 0x0B, 0x00, 0x00, 0x00, 0x01, 0x09, 0x00, 0x00, 0x00, 0x01, 0x67, 0x00, 0x00, 0x01, 0x68},
          kAccessUnit},
         0,
         {"video_present=1", "submit 000000016700000168", "ack", "state 5", "submit 0000000165"}},
        {"codec header length 0x20 with 3 bytes present is cut", false, true, 0,
         {{0x01, 0x80, 0x05, 0x00, 0x00, 0x00, 0x01, 0x20, 0xAA, 0xBB, 0xCC}}, 0,
         {"video_present=1", "submit AABBCC", "ack", "state 5"}},
        {"empty video status counts as no picture", true, true, 0, {{0x01, 0x80, 0x00, 0x00, 0x00, 0x00}}, 0,
         {"video_present=0", "state 4"}},
        {"failed acknowledgement ends the loop without state 5", false, true, -1,
         {{0x01, 0x80, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00}}, -1, {"video_present=1", "ack"}},
        {"audio status: 2 channels, 48000 Hz", false, true, 0,
         {{0x01, 0x81, 0x06, 0x00, 0x00, 0x00, 0x01, 0x02, 0x80, 0xBB, 0x00, 0x00}}, 0, {"format 2 48000"}},
        {"audio status with zero channels changes nothing", false, true, 0,
         {{0x01, 0x81, 0x06, 0x00, 0x00, 0x00, 0x01, 0x00, 0x80, 0xBB, 0x00, 0x00}}, 0, {}},
        {"audio status without audio (or empty) stops the output", false, true, 0,
         {{0x01, 0x81, 0x06, 0x00, 0x00, 0x00, 0x00, 0x02, 0x80, 0xBB, 0x00, 0x00},
          {0x01, 0x81, 0x00, 0x00, 0x00, 0x00}},
         0, {"stop", "stop"}},
        {"audio status too short for the rate changes nothing", false, true, 0,
         {{0x01, 0x81, 0x03, 0x00, 0x00, 0x00, 0x01, 0x02, 0x80}}, 0, {}},
        {"audio data is dropped while audio is off", false, false, 0,
         {{0x02, 0x83, 0x04, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04}}, 0, {}},
        {"audio data is pushed while audio is on", false, true, 0,
         {{0x02, 0x83, 0x04, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04}}, 0, {"push 01020304"}},
        {"other classes and types are ignored", true, true, 0,
         {{0x02, 0x80, 0x01, 0x00, 0x00, 0x00, 0x01}, // status type in the media class
          {0x01, 0x82, 0x01, 0x00, 0x00, 0x00, 0x01}, // media type in the status class
          {0x03, 0x01, 0x00, 0x00, 0x00, 0x00},
          {0x01, 0x01, 0x00, 0x00, 0x00, 0x00},       // the start message echoed
          {0x02, 0x82, 0x00, 0x00, 0x00, 0x00}},      // empty access unit
         0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Recorder r;
        r.video_present = c.video_present;
        r.audio_on = c.audio_on;
        r.ack_result = c.ack_result;
        for (size_t i = 0; i < c.msgs.size(); i++)
            EXPECT_EQ(r.feed(c.msgs[i]), i + 1 == c.msgs.size() ? c.last_result : 0) << i;
        EXPECT_EQ(r.events, c.events);
    }
}
