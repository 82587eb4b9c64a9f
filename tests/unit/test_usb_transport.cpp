// USB stream transport: message framing, the mode-switch report, pipe choice,
// reading messages in pieces, and what each message from the dongle does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "linkcore/link.h"
#include "linkcore/usb_transport.h"

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Framing

TEST(UsbFraming, StartMessageIsClassOneTypeOneLengthZero)
{
    uint8_t out[6];
    ASSERT_EQ(usb_msg_build(out, sizeof out, USB_CLASS_STATUS, USB_TYPE_START, 0), 6);
    EXPECT_EQ(Bytes(out, out + 6), (Bytes{0x01, 0x01, 0x00, 0x00, 0x00, 0x00}));
}

TEST(UsbFraming, VideoAcknowledgementIsClassOneType50)
{
    uint8_t out[6];
    ASSERT_EQ(usb_msg_build(out, sizeof out, USB_CLASS_STATUS, USB_TYPE_VIDEO_ACK, 0), 6);
    EXPECT_EQ(Bytes(out, out + 6), (Bytes{0x01, 0x50, 0x00, 0x00, 0x00, 0x00}));
}

TEST(UsbFraming, BuildRefusesShortBuffer)
{
    uint8_t out[5];
    EXPECT_EQ(usb_msg_build(out, sizeof out, 1, 1, 0), -1);
}

TEST(UsbFraming, HeaderLengthIsLittleEndian)
{
    const uint8_t h[] = {0x02, 0x82, 0x01, 0x00, 0x02, 0x00};
    UsbMsgHeader m;
    ASSERT_EQ(usb_msg_parse_header(h, sizeof h, &m), 0);
    EXPECT_EQ(m.cls, 2);
    EXPECT_EQ(m.type, 0x82);
    EXPECT_EQ(m.length, 131073u);
}

TEST(UsbFraming, ShortHeaderIsRefused)
{
    const uint8_t h[] = {0x01, 0x80, 0x00, 0x00, 0x00};
    UsbMsgHeader m;
    EXPECT_EQ(usb_msg_parse_header(h, sizeof h, &m), -1);
}

TEST(UsbFraming, LargestPayloadFitsTheBuffer)
{
    // 4 MiB - 6 = 0x3FFFFA
    const uint8_t h[] = {0x02, 0x82, 0xFA, 0xFF, 0x3F, 0x00};
    UsbMsgHeader m;
    EXPECT_EQ(usb_msg_parse_header(h, sizeof h, &m), 0);
    EXPECT_EQ(m.length, 4194298u);
}

TEST(UsbFraming, FourMiBMinusFiveCannotBeHeld)
{
    const uint8_t h[] = {0x02, 0x82, 0xFB, 0xFF, 0x3F, 0x00};
    UsbMsgHeader m;
    EXPECT_EQ(usb_msg_parse_header(h, sizeof h, &m), -2);
    const uint8_t huge[] = {0x01, 0x80, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(usb_msg_parse_header(huge, sizeof huge, &m), -2);
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

TEST(UsbModeSwitch, ReportIs0C80ThenZeros)
{
    Bytes r(64, 0xEE);
    ASSERT_EQ(usb_mode_switch_report(r.data(), r.size()), 64);
    Bytes want(64, 0);
    want[0] = 0x0C;
    want[1] = 0x80;
    EXPECT_EQ(r, want);
}

TEST(UsbModeSwitch, ReportTakesTheInterfaceLength)
{
    Bytes r(9, 0xEE);
    ASSERT_EQ(usb_mode_switch_report(r.data(), r.size()), 9);
    EXPECT_EQ(r, (Bytes{0x0C, 0x80, 0, 0, 0, 0, 0, 0, 0}));
    uint8_t one[1];
    EXPECT_EQ(usb_mode_switch_report(one, 1), -1);
}

TEST(UsbPipes, BulkInAndOutAreFound)
{
    const UsbEndpointInfo eps[] = {{0x81, 0x02}, {0x02, 0x02}};
    uint8_t in = 0, out = 0;
    ASSERT_EQ(usb_pick_pipes(eps, 2, &in, &out), 0);
    EXPECT_EQ(in, 0x81);
    EXPECT_EQ(out, 0x02);
}

TEST(UsbPipes, LastOfEachKindWinsAndOtherTypesAreSkipped)
{
    const UsbEndpointInfo eps[] = {{0x81, 0x02}, {0x83, 0x03}, {0x01, 0x02}, {0x82, 0x02}, {0x04, 0x02}, {0x05, 0x01}};
    uint8_t in = 0, out = 0;
    ASSERT_EQ(usb_pick_pipes(eps, 6, &in, &out), 0);
    EXPECT_EQ(in, 0x82);
    EXPECT_EQ(out, 0x04);
}

TEST(UsbPipes, MissingPipeFails)
{
    const UsbEndpointInfo only_in[] = {{0x81, 0x02}, {0x02, 0x03}};
    uint8_t in = 0, out = 0;
    EXPECT_EQ(usb_pick_pipes(only_in, 2, &in, &out), -1);
    const UsbEndpointInfo only_out[] = {{0x01, 0x02}};
    EXPECT_EQ(usb_pick_pipes(only_out, 1, &in, &out), -1);
    EXPECT_EQ(usb_pick_pipes(nullptr, 0, &in, &out), -1);
}

// ---------------------------------------------------------------------------
// Reading messages

TEST(UsbPieces, CountAndSizes)
{
    EXPECT_EQ(usb_piece_count(0), 0u);
    EXPECT_EQ(usb_piece_count(1), 1u);
    EXPECT_EQ(usb_piece_count(131072), 1u);
    EXPECT_EQ(usb_piece_count(131073), 2u);
    EXPECT_EQ(usb_piece_size(131073, 0), 131072u);
    EXPECT_EQ(usb_piece_size(131073, 1), 1u);
    EXPECT_EQ(usb_piece_size(131073, 2), 0u);
    EXPECT_EQ(usb_piece_count(USB_MAX_PAYLOAD), 32u);
    EXPECT_EQ(usb_piece_size(USB_MAX_PAYLOAD, 31), 131072u - 6u);
}

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

TEST(UsbReadMessage, PayloadOf131072IsReadInOnePiece)
{
    ScriptedPipe pipe;
    Bytes payload(131072);
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = (uint8_t)(i * 13);
    pipe.data = message(2, 0x82, payload);
    UsbReader r{&pipe, ScriptedPipe::read};
    Bytes buf(USB_RECEIVE_BUFFER_SIZE);
    UsbMsgHeader h;
    ASSERT_EQ(usb_read_message(&r, buf.data(), buf.size(), &h), 0);
    EXPECT_EQ(pipe.asked, (std::vector<size_t>{6, 131072}));
    EXPECT_EQ(h.length, 131072u);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), buf.begin() + 6));
}

TEST(UsbReadMessage, PayloadOf131073IsReadInTwoPieces)
{
    ScriptedPipe pipe;
    Bytes payload(131073, 0x5A);
    payload.back() = 0xA5;
    pipe.data = message(2, 0x82, payload);
    UsbReader r{&pipe, ScriptedPipe::read};
    Bytes buf(USB_RECEIVE_BUFFER_SIZE);
    UsbMsgHeader h;
    ASSERT_EQ(usb_read_message(&r, buf.data(), buf.size(), &h), 0);
    EXPECT_EQ(pipe.asked, (std::vector<size_t>{6, 131072, 1}));
    EXPECT_EQ(buf[6 + 131072], 0xA5);
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
    UsbReader r{&pipe, ScriptedPipe::read};
    Bytes buf(16384);
    UsbMsgHeader h;
    ASSERT_EQ(usb_read_message(&r, buf.data(), buf.size(), &h), 0);
    EXPECT_EQ(pipe.asked, (std::vector<size_t>{6, 2500, 1500, 500}));
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), buf.begin() + 6));
    EXPECT_EQ(pipe.pos, 6u + 2500u);
}

TEST(UsbReadMessage, HeaderInDribbles)
{
    ScriptedPipe pipe;
    pipe.chunk = 1;
    pipe.data = message(1, 0x80, Bytes{0x00, 0x00});
    UsbReader r{&pipe, ScriptedPipe::read};
    Bytes buf(64);
    UsbMsgHeader h;
    ASSERT_EQ(usb_read_message(&r, buf.data(), buf.size(), &h), 0);
    EXPECT_EQ(h.type, 0x80);
    EXPECT_EQ(h.length, 2u);
}

TEST(UsbReadMessage, FailedReadEndsTheMessage)
{
    ScriptedPipe pipe;
    pipe.data = message(2, 0x82, Bytes(131073, 1));
    pipe.fail_at = 2;  // the second payload piece
    UsbReader r{&pipe, ScriptedPipe::read};
    Bytes buf(USB_RECEIVE_BUFFER_SIZE);
    UsbMsgHeader h;
    EXPECT_EQ(usb_read_message(&r, buf.data(), buf.size(), &h), -1);

    ScriptedPipe empty;
    UsbReader r2{&empty, ScriptedPipe::read};
    EXPECT_EQ(usb_read_message(&r2, buf.data(), buf.size(), &h), -1);
}

TEST(UsbReadMessage, LengthFourMiBMinusFiveEndsWithoutReadingThePayload)
{
    ScriptedPipe pipe;
    pipe.data = {0x02, 0x82, 0xFB, 0xFF, 0x3F, 0x00, 0x11, 0x22};
    UsbReader r{&pipe, ScriptedPipe::read};
    Bytes buf(USB_RECEIVE_BUFFER_SIZE);
    UsbMsgHeader h;
    EXPECT_EQ(usb_read_message(&r, buf.data(), buf.size(), &h), -2);
    EXPECT_EQ(pipe.asked, (std::vector<size_t>{6}));
}

TEST(UsbReadMessage, LengthBeyondTheCallersBufferIsRefused)
{
    ScriptedPipe pipe;
    pipe.data = message(2, 0x83, Bytes(100, 1));
    UsbReader r{&pipe, ScriptedPipe::read};
    Bytes buf(64);
    UsbMsgHeader h;
    EXPECT_EQ(usb_read_message(&r, buf.data(), buf.size(), &h), -2);
}

// ---------------------------------------------------------------------------
// Dispatch

namespace {

// Records every effect as a line of text, in order.
struct Recorder {
    bool video_present = false;
    bool audio_on = true;
    int ack_result = 0;
    std::vector<std::string> events;
    std::vector<Bytes> submitted, pushed;

    static Recorder *R(void *c) { return (Recorder *)c; }
    static bool get_video(void *c) { return R(c)->video_present; }
    static void set_video(void *c, bool v)
    {
        R(c)->video_present = v;
        R(c)->events.push_back(v ? "video_present=1" : "video_present=0");
    }
    static bool get_audio(void *c) { return R(c)->audio_on; }
    static void submit(void *c, const uint8_t *d, uint32_t n)
    {
        R(c)->submitted.emplace_back(d, d + n);
        R(c)->events.push_back("submit " + std::to_string(n));
    }
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
    static void push(void *c, const uint8_t *d, uint32_t n)
    {
        R(c)->pushed.emplace_back(d, d + n);
        R(c)->events.push_back("push " + std::to_string(n));
    }

    UsbSink sink() { return UsbSink{this, get_video, set_video, get_audio, submit, ack, state, format, stop, push}; }

    int feed(const Bytes &msg)
    {
        UsbMsgHeader h;
        const uint8_t *p = nullptr;
        long used = usb_next_message(msg.data(), msg.size(), &h, &p);
        EXPECT_EQ(used, (long)msg.size());
        UsbSink s = sink();
        return usb_dispatch(&s, &h, p);
    }
};

using Events = std::vector<std::string>;

}  // namespace

TEST(UsbDispatch, VideoStatusZeroGivesStateFourWithoutAcknowledgement)
{
    Recorder r;
    EXPECT_EQ(r.feed({0x01, 0x80, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}), 0);
    EXPECT_EQ(r.events, (Events{"video_present=0", "state 4"}));
    // Access units that follow are dropped.
    EXPECT_EQ(r.feed({0x02, 0x82, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x65}), 0);
    EXPECT_EQ(r.events, (Events{"video_present=0", "state 4"}));
    EXPECT_TRUE(r.submitted.empty());
}

TEST(UsbDispatch, VideoStatusOneSubmitsCodecHeaderBeforeAnyAccessUnit)
{
    Recorder r;
    // picture present, 9-byte header: SPS start + PPS start
    EXPECT_EQ(r.feed({0x01, 0x80, 0x0B, 0x00, 0x00, 0x00, 0x01, 0x09, 0x00, 0x00, 0x00, 0x01, 0x67, 0x00, 0x00,
                      0x01, 0x68}),
              0);
    EXPECT_EQ(r.feed({0x02, 0x82, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x65}), 0);
    EXPECT_EQ(r.events, (Events{"video_present=1", "submit 9", "ack", "state 5", "submit 5"}));
    ASSERT_EQ(r.submitted.size(), 2u);
    EXPECT_EQ(r.submitted[0], (Bytes{0x00, 0x00, 0x00, 0x01, 0x67, 0x00, 0x00, 0x01, 0x68}));
    EXPECT_EQ(r.submitted[1], (Bytes{0x00, 0x00, 0x00, 0x01, 0x65}));
}

TEST(UsbDispatch, CodecHeaderLongerThanThePayloadIsCut)
{
    Recorder r;
    // byte 1 says 0x20 bytes, only 3 follow
    EXPECT_EQ(r.feed({0x01, 0x80, 0x05, 0x00, 0x00, 0x00, 0x01, 0x20, 0xAA, 0xBB, 0xCC}), 0);
    ASSERT_EQ(r.submitted.size(), 1u);
    EXPECT_EQ(r.submitted[0], (Bytes{0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(r.events.back(), "state 5");
}

TEST(UsbDispatch, EmptyVideoStatusCountsAsNoPicture)
{
    Recorder r;
    r.video_present = true;
    EXPECT_EQ(r.feed({0x01, 0x80, 0x00, 0x00, 0x00, 0x00}), 0);
    EXPECT_EQ(r.events, (Events{"video_present=0", "state 4"}));
}

TEST(UsbDispatch, FailedAcknowledgementEndsTheLoopWithoutStateFive)
{
    Recorder r;
    r.ack_result = -1;
    EXPECT_EQ(r.feed({0x01, 0x80, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00}), -1);
    EXPECT_EQ(r.events, (Events{"video_present=1", "ack"}));
}

TEST(UsbDispatch, AudioStatusSetsTheFormat)
{
    Recorder r;
    // present, 2 channels, 48000 Hz = 0xBB80
    EXPECT_EQ(r.feed({0x01, 0x81, 0x06, 0x00, 0x00, 0x00, 0x01, 0x02, 0x80, 0xBB, 0x00, 0x00}), 0);
    EXPECT_EQ(r.events, (Events{"format 2 48000"}));
}

TEST(UsbDispatch, AudioStatusWithZeroChannelsChangesNothing)
{
    Recorder r;
    EXPECT_EQ(r.feed({0x01, 0x81, 0x06, 0x00, 0x00, 0x00, 0x01, 0x00, 0x80, 0xBB, 0x00, 0x00}), 0);
    EXPECT_TRUE(r.events.empty());
}

TEST(UsbDispatch, AudioStatusWithoutAudioStopsTheOutput)
{
    Recorder r;
    EXPECT_EQ(r.feed({0x01, 0x81, 0x06, 0x00, 0x00, 0x00, 0x00, 0x02, 0x80, 0xBB, 0x00, 0x00}), 0);
    EXPECT_EQ(r.feed({0x01, 0x81, 0x00, 0x00, 0x00, 0x00}), 0);
    EXPECT_EQ(r.events, (Events{"stop", "stop"}));
}

TEST(UsbDispatch, AudioStatusTooShortForTheRateChangesNothing)
{
    Recorder r;
    EXPECT_EQ(r.feed({0x01, 0x81, 0x03, 0x00, 0x00, 0x00, 0x01, 0x02, 0x80}), 0);
    EXPECT_TRUE(r.events.empty());
}

TEST(UsbDispatch, AudioDataIsDroppedWhileAudioIsOff)
{
    Recorder r;
    r.audio_on = false;
    EXPECT_EQ(r.feed({0x02, 0x83, 0x04, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04}), 0);
    EXPECT_TRUE(r.events.empty());
    r.audio_on = true;
    EXPECT_EQ(r.feed({0x02, 0x83, 0x04, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04}), 0);
    ASSERT_EQ(r.pushed.size(), 1u);
    EXPECT_EQ(r.pushed[0], (Bytes{0x01, 0x02, 0x03, 0x04}));
}

TEST(UsbDispatch, OtherClassesAndTypesAreIgnored)
{
    Recorder r;
    r.video_present = true;
    EXPECT_EQ(r.feed({0x02, 0x80, 0x01, 0x00, 0x00, 0x00, 0x01}), 0);  // status type in the media class
    EXPECT_EQ(r.feed({0x01, 0x82, 0x01, 0x00, 0x00, 0x00, 0x01}), 0);  // media type in the status class
    EXPECT_EQ(r.feed({0x03, 0x01, 0x00, 0x00, 0x00, 0x00}), 0);
    EXPECT_EQ(r.feed({0x01, 0x01, 0x00, 0x00, 0x00, 0x00}), 0);        // the start message echoed
    EXPECT_EQ(r.feed({0x02, 0x82, 0x00, 0x00, 0x00, 0x00}), 0);        // empty access unit
    EXPECT_TRUE(r.events.empty());
}
