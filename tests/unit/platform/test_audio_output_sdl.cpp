// The SDL audio output through SDL's "disk" driver, which writes what the
// device plays to a file in real time (2 channels, signed 16-bit, 48000 Hz).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "platform/audio_output.h"
#include "support/wait.h"

namespace {

const uint32_t kRate = 48000;
const auto kDeadline = std::chrono::milliseconds(20000);

// The device has played at least `bytes` more since now: SDL writes a
// device buffer every ~10 ms, even while paused (silence then).
bool device_plays_on(const std::string &path, long bytes)
{
    std::error_code ec;
    auto size = [&] { return (long)std::filesystem::file_size(path, ec); };
    long from = size();
    return wait_until([&] { return size() >= from + bytes; }, kDeadline);
}

std::vector<int16_t> sine(uint32_t frames)
{
    std::vector<int16_t> s((size_t)frames * 2);
    for (uint32_t i = 0; i < frames; i++)
        s[2 * i] = s[2 * i + 1] = (int16_t)std::lround(8000.0 * std::sin(2.0 * M_PI * 440.0 * i / kRate));
    return s;
}

class AudioOutputSdlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        audio_output_use_fake(false);
        path = ::testing::TempDir() + "kavri_audio_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".raw";
        std::remove(path.c_str());
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
    std::vector<int16_t> tone = sine(total);

    // Fed the way the audio player feeds it: 10 ms pieces while the output
    // holds no more than 130 ms.
    uint32_t sent = 0;
    ASSERT_TRUE(wait_until([&] {
        while (sent < total && audio_output_queued_ms(o) <= 130) {
            uint32_t n = std::min<uint32_t>(480, total - sent);
            if (!audio_output_queue(o, tone.data() + (size_t)sent * 2, n))
                return false;
            sent += n;
        }
        return sent == total;
    }, kDeadline));
    ASSERT_TRUE(wait_until([&] { return audio_output_queued_ms(o) == 0; }, kDeadline));
    // The last buffer taken from the queue reaches the file too.
    ASSERT_TRUE(device_plays_on(path, 16384));
    audio_output_destroy(&o);

    // The left channel's zero crossings, over the sounding samples only (SDL
    // writes silence before and after the tone); sin() rounds to 0 near its
    // zeros, a few dozen samples in 500 ms.
    std::ifstream in(path, std::ios::binary);
    std::vector<int16_t> s(std::filesystem::file_size(path) / 2);
    in.read((char *)s.data(), (std::streamsize)(s.size() * 2));
    size_t sounding = 0, crossings = 0, mismatches = 0;
    int last_sign = 0, peak = 0;
    for (size_t i = 0; i + 1 < s.size(); i += 2) {
        mismatches += s[i] != s[i + 1];
        if (s[i] == 0)
            continue;
        sounding++, peak = std::max(peak, std::abs((int)s[i]));
        int sign = s[i] > 0 ? 1 : -1;
        crossings += last_sign && sign != last_sign;
        last_sign = sign;
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_GE(sounding, (size_t)total - 200);
    EXPECT_LE(sounding, (size_t)total);
    EXPECT_NEAR(crossings / ((double)sounding / kRate), 880.0, 880.0 * 0.02);
    EXPECT_NEAR(peak, 8000, 2);
}

TEST_F(AudioOutputSdlTest, StartsAtTheMinimumAndRefusesDataBeyondTheMaximum)
{
    // A failed start leaves nothing behind: the disk driver starts next, also
    // for a second user of SDL audio.
    setenv("SDL_AUDIODRIVER", "no_such_driver", 1);
    EXPECT_EQ(audio_output_create(kRate, 60, 150), nullptr);
    setenv("SDL_AUDIODRIVER", "disk", 1);
    AudioOutput *o = audio_output_create(kRate, 60, 150), *second = audio_output_create(44100, 60, 150);
    ASSERT_TRUE(o && second);
    audio_output_destroy(&second);
    std::vector<int16_t> tone = sine(kRate / 10);  // 100 ms

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
    ASSERT_TRUE(wait_until([&] { return audio_output_queued_ms(o) < 100; }, kDeadline));

    audio_output_destroy(&o);
}
