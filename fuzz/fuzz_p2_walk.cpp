// Protocol-2 datagrams, walked once as the viewer reads the device's and once
// as the device reads the viewer's, with every packet reader applied to what
// the walk yields. The whole input is also a connect reply payload: one whose
// codec header was accepted is rebuilt and must give back the same bytes.
#include "fuzz.h"
#include "protocol/wire.h"

static void read_packet(const P2Packet &pk, WireDirection from)
{
    FUZZ_FAIL_IF(pk.header[5] & P2_TYPE_INVERTED); // the walk hands over plain packets only
    uint8_t echo[16];
    p2_echo_header(pk.header, echo);
    FUZZ_FAIL_IF(echo[14] || echo[15] || std::memcmp(echo, pk.header, 14));
    switch (pk.type) {
    case P2_TYPE_VIDEO: {
        P2Fragment f;
        if (from == WIRE_FROM_DEVICE && p2_fragment_info(&pk, &f) == 0) {
            FUZZ_FAIL_IF(f.index >= f.count || f.count > P2_MAX_FRAGMENTS || pk.length > P2_FRAGMENT_SIZE);
            if (f.index + 1 == f.count) {
                int64_t len = p2_frame_length(f.count, pk.length, f.has_digest);
                FUZZ_FAIL_IF(len < 0 && !(f.has_digest && pk.length < P2_DIGEST_SIZE));
            }
            // Acknowledge it with an odd counter and read the ack back as
            // the device does.
            uint8_t ack[P2_FRAGMENT_ACK_SIZE];
            uint32_t bitmap = pk.seq ^ 0xA5A5A5A5u;
            p2_build_fragment_ack(pk.header, 7, bitmap, f.index, ack);
            size_t pos = 0;
            P2Packet back;
            P2FragmentAck a;
            if (p2_next_packet(ack, sizeof ack, &pos, WIRE_FROM_VIEWER, &back) != 1 ||
                p2_parse_fragment_ack(&back, &a) != 0 || a.bitmap != bitmap || a.queue_len != 7 ||
                a.index != f.index || a.frame != f.frame)
                std::abort();
        }
        P2FragmentAck a;
        p2_parse_fragment_ack(&pk, &a);
        break;
    }
    case P2_TYPE_CONNECT: {
        P2ConnectReply r;
        if (p2_parse_connect_reply(pk.payload, pk.length, &r) == 0 && r.codec_header) {
            FUZZ_FAIL_IF(r.codec_header + r.codec_len > pk.payload + pk.length);
            fuzz_touch(r.codec_header, r.codec_len);
        }
        P2ConnectRequest q;
        p2_parse_connect_request(pk.payload, pk.length, &q);
        break;
    }
    case P2_TYPE_STREAM_PARAMS:
    case P2_TYPE_AUDIO_FORMAT:
    case P2_TYPE_SETTING: {
        // Each reader on every payload: none may read past it.
        uint32_t interval, rate;
        int32_t ch;
        uint8_t s, v;
        p2_parse_stream_params(pk.payload, pk.length, &interval);
        p2_parse_audio_format(pk.payload, pk.length, &ch, &rate);
        p2_parse_setting(pk.payload, pk.length, &s, &v);
        break;
    }
    case P2_TYPE_INPUT: {
        size_t at = 0, n;
        const uint8_t *report;
        int r;
        while ((r = input_next_record(pk.payload, pk.length, &at, &report, &n)) == 1)
            fuzz_touch(report, n);
        break;
    }
    default:
        fuzz_touch(pk.payload, pk.length);
        break;
    }
}

static void walk(const uint8_t *data, size_t size, WireDirection from)
{
    if (size == 0)
        return;
    // The walk un-inverts in place: give it its own exact-size copy.
    std::vector<uint8_t> copy(data, data + size);
    uint8_t *d = copy.data();
    size_t pos = 0, last = 0;
    P2Packet pk;
    while (p2_next_packet(d, size, &pos, from, &pk) == 1) {
        FUZZ_FAIL_IF(pos <= last || pos > size || pk.header != d + last || pk.payload + pk.length > d + size);
        last = pos;
        read_packet(pk, from);
    }
    // Bytes after the last packet are never touched.
    FUZZ_FAIL_IF(std::memcmp(d + last, data + last, size - last));
}

static void connect_reply(const uint8_t *data, size_t size)
{
    P2ConnectReply r;
    if (p2_parse_connect_reply(data, size, &r) != 0) {
        FUZZ_FAIL_IF(size >= P2_CONNECT_REPLY_FIXED);
        return;
    }
    if (r.codec_rejected) {
        FUZZ_FAIL_IF(r.codec_header || r.codec_len || (size_t)data[7] <= size - P2_CONNECT_REPLY_FIXED);
        return;
    }
    FUZZ_FAIL_IF(r.codec_len != data[7] || (r.codec_header && r.codec_header + r.codec_len > data + size));
    uint8_t out[P2_CONNECT_REPLY_FIXED + P2_CODEC_HEADER_MAX];
    int n = p2_build_connect_reply_payload(out, sizeof out, &r);
    FUZZ_FAIL_IF(n != (int)(P2_CONNECT_REPLY_FIXED + r.codec_len) || std::memcmp(out + 1, data + 1, (size_t)n - 1));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    connect_reply(data, size);
    walk(data, size, WIRE_FROM_DEVICE);
    walk(data, size, WIRE_FROM_VIEWER);
    return 0;
}
