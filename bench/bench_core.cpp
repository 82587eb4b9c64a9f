// Micro-benchmarks of the link core's hot paths: digests and ciphers, the
// datagram walks, and picture reassembly.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "linkcore/aes.h"
#include "linkcore/frame_assembly.h"
#include "linkcore/md5.h"
#include "linkcore/wire.h"

static void BM_Md5(benchmark::State &state)
{
    std::vector<uint8_t> data((size_t)state.range(0), 0x5a);
    uint8_t out[16];
    for (auto _ : state) {
        md5(data.data(), data.size(), out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}
BENCHMARK(BM_Md5)->Arg(1200)->Arg(1 << 20);

static void BM_AesCtr(benchmark::State &state)
{
    uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    std::vector<uint8_t> data((size_t)state.range(0), 0);
    for (auto _ : state) {
        aes128_ctr(key, data.data(), data.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}
BENCHMARK(BM_AesCtr)->Arg(16)->Arg(4096);

// A datagram of several protocol-2 packets, walked (the walk un-inverts in
// place, so every packet is plain).
static void BM_P2Walk(benchmark::State &state)
{
    std::vector<uint8_t> dgram;
    uint8_t pkt[16 + 1200];
    uint8_t payload[1200] = {0};
    for (int i = 0; i < 8; i++) {
        int n = p2_build_video_fragment(pkt, sizeof pkt, 7, 8, (unsigned)i, false, payload, 150);
        dgram.insert(dgram.end(), pkt, pkt + n);
    }
    for (auto _ : state) {
        size_t pos = 0;
        P2Packet p;
        int count = 0;
        while (p2_next_packet(dgram.data(), dgram.size(), &pos, WIRE_FROM_DEVICE, &p) == 1)
            count++;
        benchmark::DoNotOptimize(count);
    }
    state.SetItemsProcessed((int64_t)state.iterations() * 8);
}
BENCHMARK(BM_P2Walk);

// Protocol-2 reassembly of 50-fragment pictures, acknowledgements included.
static void BM_P2Reassembly(benchmark::State &state)
{
    FrameAssembly fa;
    fa_init(&fa);
    fa_reset(&fa, 0);
    uint8_t payload[1200];
    std::memset(payload, 0x11, sizeof payload);
    uint32_t frame = 1;
    uint64_t now = 1000000;
    for (auto _ : state) {
        for (unsigned i = 0; i < 50; i++) {
            P2Fragment f{frame, 50, (uint16_t)i, false};
            unsigned counter = 0;
            int rc = fa_add_p2(&fa, &f, payload, sizeof payload, 8000, now, now / 1000, &counter);
            benchmark::DoNotOptimize(rc);
            now += 10;
        }
        frame++;
    }
    state.SetItemsProcessed((int64_t)state.iterations() * 50);
    fa_free(&fa);
}
BENCHMARK(BM_P2Reassembly);
