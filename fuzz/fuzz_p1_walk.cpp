// Protocol-1 datagrams from the network, walked as the receiver does; every
// usable video block is acknowledged as the receiver would. The same bytes go
// through what the simulated dongle reads from a viewer: a fragment
// acknowledgement, the records of an input batch, a protocol-1 batch
// datagram, and the viewer-to-device control stream framed message by message;
// and through the viewer's reading of the device's control stream.
#include "fuzz.h"
#include "protocol/wire.h"

static void walk_records(const uint8_t *p, size_t len)
{
    size_t at = 0, last = 0, n;
    const uint8_t *report;
    int r;
    while ((r = input_next_record(p, len, &at, &report, &n)) == 1) {
        FUZZ_FAIL_IF(at <= last || at > len || report + n != p + at);
        last = at;
        fuzz_touch(report, n);
    }
    FUZZ_FAIL_IF(r == 0 && at != len);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint32_t received[P1_MAX_FRAGMENTS] = {};
    uint32_t frame = 0;
    size_t pos = 0, last = 0;
    P1Block b;
    while (p1_next_block(data, size, &pos, &b) == 1) {
        FUZZ_FAIL_IF(pos <= last || pos > size);
        FUZZ_FAIL_IF(b.header < data || b.payload + b.length > data + size);
        last = pos;
        fuzz_touch(b.header, P1_HEADER_SIZE);
        fuzz_touch(b.payload, b.length);
        if (b.kind != P1_KIND_VIDEO || !b.valid)
            continue;
        FUZZ_FAIL_IF(b.count < 1 || b.index >= b.count || b.length > P1_FRAGMENT_SIZE);
        if (b.seq != frame) {
            std::memset(received, 0, sizeof received);
            frame = b.seq;
        }
        received[b.index] = 1;
        FUZZ_FAIL_IF(b.index + 1 == b.count && p1_frame_length(b.count, b.length) < 0);
        uint8_t ack[P1_FRAGMENT_ACK_MAX];
        int n = p1_build_fragment_ack(ack, sizeof ack, b.header, 3, received, b.count);
        FUZZ_FAIL_IF(n < P1_HEADER_SIZE || n > P1_FRAGMENT_ACK_MAX);
        P1FragmentAck a;
        if (p1_parse_fragment_ack(ack, (size_t)n, &a) != 0 || a.frame != b.seq || a.index != b.index ||
            a.queue_len != 3 || !(a.received & ((uint64_t)1 << b.index)))
            std::abort();
    }

    // The same bytes as the device reads what the viewer sends.
    P1FragmentAck a;
    FUZZ_FAIL_IF(p1_parse_fragment_ack(data, size, &a) == 0 && (a.received >> P1_MAX_FRAGMENTS));
    uint32_t batch;
    const uint8_t *records;
    size_t records_len;
    if (p1_parse_input_batch(data, size, &batch, &records, &records_len) == 0) {
        FUZZ_FAIL_IF(records + records_len > data + size);
        walk_records(records, records_len);
    }
    walk_records(data, size);
    const uint8_t *buf = data;
    size_t len = size;
    P1ViewerMsg m;
    while (p1_viewer_msg_next(buf, len, &m) == 1) {
        FUZZ_FAIL_IF(m.length < 3 || m.length > P1_VIEWER_MSG_MAX || m.length > len || m.param_len + 3 != m.length);
        fuzz_touch(m.params, m.param_len);
        uint8_t s, v;
        FUZZ_FAIL_IF(wire_p1_code_setting(m.code, &s, &v) == 0 && wire_setting_p1_code(s, v) < 0);
        buf += m.length;
        len -= m.length;
    }

    // The device's control stream, framed as the connection thread does it.
    // The first byte picks a receive-buffer capacity (0: the real 524288
    // bytes, else a small one) so that the must-end-the-connection path is
    // reached with short inputs too; the rest is the stream.
    if (size < 1)
        return 0;
    const size_t capacity = data[0] ? (size_t)data[0] * 4 : (size_t)P1_CONTROL_BUFFER_SIZE;
    P1ControlMsg c;
    for (buf = data + 1, len = size - 1; p1_control_next(buf, len, capacity, &c) == 1; buf += c.total, len -= c.total) {
        FUZZ_FAIL_IF(c.total < P1_CONTROL_HEADER_SIZE || c.total > len || c.total > capacity ||
                     c.total != (uint64_t)P1_CONTROL_HEADER_SIZE + c.l1 + c.l2);
        fuzz_touch(c.payload, c.l1);
        fuzz_touch(c.trailer, c.l2);
        uint32_t ch, rate;
        if (p1_control_audio_format(&c, &ch, &rate) == 1)
            FUZZ_FAIL_IF(c.flag != P1_FLAG_AUDIO_FORMAT || c.l2 < P1_AUDIO_TRAILER_SIZE);
    }
    return 0;
}
