// Wire formats of both protocols, discovery texts and input records: bytes
// written out by hand, checked against the viewer's builders and read through
// the viewer's parsers. The device-side readers (used by the simulated dongle)
// read what the viewer sends in the integration tests. Malformed input beyond
// one row per rejection rule is left to the fuzzers (fuzz_p1_walk,
// fuzz_p2_walk), which also read back every
// acknowledgement built and check the fragment readers' bounds.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/device_record.h"
#include "protocol/wire.h"
#include "support/bytes.h"

namespace {

// What a builder wrote into b: n bytes, or {0xEE} if it refused.
uint8_t b[512];
int n;
Bytes out(int len) { return len < 0 ? Bytes{0xEE} : Bytes(b, b + len); }
#define BUILT(call) (n = (call), out(n))

// Values joined by spaces, to compare several fields at once.
template <typename... T>
std::string str(T... v)
{
    std::string s;
    ((s += (s.empty() ? "" : " ") + std::to_string(v)), ...);
    return s;
}

const Bytes M = {0x52, 0x48, 0x56, 0x4B, 0x02}; // "RHVK", generation 2
Bytes hdr2(std::initializer_list<uint8_t> rest) { return cat({M, Bytes(rest)}); }

// The first packet of d (which the packet points into).
int next2(const Exact &d, WireDirection dir, P2Packet *pk)
{
    size_t pos = 0;
    return p2_next_packet(d.p, d.n, &pos, dir, pk);
}

// "kind seq length first-byte", video also "count index valid", per block;
// the walk's last result in *last.
std::string walk1(const Bytes &v, int *last = nullptr)
{
    Exact d(v);
    size_t pos = 0;
    P1Block b;
    std::string s;
    int rc;
    while ((rc = p1_next_block(d.p, d.n, &pos, &b)) == 1 && s.size() < 1000) {
        s += str(b.kind, b.seq, b.length, b.length ? b.payload[0] : -1);
        s += (b.kind == P1_KIND_VIDEO ? " " + str(b.count, b.index, b.valid) : "") + ";";
    }
    if (last)
        *last = rc;
    return s;
}

// The answer as from 192.168.1.50:32469 unless another source is given.
DeviceRecord parse(const std::string &text, const void *src = nullptr, socklen_t src_len = 0)
{
    sockaddr_in v4{};
    v4.sin_family = AF_INET, v4.sin_port = htons(32469);
    inet_pton(AF_INET, "192.168.1.50", &v4.sin_addr);
    Exact t(Bytes(text.begin(), text.end()));
    DeviceRecord rec;
    std::memset(&rec, 0xAB, sizeof rec); // the parser must not rely on a clean record
    device_parse_answer(src ? src : &v4, src ? src_len : sizeof v4, (const char *)t.p, t.n, &rec);
    return rec;
}

} // namespace

TEST(P1Wire, ViewerMessagesLiteral)
{
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
    EXPECT_EQ(str(s, v), "1 1");
    EXPECT_EQ(wire_p1_code_setting(0xF0, &s, &v), -1);
}

TEST(P1Wire, DeviceMessagesLiteralReadAndTooLarge)
{
    // Header: type, flag, u32 payload length, u32 trailer length, u64 result, 8 more.
    uint8_t t[12];
    p1_build_audio_trailer(t, 2, 48000);
    EXPECT_EQ(hex(t, 12), "00000000" "02000000" "80bb0000");
    // Type 0x30 (unknown) with the audio-format flag, 3 payload bytes, that trailer; a keepalive.
    Exact s(cat({unhex("3020 03000000 0c000000"), Bytes(16, 0), {0xAA, 0xBB, 0xCC}, Bytes(t, t + 12),
                 unhex("f0"), Bytes(25, 0)}));
    P1ControlMsg m;
    for (size_t k : {0, 25, 40}) // header or payload not all there yet
        EXPECT_EQ(p1_control_next(s.p, k, P1_CONTROL_BUFFER_SIZE, &m), 0) << k;
    ASSERT_EQ(p1_control_next(s.p, s.n, P1_CONTROL_BUFFER_SIZE, &m), 1);
    EXPECT_EQ(str(m.type, m.flag, m.total, m.payload - s.p, m.trailer - s.p), "48 32 41 26 29");
    uint32_t ch = 0, rate = 0;
    ASSERT_EQ(p1_control_audio_format(&m, &ch, &rate), 1);
    EXPECT_EQ(str(ch, rate), "2 48000");
    ASSERT_EQ(p1_control_next(s.p + 41, s.n - 41, P1_CONTROL_BUFFER_SIZE, &m), 1);
    EXPECT_EQ(m.type, 0xF0);

    // The result is 64 bits; a trailer shorter than 12 bytes is no audio format.
    Exact r(unhex("f100 00000000 00000000 0000000000000080 0000000000000000"));
    ASSERT_EQ(p1_control_next(r.p, r.n, P1_CONTROL_BUFFER_SIZE, &m), 1);
    EXPECT_EQ(m.result, 0x8000000000000000ULL);
    Exact st(cat({unhex("1020 00000000 08000000"), Bytes(24, 0)}));
    ASSERT_EQ(p1_control_next(st.p, st.n, P1_CONTROL_BUFFER_SIZE, &m), 1);
    EXPECT_EQ(p1_control_audio_format(&m, &ch, &rate), 0);

    // A message too large for the receive buffer ends the connection.
    const uint32_t fits = P1_CONTROL_BUFFER_SIZE - 26; // fits exactly; one byte more does not
    Bytes v(26, 0);
    v[0] = 0x20, v[2] = (uint8_t)fits, v[3] = (uint8_t)(fits >> 8), v[4] = (uint8_t)(fits >> 16);
    EXPECT_EQ(p1_control_next(Exact(v).p, 26, P1_CONTROL_BUFFER_SIZE, &m), 0);
    v[6] = 1;
    EXPECT_EQ(p1_control_next(Exact(v).p, 26, P1_CONTROL_BUFFER_SIZE, &m), -1);
    // L1 = FFFFFFFF, L2 = 20: in 32 bits 26 + L1 + L2 wraps to 45, which this buffer holds.
    Exact w(cat({unhex("2000 ffffffff 14000000"), Bytes(35, 0)}));
    EXPECT_EQ(p1_control_next(w.p, w.n, P1_CONTROL_BUFFER_SIZE, &m), -1);
    EXPECT_EQ(p1_control_next(w.p, w.n, SIZE_MAX, &m), 0);
}

TEST(P1Wire, DatagramWalk)
{
    // Padding FF 01 (header two bytes after the 0xFF), audio seq 3, video
    // fragment 1 of 3 of frame 9, an input acknowledgement whose length says 4
    // (ignored), audio seq 4.
    int last = 9;
    EXPECT_EQ(walk1(unhex("ff01 0000030000000200 1020 4301090000000100 55 8000050000000400 0000040000000200 3040"),
                    &last),
              "0 3 2 16;1 9 1 85 3 1 1;2 5 0 -1;0 4 2 48;");
    EXPECT_EQ(last, 0);
    EXPECT_EQ(walk1(unhex("ff00 00050000000100cc")), "0 5 1 204;"); // padding 0: header on its length byte
    // Count 0, index == count and a fragment over 49152 bytes are flagged and skipped.
    EXPECT_EQ(walk1(unhex("4000010000000100aa 4303010000000100bb 4302010000000100cc")),
              "1 1 1 170 0 0 0;1 1 1 187 3 3 0;1 1 1 204 3 2 1;");
    Bytes big(8 + 49153, 0);
    big[0] = 0x42, big[1] = 1, big[6] = 49153 & 0xFF, big[7] = 49153 >> 8;
    EXPECT_EQ(walk1(big), "1 0 49153 0 2 1 0;");

    // Each walk ends (with 0) at the first block it cannot trust.
    // Padding past the end, a zero length, the end marker, a payload past the end.
    const std::pair<const char *, const char *> ends[] = {
        {"ff100000", ""}, {"0000010000000000 0000020000000100aa", ""},
        {"0000010000000100 11 c000000000000000 0000020000000100aa", "0 1 1 17;"},
        {"4100010000006400 0102030405060708090a", ""}};
    for (auto [h, blocks] : ends) {
        EXPECT_EQ(walk1(unhex(h), &last), blocks) << h;
        EXPECT_EQ(last, 0) << h;
    }
}

TEST(P1Wire, FragmentAckAndFrameLength)
{
    // Fragment 2 of 3 of frame 9 just arrived; 0 and 2 are in; one picture waits.
    const uint8_t frag[8] = {0x43, 0x02, 0x09, 0x00, 0x00, 0x00, 0x10, 0x00};
    const uint32_t received[3] = {1, 0, 1};
    EXPECT_EQ(hex(BUILT(p1_build_fragment_ack(b, sizeof b, frag, 1, received, 3))), "43020900000001000002");
    EXPECT_EQ(p1_build_fragment_ack(b, 9, frag, 1, received, 3), -1);
    const uint8_t frag63[8] = {0x7F, 0x3E, 0x01, 0, 0, 0, 0, 0};
    std::vector<uint32_t> all(100, 1);
    ASSERT_EQ(p1_build_fragment_ack(b, sizeof b, frag63, 0, all.data(), all.size()), 71); // at most 63 indices
    EXPECT_EQ(b[70], 62);

    EXPECT_EQ(str(p1_frame_length(3, 10), p1_frame_length(2, 49153)), str(2 * 49152 + 10, -1));
}

TEST(P2Wire, HeaderWalkEchoAndFragmentAck)
{
    uint8_t h[16];
    p2_write_header(h, 2, 0x8003, 1, 0x01020304, 1200);
    EXPECT_EQ(Bytes(h, h + 16), hdr2({0x02, 0x03, 0x80, 0x01, 0x00, 0x04, 0x03, 0x02, 0x01, 0xB0, 0x04}));

    // Inverted audio (restored in place), unknown type 9 skipped by its length,
    // device-side types 3, 5 and 8 always 16 bytes, then a bad magic ends the walk.
    Exact d(cat({hdr2({0x82, 0, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0xFF, 0xFF, 0xFF, 0xFE}),
                 hdr2({0x09, 0, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0xAA, 0xBB, 0xCC}),
                 hdr2({0x03, 0, 0, 0, 0, 3, 0, 0, 0, 4, 0}), hdr2({0x05, 0, 0, 0, 0, 4, 0, 0, 0, 4, 0}),
                 hdr2({0x08, 0, 0, 0, 0, 5, 0, 0, 0, 4, 0}),
                 unhex("524856580201000000000200000000 00"), hdr2({0x01, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0})}));
    size_t pos = 0;
    P2Packet pk;
    std::string seen;
    while (p2_next_packet(d.p, d.n, &pos, WIRE_FROM_DEVICE, &pk) == 1)
        seen += str(pk.type, pk.seq, pk.inverted, pk.length) + ";";
    EXPECT_EQ(seen, "2 1 1 4;9 2 0 3;3 3 0 0;5 4 0 0;8 5 0 0;");
    EXPECT_EQ(hex(d.p, 20), "5248564b0202000000000100000004000000" "0001"); // the bit cleared in the datagram

    // A payload past the end stops the walk and leaves the datagram untouched;
    // a cut header too. An input acknowledgement with a length past the end is
    // still a whole packet.
    const Bytes past = hdr2({0x81, 0, 0, 0, 0, 1, 0, 0, 0, 8, 0, 0xFF, 0xFF, 0xFF});
    Exact pe(past);
    EXPECT_EQ(next2(pe, WIRE_FROM_DEVICE, &pk), 0);
    EXPECT_EQ(Bytes(pe.p, pe.p + pe.n), past);
    EXPECT_EQ(next2(Exact(unhex("5248564b0201 00")), WIRE_FROM_DEVICE, &pk), 0);
    ASSERT_EQ(next2(Exact(hdr2({0x83, 0, 0, 0, 0, 5, 0, 0, 0, 0x40, 0})), WIRE_FROM_DEVICE, &pk), 1);
    EXPECT_EQ(str(pk.type, pk.seq), "3 5");

    uint8_t e[16];
    p2_echo_header(hdr2({0x14, 0, 0, 1, 0, 9, 0, 0, 0, 5, 0}).data(), e);
    EXPECT_EQ(Bytes(e, e + 16), hdr2({0x14, 0, 0, 1, 0, 9, 0, 0, 0, 0, 0}));

    // Fragment 33 of 40 of frame 7 with the digest flag; 32 and 33 are in; two
    // pictures wait. An odd counter inverts the payload.
    const Bytes frag = hdr2({0x02, 0x28, 0x80, 0x21, 0x00, 0x07, 0, 0, 0, 0xB0, 0x04});
    uint8_t o[20];
    p2_build_fragment_ack(frag.data(), 2, 3, 2, o);
    EXPECT_EQ(Bytes(o, o + 20), hdr2({0x02, 0x02, 0x00, 0x21, 0x00, 0x07, 0, 0, 0, 0x04, 0x00, 0x03, 0, 0, 0}));
    p2_build_fragment_ack(frag.data(), 2, 3, 1, o);
    EXPECT_EQ(Bytes(o, o + 20),
              hdr2({0x82, 0x02, 0x00, 0x21, 0x00, 0x07, 0, 0, 0, 0x04, 0x00, 0xFC, 0xFF, 0xFF, 0xFF}));
}

TEST(P2Wire, PacketsLiteralAndParsed)
{
    uint8_t req[33] = {1, 0x39, 0x30};
    req[17] = 0xA5, req[32] = 0x5A;
    Bytes setting = hdr2({0x08, 0, 0, 0, 0, 5, 0, 0, 0, 0x41, 0, 0x01, 0x01});
    setting.resize(81, 0);
    const Bytes params = cat({Bytes(12, 0), {0x40, 0x1F, 0, 0}});
    const std::pair<Bytes, Bytes> rows[] = {
        {BUILT(p2_build_connect_request(b, 1, req)), cat({hdr2({4, 0, 0, 0, 0, 1, 0, 0, 0, 0x21, 0}), Bytes(req, req + 33)})},
        {BUILT(p2_build_setting(b, 5, 1, 1)), setting},
        {BUILT(p2_build_disconnect(b)), hdr2({7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
        {BUILT(p2_build_connection_start(b, 3)), hdr2({5, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0})},
        {BUILT(p2_build_ack(b, P2_TYPE_SETTING, 5)), hdr2({8, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0})},
        {BUILT(p2_build_stream_params(b, 2, 8000)), cat({hdr2({6, 0, 0, 0, 0, 2, 0, 0, 0, 0x10, 0}), params})},
    };
    for (size_t i = 0; i < std::size(rows); i++)
        EXPECT_EQ(hex(rows[i].first), hex(rows[i].second)) << "row " << i;

    // The viewer reads the stream parameters and the audio format (channels signed).
    uint32_t interval = 0, rate = 0;
    ASSERT_EQ(p2_parse_stream_params(params.data(), 16, &interval), 0);
    EXPECT_EQ(interval, 8000u);
    EXPECT_EQ(p2_parse_stream_params(params.data(), 15, &interval), -1);
    int32_t ch = 0;
    const uint8_t neg[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0xBB, 0x00, 0x00};
    ASSERT_EQ(p2_parse_audio_format(neg, 8, &ch, &rate), 0);
    EXPECT_EQ(str(ch, rate), "-1 48000");
    EXPECT_EQ(p2_parse_audio_format(neg, 7, &ch, &rate), -1);
}

TEST(P2Wire, ConnectReply)
{
    // rc, then result, audio, channels, rate, video, codec length, rejected, codec offset.
    const std::pair<const char *, const char *> rows[] = {
        {"0000 0102 80bb 01 05 0000000167", "0 0 1 2 48000 1 5 0 8"}, // admitted, sound and picture
        {"0001 0000 0000 00 00", "0 1 0 0 0 0 0 0 -1"},                // password needed, no media
        {"0000 0101 44ac 01 09 0000000167", "0 0 1 1 44100 1 0 1 -1"}, // codec length past the end
        {"0003 0000 0000 00", "-1"},                                   // too short
    };
    for (auto [bytes, want] : rows) {
        Exact p(unhex(bytes));
        P2ConnectReply r{};
        const int rc = p2_parse_connect_reply(p.p, p.n, &r);
        const long at = r.codec_header ? r.codec_header - p.p : -1;
        const int ch = r.audio_present ? r.channels : 0, rate = r.audio_present ? r.rate : 0;
        EXPECT_EQ(rc ? str(rc)
                     : str(rc, r.result, r.audio_present, ch, rate, r.video_present, r.codec_len, r.codec_rejected, at),
                  want)
            << bytes;
    }
}

TEST(P2Wire, FragmentInfoAndFrameLength)
{
    // The digest flag in bit 15 of the count; the largest frame is 16384 fragments.
    Exact d(hdr2({0x02, 0x00, 0xC0, 0xFF, 0x3F, 0x0A, 0, 0, 0, 0x01, 0x00, 0xEE}));
    P2Packet pk;
    ASSERT_EQ(next2(d, WIRE_FROM_DEVICE, &pk), 1);
    P2Fragment f;
    ASSERT_EQ(p2_fragment_info(&pk, &f), 0);
    EXPECT_EQ(str(f.frame, f.count, f.index, f.has_digest), "10 16384 16383 1");
    pk.w6 = 0x8000 | 16385, pk.w8 = 16384; // group 512 falls outside the assembly's bitmap
    EXPECT_EQ(p2_fragment_info(&pk, &f), -1);
    pk.w6 = 3, pk.w8 = 2, pk.type = 1; // not a picture fragment
    EXPECT_EQ(p2_fragment_info(&pk, &f), -1);
    EXPECT_EQ(str(p2_frame_length(3, 100, false), p2_frame_length(3, 100, true)), "2500 2484");
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
    EXPECT_EQ(str(wire_tz_field_from_gmtoff(8 * 3600), wire_tz_field_from_gmtoff(-(3 * 3600 + 1800))), "20 9");
    int port = 0, tz = 0;
    int64_t t = 0;
    const char edge[] = "mdc[36549]=-9223372036854775808|-2147483648";
    ASSERT_EQ(wire_parse_probe(edge, sizeof edge, &port, &t, &tz), 0); // a trailing zero byte is tolerated
    EXPECT_EQ(str(port, t, tz), str(36549, INT64_MIN, INT32_MIN));
    EXPECT_EQ(wire_parse_probe(edge, 30, &port, &t, &tz), -1);
}

TEST(InputWire, RecordsBatchesAndResend)
{
    const Bytes kb = unhex("010000040000000000"), mouse = unhex("02010 5fb00");
    const Bytes kb_rec = unhex("0c0008 010000040000000000"), mouse_rec = unhex("080008 020105fb00");
    EXPECT_EQ(BUILT(input_record_build(b, sizeof b, kb.data(), kb.size())), kb_rec);
    EXPECT_EQ(BUILT(input_record_build(b, sizeof b, mouse.data(), mouse.size())), mouse_rec);
    EXPECT_EQ(input_record_build(b, 7, mouse.data(), mouse.size()), -1);
    p1_write_batch_header(b, 0x01020304, 0x0102);
    EXPECT_EQ(hex(b, 8), "8000040302010201");
    p2_write_batch_header(b, 1, 20);
    EXPECT_EQ(hex(b, 16), "5248564b020300000000010000001400");

    // Batch 1 with one mouse record: the first resend is inverted, the second plain.
    const Bytes batch = unhex("5248564b0203000000000100000008 00 080008020105fb00");
    const Bytes inverted = unhex("5248564b0283000000000100000008 00 f7fff7fdfefa04ff");
    EXPECT_EQ(hex(BUILT(p2_batch_resend_copy(b, sizeof b, batch.data(), batch.size(), 1))), hex(inverted));
    EXPECT_EQ(BUILT(p2_batch_resend_copy(b, sizeof b, batch.data(), batch.size(), 2)), batch);
    EXPECT_EQ(p2_batch_resend_copy(b, 23, batch.data(), batch.size(), 1), -1);
    EXPECT_EQ(p2_batch_resend_copy(b, sizeof b, batch.data(), 15, 1), -1);

    // The device reads the inverted resend.
    Exact d(inverted);
    size_t at = 0, len = 0;
    P2Packet pk;
    ASSERT_EQ(next2(d, WIRE_FROM_VIEWER, &pk), 1);
    const uint8_t *rep = nullptr;
    ASSERT_EQ(input_next_record(pk.payload, pk.length, &at, &rep, &len), 1);
    EXPECT_EQ(Bytes(rep, rep + len), mouse);
    EXPECT_EQ(input_next_record(pk.payload, pk.length, &at, &rep, &len), 0);
}

// Discovery answers into DeviceRecords, each handed over in a heap block of
// exactly its length with no zero byte after it (fuzz_text_files covers
// the rest).
TEST(DiscoveryAnswer, FullAnswerAndIpv4Address)
{
    DeviceRecord r = parse("id=\"A1\" mds=\"Desk\" model=\"KV-2\" ip=\"192.168.1.50\" \t\r\n"
                           "apip=\"10.10.10.1\" build=\"240117093015\" version=\"2.1.3.4\"\n"
                           "secured=\"0\"bridged=\"1\" hid_speed=\"2\"");
    EXPECT_EQ(std::string(r.id) + "|" + r.name + "|" + r.model + "|" + r.ip + "|" + r.apip,
              "A1|Desk|KV-2|192.168.1.50|10.10.10.1");
    EXPECT_EQ(hex(r.version, 4) + " " + std::to_string(r.build), "02010304 240117093015");
    EXPECT_EQ(r.secured * 100 + r.bridged * 10 + r.hid_speed, 12);
    // Fields the parser does not fill stay zero.
    EXPECT_EQ(r.label[0] + r.location[0] + r.current + r.usb + r.hid_only + r.last_seen_ms, 0u);
    // Family AF_INET (host order), port 36459 in network order, C0 A8 01 32, the rest zero.
    sa_family_t fam;
    std::memcpy(&fam, r.address.bytes, sizeof fam);
    EXPECT_EQ(fam, AF_INET);
    EXPECT_EQ(hex(r.address.bytes + 2, 26), "8e6bc0a80132" + std::string(40, '0'));
}

TEST(DiscoveryAnswer, ItemRules)
{
    struct Row {
        const char *answer, *id, *name, *model;
    } const rows[] = {
        {"mod=\"X\" models=\"Y\" ID=\"Z\" Mds=\"W\"", "", "", ""}, // keys whole and case-sensitive
        {"id=\"A1\" junk mds=\"Desk\" model=\"M\"", "A1", "", "M"}, // stray text joins the next key
        {"id=\"A1\" id=\"B2\"", "B2", "", ""},                      // later overwrites earlier
        {"id=\"A1\" mds=\"Desk\" model=\"KV", "A1", "Desk", ""},     // missing closing quote ends parsing
        {"id=\"A1\" mds=\"Desk\" version=\"2.1", "A1", "Desk", ""},  // cut answer keeps complete items
    };
    for (const Row &w : rows) {
        DeviceRecord r = parse(w.answer);
        EXPECT_EQ(std::string(r.id) + "|" + r.name + "|" + r.model, std::string(w.id) + "|" + w.name + "|" + w.model)
            << w.answer;
    }
    // Values are cut to 127 characters; a key cut to 63 is compared whole.
    DeviceRecord r = parse("id=\"" + std::string(200, 'v') + "\"");
    EXPECT_EQ(std::string(r.id), std::string(127, 'v'));
    EXPECT_EQ(parse("id" + std::string(68, 'x') + "=\"A1\"").id[0], '\0');
    // The text is bounded by its length, not by a zero byte.
    r = parse(std::string("id=\"A\0B\" mds=\"D\"", 16));
    EXPECT_EQ(std::string(r.id, 3), std::string("A\0B", 3));
    EXPECT_STREQ(r.name, "D");
}

TEST(DiscoveryAnswer, Numbers)
{
    // Version numbers keep their low 8 bits; the next dot is searched from
    // the second character on. Builds and integers saturate; a build that is
    // not positive is the default.
    const std::string def = std::to_string(DEVICE_DEFAULT_BUILD);
    const std::pair<const char *, std::string> rows[] = {
        {"version=\"10.20.30.40.50\" build=\"0\" secured=\"abc\"", "0a141e28 " + def + " 0"},
        {"version=\"300.65537\" build=\"12ab\" secured=\"2147483648\"", "2c010000 12 2147483647"},
        {"version=\"2..3\" build=\"-5\" secured=\"-1\"", "02000000 " + def + " -1"},
        {"version=\"4.\" build=\"99999999999999999999999\"", "04000000 18446744073709551615 0"},
    };
    for (const auto &[text, want] : rows) {
        DeviceRecord r = parse(text);
        EXPECT_EQ(hex(r.version, 4) + " " + std::to_string(r.build) + " " + std::to_string(r.secured), want) << text;
    }
}

TEST(DiscoveryAnswer, Ipv6AndNoSource)
{
    sockaddr_in6 src{};
    src.sin6_family = AF_INET6;
    src.sin6_port = htons(32469);
    src.sin6_flowinfo = htonl(0x12345);
    src.sin6_scope_id = 3;
    inet_pton(AF_INET6, "fe80::1234:5678", &src.sin6_addr);
    DeviceRecord r = parse("id=\"B7\"", &src, sizeof src);
    src.sin6_port = htons(DEVICE_STREAM_PORT); // the answer's source port is replaced
    EXPECT_EQ(std::memcmp(&r.address.in6, &src, sizeof src), 0);

    Exact t(unhex("69643d224131 22")); // id="A1"
    device_parse_answer(nullptr, 0, (const char *)t.p, t.n, &r);
    EXPECT_EQ(Bytes(r.address.bytes, r.address.bytes + sizeof r.address), Bytes(sizeof r.address, 0));
    EXPECT_STREQ(r.id, "A1");
}
