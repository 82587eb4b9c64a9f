// The protocol-1 control stream from the device, framed as the connection
// thread does it. The first byte picks a receive-buffer capacity (0: the real
// 524288 bytes, else a small one) so that the must-end-the-connection path is
// reached with short inputs too.
#include "fuzz.h"

#include "protocol/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t capacity = data[0] ? (size_t)data[0] * 4 : (size_t)P1_CONTROL_BUFFER_SIZE;
    const uint8_t *buf = data + 1;
    size_t len = size - 1;
    P1ControlMsg m;
    int r;
    while ((r = p1_control_next(buf, len, capacity, &m)) == 1) {
        if (m.total < P1_CONTROL_HEADER_SIZE || m.total > len || m.total > capacity ||
            m.total != (uint64_t)P1_CONTROL_HEADER_SIZE + m.l1 + m.l2)
            std::abort();
        fuzz_touch(m.payload, m.l1);
        fuzz_touch(m.trailer, m.l2);
        uint32_t ch, rate;
        if (p1_control_audio_format(&m, &ch, &rate) == 1) {
            FUZZ_FAIL_IF(m.flag != P1_FLAG_AUDIO_FORMAT || m.l2 < P1_AUDIO_TRAILER_SIZE);
            fuzz_sink = (uint8_t)(ch ^ rate);
        }
        buf += m.total;
        len -= m.total;
    }
    return 0;
}
