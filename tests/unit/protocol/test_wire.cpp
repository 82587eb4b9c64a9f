// Wire formats of both protocols, discovery texts and input records. Expected
// bytes are written out by hand and read through the parsers; what the
// device-side builders write, the viewer parses in the integration tests. Malformed input beyond one row per rejection rule is
// left to the fuzzers (fuzz_p1_walk, fuzz_p2_walk, fuzz_control_stream, ...).
#include <gtest/gtest.h>

#include <string>

#include "protocol/wire.h"
#include "support/bytes.h"

namespace {

// What a builder wrote: n bytes of b, or an empty vector (marked by 0xEE) if it refused.
Bytes out(const uint8_t *b, int n) { return n < 0 ? Bytes{0xEE} : Bytes(b, b + n); }
#define BUILT(call) (n = (call), out(b, n))

const Bytes M = {0x52, 0x48, 0x56, 0x4B, 0x02}; // "RHVK", generation 2
Bytes hdr2(std::initializer_list<uint8_t> rest) { return cat({M, Bytes(rest)}); }

// The blocks point into d: keep it alive while they are read.
std::vector<P1Block> walk1(const Exact &d, int *last = nullptr)
{
    size_t pos = 0;
    P1Block b;
    std::vector<P1Block> got;
    int rc;
    while ((rc = p1_next_block(d.p, d.n, &pos, &b)) == 1 && got.size() < 10)
        got.push_back(b);
    if (last)
        *last = rc;
    return got;
}

} // namespace

TEST(P1Wire, ViewerMessagesLiteral)
{
    uint8_t b[64];
    int n;
    const uint8_t params[2] = {0xAB, 0xCD};
    const std::pair<Bytes, Bytes> rows[] = {
        {BUILT(p1_build_input(b, true)), {0x03, 0x00, 0x14}},
        {BUILT(p1_build_input(b, false)), {0x03, 0x00, 0x0B}},
        {BUILT(p1_build_audio(b, true)), {0x03, 0x00, 0x12}},
        {BUILT(p1_build_audio(b, false)), {0x03, 0x00, 0x09}},
        {BUILT(p1_build_stream_switch(b, true)), {0x03, 0x00, 0x13}},
        {BUILT(p1_build_stream_switch(b, false)), {0x03, 0x00, 0x0A}},
        {BUILT(p1_build_stream_go(b)), {0x03, 0x00, 0x29}},
        {BUILT(p1_build_key_frame_request(b)), {0x03, 0x00, 0x50}},
        {BUILT(p1_build_video_start_ack(b)), {0x03, 0x00, 0x11}},
        {BUILT(p1_build_keepalive_answer(b)), {0x03, 0x00, 0xF0}},
        {BUILT(p1_build_zero_setting(b, 0)), {0x04, 0x00, 0x28, 0x00}},
        {BUILT(p1_build_message(b, 8, 0x77, params, 2)), {0x05, 0x00, 0x77, 0xAB, 0xCD}},
        {BUILT(p1_build_message(b, 4, 0x77, params, 2)), {0xEE}},
    };
    for (size_t i = 0; i < std::size(rows); i++)
        EXPECT_EQ(rows[i].first, rows[i].second) << "row " << i;
    uint8_t s = 0, v = 0;
    ASSERT_EQ(wire_p1_code_setting(0x12, &s, &v), 0); // audio on
    EXPECT_EQ(s * 10 + v, 11);
    EXPECT_EQ(wire_p1_code_setting(0xF0, &s, &v), -1);
}

TEST(P1Wire, ViewerFramerSplitsAndRejects)
{
    // Zero setting, input off, audio on, stream switch on, stream go, key-frame
    // request, then an unlock with a 3-character password (u16 n + 19).
    Bytes v = {0x04, 0x00, 0x28, 0x00, 0x03, 0x00, 0x0B, 0x03, 0x00, 0x12, 0x03, 0x00, 0x13,
               0x03, 0x00, 0x29, 0x03, 0x00, 0x50, 0x16, 0x00, 0xF1};
    v.resize(v.size() + 19, 0x01);
    Exact s(v);
    std::vector<int> codes;
    size_t at = 0;
    P1ViewerMsg m;
    EXPECT_EQ(p1_viewer_msg_next(s.p, 3, &m), 0); // waits for the whole message
    while (p1_viewer_msg_next(s.p + at, s.n - at, &m) == 1) {
        codes.push_back(m.code);
        EXPECT_EQ(m.length, m.param_len + 3);
        at += m.length;
    }
    EXPECT_EQ(codes, (std::vector<int>{0x28, 0x0B, 0x12, 0x13, 0x29, 0x50, 0xF1}));
    EXPECT_EQ(at, s.n);
    const Bytes bad[] = {{0x00, 0x00, 0x14}, {0x02, 0x00, 0x14}, {0x24, 0x00, 0xF1}, {0xFF, 0xFF}};
    for (const Bytes &b : bad) {
        Exact e(b);
        EXPECT_EQ(p1_viewer_msg_next(e.p, e.n, &m), -1) << hex(b);
    }
}

TEST(P1Wire, DeviceMessagesLiteralAndRead)
{
    uint8_t t[12];
    Bytes auth(26, 0), keep(26, 0);
    auth[0] = 0xF1, auth[10] = 0x01, keep[0] = 0xF0;
    p1_build_audio_trailer(t, 2, 48000);
    EXPECT_EQ(Bytes(t, t + 12), unhex("00000000 02000000 80bb0000"));

    // Type 0x30 (unknown) with the audio-format flag, 3 payload bytes, a 12-byte trailer.
    Bytes fmt(26, 0);
    fmt[0] = 0x30, fmt[1] = 0x20, fmt[2] = 3, fmt[6] = 12;
    Exact s(cat({fmt, {0xAA, 0xBB, 0xCC}, Bytes(t, t + 12), keep}));
    P1ControlMsg m;
    for (size_t k = 0; k < 41; k += 13) // header or payload not all there yet
        EXPECT_EQ(p1_control_next(s.p, k, P1_CONTROL_BUFFER_SIZE, &m), 0) << k;
    ASSERT_EQ(p1_control_next(s.p, s.n, P1_CONTROL_BUFFER_SIZE, &m), 1);
    EXPECT_EQ(m.type * 1000 + m.flag, 0x30 * 1000 + 0x20);
    EXPECT_EQ(m.total, 41u);
    EXPECT_EQ(m.payload, s.p + 26);
    EXPECT_EQ(m.trailer, s.p + 29);
    uint32_t ch = 0, rate = 0;
    ASSERT_EQ(p1_control_audio_format(&m, &ch, &rate), 1);
    EXPECT_EQ(ch * 100000 + rate, 2u * 100000 + 48000);
    ASSERT_EQ(p1_control_next(s.p + 41, s.n - 41, P1_CONTROL_BUFFER_SIZE, &m), 1);
    EXPECT_EQ(m.type, 0xF0);

    // The result is 64 bits; a short trailer or no flag is no audio format.
    Bytes r = auth;
    r[10] = 0, r[17] = 0x80;
    Exact rr(r);
    ASSERT_EQ(p1_control_next(rr.p, rr.n, P1_CONTROL_BUFFER_SIZE, &m), 1);
    EXPECT_EQ(m.result, 0x8000000000000000ULL);
    Bytes shortt(34, 0);
    shortt[0] = 0x10, shortt[1] = 0x20, shortt[6] = 8;
    Exact st(shortt);
    ASSERT_EQ(p1_control_next(st.p, st.n, P1_CONTROL_BUFFER_SIZE, &m), 1);
    EXPECT_EQ(p1_control_audio_format(&m, &ch, &rate), 0);
}

TEST(P1Wire, ControlMessageTooLargeEndsConnection)
{
    P1ControlMsg m;
    Bytes v(26, 0);
    v[0] = 0x20;
    uint32_t fits = P1_CONTROL_BUFFER_SIZE - 26; // fits exactly; one byte more does not
    v[2] = (uint8_t)fits, v[3] = (uint8_t)(fits >> 8), v[4] = (uint8_t)(fits >> 16);
    EXPECT_EQ(p1_control_next(Exact(v).p, 26, P1_CONTROL_BUFFER_SIZE, &m), 0);
    v[6] = 1;
    EXPECT_EQ(p1_control_next(Exact(v).p, 26, P1_CONTROL_BUFFER_SIZE, &m), -1);
    // L1 = FFFFFFFF, L2 = 20: in 32 bits 26 + L1 + L2 wraps to 45, which this buffer holds.
    Bytes w(45, 0);
    w[0] = 0x20, w[2] = w[3] = w[4] = w[5] = 0xFF, w[6] = 0x14;
    Exact e(w);
    EXPECT_EQ(p1_control_next(e.p, e.n, P1_CONTROL_BUFFER_SIZE, &m), -1);
    EXPECT_EQ(p1_control_next(e.p, e.n, SIZE_MAX, &m), 0);
}

TEST(P1Wire, DatagramWalk)
{
    // Padding FF 01 (header two bytes after the 0xFF), audio seq 3, video
    // fragment 1 of 3 of frame 9, an input acknowledgement whose length says 4
    // (ignored), audio seq 4.
    int last = 9;
    Exact dg(unhex("ff01 0000030000000200 1020 4301090000000100 55 8000050000000400 0000040000000200 3040"));
    auto got = walk1(dg, &last);
    EXPECT_EQ(last, 0);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].kind, P1_KIND_AUDIO);
    EXPECT_EQ(got[0].seq, 3u);
    EXPECT_EQ(got[0].payload[1], 0x20);
    EXPECT_EQ(got[1].kind, P1_KIND_VIDEO);
    EXPECT_TRUE(got[1].valid);
    EXPECT_EQ(got[1].count * 100 + got[1].index * 10 + got[1].length, 311);
    EXPECT_EQ(got[1].seq, 9u);
    EXPECT_EQ(got[1].payload[0], 0x55);
    EXPECT_EQ(got[2].kind, P1_KIND_INPUT);
    EXPECT_EQ(got[2].length, 0);
    EXPECT_EQ(got[3].seq, 4u);
    EXPECT_EQ(walk1(Exact(unhex("ff00 00050000000100cc")))[0].seq, 5u); // padding 0: header on its length byte

    // Each walk ends (with 0) at the first block it cannot trust.
    const std::pair<const char *, size_t> ends[] = {
        {"ff", 0}, {"ff100000", 0}, {"0000010000000000 0000020000000100aa", 0},
        {"0000010000000100 11 c000000000000000 0000020000000100aa", 1}, // the end marker
        {"4100010000006400 0102030405060708090a", 0}, {"4100010000", 0}};
    for (auto [h, count] : ends) {
        EXPECT_EQ(walk1(Exact(unhex(h)), &last).size(), count) << h;
        EXPECT_EQ(last, 0) << h;
    }
    // Count 0, index == count and a fragment over 49152 bytes are flagged and skipped.
    auto bad = walk1(Exact(unhex("4000010000000100aa 4303010000000100bb 4302010000000100cc")));
    ASSERT_EQ(bad.size(), 3u);
    EXPECT_EQ(bad[0].valid + bad[1].valid * 2 + bad[2].valid * 4, 4);
    Bytes big(8 + 49153, 0);
    big[0] = 0x42, big[1] = 1, big[6] = 49153 & 0xFF, big[7] = 49153 >> 8;
    EXPECT_FALSE(walk1(Exact(big)).at(0).valid);
}

TEST(P1Wire, FragmentAckAndInputBatch)
{
    // Fragment 2 of 3 of frame 9 just arrived; 0 and 2 are in; one picture waits.
    const uint8_t frag[8] = {0x43, 0x02, 0x09, 0x00, 0x00, 0x00, 0x10, 0x00};
    const uint32_t received[3] = {1, 0, 1};
    uint8_t b[P1_FRAGMENT_ACK_MAX];
    int n;
    EXPECT_EQ(hex(BUILT(p1_build_fragment_ack(b, sizeof b, frag, 1, received, 3))), "43020900000001000002");
    EXPECT_EQ(p1_build_fragment_ack(b, 9, frag, 1, received, 3), -1);
    const uint8_t frag63[8] = {0x7F, 0x3E, 0x01, 0, 0, 0, 0, 0};
    std::vector<uint32_t> all(100, 1);
    ASSERT_EQ(p1_build_fragment_ack(b, sizeof b, frag63, 0, all.data(), all.size()), 71); // at most 63 indices
    EXPECT_EQ(b[70], 62);

    P1FragmentAck a;
    Exact d(unhex("43020900000001000002 3fc8")); // 63 and 200 are no fragment indices
    ASSERT_EQ(p1_parse_fragment_ack(d.p, d.n, &a), 0);
    EXPECT_EQ(a.frame * 1000 + a.count * 100 + a.index * 10 + a.queue_len, 9000u + 321);
    EXPECT_EQ(a.received, 5u);
    EXPECT_EQ(p1_parse_fragment_ack(Exact(unhex("43020900000001")).p, 7, &a), -1);
    EXPECT_EQ(p1_parse_fragment_ack(Exact(unhex("8302090000000100")).p, 8, &a), -1);

    uint32_t batch = 0;
    const uint8_t *rec = nullptr;
    size_t len = 0;
    Exact ib(unhex("8000010000000800 0800080201 05fb00"));
    ASSERT_EQ(p1_parse_input_batch(ib.p, ib.n, &batch, &rec, &len), 0);
    EXPECT_EQ(batch, 1u);
    EXPECT_EQ(rec, ib.p + 8);
    EXPECT_EQ(len, 8u);
    EXPECT_EQ(p1_parse_input_batch(Exact(unhex("8000010000000900 080008020105fb00")).p, 16, &batch, &rec, &len), -1);
    EXPECT_EQ(p1_parse_input_batch(Exact(unhex("4300010000000000")).p, 8, &batch, &rec, &len), -1);
    EXPECT_EQ(p1_frame_length(3, 10), 2 * 49152 + 10);
    EXPECT_EQ(p1_frame_length(2, 49153), -1);
}

TEST(P2Wire, HeaderWalkAndEcho)
{
    uint8_t h[16];
    p2_write_header(h, 2, 0x8003, 1, 0x01020304, 1200);
    EXPECT_EQ(Bytes(h, h + 16), hdr2({0x02, 0x03, 0x80, 0x01, 0x00, 0x04, 0x03, 0x02, 0x01, 0xB0, 0x04}));

    // Inverted audio (restored in place), unknown type 9 skipped by its length,
    // device-side types 3, 5 and 8 always 16 bytes, then a bad magic ends the walk.
    const Bytes v = cat({hdr2({0x82, 0, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0xFF, 0xFF, 0xFF, 0xFE}),
                         hdr2({0x09, 0, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0xAA, 0xBB, 0xCC}),
                         hdr2({0x03, 0, 0, 0, 0, 3, 0, 0, 0, 4, 0}), hdr2({0x05, 0, 0, 0, 0, 4, 0, 0, 0, 4, 0}),
                         hdr2({0x08, 0, 0, 0, 0, 5, 0, 0, 0, 4, 0}),
                         unhex("524856580201000000000200000000 00"), hdr2({0x01, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0})});
    Exact d(v);
    size_t pos = 0;
    P2Packet pk;
    std::vector<int> seen;
    while (p2_next_packet(d.p, d.n, &pos, WIRE_FROM_DEVICE, &pk) == 1) {
        seen.push_back(pk.type * 10 + (int)pk.seq);
        if (pk.type == 2) {
            EXPECT_EQ(hex(pk.payload, pk.length), "00000001");
        }
        if (pk.type == 3 || pk.type == 5 || pk.type == 8) {
            EXPECT_EQ(pk.length, 0);
        }
    }
    EXPECT_EQ(seen, (std::vector<int>{21, 92, 33, 54, 85}));
    EXPECT_EQ(d.p[5], 0x02); // the inversion bit is cleared in the datagram itself

    // From the viewer, type 3 carries a payload; a payload past the end stops
    // the walk and leaves the datagram untouched; a cut header too. An input
    // acknowledgement with a length past the end is still a whole packet.
    Exact fv(hdr2({0x03, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0xAA, 0xBB}));
    pos = 0;
    ASSERT_EQ(p2_next_packet(fv.p, fv.n, &pos, WIRE_FROM_VIEWER, &pk), 1);
    EXPECT_EQ(pk.length, 2);
    const Bytes past = hdr2({0x81, 0, 0, 0, 0, 1, 0, 0, 0, 8, 0, 0xFF, 0xFF, 0xFF});
    Exact pe(past);
    pos = 0;
    EXPECT_EQ(p2_next_packet(pe.p, pe.n, &pos, WIRE_FROM_DEVICE, &pk), 0);
    EXPECT_EQ(Bytes(pe.p, pe.p + pe.n), past);
    EXPECT_EQ(p2_next_packet(Exact(unhex("52485 64b0201 00")).p, 7, &pos, WIRE_FROM_DEVICE, &pk), 0);
    Exact ia(hdr2({0x83, 0, 0, 0, 0, 5, 0, 0, 0, 0x40, 0}));
    pos = 0;
    ASSERT_EQ(p2_next_packet(ia.p, ia.n, &pos, WIRE_FROM_DEVICE, &pk), 1);
    EXPECT_EQ(pk.type * 10 + (int)pk.seq, 35);

    uint8_t e[16];
    p2_echo_header(hdr2({0x14, 0, 0, 1, 0, 9, 0, 0, 0, 5, 0}).data(), e);
    EXPECT_EQ(Bytes(e, e + 16), hdr2({0x14, 0, 0, 1, 0, 9, 0, 0, 0, 0, 0}));
}

TEST(P2Wire, FragmentAckEvenAndOddCounter)
{
    // Fragment 33 of 40 of frame 7 with the digest flag; 32 and 33 are in; two pictures wait.
    const Bytes frag = hdr2({0x02, 0x28, 0x80, 0x21, 0x00, 0x07, 0, 0, 0, 0xB0, 0x04});
    uint8_t o[20];
    p2_build_fragment_ack(frag.data(), 2, 3, 2, o);
    EXPECT_EQ(Bytes(o, o + 20), hdr2({0x02, 0x02, 0x00, 0x21, 0x00, 0x07, 0, 0, 0, 0x04, 0x00, 0x03, 0, 0, 0}));
    p2_build_fragment_ack(frag.data(), 2, 3, 1, o);
    const Bytes odd = hdr2({0x82, 0x02, 0x00, 0x21, 0x00, 0x07, 0, 0, 0, 0x04, 0x00, 0xFC, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(Bytes(o, o + 20), odd);
    Exact d(odd);
    size_t pos = 0;
    P2Packet pk;
    ASSERT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_VIEWER, &pk), 1);
    P2FragmentAck a;
    ASSERT_EQ(p2_parse_fragment_ack(&pk, &a), 0);
    EXPECT_EQ(a.frame * 1000 + a.index * 10 + a.queue_len, 7000u + 332);
    EXPECT_EQ(a.bitmap, 3u);
    pk.length = 3;
    EXPECT_EQ(p2_parse_fragment_ack(&pk, &a), -1);
}

TEST(P2Wire, PacketsLiteralAndParsed)
{
    uint8_t b[512];
    int n;
    uint8_t req[33] = {1, 0x39, 0x30};
    req[17] = 0xA5, req[32] = 0x5A;
    Bytes setting = hdr2({0x08, 0, 0, 0, 0, 5, 0, 0, 0, 0x41, 0, 0x01, 0x01});
    setting.resize(81, 0);
    const std::pair<Bytes, Bytes> rows[] = {
        {BUILT(p2_build_connect_request(b, 1, req)), cat({hdr2({4, 0, 0, 0, 0, 1, 0, 0, 0, 0x21, 0}), Bytes(req, req + 33)})},
        {BUILT(p2_build_setting(b, 5, 1, 1)), setting},
        {BUILT(p2_build_disconnect(b)), hdr2({7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
        {BUILT(p2_build_connection_start(b, 3)), hdr2({5, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0})},
        {BUILT(p2_build_ack(b, P2_TYPE_SETTING, 5)), hdr2({8, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0})},
        {BUILT(p2_build_stream_params(b, 2, 8000)), cat({hdr2({6, 0, 0, 0, 0, 2, 0, 0, 0, 0x10, 0}), Bytes(12, 0), {0x40, 0x1F, 0, 0}})},
    };
    for (size_t i = 0; i < std::size(rows); i++)
        EXPECT_EQ(hex(rows[i].first), hex(rows[i].second)) << "row " << i;

    P2ConnectRequest r;
    ASSERT_EQ(p2_parse_connect_request(req, 33, &r), 0);
    EXPECT_EQ(r.has_password * 1000 + r.nonce[0], 1000 + 0x39);
    EXPECT_EQ(r.secret[0] * 256 + r.secret[15], 0xA55A);
    EXPECT_EQ(p2_parse_connect_request(req, 32, &r), -1);
    uint8_t s = 0, v = 0;
    ASSERT_EQ(p2_parse_setting(setting.data() + 16, 65, &s, &v), 0);
    EXPECT_EQ(s * 10 + v, 11);
    EXPECT_EQ(p2_parse_setting(setting.data() + 16, 64, &s, &v), -1);
    uint32_t interval = 0, rate = 0;
    const Bytes sp = cat({Bytes(12, 0), {0x40, 0x1F, 0, 0}});
    ASSERT_EQ(p2_parse_stream_params(sp.data(), 16, &interval), 0);
    EXPECT_EQ(interval, 8000u);
    EXPECT_EQ(p2_parse_stream_params(sp.data(), 15, &interval), -1);
    int32_t ch = 0;
    const uint8_t neg[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0xBB, 0x00, 0x00};
    ASSERT_EQ(p2_parse_audio_format(neg, 8, &ch, &rate), 0);
    EXPECT_EQ(ch, -1);
    EXPECT_EQ(rate, 48000u);
    EXPECT_EQ(p2_parse_audio_format(neg, 7, &ch, &rate), -1);
}

TEST(P2Wire, ConnectReply)
{
    struct Row {
        const char *bytes;
        int rc, result, channels, rate, video;
        bool rejected;
        size_t codec_len;
    } const rows[] = {
        {"0000 0102 80bb 01 05 0000000167", 0, 0, 2, 48000, 1, false, 5}, // admitted, sound and picture
        {"0001 0000 0000 00 00", 0, 1, 0, 0, 0, false, 0},                // password needed, no media
        {"0000 0101 44ac 01 09 0000000167", 0, 0, 1, 44100, 1, true, 0},  // codec length past the end
        {"0003 0000 0000 00", -1, 0, 0, 0, 0, false, 0},                  // too short
    };
    for (const Row &w : rows) {
        Exact p(unhex(w.bytes));
        P2ConnectReply r{};
        ASSERT_EQ(p2_parse_connect_reply(p.p, p.n, &r), w.rc) << w.bytes;
        if (w.rc)
            continue;
        EXPECT_EQ(r.result, w.result) << w.bytes;
        EXPECT_EQ(r.video_present, w.video) << w.bytes;
        EXPECT_EQ(r.codec_rejected, w.rejected) << w.bytes;
        EXPECT_EQ(r.codec_len, w.codec_len) << w.bytes;
        EXPECT_EQ(r.codec_header, w.codec_len ? p.p + 8 : nullptr) << w.bytes;
        if (r.audio_present) {
            EXPECT_EQ(r.channels * 100000 + (int)r.rate, w.channels * 100000 + w.rate) << w.bytes;
        }
    }
}

TEST(P2Wire, FragmentInfoAndFrameLength)
{
    Exact d(hdr2({0x02, 0x03, 0x80, 0x02, 0x00, 0x0A, 0, 0, 0, 0x01, 0x00, 0xEE}));
    size_t pos = 0;
    P2Packet pk;
    ASSERT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_DEVICE, &pk), 1);
    P2Fragment f;
    ASSERT_EQ(p2_fragment_info(&pk, &f), 0);
    EXPECT_EQ(f.frame * 100 + f.count * 10 + f.index, 1000u + 32);
    EXPECT_TRUE(f.has_digest);
    struct Bad {
        uint16_t w6, w8;
        int length, type, rc;
    } const rows[] = {
        {0x8000, 2, 1, 2, -1},      // count 0
        {0x8003, 3, 1, 2, -1},      // index == count
        {16385, 16384, 1, 2, -1},   // group 512 falls outside the assembly's bitmap
        {0x8003, 2, 1201, 2, -1},   // over 1200 bytes
        {0x8003, 2, 1, 1, -1},      // not a picture fragment
        {16384, 16383, 1, 2, 0},    // the largest frame
    };
    for (const Bad &b : rows) {
        P2Packet q = pk;
        q.w6 = b.w6, q.w8 = b.w8, q.length = b.length, q.type = b.type;
        EXPECT_EQ(p2_fragment_info(&q, &f), b.rc) << b.w6 << " " << b.w8;
    }
    EXPECT_EQ(p2_frame_length(3, 100, false), 2500);
    EXPECT_EQ(p2_frame_length(3, 100, true), 2484);
    EXPECT_EQ(p2_frame_length(1, 15, true), -1); // last fragment too short to hold the digest
    EXPECT_EQ(p2_frame_length(16385, 1, false), -1);
}

TEST(Discovery, ProbeText)
{
    char buf[64];
    ASSERT_EQ(wire_build_probe(buf, 28, 36549, 1700000000123LL, 20), 27);
    EXPECT_STREQ(buf, "mdc[36549]=1700000000123|20");
    EXPECT_EQ(wire_build_probe(buf, 27, 36549, 1700000000123LL, 20), -1);
    ASSERT_GT(wire_build_probe(buf, sizeof buf, 36549, 5, -2), 0);
    EXPECT_STREQ(buf, "mdc[36549]=5|-2");
    // The zone field is 12 + whole hours, truncated toward zero.
    EXPECT_EQ(wire_tz_field_from_gmtoff(8 * 3600) * 100 + wire_tz_field_from_gmtoff(-(3 * 3600 + 1800)), 2009);
    int port = 0, tz = 0;
    int64_t t = 0;
    const char text[] = "mdc[36549]=1700000000123|20";
    ASSERT_EQ(wire_parse_probe(text, sizeof text, &port, &t, &tz), 0); // a trailing zero byte is tolerated
    EXPECT_EQ(port, 36549);
    EXPECT_EQ(t, 1700000000123LL);
    EXPECT_EQ(tz, 20);
    const char edge[] = "mdc[36549]=-9223372036854775808|-2147483648";
    ASSERT_EQ(wire_parse_probe(edge, sizeof edge - 1, &port, &t, &tz), 0);
    EXPECT_EQ(t, INT64_MIN);
    EXPECT_EQ(tz, INT32_MIN);
    const char *bad[] = {"", "mdc[36549]=1|", "mdc[36549]=|20", "mdc[]=1|20", "MDC[36549]=1|20", "mdc[36549]=1|20x",
                         "mdc[36549=1|20", "mdc[70000]=1|20", "mdc[-1]=1|20", "mdc[36549]=9223372036854775808|20",
                         "mdc[36549]=1|2147483648", "mdc[36549]=1|-", "mdc[36549]=17000"};
    for (const char *s : bad) {
        port = -7;
        Exact e(Bytes(s, s + strlen(s)));
        EXPECT_EQ(wire_parse_probe((const char *)e.p, e.n, &port, &t, &tz), -1) << s;
        EXPECT_EQ(port, -7) << s;
    }
}

TEST(InputWire, RecordsBatchesAndResend)
{
    const Bytes kb = unhex("010000040000000000"), mouse = unhex("02010 5fb00");
    const Bytes kb_rec = unhex("0c0008 010000040000000000"), mouse_rec = unhex("080008 020105fb00");
    uint8_t b[64];
    int n;
    EXPECT_EQ(BUILT(input_record_build(b, sizeof b, kb.data(), kb.size())), kb_rec);
    EXPECT_EQ(BUILT(input_record_build(b, sizeof b, mouse.data(), mouse.size())), mouse_rec);
    EXPECT_EQ(input_record_build(b, 7, mouse.data(), mouse.size()), -1);
    p1_write_batch_header(b, 0x01020304, 0x0102);
    EXPECT_EQ(hex(b, 8), "8000040302010201");
    p2_write_batch_header(b, 1, 20);
    EXPECT_EQ(hex(b, 16), "5248564b020300000000010000001400");

    // Batch 1 with one mouse record: the first resend is inverted, the second
    // plain; the counter wraps from 255 (odd) to 0 (even).
    const Bytes batch = unhex("5248564b0203000000000100000008 00 080008020105fb00");
    const Bytes inverted = unhex("5248564b0283000000000100000008 00 f7fff7fdfefa04ff");
    EXPECT_EQ(hex(BUILT(p2_batch_resend_copy(b, sizeof b, batch.data(), batch.size(), 1))), hex(inverted));
    EXPECT_EQ(BUILT(p2_batch_resend_copy(b, sizeof b, batch.data(), batch.size(), 2)), batch);
    ASSERT_EQ(p2_batch_resend_copy(b, sizeof b, batch.data(), batch.size(), 255), 24);
    EXPECT_EQ(b[5], 0x83);
    ASSERT_EQ(p2_batch_resend_copy(b, sizeof b, batch.data(), batch.size(), 0), 24);
    EXPECT_EQ(b[5], 0x03);
    EXPECT_EQ(p2_batch_resend_copy(b, 23, batch.data(), batch.size(), 1), -1);
    EXPECT_EQ(p2_batch_resend_copy(b, sizeof b, batch.data(), 15, 1), -1);

    // The device reads the inverted resend, then walks keyboard + mouse records.
    Exact d(inverted);
    size_t pos = 0, at = 0, len = 0;
    P2Packet pk;
    ASSERT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_VIEWER, &pk), 1);
    const uint8_t *rep = nullptr;
    ASSERT_EQ(input_next_record(pk.payload, pk.length, &at, &rep, &len), 1);
    EXPECT_EQ(Bytes(rep, rep + len), mouse);
    EXPECT_EQ(input_next_record(pk.payload, pk.length, &at, &rep, &len), 0);
    Exact two(cat({kb_rec, mouse_rec, unhex("030008")})); // the last record's report is empty
    std::vector<Bytes> reports;
    at = 0;
    while (input_next_record(two.p, two.n, &at, &rep, &len) == 1)
        reports.push_back(Bytes(rep, rep + len));
    EXPECT_EQ(reports, (std::vector<Bytes>{kb, mouse, {}}));
    const char *bad[] = {"020008", "000008", "090008020105fb00", "080007020105fb00", "08", "0800", "080008020105fb0005"};
    for (const char *h : bad) {
        Exact e(unhex(h));
        at = 0;
        int rc;
        while ((rc = input_next_record(e.p, e.n, &at, &rep, &len)) == 1) {
        }
        EXPECT_EQ(rc, -1) << h;
    }
}
