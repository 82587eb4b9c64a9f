#include "protocol/device_record.h"

#include <arpa/inet.h>

#include <climits>
#include <cstddef>
#include <cstring>

static_assert(offsetof(struct sockaddr_in, sin_port) == offsetof(struct sockaddr_in6, sin6_port),
              "the port is written at one offset for both families");

namespace {

constexpr size_t kKeyMax = 63;
constexpr size_t kValueMax = 127;

struct Span {
    const char *p;
    size_t n;
};

bool is_c_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// What the C library's number readers would see: white space, one sign, the
// digits up to the first non-digit. The value wraps modulo 2^64 (so its low
// bits are those of the number written) and `overflow` says whether it did.
struct Number {
    bool negative;
    bool overflow;
    uint64_t value;
};

Number read_number(Span s)
{
    Number r = {false, false, 0};
    size_t i = 0;
    while (i < s.n && is_c_space(s.p[i]))
        i++;
    if (i < s.n && (s.p[i] == '+' || s.p[i] == '-')) {
        r.negative = s.p[i] == '-';
        i++;
    }
    for (; i < s.n && s.p[i] >= '0' && s.p[i] <= '9'; i++) {
        uint64_t d = (uint64_t)(s.p[i] - '0');
        if (r.value > (UINT64_MAX - d) / 10)
            r.overflow = true;
        r.value = r.value * 10 + d;
    }
    return r;
}

uint64_t read_u64(Span s)
{
    Number n = read_number(s);
    if (n.negative)
        return 0;
    return n.overflow ? UINT64_MAX : n.value;
}

int32_t read_i32(Span s)
{
    Number n = read_number(s);
    if (n.negative)
        return (n.overflow || n.value >= 2147483648ull) ? INT32_MIN : -(int32_t)n.value;
    return (n.overflow || n.value > (uint64_t)INT32_MAX) ? INT32_MAX : (int32_t)n.value;
}

uint8_t read_low8(Span s)
{
    Number n = read_number(s);
    uint64_t v = n.negative ? 0 - n.value : n.value;
    return (uint8_t)v;
}

bool key_is(Span key, const char *name)
{
    size_t n = std::strlen(name);
    return key.n == n && std::memcmp(key.p, name, n) == 0;
}

void copy_text(char *field, size_t field_size, Span value)
{
    size_t n = value.n < field_size - 1 ? value.n : field_size - 1;
    std::memcpy(field, value.p, n);
    field[n] = '\0';
}

// Each later number follows a dot found by searching from the second
// character after the previous dot (the first search starts at the value's
// second character). With the plain a.b.c.d that devices write this gives the
// four numbers; odd texts keep the same rule, so "2..3" reads as 2.0.0.0.
// Every search stays inside the value, also when a dot is its last character.
void read_version(Span v, uint8_t version[4])
{
    version[0] = read_low8(v);
    size_t from = 1;
    for (int i = 1; i < 4; i++) {
        if (from >= v.n)
            return;
        const void *dot = std::memchr(v.p + from, '.', v.n - from);
        if (!dot)
            return;
        size_t d = (size_t)((const char *)dot - v.p);
        version[i] = read_low8({v.p + d + 1, v.n - d - 1});
        from = d + 2;
    }
}

void store_item(DeviceRecord *rec, Span key, Span value)
{
    if (key_is(key, "id"))
        copy_text(rec->id, sizeof rec->id, value);
    else if (key_is(key, "mds"))
        copy_text(rec->name, sizeof rec->name, value);
    else if (key_is(key, "model"))
        copy_text(rec->model, sizeof rec->model, value);
    else if (key_is(key, "ip"))
        copy_text(rec->ip, sizeof rec->ip, value);
    else if (key_is(key, "apip"))
        copy_text(rec->apip, sizeof rec->apip, value);
    else if (key_is(key, "build"))
        rec->build = read_u64(value);
    else if (key_is(key, "version"))
        read_version(value, rec->version);
    else if (key_is(key, "secured"))
        rec->secured = read_i32(value);
    else if (key_is(key, "bridged"))
        rec->bridged = read_i32(value);
    else if (key_is(key, "hid_speed"))
        rec->hid_speed = read_i32(value);
}

void set_address(DeviceRecord *rec, const void *source, size_t source_len)
{
    if (!source)
        return;
    size_t n = source_len < sizeof rec->address ? source_len : sizeof rec->address;
    std::memcpy(rec->address.bytes, source, n);
    sa_family_t family;
    if (n < sizeof family)
        return;
    std::memcpy(&family, rec->address.bytes + offsetof(struct sockaddr, sa_family), sizeof family);
    if (family != AF_INET && family != AF_INET6)
        return;
    uint16_t port = htons(DEVICE_STREAM_PORT);
    std::memcpy(rec->address.bytes + offsetof(struct sockaddr_in, sin_port), &port, sizeof port);
}

} // namespace

void device_parse_answer(const void *source_address, size_t address_len, const char *text,
                         size_t len, DeviceRecord *out)
{
    std::memset(out, 0, sizeof *out);
    if (!text)
        len = 0;

    size_t pos = 0;
    while (pos < len) {
        size_t eq = pos;
        while (eq + 1 < len && !(text[eq] == '=' && text[eq + 1] == '"'))
            eq++;
        if (eq + 1 >= len)
            break;
        size_t open = eq + 2;
        const void *close_p = open < len ? std::memchr(text + open, '"', len - open) : nullptr;
        if (!close_p)
            break;
        size_t close = (size_t)((const char *)close_p - text);

        Span key = {text + pos, eq - pos};
        Span value = {text + open, close - open};
        if (key.n > kKeyMax)
            key.n = kKeyMax;
        if (value.n > kValueMax)
            value.n = kValueMax;
        store_item(out, key, value);

        pos = close + 1;
        while (pos < len &&
               (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r' || text[pos] == '\n'))
            pos++;
    }

    set_address(out, source_address, address_len);
    if (out->build == 0)
        out->build = DEVICE_DEFAULT_BUILD;
}

void device_report(DeviceListenerList *list, const DeviceRecord *rec)
{
    listeners_call(list, rec);
}

void device_handle_answer(DeviceListenerList *list, const void *source_address,
                          size_t address_len, const char *text, size_t len)
{
    DeviceRecord rec;
    device_parse_answer(source_address, address_len, text, len, &rec);
    device_report(list, &rec);
}
