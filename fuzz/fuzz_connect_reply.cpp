// Protocol-2 connect reply payloads from the device. A reply whose codec
// header was accepted is rebuilt and must give back the same bytes.
#include "fuzz.h"
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    P2ConnectReply r;
    if (p2_parse_connect_reply(data, size, &r) != 0) {
        FUZZ_FAIL_IF(size >= P2_CONNECT_REPLY_FIXED);
        return 0;
    }
    if (r.codec_rejected) {
        FUZZ_FAIL_IF(r.codec_header || r.codec_len || (size_t)data[7] <= size - P2_CONNECT_REPLY_FIXED);
        return 0;
    }
    FUZZ_FAIL_IF(r.codec_len != data[7] || (r.codec_header && r.codec_header + r.codec_len > data + size));
    uint8_t out[P2_CONNECT_REPLY_FIXED + P2_CODEC_HEADER_MAX];
    int n = p2_build_connect_reply_payload(out, sizeof out, &r);
    FUZZ_FAIL_IF(n != (int)(P2_CONNECT_REPLY_FIXED + r.codec_len) || std::memcmp(out + 1, data + 1, (size_t)n - 1));
    return 0;
}
