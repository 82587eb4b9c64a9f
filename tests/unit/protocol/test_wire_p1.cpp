// Protocol 1: control stream messages both ways, datagram blocks, fragment
// acknowledgements and frame lengths. Expected bytes are written out by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/wire.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes three(int (*build)(uint8_t *))
{
    uint8_t b[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(build(b), 3);
    return Bytes(b, b + 3);
}

Bytes three_sw(int (*build)(uint8_t *, bool), bool on)
{
    uint8_t b[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(build(b, on), 3);
    return Bytes(b, b + 3);
}

// A heap copy of exactly v.size() bytes so the address sanitizer catches any
// read past the end.
struct Exact {
    explicit Exact(const Bytes &v) : n(v.size()), p(new uint8_t[v.size() ? v.size() : 1])
    {
        if (n)
            std::memcpy(p, v.data(), n);
    }
    ~Exact() { delete[] p; }
    Exact(const Exact &) = delete;
    Exact &operator=(const Exact &) = delete;
    size_t n;
    uint8_t *p;
};

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

} // namespace

// ---------------------------------------------------------------------------
// Viewer to device.

TEST(P1ViewerMessages, ThreeByteMessages)
{
    EXPECT_EQ(three_sw(p1_build_input, true), (Bytes{0x03, 0x00, 0x14}));
    EXPECT_EQ(three_sw(p1_build_input, false), (Bytes{0x03, 0x00, 0x0B}));
    EXPECT_EQ(three_sw(p1_build_audio, true), (Bytes{0x03, 0x00, 0x12}));
    EXPECT_EQ(three_sw(p1_build_audio, false), (Bytes{0x03, 0x00, 0x09}));
    EXPECT_EQ(three_sw(p1_build_stream_switch, true), (Bytes{0x03, 0x00, 0x13}));
    EXPECT_EQ(three_sw(p1_build_stream_switch, false), (Bytes{0x03, 0x00, 0x0A}));
    EXPECT_EQ(three(p1_build_stream_go), (Bytes{0x03, 0x00, 0x29}));
    EXPECT_EQ(three(p1_build_key_frame_request), (Bytes{0x03, 0x00, 0x50}));
    EXPECT_EQ(three(p1_build_video_start_ack), (Bytes{0x03, 0x00, 0x11}));
    EXPECT_EQ(three(p1_build_keepalive_answer), (Bytes{0x03, 0x00, 0xF0}));
}

TEST(P1ViewerMessages, ZeroSetting)
{
    uint8_t b[4];
    ASSERT_EQ(p1_build_zero_setting(b, 0), 4);
    EXPECT_EQ(Bytes(b, b + 4), (Bytes{0x04, 0x00, 0x28, 0x00}));
}

TEST(P1ViewerMessages, GenericMessage)
{
    uint8_t b[8];
    const uint8_t params[2] = {0xAB, 0xCD};
    ASSERT_EQ(p1_build_message(b, sizeof b, 0x77, params, 2), 5);
    EXPECT_EQ(Bytes(b, b + 5), (Bytes{0x05, 0x00, 0x77, 0xAB, 0xCD}));
    EXPECT_EQ(p1_build_message(b, 4, 0x77, params, 2), -1);
}

TEST(P1ViewerMessages, SettingCodesMatchBothProtocols)
{
    EXPECT_EQ(wire_setting_p1_code(0, 1), 0x13);
    EXPECT_EQ(wire_setting_p1_code(0, 0), 0x0A);
    EXPECT_EQ(wire_setting_p1_code(1, 1), 0x12);
    EXPECT_EQ(wire_setting_p1_code(1, 0), 0x09);
    EXPECT_EQ(wire_setting_p1_code(2, 1), 0x14);
    EXPECT_EQ(wire_setting_p1_code(2, 0), 0x0B);
    EXPECT_EQ(wire_setting_p1_code(4, 0), 0x28);
    EXPECT_EQ(wire_setting_p1_code(5, 0), 0x50);
    EXPECT_EQ(wire_setting_p1_code(7, 0), 0x29);
    EXPECT_EQ(wire_setting_p1_code(3, 0), -1);
    EXPECT_EQ(wire_setting_p1_code(6, 0), -1);

    uint8_t s = 0xEE, v = 0xEE;
    ASSERT_EQ(wire_p1_code_setting(0x12, &s, &v), 0);
    EXPECT_EQ(s, 1);
    EXPECT_EQ(v, 1);
    ASSERT_EQ(wire_p1_code_setting(0x0B, &s, &v), 0);
    EXPECT_EQ(s, 2);
    EXPECT_EQ(v, 0);
    ASSERT_EQ(wire_p1_code_setting(0x29, &s, &v), 0);
    EXPECT_EQ(s, 7);
    EXPECT_EQ(wire_p1_code_setting(0xF0, &s, &v), -1);
    EXPECT_EQ(wire_p1_code_setting(0x11, &s, &v), -1);
    EXPECT_EQ(wire_p1_code_setting(0xF1, &s, &v), -1);
}

TEST(P1ViewerFramer, SplitsTheStartSequence)
{
    // Zero setting, input off, audio on, stream switch on, stream go, key-frame request.
    Exact s(Bytes{0x04, 0x00, 0x28, 0x00, 0x03, 0x00, 0x0B, 0x03, 0x00, 0x12, 0x03, 0x00, 0x13,
                  0x03, 0x00, 0x29, 0x03, 0x00, 0x50});
    const uint8_t codes[] = {0x28, 0x0B, 0x12, 0x13, 0x29, 0x50};
    size_t at = 0;
    for (uint8_t code : codes) {
        P1ViewerMsg m;
        ASSERT_EQ(p1_viewer_msg_next(s.p + at, s.n - at, &m), 1);
        EXPECT_EQ(m.code, code);
        if (code == 0x28) {
            ASSERT_EQ(m.param_len, 1u);
            EXPECT_EQ(m.params[0], 0);
            EXPECT_EQ(m.length, 4u);
        } else {
            EXPECT_EQ(m.param_len, 0u);
            EXPECT_EQ(m.length, 3u);
        }
        at += m.length;
    }
    EXPECT_EQ(at, s.n);
    P1ViewerMsg m;
    EXPECT_EQ(p1_viewer_msg_next(s.p + at, 0, &m), 0);
}

TEST(P1ViewerFramer, WaitsForWholeMessage)
{
    Exact s(Bytes{0x04, 0x00, 0x28, 0x00});
    P1ViewerMsg m;
    EXPECT_EQ(p1_viewer_msg_next(s.p, 1, &m), 0);
    EXPECT_EQ(p1_viewer_msg_next(s.p, 2, &m), 0);
    EXPECT_EQ(p1_viewer_msg_next(s.p, 3, &m), 0);
    EXPECT_EQ(p1_viewer_msg_next(s.p, 4, &m), 1);
}

TEST(P1ViewerFramer, UnlockSizedMessages)
{
    // u16 n + 19, F1, 16 nonce bytes, n password bytes: 3 characters -> 22 bytes.
    Bytes unlock = {0x16, 0x00, 0xF1};
    for (int i = 0; i < 19; i++)
        unlock.push_back((uint8_t)i);
    Exact s(unlock);
    P1ViewerMsg m;
    ASSERT_EQ(p1_viewer_msg_next(s.p, s.n, &m), 1);
    EXPECT_EQ(m.code, 0xF1);
    EXPECT_EQ(m.param_len, 19u);
    EXPECT_EQ(m.length, 22u);
    // 16-byte password: 35 bytes, the longest message.
    Bytes longest(35, 0);
    longest[0] = 35;
    longest[2] = 0xF1;
    Exact l(longest);
    ASSERT_EQ(p1_viewer_msg_next(l.p, l.n, &m), 1);
    EXPECT_EQ(m.length, 35u);
}

TEST(P1ViewerFramer, MalformedLengthDropsTheStream)
{
    P1ViewerMsg m;
    const uint8_t zero[] = {0x00, 0x00, 0x14};
    const uint8_t two[] = {0x02, 0x00, 0x14};
    const uint8_t huge[] = {0x24, 0x00, 0xF1};
    const uint8_t wild[] = {0xFF, 0xFF, 0x00};
    EXPECT_EQ(p1_viewer_msg_next(zero, 3, &m), -1);
    EXPECT_EQ(p1_viewer_msg_next(two, 3, &m), -1);
    EXPECT_EQ(p1_viewer_msg_next(huge, 3, &m), -1);
    EXPECT_EQ(p1_viewer_msg_next(wild, 2, &m), -1);
}

// ---------------------------------------------------------------------------
// Device to viewer.

TEST(P1DeviceMessages, AuthStatusAdmitted)
{
    uint8_t b[64];
    ASSERT_EQ(p1_build_auth_status(b, sizeof b, 1), 26);
    const Bytes expected = {0xF1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(Bytes(b, b + 26), expected);
}

TEST(P1DeviceMessages, VideoStartWithFiveBytePayload)
{
    const uint8_t hdr[5] = {0x00, 0x00, 0x00, 0x01, 0x67};
    uint8_t b[64];
    ASSERT_EQ(p1_build_video_start(b, sizeof b, hdr, 5), 31);
    const Bytes expected = {0x20, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x67};
    EXPECT_EQ(Bytes(b, b + 31), expected);
}

TEST(P1DeviceMessages, NoVideoAndKeepAlive)
{
    uint8_t b[26];
    Bytes zeros(26, 0);
    ASSERT_EQ(p1_build_no_video(b, sizeof b), 26);
    Bytes nv = zeros;
    nv[0] = 0x10;
    EXPECT_EQ(Bytes(b, b + 26), nv);
    ASSERT_EQ(p1_build_keepalive(b, sizeof b), 26);
    Bytes ka = zeros;
    ka[0] = 0xF0;
    EXPECT_EQ(Bytes(b, b + 26), ka);
    EXPECT_EQ(p1_build_keepalive(b, 25), -1);
}

TEST(P1DeviceMessages, AudioFormatTrailer)
{
    uint8_t trailer[12];
    p1_build_audio_trailer(trailer, 2, 48000);
    EXPECT_EQ(Bytes(trailer, trailer + 12),
              (Bytes{0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x80, 0xBB, 0x00, 0x00}));
    uint8_t b[64];
    ASSERT_EQ(p1_build_device_msg(b, sizeof b, 0xF1, 0x20, nullptr, 0, trailer, 12, 1), 38);
    const Bytes expected = {0xF1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x80, 0xBB, 0x00, 0x00};
    EXPECT_EQ(Bytes(b, b + 38), expected);
}

TEST(P1ControlFramer, ReadsAudioFormatMessage)
{
    // Type 0x30 (not one the viewer knows) with the audio-format flag and a
    // 3-byte payload before the 12-byte trailer: 2 channels, 48000 Hz.
    Exact s(Bytes{0x30, 0x20, 0x03, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                  0xAA, 0xBB, 0xCC, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x80, 0xBB, 0x00, 0x00});
    P1ControlMsg m;
    ASSERT_EQ(p1_control_next(s.p, s.n, P1_CONTROL_BUFFER_SIZE, &m), 1);
    EXPECT_EQ(m.type, 0x30);
    EXPECT_EQ(m.flag, 0x20);
    EXPECT_EQ(m.l1, 3u);
    EXPECT_EQ(m.l2, 12u);
    EXPECT_EQ(m.total, 41u);
    EXPECT_EQ(m.payload, s.p + 26);
    EXPECT_EQ(m.trailer, s.p + 29);
    uint32_t ch = 0, rate = 0;
    ASSERT_EQ(p1_control_audio_format(&m, &ch, &rate), 1);
    EXPECT_EQ(ch, 2u);
    EXPECT_EQ(rate, 48000u);
}

TEST(P1ControlFramer, ShortTrailerIsNotReadPast)
{
    // Flag 0x20 but only 8 trailer bytes: no audio format, and nothing read
    // beyond the message (the exact-size buffer ends right after it).
    Bytes v(26 + 8, 0);
    v[0] = 0x10;
    v[1] = 0x20;
    v[6] = 8;
    Exact s(v);
    P1ControlMsg m;
    ASSERT_EQ(p1_control_next(s.p, s.n, P1_CONTROL_BUFFER_SIZE, &m), 1);
    uint32_t ch = 77, rate = 77;
    EXPECT_EQ(p1_control_audio_format(&m, &ch, &rate), 0);
    EXPECT_EQ(ch, 77u);
    // Without the flag a 12-byte trailer is not an audio format either.
    uint8_t b[64], t[12];
    p1_build_audio_trailer(t, 2, 48000);
    ASSERT_EQ(p1_build_device_msg(b, sizeof b, 0x10, 0x00, nullptr, 0, t, 12, 0), 38);
    ASSERT_EQ(p1_control_next(b, 38, P1_CONTROL_BUFFER_SIZE, &m), 1);
    EXPECT_EQ(p1_control_audio_format(&m, &ch, &rate), 0);
}

TEST(P1ControlFramer, HeaderArrivedButPayloadNot)
{
    uint8_t b[64];
    const uint8_t hdr[5] = {0x00, 0x00, 0x00, 0x01, 0x67};
    ASSERT_EQ(p1_build_video_start(b, sizeof b, hdr, 5), 31);
    P1ControlMsg m;
    for (size_t n = 0; n < 31; n++)
        EXPECT_EQ(p1_control_next(b, n, P1_CONTROL_BUFFER_SIZE, &m), 0) << n;
    ASSERT_EQ(p1_control_next(b, 31, P1_CONTROL_BUFFER_SIZE, &m), 1);
    EXPECT_EQ(m.type, 0x20);
    EXPECT_EQ(m.l1, 5u);
    EXPECT_EQ(Bytes(m.payload, m.payload + m.l1), Bytes(hdr, hdr + 5));
}

TEST(P1ControlFramer, TwoMessagesInOneSegmentInOrder)
{
    Bytes auth(26, 0), keep(26, 0);
    auth[0] = 0xF1;
    auth[10] = 0x01;
    keep[0] = 0xF0;
    Exact s(cat({auth, keep}));
    P1ControlMsg m;
    ASSERT_EQ(p1_control_next(s.p, s.n, P1_CONTROL_BUFFER_SIZE, &m), 1);
    EXPECT_EQ(m.type, 0xF1);
    EXPECT_EQ(m.result, 1u);
    EXPECT_EQ(m.total, 26u);
    ASSERT_EQ(p1_control_next(s.p + m.total, s.n - m.total, P1_CONTROL_BUFFER_SIZE, &m), 1);
    EXPECT_EQ(m.type, 0xF0);
    EXPECT_EQ(m.result, 0u);
}

TEST(P1ControlFramer, ResultIsSixtyFourBits)
{
    Bytes v(26, 0);
    v[0] = 0xF1;
    v[17] = 0x80; // only the top byte set
    Exact s(v);
    P1ControlMsg m;
    ASSERT_EQ(p1_control_next(s.p, s.n, P1_CONTROL_BUFFER_SIZE, &m), 1);
    EXPECT_EQ(m.result, 0x8000000000000000ULL);
}

TEST(P1ControlFramer, MessageLargerThanBufferEndsConnection)
{
    Bytes v(26, 0);
    v[0] = 0x20;
    // L1 = 524288 - 26 fits exactly; one more byte does not.
    uint32_t fits = P1_CONTROL_BUFFER_SIZE - 26;
    v[2] = (uint8_t)fits, v[3] = (uint8_t)(fits >> 8), v[4] = (uint8_t)(fits >> 16);
    P1ControlMsg m;
    {
        Exact s(v);
        EXPECT_EQ(p1_control_next(s.p, s.n, P1_CONTROL_BUFFER_SIZE, &m), 0);
    }
    v[6] = 1; // L2 = 1
    {
        Exact s(v);
        EXPECT_EQ(p1_control_next(s.p, s.n, P1_CONTROL_BUFFER_SIZE, &m), -1);
    }
    EXPECT_EQ(p1_control_next(v.data(), 0, 20, &m), -1);
}

TEST(P1ControlFramer, LengthsOverflowingThirtyTwoBits)
{
    // L1 = FFFFFFFF, L2 = 20: in 32 bits 26 + L1 + L2 would wrap to 45, which
    // this buffer holds; the message really is over 4 GiB.
    Bytes v(45, 0);
    v[0] = 0x20;
    v[2] = v[3] = v[4] = v[5] = 0xFF;
    v[6] = 0x14;
    Exact s(v);
    P1ControlMsg m;
    EXPECT_EQ(p1_control_next(s.p, s.n, P1_CONTROL_BUFFER_SIZE, &m), -1);
    EXPECT_EQ(p1_control_next(s.p, s.n, SIZE_MAX, &m), 0);
    // Both at the maximum.
    v[6] = v[7] = v[8] = v[9] = 0xFF;
    Exact t(v);
    EXPECT_EQ(p1_control_next(t.p, t.n, P1_CONTROL_BUFFER_SIZE, &m), -1);
}

// ---------------------------------------------------------------------------
// Datagram blocks.

TEST(P1Walk, PaddingMovesHeader)
{
    // FF 01: the header starts 2 bytes after the 0xFF, at offset 2.
    Exact d(Bytes{0xFF, 0x01, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x02, 0x00, 0xAA, 0xBB});
    size_t pos = 0;
    P1Block b;
    ASSERT_EQ(p1_next_block(d.p, d.n, &pos, &b), 1);
    EXPECT_EQ(b.header, d.p + 2);
    EXPECT_EQ(b.kind, P1_KIND_AUDIO);
    EXPECT_EQ(b.seq, 7u);
    EXPECT_EQ(b.length, 2);
    EXPECT_EQ(b.payload[0], 0xAA);
    EXPECT_EQ(pos, 12u);
    EXPECT_EQ(p1_next_block(d.p, d.n, &pos, &b), 0);
}

TEST(P1Walk, PaddingOfZeroStartsHeaderOnItsLengthByte)
{
    Exact d(Bytes{0xFF, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01, 0x00, 0xCC});
    size_t pos = 0;
    P1Block b;
    ASSERT_EQ(p1_next_block(d.p, d.n, &pos, &b), 1);
    EXPECT_EQ(b.header, d.p + 1);
    EXPECT_EQ(b.seq, 5u);
    EXPECT_EQ(b.length, 1);
    EXPECT_EQ(b.payload[0], 0xCC);
}

TEST(P1Walk, WalkEndsAtTheFirstBlockItCannotTrust)
{
    struct Case {
        const char *what;
        Bytes datagram;
        std::vector<uint32_t> seqs; // of the blocks read before the walk ends
    } const cases[] = {
        {"padding byte alone", {0xFF}, {}},
        {"padding past the end", {0xFF, 0x10, 0x00, 0x00}, {}},
        {"audio of length zero",
         {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0xAA},
         {}},
        {"kind eleven (the end marker)",
         {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x11, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00,
          0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0xAA},
         {1}},
        {"video block claiming 100 payload bytes in 18",
         {0x41, 0x00, 0x01, 0x00, 0x00, 0x00, 0x64, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
         {}},
        {"header cut short", {0x41, 0x00, 0x01, 0x00, 0x00}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Exact d(c.datagram);
        size_t pos = 0;
        P1Block b;
        std::vector<uint32_t> seqs;
        int rc;
        while ((rc = p1_next_block(d.p, d.n, &pos, &b)) == 1 && seqs.size() < 10)
            seqs.push_back(b.seq);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(seqs, c.seqs);
    }
}

TEST(P1Walk, MixedBlocks)
{
    // Audio (seq 3, 2 bytes), video fragment 1 of 3 of frame 9 (1 byte), input
    // acknowledgement of batch 5 whose length field says 4 (ignored), audio.
    Exact d(Bytes{0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x02, 0x00, 0x10, 0x20,
                  0x43, 0x01, 0x09, 0x00, 0x00, 0x00, 0x01, 0x00, 0x55,
                  0x80, 0x00, 0x05, 0x00, 0x00, 0x00, 0x04, 0x00,
                  0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x02, 0x00, 0x30, 0x40});
    size_t pos = 0;
    P1Block b;
    ASSERT_EQ(p1_next_block(d.p, d.n, &pos, &b), 1);
    EXPECT_EQ(b.kind, P1_KIND_AUDIO);
    EXPECT_EQ(b.seq, 3u);
    ASSERT_EQ(p1_next_block(d.p, d.n, &pos, &b), 1);
    EXPECT_EQ(b.kind, P1_KIND_VIDEO);
    EXPECT_TRUE(b.valid);
    EXPECT_EQ(b.count, 3);
    EXPECT_EQ(b.index, 1);
    EXPECT_EQ(b.seq, 9u);
    EXPECT_EQ(b.length, 1);
    EXPECT_EQ(b.payload[0], 0x55);
    ASSERT_EQ(p1_next_block(d.p, d.n, &pos, &b), 1);
    EXPECT_EQ(b.kind, P1_KIND_INPUT);
    EXPECT_EQ(b.seq, 5u);
    EXPECT_EQ(b.length, 0);
    EXPECT_EQ(pos, 27u);
    ASSERT_EQ(p1_next_block(d.p, d.n, &pos, &b), 1);
    EXPECT_EQ(b.kind, P1_KIND_AUDIO);
    EXPECT_EQ(b.seq, 4u);
    EXPECT_EQ(p1_next_block(d.p, d.n, &pos, &b), 0);
}

TEST(P1Walk, BadFragmentNumbersAreFlaggedAndSkipped)
{
    // Count 0; index 3 of count 3; then a good fragment.
    Exact d(Bytes{0x40, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0xAA,
                  0x43, 0x03, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0xBB,
                  0x43, 0x02, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0xCC});
    size_t pos = 0;
    P1Block b;
    ASSERT_EQ(p1_next_block(d.p, d.n, &pos, &b), 1);
    EXPECT_FALSE(b.valid);
    ASSERT_EQ(p1_next_block(d.p, d.n, &pos, &b), 1);
    EXPECT_FALSE(b.valid);
    ASSERT_EQ(p1_next_block(d.p, d.n, &pos, &b), 1);
    EXPECT_TRUE(b.valid);
    EXPECT_EQ(b.payload[0], 0xCC);
}

TEST(P1Walk, OversizedFragmentIsFlagged)
{
    Bytes v(8 + 49153, 0);
    v[0] = 0x42;
    v[1] = 0x01;
    v[6] = (uint8_t)(49153 & 0xFF);
    v[7] = (uint8_t)(49153 >> 8);
    Exact d(v);
    size_t pos = 0;
    P1Block b;
    ASSERT_EQ(p1_next_block(d.p, d.n, &pos, &b), 1);
    EXPECT_FALSE(b.valid);
    EXPECT_EQ(pos, d.n);
}

TEST(P1DeviceBlocks, Literals)
{
    uint8_t b[64];
    const uint8_t two[2] = {0xAA, 0xBB};
    ASSERT_EQ(p1_build_video_block(b, sizeof b, 3, 1, 0x12345678, two, 2), 10);
    EXPECT_EQ(Bytes(b, b + 10), (Bytes{0x43, 0x01, 0x78, 0x56, 0x34, 0x12, 0x02, 0x00, 0xAA, 0xBB}));
    const uint8_t pcm[4] = {1, 2, 3, 4};
    ASSERT_EQ(p1_build_audio_block(b, sizeof b, 1, pcm, 4), 12);
    EXPECT_EQ(Bytes(b, b + 12), (Bytes{0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 1, 2, 3, 4}));
    ASSERT_EQ(p1_build_input_ack_block(b, 5), 8);
    EXPECT_EQ(Bytes(b, b + 8), (Bytes{0x80, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00}));
    ASSERT_EQ(p1_build_padding(b, sizeof b, 2), 2);
    EXPECT_EQ(Bytes(b, b + 2), (Bytes{0xFF, 0x01}));
    ASSERT_EQ(p1_build_padding(b, sizeof b, 4), 4);
    EXPECT_EQ(Bytes(b, b + 4), (Bytes{0xFF, 0x03, 0x00, 0x00}));
    ASSERT_EQ(p1_build_end_marker(b), 8);
    EXPECT_EQ(Bytes(b, b + 8), (Bytes{0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(P1DeviceBlocks, RefusesOutOfRange)
{
    uint8_t b[64];
    const uint8_t one[1] = {0};
    EXPECT_EQ(p1_build_video_block(b, sizeof b, 0, 0, 1, one, 1), -1);
    EXPECT_EQ(p1_build_video_block(b, sizeof b, 64, 0, 1, one, 1), -1);
    EXPECT_EQ(p1_build_video_block(b, sizeof b, 3, 3, 1, one, 1), -1);
    EXPECT_EQ(p1_build_video_block(b, 8, 3, 0, 1, one, 1), -1);
    EXPECT_EQ(p1_build_audio_block(b, sizeof b, 1, one, 0), -1);
    EXPECT_EQ(p1_build_padding(b, sizeof b, 1), -1);
    EXPECT_EQ(p1_build_padding(b, 300, 257), -1);
}

TEST(P1DeviceBlocks, BuiltDatagramWalksBack)
{
    uint8_t d[128];
    size_t n = 0;
    const uint8_t pcm[4] = {1, 2, 3, 4}, frag[3] = {7, 8, 9};
    n += (size_t)p1_build_padding(d + n, sizeof d - n, 3);
    n += (size_t)p1_build_video_block(d + n, sizeof d - n, 2, 1, 42, frag, 3);
    n += (size_t)p1_build_audio_block(d + n, sizeof d - n, 6, pcm, 4);
    n += (size_t)p1_build_input_ack_block(d + n, 11);
    n += (size_t)p1_build_end_marker(d + n);
    n += (size_t)p1_build_audio_block(d + n, sizeof d - n, 7, pcm, 4);
    size_t pos = 0;
    P1Block b;
    ASSERT_EQ(p1_next_block(d, n, &pos, &b), 1);
    EXPECT_EQ(b.kind, P1_KIND_VIDEO);
    EXPECT_EQ(b.seq, 42u);
    EXPECT_EQ(b.index, 1);
    ASSERT_EQ(p1_next_block(d, n, &pos, &b), 1);
    EXPECT_EQ(b.kind, P1_KIND_AUDIO);
    EXPECT_EQ(b.seq, 6u);
    ASSERT_EQ(p1_next_block(d, n, &pos, &b), 1);
    EXPECT_EQ(b.kind, P1_KIND_INPUT);
    EXPECT_EQ(b.seq, 11u);
    EXPECT_EQ(p1_next_block(d, n, &pos, &b), 0);
}

// ---------------------------------------------------------------------------
// Fragment acknowledgement.

TEST(P1FragmentAck, FragmentsZeroAndTwoReceived)
{
    // Fragment 2 of 3 of frame 9 just arrived; 0 and 2 are in; one picture
    // waits in the decoder's queue.
    const uint8_t frag[8] = {0x43, 0x02, 0x09, 0x00, 0x00, 0x00, 0x10, 0x00};
    const uint32_t received[3] = {1, 0, 1};
    uint8_t b[P1_FRAGMENT_ACK_MAX];
    ASSERT_EQ(p1_build_fragment_ack(b, sizeof b, frag, 1, received, 3), 10);
    EXPECT_EQ(Bytes(b, b + 10), (Bytes{0x43, 0x02, 0x09, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x02}));
    EXPECT_EQ(p1_build_fragment_ack(b, 9, frag, 1, received, 3), -1);
}

TEST(P1FragmentAck, AtMostSixtyThreeIndices)
{
    const uint8_t frag[8] = {0x7F, 0x3E, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::vector<uint32_t> received(100, 1);
    uint8_t b[P1_FRAGMENT_ACK_MAX];
    ASSERT_EQ(p1_build_fragment_ack(b, sizeof b, frag, 0, received.data(), received.size()), 71);
    EXPECT_EQ(b[8], 0);
    EXPECT_EQ(b[70], 62);
}

TEST(P1FragmentAck, DeviceReadsItBack)
{
    Exact d(Bytes{0x43, 0x02, 0x09, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x02, 0x3F, 0xC8});
    P1FragmentAck a;
    ASSERT_EQ(p1_parse_fragment_ack(d.p, d.n, &a), 0);
    EXPECT_EQ(a.frame, 9u);
    EXPECT_EQ(a.count, 3);
    EXPECT_EQ(a.index, 2);
    EXPECT_EQ(a.queue_len, 1);
    EXPECT_EQ(a.received, (uint64_t)0x5); // 63 and 200 are no fragment indices
    Exact s(Bytes{0x43, 0x02, 0x09, 0x00, 0x00, 0x00, 0x01});
    EXPECT_EQ(p1_parse_fragment_ack(s.p, s.n, &a), -1);
    Exact k(Bytes{0x83, 0x02, 0x09, 0x00, 0x00, 0x00, 0x01, 0x00});
    EXPECT_EQ(p1_parse_fragment_ack(k.p, k.n, &a), -1);
}

TEST(P1InputBatch, DeviceReadsBatch)
{
    Exact d(Bytes{0x80, 0x00, 0x01, 0x00, 0x00, 0x00, 0x08, 0x00, 0x08, 0x00, 0x08, 0x02, 0x01, 0x05, 0xFB, 0x00});
    uint32_t batch = 0;
    const uint8_t *rec = nullptr;
    size_t n = 0;
    ASSERT_EQ(p1_parse_input_batch(d.p, d.n, &batch, &rec, &n), 0);
    EXPECT_EQ(batch, 1u);
    EXPECT_EQ(rec, d.p + 8);
    EXPECT_EQ(n, 8u);
    Exact s(Bytes{0x80, 0x00, 0x01, 0x00, 0x00, 0x00, 0x09, 0x00, 0x08, 0x00, 0x08, 0x02, 0x01, 0x05, 0xFB, 0x00});
    EXPECT_EQ(p1_parse_input_batch(s.p, s.n, &batch, &rec, &n), -1);
    Exact v(Bytes{0x43, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(p1_parse_input_batch(v.p, v.n, &batch, &rec, &n), -1);
}

TEST(P1FrameLength, Arithmetic)
{
    EXPECT_EQ(p1_frame_length(1, 100), 100);
    EXPECT_EQ(p1_frame_length(3, 10), 2 * 49152 + 10);
    EXPECT_EQ(p1_frame_length(63, 49152), 63LL * 49152);
    EXPECT_EQ(p1_frame_length(0, 10), -1);
    EXPECT_EQ(p1_frame_length(64, 10), -1);
    EXPECT_EQ(p1_frame_length(2, 49153), -1);
}
