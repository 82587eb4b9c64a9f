// Protocol 2: header, datagram walk with inversion, every packet of both
// sides, fragment acknowledgements and frame lengths. Expected bytes are
// written out by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/wire.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A heap copy of exactly the vector's size so the address sanitizer catches
// any access past the end.
struct Exact {
    explicit Exact(const Bytes &v) : n(v.size()), p(new uint8_t[v.size() ? v.size() : 1])
    {
        if (n)
            std::memcpy(p, v.data(), n);
    }
    ~Exact() { delete[] p; }
    Exact(const Exact &) = delete;
    Exact &operator=(const Exact &) = delete;
    Bytes bytes() const { return Bytes(p, p + n); }
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

// "RHVK", generation 2
const Bytes M = {0x52, 0x48, 0x56, 0x4B, 0x02};

} // namespace

// ---------------------------------------------------------------------------
// Header and walk.

TEST(P2Header, Literal)
{
    uint8_t h[16];
    p2_write_header(h, 2, 0x8003, 1, 0x01020304, 1200);
    EXPECT_EQ(Bytes(h, h + 16), cat({M, {0x02, 0x03, 0x80, 0x01, 0x00, 0x04, 0x03, 0x02, 0x01, 0xB0, 0x04}}));
}

TEST(P2Walk, InvertedPayloadIsRestored)
{
    Exact d(cat({M, {0x82, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0xFF, 0xFF, 0xFF, 0xFE}}));
    size_t pos = 0;
    P2Packet pk;
    ASSERT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_DEVICE, &pk), 1);
    EXPECT_EQ(pk.type, 2);
    EXPECT_TRUE(pk.inverted);
    EXPECT_EQ(pk.length, 4);
    EXPECT_EQ(pk.seq, 1u);
    EXPECT_EQ(Bytes(pk.payload, pk.payload + 4), (Bytes{0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(d.p[5], 0x02); // the bit is cleared in the datagram itself
    EXPECT_EQ(pos, 20u);
    EXPECT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_DEVICE, &pk), 0);
}

TEST(P2Walk, BadMagicInSecondPacketEndsWalk)
{
    Exact d(cat({M, {0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x11, 0x22},
                 {0x52, 0x48, 0x56, 0x58, 0x02, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00},
                 M, {0x01, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00}}));
    size_t pos = 0;
    P2Packet pk;
    ASSERT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_DEVICE, &pk), 1);
    EXPECT_EQ(pk.type, 1);
    EXPECT_EQ(pk.seq, 1u);
    EXPECT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_DEVICE, &pk), 0);
}

TEST(P2Walk, UnknownTypeSkippedByLength)
{
    Exact d(cat({M, {0x09, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0xAA, 0xBB, 0xCC},
                 M, {0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0xDD}}));
    size_t pos = 0;
    P2Packet pk;
    ASSERT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_DEVICE, &pk), 1);
    EXPECT_EQ(pk.type, 9);
    EXPECT_EQ(pk.length, 3);
    ASSERT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_DEVICE, &pk), 1);
    EXPECT_EQ(pk.type, 1);
    EXPECT_EQ(pk.seq, 2u);
    EXPECT_EQ(pk.payload[0], 0xDD);
    EXPECT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_DEVICE, &pk), 0);
}

TEST(P2Walk, FixedSizeTypesFromDevice)
{
    // Types 3, 5 and 8 with a length field of 4 are 16 bytes each from the
    // device; the next header follows right after.
    for (uint8_t type : {3, 5, 8}) {
        Exact d(cat({M, {type, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x04, 0x00},
                     M, {0x01, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x01, 0x00, 0x99}}));
        size_t pos = 0;
        P2Packet pk;
        ASSERT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_DEVICE, &pk), 1);
        EXPECT_EQ(pk.type, type);
        EXPECT_EQ(pk.seq, 7u);
        EXPECT_EQ(pk.length, 0);
        EXPECT_EQ(pos, 16u);
        ASSERT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_DEVICE, &pk), 1);
        EXPECT_EQ(pk.type, 1);
        EXPECT_EQ(pk.seq, 8u);
    }
}

TEST(P2Walk, FixedSizeTypeFromDeviceAtDatagramEnd)
{
    // An input acknowledgement whose length field claims bytes that are not
    // there is still a whole 16-byte packet.
    Exact d(cat({M, {0x83, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x40, 0x00}}));
    size_t pos = 0;
    P2Packet pk;
    ASSERT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_DEVICE, &pk), 1);
    EXPECT_EQ(pk.type, 3);
    EXPECT_EQ(pk.seq, 5u);
    EXPECT_EQ(pk.length, 0);
}

TEST(P2Walk, FromViewerTypesThreeAndEightCarryPayloads)
{
    Exact d(cat({M, {0x03, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0xAA, 0xBB},
                 M, {0x05, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}}));
    size_t pos = 0;
    P2Packet pk;
    ASSERT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_VIEWER, &pk), 1);
    EXPECT_EQ(pk.type, 3);
    EXPECT_EQ(pk.length, 2);
    EXPECT_EQ(pk.payload[1], 0xBB);
    ASSERT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_VIEWER, &pk), 1);
    EXPECT_EQ(pk.type, 5);
    EXPECT_EQ(pk.seq, 2u);
}

TEST(P2Walk, PayloadPastEndEndsWalkUntouched)
{
    const Bytes v = cat({M, {0x81, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x08, 0x00, 0xFF, 0xFF, 0xFF}});
    Exact d(v);
    size_t pos = 0;
    P2Packet pk;
    EXPECT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_DEVICE, &pk), 0);
    EXPECT_EQ(d.bytes(), v);
    EXPECT_EQ(pos, 0u);
    Exact h(Bytes{0x52, 0x48, 0x56, 0x4B, 0x02, 0x01, 0x00});
    EXPECT_EQ(p2_next_packet(h.p, h.n, &pos, WIRE_FROM_DEVICE, &pk), 0);
}

TEST(P2Walk, EchoHeaderDropsLength)
{
    const Bytes hdr = cat({M, {0x06, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x10, 0x00}});
    uint8_t out[16];
    p2_echo_header(hdr.data(), out);
    EXPECT_EQ(Bytes(out, out + 16), cat({M, {0x06, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}}));
    const Bytes vs = cat({M, {0x14, 0x00, 0x00, 0x01, 0x00, 0x09, 0x00, 0x00, 0x00, 0x05, 0x00}});
    p2_echo_header(vs.data(), out);
    EXPECT_EQ(Bytes(out, out + 16), cat({M, {0x14, 0x00, 0x00, 0x01, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00}}));
}

// ---------------------------------------------------------------------------
// Fragment acknowledgement.

TEST(P2FragmentAck, EvenAndOddCounter)
{
    // Fragment 33 of 40 of frame 7, with the digest flag; fragments 32 and 33
    // are in; two pictures wait in the decoder queue.
    const Bytes frag = cat({M, {0x02, 0x28, 0x80, 0x21, 0x00, 0x07, 0x00, 0x00, 0x00, 0xB0, 0x04}});
    uint8_t out[20];
    p2_build_fragment_ack(frag.data(), 2, 0x00000003, 2, out);
    EXPECT_EQ(Bytes(out, out + 20), cat({M, {0x02, 0x02, 0x00, 0x21, 0x00, 0x07, 0x00, 0x00, 0x00, 0x04, 0x00,
                                             0x03, 0x00, 0x00, 0x00}}));
    p2_build_fragment_ack(frag.data(), 2, 0x00000003, 1, out);
    EXPECT_EQ(Bytes(out, out + 20), cat({M, {0x82, 0x02, 0x00, 0x21, 0x00, 0x07, 0x00, 0x00, 0x00, 0x04, 0x00,
                                             0xFC, 0xFF, 0xFF, 0xFF}}));
}

TEST(P2FragmentAck, DeviceReadsInvertedAckThroughWalk)
{
    Exact d(cat({M, {0x82, 0x02, 0x00, 0x21, 0x00, 0x07, 0x00, 0x00, 0x00, 0x04, 0x00, 0xFC, 0xFF, 0xFF, 0xFF}}));
    size_t pos = 0;
    P2Packet pk;
    ASSERT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_VIEWER, &pk), 1);
    P2FragmentAck a;
    ASSERT_EQ(p2_parse_fragment_ack(&pk, &a), 0);
    EXPECT_EQ(a.frame, 7u);
    EXPECT_EQ(a.index, 33);
    EXPECT_EQ(a.queue_len, 2);
    EXPECT_EQ(a.bitmap, 3u);
    pk.length = 3;
    EXPECT_EQ(p2_parse_fragment_ack(&pk, &a), -1);
}

// ---------------------------------------------------------------------------
// Viewer-to-device packets.

TEST(P2ViewerPackets, ConnectRequest)
{
    uint8_t payload[33] = {};
    payload[0] = 1;
    payload[1] = 0x39;
    payload[2] = 0x30; // first nonce word 12345
    payload[17] = 0xA5;
    payload[32] = 0x5A;
    uint8_t out[49];
    ASSERT_EQ(p2_build_connect_request(out, 1, payload), 49);
    EXPECT_EQ(Bytes(out, out + 16), cat({M, {0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x21, 0x00}}));
    EXPECT_EQ(Bytes(out + 16, out + 49), Bytes(payload, payload + 33));

    Exact d(Bytes(out, out + 49));
    size_t pos = 0;
    P2Packet pk;
    ASSERT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_VIEWER, &pk), 1);
    P2ConnectRequest r;
    ASSERT_EQ(p2_parse_connect_request(pk.payload, pk.length, &r), 0);
    EXPECT_EQ(r.has_password, 1);
    EXPECT_EQ(r.nonce[0], 0x39);
    EXPECT_EQ(r.nonce[1], 0x30);
    EXPECT_EQ(r.secret[0], 0xA5);
    EXPECT_EQ(r.secret[15], 0x5A);
    EXPECT_EQ(p2_parse_connect_request(pk.payload, 32, &r), -1);
}

TEST(P2ViewerPackets, SettingAudioOn)
{
    uint8_t out[81];
    ASSERT_EQ(p2_build_setting(out, 5, 1, 1), 81);
    Bytes expected = cat({M, {0x08, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x41, 0x00, 0x01, 0x01}});
    expected.resize(81, 0x00);
    EXPECT_EQ(Bytes(out, out + 81), expected);

    Exact d(expected);
    size_t pos = 0;
    P2Packet pk;
    ASSERT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_VIEWER, &pk), 1);
    EXPECT_EQ(pk.type, 8);
    uint8_t s = 0, v = 0;
    ASSERT_EQ(p2_parse_setting(pk.payload, pk.length, &s, &v), 0);
    EXPECT_EQ(s, 1);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(p2_parse_setting(pk.payload, 64, &s, &v), -1);
}

TEST(P2ViewerPackets, DisconnectAndConnectionStart)
{
    uint8_t out[16];
    ASSERT_EQ(p2_build_disconnect(out), 16);
    EXPECT_EQ(Bytes(out, out + 16), cat({M, {0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}}));
    ASSERT_EQ(p2_build_connection_start(out, 3), 16);
    EXPECT_EQ(Bytes(out, out + 16), cat({M, {0x05, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00}}));
}

// ---------------------------------------------------------------------------
// Device-to-viewer packets.

TEST(P2ConnectReply, AdmittedWithAudioAndVideo)
{
    Exact p(Bytes{0x00, 0x00, 0x01, 0x02, 0x80, 0xBB, 0x01, 0x05, 0x00, 0x00, 0x00, 0x01, 0x67});
    P2ConnectReply r;
    ASSERT_EQ(p2_parse_connect_reply(p.p, p.n, &r), 0);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.audio_present, 1);
    EXPECT_EQ(r.channels, 2);
    EXPECT_EQ(r.rate, 48000);
    EXPECT_EQ(r.video_present, 1);
    EXPECT_FALSE(r.codec_rejected);
    EXPECT_EQ(r.codec_header, p.p + 8);
    EXPECT_EQ(r.codec_len, 5u);
}

TEST(P2ConnectReply, PasswordNeededNoMedia)
{
    Exact p(Bytes{0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    P2ConnectReply r;
    ASSERT_EQ(p2_parse_connect_reply(p.p, p.n, &r), 0);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.audio_present, 0);
    EXPECT_EQ(r.video_present, 0);
    EXPECT_EQ(r.codec_header, nullptr);
    EXPECT_EQ(r.codec_len, 0u);
    EXPECT_FALSE(r.codec_rejected);
}

TEST(P2ConnectReply, CodecHeaderLengthBeyondPayload)
{
    // The length byte says 9, only 5 bytes follow: the codec header is
    // rejected, the rest of the reply is kept.
    Exact p(Bytes{0x00, 0x00, 0x01, 0x01, 0x44, 0xAC, 0x01, 0x09, 0x00, 0x00, 0x00, 0x01, 0x67});
    P2ConnectReply r;
    ASSERT_EQ(p2_parse_connect_reply(p.p, p.n, &r), 0);
    EXPECT_TRUE(r.codec_rejected);
    EXPECT_EQ(r.codec_header, nullptr);
    EXPECT_EQ(r.codec_len, 0u);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.channels, 1);
    EXPECT_EQ(r.rate, 44100);
    EXPECT_EQ(r.video_present, 1);
}

TEST(P2ConnectReply, TooShort)
{
    Exact p(Bytes{0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00});
    P2ConnectReply r;
    EXPECT_EQ(p2_parse_connect_reply(p.p, p.n, &r), -1);
}

TEST(P2ConnectReply, Builder)
{
    const uint8_t hdr[5] = {0x00, 0x00, 0x00, 0x01, 0x67};
    P2ConnectReply r{};
    r.result = 0;
    r.audio_present = 1;
    r.channels = 2;
    r.rate = 48000;
    r.video_present = 1;
    r.codec_header = hdr;
    r.codec_len = 5;
    uint8_t out[64];
    ASSERT_EQ(p2_build_connect_reply(out, sizeof out, 9, &r), 29);
    EXPECT_EQ(Bytes(out, out + 29), cat({M, {0x04, 0x00, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x0D, 0x00,
                                             0x00, 0x00, 0x01, 0x02, 0x80, 0xBB, 0x01, 0x05, 0x00, 0x00, 0x00,
                                             0x01, 0x67}}));
    EXPECT_EQ(p2_build_connect_reply(out, 28, 9, &r), -1);

    Bytes big(256, 0);
    r.codec_header = big.data();
    r.codec_len = 256;
    uint8_t large[512];
    EXPECT_EQ(p2_build_connect_reply_payload(large, sizeof large, &r), -1);
    r.codec_len = 255;
    EXPECT_EQ(p2_build_connect_reply_payload(large, sizeof large, &r), 263);
    EXPECT_EQ(large[7], 255);

    P2ConnectReply refused{};
    refused.result = 3;
    ASSERT_EQ(p2_build_connect_reply_payload(out, sizeof out, &refused), 8);
    EXPECT_EQ(Bytes(out, out + 8), (Bytes{0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(P2DevicePackets, HeaderOnlyAcknowledgements)
{
    uint8_t out[16];
    ASSERT_EQ(p2_build_ack(out, P2_TYPE_SETTING, 5), 16);
    EXPECT_EQ(Bytes(out, out + 16), cat({M, {0x08, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00}}));
    ASSERT_EQ(p2_build_ack(out, P2_TYPE_START, 2), 16);
    EXPECT_EQ(Bytes(out, out + 16), cat({M, {0x05, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}}));
    ASSERT_EQ(p2_build_ack(out, P2_TYPE_INPUT, 4), 16);
    EXPECT_EQ(Bytes(out, out + 16), cat({M, {0x03, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00}}));
}

TEST(P2DevicePackets, StreamParameters)
{
    uint8_t out[32];
    ASSERT_EQ(p2_build_stream_params(out, 2, 8000), 32);
    EXPECT_EQ(Bytes(out, out + 32), cat({M, {0x06, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x10, 0x00},
                                         Bytes(12, 0x00), {0x40, 0x1F, 0x00, 0x00}}));
    uint32_t interval = 0;
    ASSERT_EQ(p2_parse_stream_params(out + 16, 16, &interval), 0);
    EXPECT_EQ(interval, 8000u);
    EXPECT_EQ(p2_parse_stream_params(out + 16, 15, &interval), -1);
}

TEST(P2DevicePackets, VideoState)
{
    const uint8_t hdr[4] = {0x00, 0x00, 0x00, 0x01};
    uint8_t out[32];
    ASSERT_EQ(p2_build_video_state(out, sizeof out, 7, true, hdr, 4), 20);
    EXPECT_EQ(Bytes(out, out + 20), cat({M, {0x14, 0x00, 0x00, 0x01, 0x00, 0x07, 0x00, 0x00, 0x00, 0x04, 0x00,
                                             0x00, 0x00, 0x00, 0x01}}));
    ASSERT_EQ(p2_build_video_state(out, sizeof out, 8, false, hdr, 4), 16);
    EXPECT_EQ(Bytes(out, out + 16), cat({M, {0x14, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00}}));
}

TEST(P2DevicePackets, AudioFormat)
{
    uint8_t out[24];
    ASSERT_EQ(p2_build_audio_format(out, 8, 2, 44100), 24);
    EXPECT_EQ(Bytes(out, out + 24), cat({M, {0x15, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x08, 0x00,
                                             0x02, 0x00, 0x00, 0x00, 0x44, 0xAC, 0x00, 0x00}}));
    int32_t ch = 0;
    uint32_t rate = 0;
    ASSERT_EQ(p2_parse_audio_format(out + 16, 8, &ch, &rate), 0);
    EXPECT_EQ(ch, 2);
    EXPECT_EQ(rate, 44100u);
    const uint8_t neg[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0xBB, 0x00, 0x00};
    ASSERT_EQ(p2_parse_audio_format(neg, 8, &ch, &rate), 0);
    EXPECT_EQ(ch, -1);
    EXPECT_EQ(p2_parse_audio_format(neg, 7, &ch, &rate), -1);
}

TEST(P2DevicePackets, Audio)
{
    const uint8_t pcm[2] = {0x01, 0x02};
    uint8_t out[18];
    ASSERT_EQ(p2_build_audio(out, sizeof out, 1, pcm, 2), 18);
    EXPECT_EQ(Bytes(out, out + 18), cat({M, {0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00,
                                             0x01, 0x02}}));
    EXPECT_EQ(p2_build_audio(out, 17, 1, pcm, 2), -1);
}

TEST(P2DevicePackets, VideoFragment)
{
    uint8_t payload[20];
    for (int i = 0; i < 20; i++)
        payload[i] = (uint8_t)i;
    uint8_t out[64];
    ASSERT_EQ(p2_build_video_fragment(out, sizeof out, 10, 3, 2, true, payload, 20), 36);
    EXPECT_EQ(Bytes(out, out + 16), cat({M, {0x02, 0x03, 0x80, 0x02, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x14, 0x00}}));
    EXPECT_EQ(Bytes(out + 16, out + 36), Bytes(payload, payload + 20));
    ASSERT_EQ(p2_build_video_fragment(out, sizeof out, 10, 3, 0, false, payload, 1), 17);
    EXPECT_EQ(Bytes(out, out + 16), cat({M, {0x02, 0x03, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x01, 0x00}}));

    EXPECT_EQ(p2_build_video_fragment(out, sizeof out, 10, 0, 0, false, payload, 1), -1);
    EXPECT_EQ(p2_build_video_fragment(out, sizeof out, 10, 3, 3, false, payload, 1), -1);
    EXPECT_EQ(p2_build_video_fragment(out, sizeof out, 10, 16385, 0, false, payload, 1), -1);
    std::vector<uint8_t> big(1300, 0);
    EXPECT_EQ(p2_build_video_fragment(big.data(), big.size(), 10, 3, 0, false, big.data(), 1201), -1);
}

// ---------------------------------------------------------------------------
// Fragments as the viewer reads them.

TEST(P2Fragments, InfoChecksNumbers)
{
    Bytes good = cat({M, {0x02, 0x03, 0x80, 0x02, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x01, 0x00, 0xEE}});
    Exact d(good);
    size_t pos = 0;
    P2Packet pk;
    ASSERT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_DEVICE, &pk), 1);
    P2Fragment f;
    ASSERT_EQ(p2_fragment_info(&pk, &f), 0);
    EXPECT_EQ(f.frame, 10u);
    EXPECT_EQ(f.count, 3);
    EXPECT_EQ(f.index, 2);
    EXPECT_TRUE(f.has_digest);

    P2Packet bad = pk;
    bad.w6 = 0x8000; // count 0
    EXPECT_EQ(p2_fragment_info(&bad, &f), -1);
    bad = pk;
    bad.w8 = 3; // index == count
    EXPECT_EQ(p2_fragment_info(&bad, &f), -1);
    bad = pk;
    bad.w6 = 16385;
    bad.w8 = 16384; // group 512 would fall outside the assembly's bitmap
    EXPECT_EQ(p2_fragment_info(&bad, &f), -1);
    bad = pk;
    bad.length = 1201;
    EXPECT_EQ(p2_fragment_info(&bad, &f), -1);
    bad = pk;
    bad.type = 1;
    EXPECT_EQ(p2_fragment_info(&bad, &f), -1);
    bad = pk;
    bad.w6 = 16384;
    bad.w8 = 16383;
    EXPECT_EQ(p2_fragment_info(&bad, &f), 0);
}

TEST(P2FrameLength, Arithmetic)
{
    EXPECT_EQ(p2_frame_length(3, 100, false), 2500);
    EXPECT_EQ(p2_frame_length(3, 100, true), 2484);
    EXPECT_EQ(p2_frame_length(1, 16, true), 0);
    EXPECT_EQ(p2_frame_length(1, 1200, false), 1200);
    // A digest flag with a last fragment too short to hold the digest.
    EXPECT_EQ(p2_frame_length(1, 15, true), -1);
    EXPECT_EQ(p2_frame_length(5, 0, true), -1);
    EXPECT_EQ(p2_frame_length(5, 15, false), 4815);
    EXPECT_EQ(p2_frame_length(0, 100, false), -1);
    EXPECT_EQ(p2_frame_length(2, 1201, false), -1);
    EXPECT_EQ(p2_frame_length(16384, 1200, false), 16384LL * 1200);
    EXPECT_EQ(p2_frame_length(16385, 1, false), -1);
}
