// Files and texts anyone may have written: setting.dat (whatever a crash or
// another program left there), alias.txt as the operator might write it,
// "/fw/latest.txt" as any server (or anything between) may send it, and a
// discovery answer from anyone on the network. Every input goes to all four
// parsers, each through an exact-size copy.
#include <arpa/inet.h>

#include <algorithm>
#include <regex>
#include <string>

#include "app/alias_file.h"
#include "app/settings_file.h"
#include "firmware/update_worker.h"
#include "fuzz.h"
#include "protocol/device_record.h"

static void check_settings(const uint8_t *data, size_t size)
{
    std::vector<uint32_t> list = {0x00010A};
    settings_parse(data, size, &list);
    FUZZ_FAIL_IF(list.size() > SETTINGS_MAX_COUNT);
    // What is loaded saves and loads back to the same list.
    std::vector<uint8_t> bytes = settings_serialize(list);
    std::vector<uint32_t> again;
    FUZZ_FAIL_IF(settings_parse(bytes.data(), bytes.size(), &again) != 0 || again != list);
    // The layout record after the end marker: only a valid name is taken,
    // and it saves and loads back.
    std::string layout = SETTINGS_DEFAULT_LAYOUT, back = SETTINGS_DEFAULT_LAYOUT;
    settings_parse_layout(data, size, &layout);
    FUZZ_FAIL_IF(!settings_layout_name_valid(layout));
    bytes = settings_serialize(list, layout);
    settings_parse_layout(bytes.data(), bytes.size(), &back);
    FUZZ_FAIL_IF(back != layout);
}

// Besides memory safety, short lines are checked against the expression the
// line format is defined by.
static void check_alias(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    auto list = alias_parse(text, size);
    for (const auto &e : list) {
        FUZZ_FAIL_IF(!std::memchr(e.key, '\0', sizeof e.key) || !std::memchr(e.alias, '\0', sizeof e.alias));
        FUZZ_FAIL_IF(!e.key[0] || std::strchr(e.alias, ':') || std::strchr(e.alias, '\n'));
        FUZZ_FAIL_IF(alias_lookup(list, e.key) == nullptr);
    }
    if (size <= 40 && !std::memchr(data, '\n', size) && !std::memchr(data, '\0', size)) {
        static const std::regex re("^(.*?):(.+?)\\s*$", std::regex::ECMAScript | std::regex::icase);
        std::string line(text, size);
        std::smatch m;
        bool want = std::regex_search(line, m, re);
        FUZZ_FAIL_IF(list.size() != (want ? 1u : 0u));
        FUZZ_FAIL_IF(want && (m[1].str() != list[0].alias || m[2].str() != list[0].key));
    }
}

static void check_latest(const uint8_t *data, size_t size)
{
    LatestInfo li;
    update_parse_latest(data, size, &li);
    FUZZ_FAIL_IF(li.digest_ok != 0 && li.digest_ok != 1);
    if (li.digest_ok) {
        // A usable digest only ever comes from "|" plus 32 hex digits at the end.
        FUZZ_FAIL_IF(size < 33 || data[size - 33] != '|' || memchr(data, '|', size) != data + size - 33);
    } else {
        static const uint8_t zero[16] = {};
        FUZZ_FAIL_IF(memcmp(li.md5, zero, 16) != 0);
    }
    FUZZ_FAIL_IF(size > 0 && (data[0] < '0' || data[0] > '9') && li.build != 0);
}

// The first byte picks the answer's source family (bit 0: IPv6), the address
// bytes follow; the rest is the answer text, with no terminating zero.
static void check_answer(const uint8_t *data, size_t size)
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
    DeviceRecord rec;
    device_parse_answer(&src, sizeof src, (const char *)data + used, size - used, &rec);
    for (auto [text, most] : {std::pair<const char *, size_t>{rec.id, 127}, {rec.name, 127}, {rec.model, 63},
                              {rec.ip, sizeof rec.ip - 1}, {rec.apip, sizeof rec.apip - 1}})
        FUZZ_FAIL_IF(!std::memchr(text, '\0', most + 1)); // at most `most` characters
    FUZZ_FAIL_IF(rec.build == 0 || rec.label[0] || rec.location[0] || rec.usb || rec.current || rec.hid_only ||
                 rec.last_seen_ms || (size >= 1 && ntohs(rec.address.in4.sin_port) != DEVICE_STREAM_PORT));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> copy(data, data + size);
    const uint8_t *p = size ? copy.data() : data;
    check_settings(p, size);
    check_alias(p, size);
    check_latest(p, size);
    check_answer(p, size);
    return 0;
}
