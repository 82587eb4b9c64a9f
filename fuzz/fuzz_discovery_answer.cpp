// Discovery answers from anyone on the network. The first byte picks the
// source family (bit 0: IPv6) and the address bytes follow; the rest is the
// answer text, passed with its exact length and no terminating zero.
#include <arpa/inet.h>

#include <algorithm>

#include "fuzz.h"
#include "protocol/device_record.h"

static void check_text(const char *field, size_t size)
{
    FUZZ_FAIL_IF(!std::memchr(field, '\0', size));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    DeviceAddress src;
    std::memset(&src, 0, sizeof src);
    size_t used = 0;
    if (size >= 1) {
        const bool v6 = data[0] & 1;
        used = 1 + std::min(size - 1, v6 ? (size_t)16 : (size_t)4);
        src.in4.sin_family = v6 ? AF_INET6 : AF_INET;
        src.in4.sin_port = htons(32469); // where both families keep it
        std::memcpy(v6 ? (void *)&src.in6.sin6_addr : (void *)&src.in4.sin_addr, data + 1, used - 1);
    }
    const char *text = reinterpret_cast<const char *>(data + used);
    size_t len = size - used;

    DeviceRecord rec;
    device_parse_answer(&src, sizeof src, text, len, &rec);

    check_text(rec.id, sizeof rec.id);
    check_text(rec.name, sizeof rec.name);
    check_text(rec.model, sizeof rec.model);
    check_text(rec.ip, sizeof rec.ip);
    check_text(rec.apip, sizeof rec.apip);
    FUZZ_FAIL_IF(std::strlen(rec.id) > 127 || std::strlen(rec.name) > 127 || std::strlen(rec.model) > 63);
    if (rec.build == 0 || rec.label[0] || rec.location[0] || rec.usb || rec.current ||
        rec.hid_only || rec.last_seen_ms)
        std::abort();
    FUZZ_FAIL_IF(size >= 1 && ntohs(rec.address.in4.sin_port) != DEVICE_STREAM_PORT);
    return 0;
}
