// The audio ring and its player thread, against the fake audio output.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "link/link_context.h"
#include "media/audio_ring.h"
#include "platform/audio_output.h"
#include "platform/fake/audio_output_fake.h"
#include "support/wait.h"

namespace {

const uint32_t kWaitMs = 5000;

AudioOutputFakeInfo fake_info(void)
{
    AudioOutputFakeInfo info;
    audio_output_fake_info(&info);
    return info;
}

// The player has looked at the output at least n more times since now.
bool player_checked_output(uint64_t n)
{
    return audio_output_fake_wait_queued_ms_calls(fake_info().queued_ms_calls + n, kWaitMs);
}

// 16-bit little-endian samples counting up from first.
std::vector<uint8_t> counting_samples(uint32_t frames, uint16_t first = 0, uint32_t channels = 1)
{
    std::vector<uint8_t> b((size_t)frames * channels * 2);
    for (uint32_t i = 0; i < frames * channels; i++)
        b[2 * i] = (uint8_t)(first + i), b[2 * i + 1] = (uint8_t)((first + i) >> 8);
    return b;
}

uint64_t g_manual_ms;
uint64_t manual_clock(void) { return __atomic_load_n(&g_manual_ms, __ATOMIC_SEQ_CST); }

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
    // Buffered bytes, plus 1000000 while enabled and 2000000 with an output.
    uint32_t state()
    {
        std::lock_guard<std::mutex> g(ring->lock);
        return ring->available + ring->enabled.load() * 1000000 + (ring->output != nullptr) * 2000000;
    }
    bool player_waits()
    {
        return wait_until([this] {
            std::lock_guard<std::mutex> g(ring->lock);
            return ring->wake != nullptr;
        });
    }
    AudioRing *ring = nullptr;
};

} // namespace

TEST_F(AudioRingTest, FormatsPiecesChannelsAndOverflow)
{
    // Pieces are whole frames of at most 10 ms (22050 Hz: 220 frames, the half
    // frame never split off); less than 10 ms stays behind. Mono plays on both
    // channels, of more channels the first two. Overflow drops the oldest
    // bytes: a push larger than the buffer keeps its last 131072; with three
    // channels the ring holds 131070 bytes and stays aligned; the player then
    // reads across the wrap, frames split across pushes.
    struct Row {
        uint32_t channels, rate;
        std::vector<uint32_t> pushes;
        uint32_t played, left; // frames played, bytes left behind
        std::vector<uint32_t> calls;
    } const rows[] = {
        {2, 48000, {5760}, 1440, 0, {480, 480, 480}},
        {2, 22050, {1764}, 440, 4, {220, 220}},
        {1, 48000, {1920}, 960, 0, {480, 480}},
        {1, 44100, {882}, 441, 0, {441}},
        {6, 48000, {5760}, 480, 0, {480}},
        {2, 48000, {130972, 1001, 999}, 68 * 480, 512, {}},
        {2, 48000, {135072}, 68 * 480, 512, {}},
        {3, 48000, {60001, 71075}, 45 * 480, 1470, {}},
    };
    for (const Row &w : rows) {
        SCOPED_TRACE(std::to_string(w.channels) + " x " + std::to_string(w.rate) + ", " + std::to_string(w.played));
        audio_ring_stop_output(ring);
        audio_output_fake_reset();
        audio_output_fake_set_queued_ms(140); // hold the player until everything is pushed
        audio_ring_set_format(ring, w.channels, w.rate);
        uint32_t total = 0;
        for (uint32_t n : w.pushes)
            total += n;
        std::vector<uint8_t> pcm = counting_samples(total / 2 / w.channels, 65000, w.channels); // some negative
        for (uint32_t off = 0; uint32_t n : w.pushes)
            audio_ring_push(ring, pcm.data() + off, n), off += n;
        audio_output_fake_set_queued_ms(0);
        ASSERT_TRUE(audio_output_fake_wait_frames(w.played, kWaitMs));
        ASSERT_TRUE(player_waits());
        if (!w.calls.empty()) {
            std::vector<uint32_t> calls(16);
            calls.resize(audio_output_fake_calls(calls.data(), (uint32_t)calls.size()));
            EXPECT_EQ(calls, w.calls);
        }
        EXPECT_EQ(state() % 1000000, w.left);
        const uint32_t kept = w.played * 2 * w.channels + w.left;
        std::vector<int16_t> want, in(kept / 2), got((size_t)fake_info().frames * 2);
        std::memcpy(in.data(), pcm.data() + total - kept, kept);
        for (uint32_t f = 0; f < w.played; f++)
            for (uint32_t c = 0; c < 2; c++)
                want.push_back(in[f * w.channels + (w.channels == 1 ? 0 : c)]);
        EXPECT_EQ(audio_output_fake_read(got.data(), 0, fake_info().frames), fake_info().frames);
        EXPECT_EQ(got, want);
    }
    EXPECT_EQ(fake_info().min_ms * 1000 + fake_info().max_ms, 60150u);
}

TEST_F(AudioRingTest, FormatChangesOpenCloseAndDiscard)
{
    uint8_t pcm[4000];
    std::memset(pcm, 0x11, sizeof pcm);
    audio_ring_push(ring, pcm, sizeof pcm); // disabled: dropped
    EXPECT_EQ(state() + fake_info().created, 0u);
    // Impossible formats stop the output; the player parks, not spinning on a zero threshold.
    const uint32_t bad[][2] = {{2, 0}, {0, 48000}, {9, 48000}, {2, 999}, {2, 384001}};
    for (const auto &f : bad) {
        audio_ring_set_format(ring, 2, 48000);
        audio_ring_set_format(ring, f[0], f[1]);
        audio_ring_push(ring, pcm, sizeof pcm);
        EXPECT_EQ(state(), 0u) << f[0] << " channels " << f[1] << " Hz";
    }
    EXPECT_TRUE(player_waits());
    EXPECT_EQ(fake_info().queued_ms_calls, 0u);
    audio_output_fake_reset();
    audio_output_fake_set_queued_ms(140); // hold the player
    audio_ring_set_format(ring, 2, 48000);
    audio_ring_set_format(ring, 2, 48000); // the same format twice opens once
    audio_ring_push(ring, pcm, sizeof pcm);
    EXPECT_EQ(state(), 3004000u);
    audio_ring_set_format(ring, 2, 44100); // a new format discards what was buffered
    EXPECT_EQ(state(), 3000000u);
    EXPECT_EQ(fake_info().created * 10 + fake_info().destroyed, 21u);
    audio_ring_push(ring, pcm, sizeof pcm);
    audio_ring_stop_output(ring); // closes and discards
    EXPECT_EQ(state(), 0u);
    audio_ring_set_format(ring, 2, 44100); // the same format again opens a new output
    EXPECT_EQ(fake_info().created, 3u);

    // An output that cannot be opened leaves the ring disabled; tried again later.
    audio_output_fake_fail_create(true);
    audio_ring_set_format(ring, 2, 48000);
    EXPECT_EQ(state(), 0u);
    audio_output_fake_fail_create(false);
    audio_ring_set_format(ring, 2, 48000);
    EXPECT_EQ(state(), 3000000u);
}

TEST_F(AudioRingTest, PlayerPacesTheOutputNearItsLimit)
{
    // While the output holds more than 130 ms the player holds back. Draining
    // at the output's pace: fourteen 10 ms pieces (140 ms, more than 130) and
    // the player stops; 20 ms played, two more fit.
    std::vector<uint8_t> pcm = counting_samples(48000 * 2 * 300 / 1000, 1234);
    g_manual_ms = 1000;
    audio_output_fake_set_clock(manual_clock);
    audio_ring_set_format(ring, 2, 48000);
    audio_ring_push(ring, pcm.data(), (uint32_t)pcm.size());
    ASSERT_TRUE(audio_output_fake_wait_frames(14 * 480, kWaitMs));
    ASSERT_TRUE(player_checked_output(3));
    EXPECT_EQ(fake_info().frames, 14u * 480);
    __atomic_add_fetch(&g_manual_ms, 20, __ATOMIC_SEQ_CST);
    ASSERT_TRUE(audio_output_fake_wait_frames(16 * 480, kWaitMs));
    ASSERT_TRUE(player_checked_output(3));
    AudioOutputFakeInfo info = fake_info();
    EXPECT_EQ(info.frames * 10 + info.dropped_frames, 16u * 4800);
    EXPECT_EQ(info.pending_frames, 14u * 480);
}

TEST_F(AudioRingTest, DestroyReturnsPromptlyWhileThePlayerWaitsOrHoldsBack)
{
    for (int queued_ms : {0, 140}) {
        audio_output_fake_set_queued_ms(queued_ms);
        audio_ring_set_format(ring, 2, 48000);
        std::vector<uint8_t> pcm(queued_ms ? 3840 : 0, 1);
        audio_ring_push(ring, pcm.data(), (uint32_t)pcm.size());
        ASSERT_TRUE(queued_ms ? player_checked_output(1) : player_waits());
        auto start = std::chrono::steady_clock::now();
        audio_ring_destroy(&ring);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
        EXPECT_EQ(fake_info().destroyed, fake_info().created);
        ring = audio_ring_create(link_audio_ring_output());
    }
}
