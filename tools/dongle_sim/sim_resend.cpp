#include "dongle_sim/sim_resend.h"

uint64_t sim_select_resends(uint64_t expected, uint64_t received, const uint64_t *sent_us,
                            const uint8_t *resent, uint64_t now_us, uint64_t stale_us, uint64_t regap_us,
                            unsigned max_resends)
{
    uint64_t missing = expected & ~received;
    if (!missing)
        return 0;
    int highest = -1;
    if (received & expected)
        highest = 63 - __builtin_clzll(received & expected);
    uint64_t out = 0;
    for (int k = 0; k < 64; k++) {
        if (!(missing >> k & 1))
            continue;
        uint64_t age = now_us >= sent_us[k] ? now_us - sent_us[k] : 0;
        bool hole = k < highest;
        if (!hole && age < stale_us)
            continue;
        if (resent[k] >= max_resends)
            continue;
        if (resent[k] > 0 && age < regap_us)
            continue;
        out |= 1ull << k;
    }
    return out;
}

unsigned sim_pacing(unsigned fragments, unsigned fragment_bytes, unsigned frame_interval_us, unsigned *gap_us)
{
    // About 64 KiB a burst keeps well inside a default socket buffer.
    unsigned burst = fragment_bytes ? 65536 / fragment_bytes : 1;
    if (burst < 1)
        burst = 1;
    unsigned bursts = (fragments + burst - 1) / (burst ? burst : 1);
    if (bursts <= 1) {
        *gap_us = 0;
        return burst;
    }
    unsigned budget = frame_interval_us / 3;
    unsigned gap = budget / (bursts - 1);
    if (gap > 1000)
        gap = 1000;  // never slower than one burst a millisecond
    if (gap < 100)
        gap = 100;   // and always a breath between bursts
    *gap_us = gap;
    return burst;
}
