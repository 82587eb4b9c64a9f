// Micro-benchmarks of the link core's hot paths: digests and ciphers, the
// datagram walks, picture reassembly with its acknowledgements, and the
// input conversions (keyboard report, mouse flush).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "input/input_thread.h"
#include "input/keyboard_report.h"
#include "input/mouse_report.h"
#include "protocol/aes.h"
#include "protocol/frame_assembly.h"
#include "protocol/md5.h"
#include "protocol/wire.h"

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

// ---------------------------------------------------------------------------
// Reassembly as the receiver does it: every fragment stored, and an
// acknowledgement built whenever the assembly asks for one. Counted in
// fragments per second.

// Protocol 2: pictures of range(1) fragments of 1200 bytes, the last one
// short; range(0) = 1 puts the MD5 trailer on the last fragment (checked on
// completion).
static void BM_P2ReassemblyAck(benchmark::State &state)
{
    const bool digest = state.range(0) != 0;
    const unsigned count = (unsigned)state.range(1);
    const size_t last_len = 700;
    std::vector<uint8_t> picture((size_t)(count - 1) * 1200 + last_len);
    for (size_t i = 0; i < picture.size(); i++)
        picture[i] = (uint8_t)(i * 31 + 7);
    // The packets as the device sends them, walked once to get their
    // headers and payloads.
    std::vector<std::vector<uint8_t>> packets(count);
    std::vector<P2Packet> pk(count);
    std::vector<P2Fragment> frag(count);
    for (unsigned i = 0; i < count; i++) {
        std::vector<uint8_t> payload(picture.begin() + (ptrdiff_t)i * 1200,
                                     i + 1 == count ? picture.end() : picture.begin() + (ptrdiff_t)(i + 1) * 1200);
        if (digest && i + 1 == count) {
            uint8_t d[16];
            md5(picture.data(), picture.size(), d);
            payload.insert(payload.end(), d, d + 16);
        }
        packets[i].resize(16 + payload.size());
        p2_build_video_fragment(packets[i].data(), packets[i].size(), 1, count, i, digest, payload.data(),
                                payload.size());
        size_t pos = 0;
        if (p2_next_packet(packets[i].data(), packets[i].size(), &pos, WIRE_FROM_DEVICE, &pk[i]) != 1 ||
            p2_fragment_info(&pk[i], &frag[i]) != 0) {
            state.SkipWithError("fragment not built");
            return;
        }
    }
    FrameAssembly fa;
    fa_init(&fa);
    fa_reset(&fa, 0);
    uint32_t frame = 1;
    uint64_t now_us = 1000000;
    uint8_t ack[P2_FRAGMENT_ACK_SIZE];
    size_t acks = 0, good = 0;
    for (auto _ : state) {
        for (unsigned i = 0; i < count; i++) {
            P2Fragment f = frag[i];
            f.frame = frame;
            unsigned counter = 0;
            int rc = fa_add_p2(&fa, &f, pk[i].payload, pk[i].length, 8000, now_us, now_us / 1000, &counter);
            if (rc == FA_ACK) {
                p2_build_fragment_ack(pk[i].header, 0, fa_group_bitmap(&fa, f.index / 32), counter, ack);
                benchmark::DoNotOptimize(ack);
                acks++;
            }
            now_us += 2;
        }
        good += fa.complete && (!digest || fa.digest_ok);
        frame++;
    }
    if (good != (size_t)state.iterations())
        state.SkipWithError("a picture did not complete");
    state.counters["fragments"] =
        benchmark::Counter((double)state.iterations() * count, benchmark::Counter::kIsRate);
    state.counters["acks_per_picture"] = (double)acks / (double)state.iterations();
    fa_free(&fa);
}
BENCHMARK(BM_P2ReassemblyAck)->ArgNames({"digest", "fragments"})->ArgsProduct({{0, 1}, {50, 400}});

// Protocol 1: pictures of range(0) fragments of 49152 bytes, the last one
// short; every fragment taken is acknowledged with the received list.
static void BM_P1ReassemblyAck(benchmark::State &state)
{
    const unsigned count = (unsigned)state.range(0);
    const size_t frag_len = (size_t)state.range(1);
    std::vector<std::vector<uint8_t>> blocks(count);
    std::vector<P1Block> blk(count);
    for (unsigned i = 0; i < count; i++) {
        size_t len = i + 1 == count ? frag_len / 3 + 1 : frag_len;
        std::vector<uint8_t> payload(len, (uint8_t)i);
        blocks[i].resize(8 + len);
        p1_build_video_block(blocks[i].data(), blocks[i].size(), count, i, 1, payload.data(), len);
        size_t pos = 0;
        if (p1_next_block(blocks[i].data(), blocks[i].size(), &pos, &blk[i]) != 1 || !blk[i].valid) {
            state.SkipWithError("block not built");
            return;
        }
    }
    FrameAssembly fa;
    fa_init(&fa);
    fa_reset(&fa, 0);
    uint8_t ack[P1_FRAGMENT_ACK_MAX];
    uint32_t frame = 1;
    size_t good = 0, stored = 0;
    for (auto _ : state) {
        for (unsigned i = 0; i < count; i++) {
            P1Block b = blk[i];
            b.seq = frame;
            int rc = fa_add_p1(&fa, &b, 1000);
            if (rc < 0)
                continue;
            stored += rc == FA_NEW;
            int len = p1_build_fragment_ack(ack, sizeof ack, b.header, 0, fa.received, b.count);
            benchmark::DoNotOptimize(len);
            benchmark::DoNotOptimize(ack);
        }
        good += fa.complete;
        frame++;
    }
    if (good != (size_t)state.iterations() || stored != (size_t)state.iterations() * count)
        state.SkipWithError("a picture did not complete");
    state.counters["fragments"] =
        benchmark::Counter((double)state.iterations() * count, benchmark::Counter::kIsRate);
    fa_free(&fa);
}
BENCHMARK(BM_P1ReassemblyAck)->ArgNames({"fragments", "size"})->Args({8, 49152})->Args({8, 1200});

// A protocol-1 datagram of eight video blocks, an audio block and an input
// acknowledgement, walked.
static void BM_P1Walk(benchmark::State &state)
{
    std::vector<uint8_t> dgram;
    uint8_t blk[8 + 1200];
    uint8_t payload[1200] = {0};
    for (unsigned i = 0; i < 8; i++) {
        int n = p1_build_video_block(blk, sizeof blk, 8, i, 7, payload, 150);
        dgram.insert(dgram.end(), blk, blk + n);
    }
    int n = p1_build_audio_block(blk, sizeof blk, 3, payload, 256);
    dgram.insert(dgram.end(), blk, blk + n);
    const uint8_t input_ack[8] = {0x80, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00};
    dgram.insert(dgram.end(), input_ack, input_ack + 8);
    for (auto _ : state) {
        size_t pos = 0;
        P1Block b;
        int count = 0;
        while (p1_next_block(dgram.data(), dgram.size(), &pos, &b) == 1)
            count++;
        benchmark::DoNotOptimize(count);
        if (count != 10)
            state.SkipWithError("walk stopped early");
    }
    state.SetItemsProcessed((int64_t)state.iterations() * 10);
}
BENCHMARK(BM_P1Walk);

// ---------------------------------------------------------------------------
// Input: the key state to the 9-byte report, with range(0) keys down (the
// report holds six; more are walked past).

static void BM_KeyboardReport(benchmark::State &state)
{
    uint8_t keys[KEYBOARD_STATE_SIZE] = {0};
    static const uint8_t codes[] = {0x1D, 0x2A, 0x1E, 0x1F, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0xC8, 0xCB};
    for (int i = 0; i < state.range(0) && i < (int)sizeof codes; i++)
        keys[codes[i]] = 0x80;
    uint8_t report[KEYBOARD_REPORT_SIZE];
    for (auto _ : state) {
        benchmark::DoNotOptimize(keyboard_build_report(keys, report));
        benchmark::DoNotOptimize(report);
        keys[0x39] ^= 0x80;  // space goes down and up: every report differs
    }
    state.SetItemsProcessed((int64_t)state.iterations());
}
BENCHMARK(BM_KeyboardReport)->Arg(0)->Arg(2)->Arg(12);

// One frame's mouse flush of range(0) queued entries (motion in runs of one
// button state, a wheel step every 16 entries), through the pipeline's own
// flush with a send hook that only counts. Counted in entries per second.
namespace {
struct FlushSink {
    size_t reports = 0;
};
InputGates flush_gates(void *) { return InputGates{true, true, true, false}; }
void flush_send(void *ctx, const uint8_t *, size_t) { static_cast<FlushSink *>(ctx)->reports++; }
}  // namespace

static void BM_MouseFlush(benchmark::State &state)
{
    const size_t n = (size_t)state.range(0);
    std::vector<MouseEntry> entries(n);
    for (size_t i = 0; i < n; i++) {
        entries[i].buttons = (uint8_t)((i / 64) & 1);
        entries[i].dx = (int8_t)(i % 7 - 3) * 9;
        entries[i].dy = (int8_t)(i % 5) * 11;
        entries[i].wheel = i % 16 == 15 ? 1 : 0;
    }
    InputPipeline p;
    FlushSink sink;
    p.hooks = InputHooks{&sink, flush_gates, flush_send, nullptr};
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> hold(p.mouse_lock);
            p.mouse_queue.assign(entries.begin(), entries.end());
        }
        input_flush_mouse(&p);
    }
    if (!p.mouse_queue.empty())
        state.SkipWithError("entries left queued");
    state.counters["entries"] = benchmark::Counter((double)state.iterations() * n, benchmark::Counter::kIsRate);
    state.counters["reports_per_flush"] = (double)sink.reports / (double)state.iterations();
}
BENCHMARK(BM_MouseFlush)->Arg(8)->Arg(64)->Arg(4096);
