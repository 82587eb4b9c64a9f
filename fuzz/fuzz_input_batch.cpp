// What the simulated dongle reads from a viewer: the records of an input
// batch, a protocol-1 batch datagram, and the viewer-to-device control
// stream framed message by message.
#include "fuzz.h"
#include <cstdint>
#include <cstdlib>

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
    walk_records(data, size);

    uint32_t batch;
    const uint8_t *records;
    size_t records_len;
    if (p1_parse_input_batch(data, size, &batch, &records, &records_len) == 0) {
        FUZZ_FAIL_IF(records + records_len > data + size);
        walk_records(records, records_len);
    }

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
    return 0;
}
