// The audio ring and its player thread, against the fake audio output.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "link/link_context.h"
#include "media/audio_ring.h"
#include "platform/audio_output.h"
#include "platform/fake/audio_output_fake.h"

namespace {

const uint32_t kWaitMs = 5000;

struct RingView {
    uint32_t available, read_pos, write_pos, threshold, enabled;
    bool has_output, player_waits;
};

RingView view(AudioRing *r)
{
    std::lock_guard<std::mutex> g(r->lock);
    return RingView{r->available, r->read_pos,        r->write_pos,       r->threshold,
                    r->enabled.load(), r->output != nullptr, r->wake != nullptr};
}

AudioOutputFakeInfo fake_info(void)
{
    AudioOutputFakeInfo info;
    audio_output_fake_info(&info);
    return info;
}

std::vector<int16_t> recorded(void)
{
    AudioOutputFakeInfo info = fake_info();
    std::vector<int16_t> out((size_t)info.frames * 2);
    EXPECT_EQ(audio_output_fake_read(out.data(), 0, info.frames), info.frames);
    return out;
}

std::vector<uint32_t> call_sizes(void)
{
    std::vector<uint32_t> out(4096);
    out.resize(audio_output_fake_calls(out.data(), (uint32_t)out.size()));
    return out;
}

// Polls a state that no callback announces (the player parking on its
// semaphore); a deadline, never a bare sleep, decides.
template <typename Pred>
bool eventually(Pred pred, uint32_t timeout_ms = kWaitMs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The player has looked at the output at least `n` more times since now:
// it has run its loop and made its decision that often.
bool player_checked_output(uint64_t n)
{
    return audio_output_fake_wait_queued_ms_calls(fake_info().queued_ms_calls + n, kWaitMs);
}

// 16-bit little-endian samples, counting up from `first`.
std::vector<uint8_t> counting_samples(uint32_t count, uint16_t first = 0)
{
    std::vector<uint8_t> b((size_t)count * 2);
    for (uint32_t i = 0; i < count; i++) {
        uint16_t v = (uint16_t)(first + i);
        b[2 * i] = (uint8_t)v;
        b[2 * i + 1] = (uint8_t)(v >> 8);
    }
    return b;
}

std::vector<int16_t> as_samples(const uint8_t *bytes, size_t n)
{
    std::vector<int16_t> s(n / 2);
    for (size_t i = 0; i < s.size(); i++)
        s[i] = (int16_t)(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return s;
}

uint64_t g_manual_ms;
uint64_t manual_clock(void) { return __atomic_load_n(&g_manual_ms, __ATOMIC_SEQ_CST); }
void advance_manual_clock(uint64_t ms) { __atomic_add_fetch(&g_manual_ms, ms, __ATOMIC_SEQ_CST); }

class AudioRingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        audio_output_use_fake(true);
        audio_output_fake_reset();
        ring = audio_ring_create(link_audio_ring_output());
        ASSERT_NE(ring, nullptr);
    }
    void TearDown() override
    {
        audio_ring_destroy(&ring);
        audio_output_fake_reset();
        audio_output_use_fake(false);
    }
    AudioRing *ring = nullptr;
};

}  // namespace

// ---------------------------------------------------------------------------
// Set format

TEST_F(AudioRingTest, SameFormatTwiceCreatesTheOutputOnce)
{
    audio_ring_set_format(ring, 2, 48000);
    audio_ring_set_format(ring, 2, 48000);
    AudioOutputFakeInfo info = fake_info();
    EXPECT_EQ(info.created, 1u);
    EXPECT_EQ(info.destroyed, 0u);
    EXPECT_EQ(info.rate, 48000u);
    EXPECT_EQ(info.min_ms, 60u);
    EXPECT_EQ(info.max_ms, 150u);
    RingView v = view(ring);
    EXPECT_EQ(v.enabled, 1u);
    EXPECT_TRUE(v.has_output);
}

TEST_F(AudioRingTest, TwoChannels48kHzThresholdAndPiecesAre1920Bytes)
{
    audio_output_fake_set_queued_ms(0);
    audio_ring_set_format(ring, 2, 48000);
    EXPECT_EQ(view(ring).threshold, 1920u);
    std::vector<uint8_t> pcm = counting_samples(3 * 960);  // 5760 bytes
    audio_ring_push(ring, pcm.data(), (uint32_t)pcm.size());
    ASSERT_TRUE(audio_output_fake_wait_frames(1440, kWaitMs));
    EXPECT_EQ(call_sizes(), (std::vector<uint32_t>{480, 480, 480}));
    EXPECT_EQ(view(ring).available, 0u);
}

TEST_F(AudioRingTest, PiecesAreWholeFramesWhenTenMillisecondsAreNot)
{
    // 22050 Hz: 10 ms are 220.5 frames. The threshold keeps its 882 bytes;
    // the pieces are 220 frames and the half frame is never split off.
    audio_output_fake_set_queued_ms(0);
    audio_ring_set_format(ring, 2, 22050);
    EXPECT_EQ(view(ring).threshold, 882u);
    std::vector<uint8_t> pcm = counting_samples(882);  // 441 frames
    audio_ring_push(ring, pcm.data(), (uint32_t)pcm.size());
    ASSERT_TRUE(audio_output_fake_wait_frames(440, kWaitMs));
    ASSERT_TRUE(player_checked_output(0));
    EXPECT_TRUE(eventually([&] { return view(ring).player_waits; }));
    EXPECT_EQ(call_sizes(), (std::vector<uint32_t>{220, 220}));
    EXPECT_EQ(view(ring).available, 4u);  // one frame, below the threshold
    EXPECT_EQ(recorded(), as_samples(pcm.data(), 440 * 4));
}

TEST_F(AudioRingTest, MonoThresholdIsTenMillisecondsOfMono)
{
    audio_ring_set_format(ring, 1, 44100);
    EXPECT_EQ(view(ring).threshold, 882u);
}

TEST_F(AudioRingTest, NewFormatDiscardsWhatWasBuffered)
{
    audio_output_fake_set_queued_ms(140);  // hold the player
    audio_ring_set_format(ring, 2, 48000);
    std::vector<uint8_t> old_pcm(4000, 0x11);
    audio_ring_push(ring, old_pcm.data(), (uint32_t)old_pcm.size());
    EXPECT_EQ(view(ring).available, 4000u);

    audio_ring_set_format(ring, 2, 44100);
    RingView v = view(ring);
    EXPECT_EQ(v.available, 0u);
    EXPECT_EQ(v.read_pos, 0u);
    EXPECT_EQ(v.write_pos, 0u);
    EXPECT_EQ(v.threshold, 1764u);
    AudioOutputFakeInfo info = fake_info();
    EXPECT_EQ(info.created, 2u);
    EXPECT_EQ(info.destroyed, 1u);
    EXPECT_EQ(info.rate, 44100u);

    audio_output_fake_set_queued_ms(0);
    std::vector<uint8_t> new_pcm(1764, 0x22);
    audio_ring_push(ring, new_pcm.data(), (uint32_t)new_pcm.size());
    ASSERT_TRUE(audio_output_fake_wait_frames(441, kWaitMs));
    EXPECT_EQ(recorded(), std::vector<int16_t>(882, 0x2222));
}

TEST_F(AudioRingTest, StopOutputClosesAndDiscards)
{
    audio_output_fake_set_queued_ms(140);
    audio_ring_set_format(ring, 2, 48000);
    std::vector<uint8_t> pcm(4000, 0x33);
    audio_ring_push(ring, pcm.data(), (uint32_t)pcm.size());
    audio_ring_stop_output(ring);
    RingView v = view(ring);
    EXPECT_EQ(v.enabled, 0u);
    EXPECT_FALSE(v.has_output);
    EXPECT_EQ(v.available, 0u);
    EXPECT_EQ(fake_info().destroyed, 1u);
    audio_ring_push(ring, pcm.data(), (uint32_t)pcm.size());
    EXPECT_EQ(view(ring).available, 0u);
    // The same format again opens a new output.
    audio_ring_set_format(ring, 2, 48000);
    EXPECT_EQ(fake_info().created, 2u);
    EXPECT_EQ(view(ring).enabled, 1u);
}

TEST_F(AudioRingTest, ZeroRateOrChannelsStopsTheOutput)
{
    const uint32_t bad[][2] = {{2, 0}, {0, 48000}, {0, 0}, {9, 48000}, {2, 999}, {2, 384001}};
    for (const auto &f : bad) {
        audio_ring_set_format(ring, 2, 48000);
        ASSERT_EQ(view(ring).enabled, 1u);
        audio_ring_set_format(ring, f[0], f[1]);
        RingView v = view(ring);
        EXPECT_EQ(v.enabled, 0u) << f[0] << " channels " << f[1] << " Hz";
        EXPECT_FALSE(v.has_output);
        uint8_t pcm[4096] = {};
        audio_ring_push(ring, pcm, sizeof pcm);
        EXPECT_EQ(view(ring).available, 0u);
    }
    AudioOutputFakeInfo info = fake_info();
    EXPECT_EQ(info.created, 6u);
    EXPECT_EQ(info.destroyed, 6u);
    // The player is parked, not spinning on a zero threshold.
    EXPECT_TRUE(eventually([&] { return view(ring).player_waits; }));
    EXPECT_EQ(fake_info().queued_ms_calls, 0u);
}

TEST_F(AudioRingTest, OutputThatCannotBeOpenedLeavesTheRingDisabled)
{
    audio_output_fake_fail_create(true);
    audio_ring_set_format(ring, 2, 48000);
    RingView v = view(ring);
    EXPECT_EQ(v.enabled, 0u);
    EXPECT_FALSE(v.has_output);
    uint8_t pcm[1920] = {};
    audio_ring_push(ring, pcm, sizeof pcm);
    EXPECT_EQ(view(ring).available, 0u);
    // The same format is tried again once the output can be had.
    audio_output_fake_fail_create(false);
    audio_ring_set_format(ring, 2, 48000);
    EXPECT_EQ(view(ring).enabled, 1u);
}

// ---------------------------------------------------------------------------
// Push

TEST_F(AudioRingTest, PushWhileDisabledDropsTheBytes)
{
    uint8_t pcm[1920];
    std::memset(pcm, 0x5A, sizeof pcm);
    audio_ring_push(ring, pcm, sizeof pcm);
    RingView v = view(ring);
    EXPECT_EQ(v.available, 0u);
    EXPECT_EQ(v.write_pos, 0u);
    EXPECT_EQ(fake_info().created, 0u);
}

TEST_F(AudioRingTest, PushWrapsAtTheEndOfTheBuffer)
{
    audio_output_fake_set_queued_ms(140);
    audio_ring_set_format(ring, 2, 48000);
    {
        std::lock_guard<std::mutex> g(ring->lock);
        ring->write_pos = 130572;
        ring->read_pos = 130572;
    }
    uint8_t pcm[1000];
    for (int i = 0; i < 1000; i++)
        pcm[i] = (uint8_t)(i * 7 + 3);
    audio_ring_push(ring, pcm, sizeof pcm);
    {
        std::lock_guard<std::mutex> g(ring->lock);
        EXPECT_EQ(ring->write_pos, 500u);
        EXPECT_EQ(ring->available, 1000u);
        // First 500 bytes at the end of the buffer, the rest at its start.
        EXPECT_EQ(ring->buffer[130572], 0x03);  // i = 0
        EXPECT_EQ(ring->buffer[130573], 0x0A);  // i = 1
        EXPECT_EQ(ring->buffer[131071], 0xA8);  // i = 499: 3496 & 0xFF
        EXPECT_EQ(ring->buffer[0], 0xAF);       // i = 500: 3503 & 0xFF
        EXPECT_EQ(ring->buffer[499], 0x54);     // i = 999: 6996 & 0xFF
        EXPECT_EQ(std::memcmp(ring->buffer + 130572, pcm, 500), 0);
        EXPECT_EQ(std::memcmp(ring->buffer, pcm + 500, 500), 0);
        EXPECT_EQ(ring->buffer[500], 0);  // untouched beyond the push
    }
    // The player reads across the same wrap once 10 ms (1920 bytes) are in.
    uint8_t more[920];
    std::memset(more, 0x77, sizeof more);
    audio_ring_push(ring, more, sizeof more);
    audio_output_fake_set_queued_ms(0);
    ASSERT_TRUE(audio_output_fake_wait_frames(480, kWaitMs));
    std::vector<int16_t> want = as_samples(pcm, sizeof pcm);
    want.resize(960, 0x7777);
    EXPECT_EQ(recorded(), want);
    EXPECT_EQ(view(ring).read_pos, 1420u);
}

TEST_F(AudioRingTest, OverflowDropsTheOldestBytes)
{
    audio_output_fake_set_queued_ms(140);
    audio_ring_set_format(ring, 2, 48000);
    // 131972 bytes in two pushes: the first 900 cannot stay.
    std::vector<uint8_t> stream = counting_samples(131972 / 2);
    audio_ring_push(ring, stream.data(), 130972);
    audio_ring_push(ring, stream.data() + 130972, 1000);
    RingView v = view(ring);
    EXPECT_EQ(v.available, 131072u);
    EXPECT_EQ(v.read_pos, 900u);
    EXPECT_EQ(v.write_pos, 900u);

    // 68 pieces of 480 frames; the last 128 frames wait below the threshold.
    audio_output_fake_set_queued_ms(0);
    ASSERT_TRUE(audio_output_fake_wait_frames(68 * 480, kWaitMs));
    EXPECT_EQ(recorded(), as_samples(stream.data() + 900, 68 * 480 * 4));
    EXPECT_TRUE(eventually([&] { return view(ring).player_waits; }));
    EXPECT_EQ(view(ring).available, 512u);
}

TEST_F(AudioRingTest, PushLargerThanTheBufferKeepsItsLast131072Bytes)
{
    audio_output_fake_set_queued_ms(140);
    audio_ring_set_format(ring, 2, 48000);
    std::vector<uint8_t> old_pcm = counting_samples(500, 40000);
    audio_ring_push(ring, old_pcm.data(), (uint32_t)old_pcm.size());
    std::vector<uint8_t> big = counting_samples((131072 + 4000) / 2);
    audio_ring_push(ring, big.data(), (uint32_t)big.size());
    RingView v = view(ring);
    EXPECT_EQ(v.available, 131072u);
    EXPECT_EQ(v.read_pos, v.write_pos);

    audio_output_fake_set_queued_ms(0);
    ASSERT_TRUE(audio_output_fake_wait_frames(68 * 480, kWaitMs));
    EXPECT_EQ(recorded(), as_samples(big.data() + 4000, 68 * 480 * 4));
}

TEST_F(AudioRingTest, OverflowKeepsWholeFramesOfSixBytes)
{
    // Three channels: 131072 is not a multiple of 6, so the ring holds
    // 131070 bytes and the frames stay aligned across its end.
    audio_output_fake_set_queued_ms(140);
    audio_ring_set_format(ring, 3, 48000);
    const uint32_t frames = 21846;  // 131076 bytes
    std::vector<uint8_t> stream(frames * 6);
    for (uint32_t f = 0; f < frames; f++)
        for (uint32_t c = 0; c < 3; c++) {
            uint16_t v = (uint16_t)(f * 4 + c);
            stream[f * 6 + c * 2] = (uint8_t)v;
            stream[f * 6 + c * 2 + 1] = (uint8_t)(v >> 8);
        }
    audio_ring_push(ring, stream.data(), 60000);
    audio_ring_push(ring, stream.data() + 60000, (uint32_t)stream.size() - 60000);
    EXPECT_EQ(view(ring).available, 131070u);

    // Pieces of 480 frames: 45 of them; the last 245 frames stay below the
    // threshold until more comes.
    audio_output_fake_set_queued_ms(0);
    const uint32_t played = 45 * 480;
    ASSERT_TRUE(audio_output_fake_wait_frames(played, kWaitMs));
    EXPECT_TRUE(eventually([&] { return view(ring).player_waits; }));
    EXPECT_EQ(view(ring).available, 245u * 6);
    std::vector<int16_t> got = recorded();
    ASSERT_EQ(got.size(), (size_t)played * 2);
    for (uint32_t f = 1; f <= played; f++) {
        ASSERT_EQ(got[(f - 1) * 2], (int16_t)(uint16_t)(f * 4)) << "frame " << f;
        ASSERT_EQ(got[(f - 1) * 2 + 1], (int16_t)(uint16_t)(f * 4 + 1)) << "frame " << f;
    }
}

// ---------------------------------------------------------------------------
// Player

TEST_F(AudioRingTest, PlayerQueuesExactlyThePushedBytesInOrder)
{
    audio_ring_set_format(ring, 2, 48000);
    // Pushes of uneven sizes (frames split across pushes), 120 ms in all, as
    // a receiver hands them over; the fake drains in real time.
    std::vector<uint8_t> stream = counting_samples(11520, 1234);  // 23040 bytes
    const uint32_t sizes[] = {1, 999, 1920, 3, 5000, 77, 1941, 4096, 9003};
    uint32_t off = 0;
    for (uint32_t n : sizes) {
        audio_ring_push(ring, stream.data() + off, n);
        off += n;
    }
    ASSERT_EQ(off, stream.size());
    ASSERT_TRUE(audio_output_fake_wait_frames(5760, kWaitMs));
    EXPECT_EQ(recorded(), as_samples(stream.data(), stream.size()));
    EXPECT_EQ(fake_info().dropped_frames, 0u);
}

TEST_F(AudioRingTest, PlayerHoldsBackWhileTheOutputHoldsMoreThan130ms)
{
    audio_output_fake_set_queued_ms(140);
    audio_ring_set_format(ring, 2, 48000);
    std::vector<uint8_t> pcm = counting_samples(1920);
    audio_ring_push(ring, pcm.data(), (uint32_t)pcm.size());
    ASSERT_TRUE(player_checked_output(3));
    EXPECT_EQ(fake_info().frames, 0u);
    EXPECT_EQ(view(ring).available, 3840u);

    // 130 ms is not more than 130 ms: the player goes on.
    audio_output_fake_set_queued_ms(130);
    ASSERT_TRUE(audio_output_fake_wait_frames(960, kWaitMs));
    EXPECT_EQ(recorded(), as_samples(pcm.data(), pcm.size()));
}

TEST_F(AudioRingTest, PlayerKeepsTheOutputNearItsLimitAsItDrains)
{
    g_manual_ms = 1000;
    audio_output_fake_set_clock(manual_clock);
    audio_ring_set_format(ring, 2, 48000);
    std::vector<uint8_t> pcm = counting_samples(48000 * 2 * 300 / 1000);  // 300 ms
    audio_ring_push(ring, pcm.data(), (uint32_t)pcm.size());

    // Fourteen 10 ms pieces make 140 ms, more than 130: the player stops there.
    ASSERT_TRUE(audio_output_fake_wait_frames(14 * 480, kWaitMs));
    ASSERT_TRUE(player_checked_output(3));
    AudioOutputFakeInfo info = fake_info();
    EXPECT_EQ(info.frames, 14u * 480);
    EXPECT_TRUE(info.playing);
    EXPECT_EQ(info.dropped_frames, 0u);

    // 20 ms played: two more pieces fit.
    advance_manual_clock(20);
    ASSERT_TRUE(audio_output_fake_wait_frames(16 * 480, kWaitMs));
    ASSERT_TRUE(player_checked_output(3));
    info = fake_info();
    EXPECT_EQ(info.frames, 16u * 480);
    EXPECT_EQ(info.pending_frames, 14u * 480);
    EXPECT_EQ(info.dropped_frames, 0u);
    EXPECT_EQ(recorded(), as_samples(pcm.data(), 16 * 480 * 4));
}

// ---------------------------------------------------------------------------
// Channels

TEST_F(AudioRingTest, MonoIsPlayedOnBothChannels)
{
    audio_output_fake_set_queued_ms(0);
    audio_ring_set_format(ring, 1, 48000);
    EXPECT_EQ(view(ring).threshold, 960u);
    std::vector<uint8_t> pcm = counting_samples(960, 65000);  // crosses into negative values
    audio_ring_push(ring, pcm.data(), (uint32_t)pcm.size());
    ASSERT_TRUE(audio_output_fake_wait_frames(960, kWaitMs));
    EXPECT_EQ(call_sizes(), (std::vector<uint32_t>{480, 480}));
    std::vector<int16_t> mono = as_samples(pcm.data(), pcm.size());
    std::vector<int16_t> got = recorded();
    ASSERT_EQ(got.size(), 1920u);
    for (size_t i = 0; i < 960; i++) {
        ASSERT_EQ(got[2 * i], mono[i]) << i;
        ASSERT_EQ(got[2 * i + 1], mono[i]) << i;
    }
}

TEST_F(AudioRingTest, OfMoreChannelsTheFirstTwoArePlayed)
{
    audio_output_fake_set_queued_ms(0);
    audio_ring_set_format(ring, 6, 48000);
    EXPECT_EQ(view(ring).threshold, 5760u);
    std::vector<uint8_t> pcm(480 * 12);
    for (uint32_t f = 0; f < 480; f++)
        for (uint32_t c = 0; c < 6; c++) {
            uint16_t v = (uint16_t)(f * 10 + c);
            pcm[f * 12 + c * 2] = (uint8_t)v;
            pcm[f * 12 + c * 2 + 1] = (uint8_t)(v >> 8);
        }
    audio_ring_push(ring, pcm.data(), (uint32_t)pcm.size());
    ASSERT_TRUE(audio_output_fake_wait_frames(480, kWaitMs));
    std::vector<int16_t> got = recorded();
    ASSERT_EQ(got.size(), 960u);
    for (uint32_t f = 0; f < 480; f++) {
        ASSERT_EQ(got[2 * f], (int16_t)(f * 10)) << f;
        ASSERT_EQ(got[2 * f + 1], (int16_t)(f * 10 + 1)) << f;
    }
}

// ---------------------------------------------------------------------------
// Lifecycle

TEST_F(AudioRingTest, DestroyWhileThePlayerWaitsReturnsPromptly)
{
    audio_ring_set_format(ring, 2, 48000);
    ASSERT_TRUE(eventually([&] { return view(ring).player_waits; }));
    auto start = std::chrono::steady_clock::now();
    audio_ring_destroy(&ring);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(ring, nullptr);
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    AudioOutputFakeInfo info = fake_info();
    EXPECT_EQ(info.destroyed, info.created);
}

TEST_F(AudioRingTest, DestroyWhileThePlayerHoldsBackReturnsPromptly)
{
    audio_output_fake_set_queued_ms(140);
    audio_ring_set_format(ring, 2, 48000);
    std::vector<uint8_t> pcm(3840, 1);
    audio_ring_push(ring, pcm.data(), (uint32_t)pcm.size());
    ASSERT_TRUE(player_checked_output(1));
    auto start = std::chrono::steady_clock::now();
    audio_ring_destroy(&ring);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(fake_info().frames, 0u);
}

TEST(AudioRingLifecycle, CreateAndDestroyRightAwayAndNullIsFine)
{
    audio_output_use_fake(true);
    for (int i = 0; i < 50; i++) {
        AudioRing *r = audio_ring_create(link_audio_ring_output());
        ASSERT_NE(r, nullptr);
        audio_ring_destroy(&r);
        EXPECT_EQ(r, nullptr);
    }
    AudioRing *none = nullptr;
    audio_ring_destroy(&none);
    audio_ring_destroy(nullptr);
    audio_ring_set_format(nullptr, 2, 48000);
    audio_ring_push(nullptr, (const uint8_t *)"ab", 2);
    audio_ring_stop_output(nullptr);
    audio_output_use_fake(false);
    SUCCEED();
}

TEST_F(AudioRingTest, PushesAndFormatChangesFromOtherThreadsKeepTheRingConsistent)
{
    // A receiver pushing while a connection thread changes the format, with
    // the link's audio_lock serialising them, as the link does.
    audio_output_fake_set_queued_ms(0);
    std::mutex audio_lock;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        std::vector<uint8_t> pcm(1000, 0x44);
        while (!done.load()) {
            std::lock_guard<std::mutex> g(audio_lock);
            audio_ring_push(ring, pcm.data(), (uint32_t)pcm.size());
        }
    });
    const uint32_t formats[][2] = {{2, 48000}, {1, 48000}, {2, 44100}, {0, 0}, {6, 48000}};
    for (int round = 0; round < 40; round++) {
        const auto &f = formats[round % 5];
        {
            std::lock_guard<std::mutex> g(audio_lock);
            audio_ring_set_format(ring, f[0], f[1]);
        }
        RingView v = view(ring);
        ASSERT_LE(v.available, (uint32_t)AUDIO_RING_SIZE);
        ASSERT_LT(v.read_pos, (uint32_t)AUDIO_RING_SIZE);
        ASSERT_LT(v.write_pos, (uint32_t)AUDIO_RING_SIZE);
        ASSERT_EQ((v.write_pos + AUDIO_RING_SIZE - v.read_pos) % AUDIO_RING_SIZE,
                  v.available % AUDIO_RING_SIZE);
    }
    done = true;
    producer.join();
    // Every sample that reached the output is one of the pushed ones.
    for (int16_t s : recorded())
        ASSERT_EQ(s, 0x4444);
}
