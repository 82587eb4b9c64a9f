// The SDL audio output, played through SDL's "disk" driver: it writes what
// the device plays to a file, in real time, as raw frames of the device's
// format (here exactly ours: 2 channels, signed 16-bit, 48000 Hz).
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_output.h"
#include "support/wait.h"

namespace {

const uint32_t kRate = 48000;
const auto kDeadline = std::chrono::milliseconds(20000);

long file_size(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return -1;
    std::fseek(f, 0, SEEK_END);
    long n = std::ftell(f);
    std::fclose(f);
    return n;
}

std::vector<int16_t> read_samples(const std::string &path)
{
    std::vector<int16_t> s;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return s;
    uint8_t b[2];
    while (std::fread(b, 1, 2, f) == 2)
        s.push_back((int16_t)(b[0] | (b[1] << 8)));
    std::fclose(f);
    return s;
}

template <typename Pred>
bool eventually(Pred pred)
{
    return wait_until(pred, kDeadline);
}

// The device has played at least `bytes` more since now: SDL writes a
// device buffer every ~10 ms, even while paused (silence then).
bool device_plays_on(const std::string &path, long bytes)
{
    long from = file_size(path);
    return eventually([&] { return file_size(path) >= from + bytes; });
}

std::vector<int16_t> sine(uint32_t frames, double hz, double amplitude, uint32_t channels)
{
    std::vector<int16_t> s((size_t)frames * channels);
    for (uint32_t i = 0; i < frames; i++) {
        int16_t v = (int16_t)std::lround(amplitude * std::sin(2.0 * M_PI * hz * i / kRate));
        for (uint32_t c = 0; c < channels; c++)
            s[(size_t)i * channels + c] = v;
    }
    return s;
}

struct ToneReport {
    size_t frames = 0;          // frames in the file
    size_t sounding = 0;        // frames with a nonzero left sample
    size_t channel_mismatches = 0;
    double crossings_per_s = 0;
    int peak = 0;
};

// Zero crossings of the left channel, counted over the sounding samples only,
// so that the silence SDL writes before and after the tone does not matter.
ToneReport analyse(const std::vector<int16_t> &s)
{
    ToneReport r;
    r.frames = s.size() / 2;
    int last_sign = 0;
    size_t crossings = 0;
    for (size_t i = 0; i < r.frames; i++) {
        int16_t l = s[2 * i], rr = s[2 * i + 1];
        if (l != rr)
            r.channel_mismatches++;
        if (l == 0)
            continue;
        r.sounding++;
        r.peak = std::max(r.peak, std::abs((int)l));
        int sign = l > 0 ? 1 : -1;
        if (last_sign != 0 && sign != last_sign)
            crossings++;
        last_sign = sign;
    }
    if (r.sounding > 0)
        r.crossings_per_s = crossings / ((double)r.sounding / kRate);
    return r;
}

class AudioOutputSdlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        audio_output_use_fake(false);
        path = ::testing::TempDir() + "kavri_audio_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".raw";
        std::remove(path.c_str());
        // Read by SDL when its audio subsystem starts, with the first output.
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", path.c_str(), 1);
    }
    void TearDown() override { std::remove(path.c_str()); }
    std::string path;
};

}  // namespace

TEST_F(AudioOutputSdlTest, PlaysA440HzToneThroughTheDiskDriver)
{
    AudioOutput *o = audio_output_create(kRate, 60, 150);
    ASSERT_NE(o, nullptr);
    const uint32_t total = kRate / 2;  // 500 ms
    std::vector<int16_t> tone = sine(total, 440.0, 8000.0, 2);

    // Fed the way the audio player feeds it: 10 ms pieces while the output
    // holds no more than 130 ms.
    uint32_t sent = 0;
    ASSERT_TRUE(eventually([&] {
        while (sent < total && audio_output_queued_ms(o) <= 130) {
            uint32_t n = std::min<uint32_t>(480, total - sent);
            if (!audio_output_queue(o, tone.data() + (size_t)sent * 2, n))
                return false;
            sent += n;
        }
        return sent == total;
    }));
    ASSERT_TRUE(eventually([&] { return audio_output_queued_ms(o) == 0; }));
    // The last buffer taken from the queue reaches the file too.
    ASSERT_TRUE(device_plays_on(path, 16384));
    audio_output_destroy(&o);
    EXPECT_EQ(o, nullptr);

    ToneReport r = analyse(read_samples(path));
    EXPECT_GE(r.frames, (size_t)total);
    EXPECT_EQ(r.channel_mismatches, 0u);
    // sin() rounds to 0 near its zeros, a few dozen samples in 500 ms.
    EXPECT_GE(r.sounding, (size_t)total - 200);
    EXPECT_LE(r.sounding, (size_t)total);
    EXPECT_NEAR(r.crossings_per_s, 880.0, 880.0 * 0.02);
    EXPECT_NEAR(r.peak, 8000, 2);
}

TEST_F(AudioOutputSdlTest, StartsAtTheMinimumAndRefusesDataBeyondTheMaximum)
{
    AudioOutput *o = audio_output_create(kRate, 60, 150);
    ASSERT_NE(o, nullptr);
    std::vector<int16_t> tone = sine(kRate / 10, 440.0, 8000.0, 2);  // 100 ms

    // 40 ms is below the 60 ms minimum: the device plays silence and leaves
    // the queue alone.
    ASSERT_TRUE(audio_output_queue(o, tone.data(), 1920));
    EXPECT_EQ(audio_output_queued_ms(o), 40u);
    ASSERT_TRUE(device_plays_on(path, 3 * 2048));
    EXPECT_EQ(audio_output_queued_ms(o), 40u);

    // 140 ms queued: playing. Another 100 ms would pass 150 ms and is refused.
    ASSERT_TRUE(audio_output_queue(o, tone.data(), 4800));
    EXPECT_FALSE(audio_output_queue(o, tone.data(), 4800));
    EXPECT_GT(audio_output_queued_ms(o), 100u);
    ASSERT_TRUE(eventually([&] { return audio_output_queued_ms(o) < 100; }));

    EXPECT_FALSE(audio_output_queue(nullptr, tone.data(), 1));
    EXPECT_FALSE(audio_output_queue(o, nullptr, 1));
    EXPECT_TRUE(audio_output_queue(o, nullptr, 0));
    EXPECT_EQ(audio_output_queued_ms(nullptr), 0u);
    audio_output_destroy(&o);
    audio_output_destroy(&o);
    audio_output_destroy(nullptr);
}

TEST_F(AudioOutputSdlTest, CreateFailsCleanlyWithoutADriver)
{
    setenv("SDL_AUDIODRIVER", "no_such_driver", 1);
    EXPECT_EQ(audio_output_create(kRate, 60, 150), nullptr);
    EXPECT_EQ(audio_output_create(0, 60, 150), nullptr);
    // The failed start left nothing behind: the disk driver starts next.
    setenv("SDL_AUDIODRIVER", "disk", 1);
    AudioOutput *o = audio_output_create(kRate, 60, 150);
    ASSERT_NE(o, nullptr);
    AudioOutput *second = audio_output_create(44100, 60, 150);  // a second user of SDL audio
    EXPECT_NE(second, nullptr);
    audio_output_destroy(&second);
    EXPECT_TRUE(audio_output_queue(o, std::vector<int16_t>(960).data(), 480));
    audio_output_destroy(&o);
}
