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
#include "support/wait.h"

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

// The player has looked at the output at least `n` more times since now:
// it has run its loop and made its decision that often.
bool player_checked_output(uint64_t n)
{
    return audio_output_fake_wait_queued_ms_calls(fake_info().queued_ms_calls + n, kWaitMs);
}

// 16-bit little-endian samples of `channels` channels; sample c of frame f is
// first + f * 10 + c.
std::vector<uint8_t> counting_samples(uint32_t frames, uint16_t first = 0, uint32_t channels = 1)
{
    std::vector<uint8_t> b((size_t)frames * channels * 2);
    for (uint32_t i = 0; i < frames * channels; i++) {
        uint16_t v = (uint16_t)(first + (channels == 1 ? i : i / channels * 10 + i % channels));
        b[2 * i] = (uint8_t)v, b[2 * i + 1] = (uint8_t)(v >> 8);
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

bool player_waits(AudioRing *r)
{
    return wait_until([r] { return view(r).player_waits; });
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

TEST_F(AudioRingTest, FormatsThresholdsPiecesAndChannels)
{
    // Ten milliseconds make the threshold; pieces are whole frames of at most
    // 10 ms (22050 Hz: 220 frames, the half frame never split off); mono plays
    // on both channels, of more channels the first two.
    struct Row {
        uint32_t channels, rate, threshold, frames;
        std::vector<uint32_t> calls;
        uint32_t left; // bytes below the threshold afterwards
    } const rows[] = {
        {2, 48000, 1920, 1440, {480, 480, 480}, 0},
        {2, 22050, 882, 441, {220, 220}, 4},
        {1, 48000, 960, 960, {480, 480}, 0},
        {1, 44100, 882, 441, {441}, 0},
        {6, 48000, 5760, 480, {480}, 0},
    };
    for (const Row &w : rows) {
        SCOPED_TRACE(std::to_string(w.channels) + " x " + std::to_string(w.rate));
        audio_output_fake_reset();
        audio_output_fake_set_queued_ms(0);
        audio_ring_set_format(ring, w.channels, w.rate);
        EXPECT_EQ(view(ring).threshold, w.threshold);
        std::vector<uint8_t> pcm = counting_samples(w.frames, 65000, w.channels); // crosses into negative values
        audio_ring_push(ring, pcm.data(), (uint32_t)pcm.size());
        uint32_t played = 0;
        for (uint32_t c : w.calls)
            played += c;
        ASSERT_TRUE(audio_output_fake_wait_frames(played, kWaitMs));
        ASSERT_TRUE(player_waits(ring));
        EXPECT_EQ(call_sizes(), w.calls);
        EXPECT_EQ(view(ring).available, w.left);
        std::vector<int16_t> want, in = as_samples(pcm.data(), pcm.size());
        for (uint32_t f = 0; f < played; f++)
            for (uint32_t c = 0; c < 2; c++)
                want.push_back(in[f * w.channels + (w.channels == 1 ? 0 : c)]);
        EXPECT_EQ(recorded(), want);
    }
    EXPECT_EQ(fake_info().min_ms * 1000 + fake_info().max_ms, 60150u);
}

TEST_F(AudioRingTest, FormatChangesOpenCloseAndDiscard)
{
    uint8_t pcm[4000];
    std::memset(pcm, 0x11, sizeof pcm);
    audio_ring_push(ring, pcm, sizeof pcm); // disabled: dropped
    EXPECT_EQ(view(ring).available + fake_info().created, 0u);
    // Impossible formats stop the output; the player parks, not spinning on a zero threshold.
    const uint32_t bad[][2] = {{2, 0}, {0, 48000}, {9, 48000}, {2, 999}, {2, 384001}};
    for (const auto &f : bad) {
        audio_ring_set_format(ring, 2, 48000);
        audio_ring_set_format(ring, f[0], f[1]);
        audio_ring_push(ring, pcm, sizeof pcm);
        RingView v = view(ring);
        EXPECT_EQ(v.enabled + v.available + v.has_output, 0u) << f[0] << " channels " << f[1] << " Hz";
    }
    EXPECT_TRUE(player_waits(ring));
    EXPECT_EQ(fake_info().queued_ms_calls, 0u);
    audio_output_fake_reset();
    audio_output_fake_set_queued_ms(140); // hold the player
    audio_ring_set_format(ring, 2, 48000);
    audio_ring_set_format(ring, 2, 48000); // the same format twice opens once
    EXPECT_EQ(fake_info().created, 1u);
    audio_ring_push(ring, pcm, sizeof pcm);
    EXPECT_EQ(view(ring).available, 4000u);
    audio_ring_set_format(ring, 2, 44100); // a new format discards what was buffered
    RingView v = view(ring);
    EXPECT_EQ(v.available + v.read_pos + v.write_pos, 0u);
    EXPECT_EQ(fake_info().created * 10 + fake_info().destroyed, 21u);
    audio_ring_push(ring, pcm, sizeof pcm);
    audio_ring_stop_output(ring); // closes and discards
    v = view(ring);
    EXPECT_EQ(v.enabled + v.available + v.has_output, 0u);
    audio_ring_set_format(ring, 2, 44100); // the same format again opens a new output
    EXPECT_EQ(fake_info().created, 3u);

    // An output that cannot be opened leaves the ring disabled; tried again later.
    audio_output_fake_fail_create(true);
    audio_ring_set_format(ring, 2, 48000);
    EXPECT_EQ(view(ring).enabled, 0u);
    audio_output_fake_fail_create(false);
    audio_ring_set_format(ring, 2, 48000);
    EXPECT_EQ(view(ring).enabled, 1u);
}

TEST_F(AudioRingTest, WrapAndOverflowKeepTheNewestWholeFrames)
{
    audio_output_fake_set_queued_ms(140);
    audio_ring_set_format(ring, 2, 48000);
    {
        std::lock_guard<std::mutex> g(ring->lock);
        ring->write_pos = ring->read_pos = 130572;
    }
    std::vector<uint8_t> pcm = counting_samples(960, 3000);
    audio_ring_push(ring, pcm.data(), 1001); // a frame split across two pushes
    {
        std::lock_guard<std::mutex> g(ring->lock);
        EXPECT_EQ(ring->write_pos, 501u);
        EXPECT_EQ(std::memcmp(ring->buffer + 130572, pcm.data(), 500), 0);
        EXPECT_EQ(std::memcmp(ring->buffer, pcm.data() + 500, 501), 0);
        EXPECT_EQ(ring->buffer[501], 0); // untouched beyond the push
    }
    audio_ring_push(ring, pcm.data() + 1001, 919);
    audio_output_fake_set_queued_ms(0); // the player reads across the same wrap
    ASSERT_TRUE(audio_output_fake_wait_frames(480, kWaitMs));
    EXPECT_EQ(recorded(), as_samples(pcm.data(), 1920));

    // Overflow drops the oldest bytes; a push larger than the buffer keeps its last
    // 131072; with three channels the ring holds 131070 bytes and stays aligned.
    const std::pair<uint32_t, std::vector<uint32_t>> rows[] = {{2, {130972, 1000}}, {2, {135072}}, {3, {60000, 71076}}};
    for (const auto &[channels, pushes] : rows) {
        audio_output_fake_reset();
        audio_output_fake_set_queued_ms(140);
        audio_ring_set_format(ring, channels, 44100);
        audio_ring_set_format(ring, channels, 48000);
        uint32_t total = 0;
        for (uint32_t n : pushes)
            total += n;
        std::vector<uint8_t> stream = counting_samples(total / 2 / channels, 0, channels);
        uint32_t off = 0;
        for (uint32_t n : pushes)
            audio_ring_push(ring, stream.data() + off, n), off += n;
        const uint32_t keep = 131072 / (2 * channels) * (2 * channels);
        EXPECT_EQ(view(ring).available, keep);
        audio_output_fake_set_queued_ms(0);
        const uint32_t played = keep / (960 * channels) * 480;
        ASSERT_TRUE(audio_output_fake_wait_frames(played, kWaitMs));
        ASSERT_TRUE(player_waits(ring));
        std::vector<int16_t> got = recorded(), in = as_samples(stream.data() + total - keep, keep);
        ASSERT_EQ(got.size(), (size_t)played * 2);
        for (uint32_t f = 0; f < played; f++)
            ASSERT_EQ(got[2 * f + 1], in[f * channels + 1]) << channels << " channels, frame " << f;
    }
}

TEST_F(AudioRingTest, PlayerPacesTheOutputNearItsLimit)
{
    std::vector<uint8_t> stream = counting_samples(11520, 1234);
    // While the output holds more than 130 ms the player holds back; 130 is not more.
    audio_output_fake_set_queued_ms(140);
    audio_ring_set_format(ring, 2, 44100);
    audio_ring_push(ring, stream.data(), 3528);
    ASSERT_TRUE(player_checked_output(3));
    EXPECT_EQ(fake_info().frames, 0u);
    audio_output_fake_set_queued_ms(130);
    ASSERT_TRUE(audio_output_fake_wait_frames(882, kWaitMs));

    // Draining at the output's pace: fourteen 10 ms pieces (140 ms, more than
    // 130) and the player stops; 20 ms played, two more fit.
    audio_output_fake_reset();
    g_manual_ms = 1000;
    audio_output_fake_set_clock(manual_clock);
    audio_ring_set_format(ring, 2, 48000);
    std::vector<uint8_t> pcm = counting_samples(48000 * 2 * 300 / 1000);
    audio_ring_push(ring, pcm.data(), (uint32_t)pcm.size());
    ASSERT_TRUE(audio_output_fake_wait_frames(14 * 480, kWaitMs));
    ASSERT_TRUE(player_checked_output(3));
    EXPECT_EQ(fake_info().frames, 14u * 480);
    advance_manual_clock(20);
    ASSERT_TRUE(audio_output_fake_wait_frames(16 * 480, kWaitMs));
    ASSERT_TRUE(player_checked_output(3));
    AudioOutputFakeInfo info = fake_info();
    EXPECT_EQ(info.frames, 16u * 480);
    EXPECT_EQ(info.pending_frames, 14u * 480);
    EXPECT_EQ(info.dropped_frames, 0u);
}

TEST_F(AudioRingTest, DestroyReturnsPromptlyWhileThePlayerWaitsOrHoldsBack)
{
    for (int queued_ms : {0, 140}) {
        audio_output_fake_set_queued_ms(queued_ms);
        audio_ring_set_format(ring, 2, 48000);
        std::vector<uint8_t> pcm(queued_ms ? 3840 : 0, 1);
        audio_ring_push(ring, pcm.data(), (uint32_t)pcm.size());
        ASSERT_TRUE(queued_ms ? player_checked_output(1) : player_waits(ring));
        auto start = std::chrono::steady_clock::now();
        audio_ring_destroy(&ring);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
        EXPECT_EQ(fake_info().destroyed, fake_info().created);
        ring = audio_ring_create(link_audio_ring_output());
    }
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
        {
            std::lock_guard<std::mutex> g(audio_lock);
            audio_ring_set_format(ring, formats[round % 5][0], formats[round % 5][1]);
        }
        RingView v = view(ring);
        ASSERT_LE(v.available, (uint32_t)AUDIO_RING_SIZE);
        ASSERT_LT(v.read_pos, (uint32_t)AUDIO_RING_SIZE);
        ASSERT_EQ((v.write_pos + AUDIO_RING_SIZE - v.read_pos) % AUDIO_RING_SIZE, v.available % AUDIO_RING_SIZE);
    }
    done = true;
    producer.join();
    for (int16_t s : recorded()) // every sample that reached the output is a pushed one
        ASSERT_EQ(s, 0x4444);
}
