#include "protocol/wire_input.h"

#include <cstring>

#include "base/bytes.h"
#include "protocol/wire_p2.h"

int input_record_build(uint8_t *out, size_t cap, const uint8_t *report, size_t n)
{
    if (n > 65535 - INPUT_RECORD_HEADER_SIZE || cap < INPUT_RECORD_HEADER_SIZE + n)
        return -1;
    wr_le16(out, (uint16_t)(n + INPUT_RECORD_HEADER_SIZE));
    out[2] = INPUT_RECORD_TYPE;
    if (n)
        std::memcpy(out + INPUT_RECORD_HEADER_SIZE, report, n);
    return (int)(n + INPUT_RECORD_HEADER_SIZE);
}

void p1_write_batch_header(uint8_t out[8], uint32_t batch, uint16_t record_bytes)
{
    out[0] = P1_KIND_INPUT << 6;
    out[1] = 0;
    wr_le32(out + 2, batch);
    wr_le16(out + 6, record_bytes);
}

void p2_write_batch_header(uint8_t out[16], uint32_t batch, uint16_t record_bytes)
{
    p2_write_header(out, P2_TYPE_INPUT, 0, 0, batch, record_bytes);
}

int p2_batch_resend_copy(uint8_t *out, size_t cap, const uint8_t *batch, size_t len, unsigned resend_count)
{
    if (len < P2_HEADER_SIZE || len > cap)
        return -1;
    std::memmove(out, batch, len);
    if (resend_count & 1) {
        // The device un-inverts any packet whose type byte has bit 7 set.
        out[5] |= P2_TYPE_INVERTED;
        for (size_t i = P2_HEADER_SIZE; i < len; i++)
            out[i] ^= 0xFF;
    }
    return (int)len;
}

int input_next_record(const uint8_t *p, size_t len, size_t *pos, const uint8_t **report, size_t *n)
{
    size_t at = *pos;
    if (at >= len)
        return 0;
    if (len - at < INPUT_RECORD_HEADER_SIZE)
        return -1;
    size_t rlen = rd_le16(p + at);
    if (rlen < INPUT_RECORD_HEADER_SIZE || rlen > len - at || p[at + 2] != INPUT_RECORD_TYPE)
        return -1;
    *report = p + at + INPUT_RECORD_HEADER_SIZE;
    *n = rlen - INPUT_RECORD_HEADER_SIZE;
    *pos = at + rlen;
    return 1;
}
