#include "protocol/wire_discovery.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

int wire_build_probe(char *out, size_t cap, int port, int64_t time_ms, int tz_field)
{
    if (!out || cap == 0)
        return -1;
    int n = std::snprintf(out, cap, "mdc[%d]=%lld|%d", port, (long long)time_ms, tz_field);
    if (n < 0 || (size_t)n >= cap)
        return -1;
    return n;
}

int wire_tz_field_from_gmtoff(long seconds_east)
{
    // The device expects the bias convention (UTC minus local, in minutes),
    // turned into whole hours by truncation toward zero.
    long bias_minutes = -(seconds_east / 60);
    return (int)(12 - bias_minutes / 60);
}

int wire_tz_field(void)
{
    time_t now = std::time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local))
        return 12;
    return wire_tz_field_from_gmtoff(local.tm_gmtoff);
}

// Reads an optionally negative decimal number at text[*pos], at most 19
// digits, into an int64 without overflow. Returns 0 or -1.
static int read_decimal(const char *text, size_t len, size_t *pos, int64_t *value)
{
    size_t p = *pos;
    bool negative = false;
    if (p < len && text[p] == '-') {
        negative = true;
        p++;
    }
    size_t start = p;
    uint64_t v = 0;
    while (p < len && text[p] >= '0' && text[p] <= '9') {
        uint64_t digit = (uint64_t)(text[p] - '0');
        if (v > (UINT64_MAX - digit) / 10)
            return -1;
        v = v * 10 + digit;
        p++;
    }
    if (p == start)
        return -1;
    if (negative) {
        if (v > (uint64_t)INT64_MAX + 1)
            return -1;
        *value = v == (uint64_t)INT64_MAX + 1 ? INT64_MIN : -(int64_t)v;
    } else {
        if (v > (uint64_t)INT64_MAX)
            return -1;
        *value = (int64_t)v;
    }
    *pos = p;
    return 0;
}

static int expect(const char *text, size_t len, size_t *pos, const char *lit)
{
    size_t n = std::strlen(lit);
    if (len - *pos < n || std::memcmp(text + *pos, lit, n) != 0)
        return -1;
    *pos += n;
    return 0;
}

int wire_parse_probe(const char *text, size_t len, int *port, int64_t *time_ms, int *tz)
{
    if (!text)
        return -1;
    if (len > 0 && text[len - 1] == '\0')
        len--;
    size_t p = 0;
    int64_t a, b, c;
    if (expect(text, len, &p, "mdc[") || read_decimal(text, len, &p, &a) || expect(text, len, &p, "]=") ||
        read_decimal(text, len, &p, &b) || expect(text, len, &p, "|") || read_decimal(text, len, &p, &c))
        return -1;
    if (p != len)
        return -1;
    if (a < 0 || a > 65535 || c < INT_MIN || c > INT_MAX)
        return -1;
    *port = (int)a;
    *time_ms = b;
    *tz = (int)c;
    return 0;
}

// Appends key="value" (with a leading space unless first) to out.
static int append_item(char *out, size_t cap, size_t *used, const char *key, const char *value)
{
    if (std::strchr(value, '"'))
        return -1;
    int n = std::snprintf(out + *used, cap - *used, "%s%s=\"%s\"", *used ? " " : "", key, value);
    if (n < 0 || (size_t)n >= cap - *used)
        return -1;
    *used += (size_t)n;
    return 0;
}

int wire_build_answer(char *out, size_t cap, const WireAnswerFields *f)
{
    if (!out || cap == 0 || !f)
        return -1;
    out[0] = '\0';
    size_t used = 0;
    char num[32];
    const struct {
        const char *key;
        const char *value;
    } texts[] = {{"id", f->id}, {"mds", f->mds}, {"model", f->model}, {"ip", f->ip}, {"apip", f->apip}};
    for (const auto &t : texts)
        if (t.value && append_item(out, cap, &used, t.key, t.value))
            return -1;
    std::snprintf(num, sizeof num, "%llu", (unsigned long long)f->build);
    if (append_item(out, cap, &used, "build", num))
        return -1;
    if (f->version && append_item(out, cap, &used, "version", f->version))
        return -1;
    const struct {
        const char *key;
        int value;
    } ints[] = {{"secured", f->secured}, {"bridged", f->bridged}, {"hid_speed", f->hid_speed}};
    for (const auto &i : ints) {
        std::snprintf(num, sizeof num, "%d", i.value);
        if (append_item(out, cap, &used, i.key, num))
            return -1;
    }
    return (int)used;
}
