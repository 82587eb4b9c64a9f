#include "base/clock.h"

#include <time.h>

static uint64_t read_clock(clockid_t id, uint64_t unit_ns)
{
    struct timespec ts;
    // clock_gettime cannot fail for these two clock ids with a valid pointer.
    clock_gettime(id, &ts);
    return (uint64_t)ts.tv_sec * (1000000000ull / unit_ns) + (uint64_t)ts.tv_nsec / unit_ns;
}

uint64_t clock_wall_ms(void) { return read_clock(CLOCK_REALTIME, 1000000ull); }

uint64_t clock_steady_ms(void) { return read_clock(CLOCK_MONOTONIC, 1000000ull); }

uint64_t clock_steady_us(void) { return read_clock(CLOCK_MONOTONIC, 1000ull); }
