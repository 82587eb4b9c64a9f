#include "base/rng.h"

#include <atomic>

static std::atomic<uint32_t> g_rng_state{1};

void kv_srand(uint32_t seed)
{
    g_rng_state.store(seed, std::memory_order_relaxed);
}

int kv_rand(void)
{
    uint32_t old_state = g_rng_state.load(std::memory_order_relaxed);
    uint32_t next;
    // A compare-and-swap step keeps two threads from drawing the same value.
    do {
        next = old_state * 214013u + 2531011u;
    } while (!g_rng_state.compare_exchange_weak(old_state, next, std::memory_order_relaxed));
    return (int)((next >> 16) & 0x7fff);
}
