// Byte vectors for tests: exact-size heap copies, concatenation, hex.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A heap copy of exactly v.size() bytes, so the address sanitizer catches any
// read past the end.
struct Exact {
    explicit Exact(const Bytes &v) : n(v.size()), buf(new uint8_t[v.size() ? v.size() : 1]), p(buf.get())
    {
        if (n)
            std::memcpy(p, v.data(), n);
    }
    size_t n;
    std::unique_ptr<uint8_t[]> buf;
    uint8_t *p;
};

inline Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// "0a 1B ff" to bytes; spaces anywhere are ignored.
inline Bytes unhex(const char *s)
{
    Bytes out;
    int half = -1;
    for (; *s; s++) {
        if (*s == ' ')
            continue;
        int v = *s <= '9' ? *s - '0' : (*s | 0x20) - 'a' + 10;
        if (half < 0)
            half = v;
        else
            out.push_back((uint8_t)(half << 4 | v)), half = -1;
    }
    return out;
}

inline std::string hex(const uint8_t *p, size_t n)
{
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += {d[p[i] >> 4], d[p[i] & 15]};
    return s;
}
inline std::string hex(const Bytes &v) { return hex(v.data(), v.size()); }
