// What the fuzz harnesses share: a failed invariant ends the run (libFuzzer
// keeps the input), and bytes a parser hands back are read through so that
// the address sanitizer sees every one of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#define FUZZ_FAIL_IF(c)       \
    do {                      \
        if (c)                \
            std::abort();     \
    } while (0)

inline volatile uint8_t fuzz_sink;

inline void fuzz_touch(const uint8_t *p, size_t n)
{
    uint8_t x = 0;
    for (size_t i = 0; i < n; i++)
        x ^= p[i];
    fuzz_sink = x;
}
