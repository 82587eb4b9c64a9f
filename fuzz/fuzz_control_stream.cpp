// The protocol-1 control stream from the device, framed as the connection
// thread does it. The first byte picks a receive-buffer capacity (0: the real
// 524288 bytes, else a small one) so that the must-end-the-connection path is
// reached with short inputs too.
#include <cstdint>
#include <cstdlib>

#include "protocol/wire.h"

static volatile uint8_t sink;

static void touch(const uint8_t *p, size_t n)
{
    uint8_t x = 0;
    for (size_t i = 0; i < n; i++)
        x ^= p[i];
    sink = x;
}

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
        touch(m.payload, m.l1);
        touch(m.trailer, m.l2);
        uint32_t ch, rate;
        if (p1_control_audio_format(&m, &ch, &rate) == 1) {
            if (m.flag != P1_FLAG_AUDIO_FORMAT || m.l2 < P1_AUDIO_TRAILER_SIZE)
                std::abort();
            sink = (uint8_t)(ch ^ rate);
        }
        buf += m.total;
        len -= m.total;
    }
    return 0;
}
