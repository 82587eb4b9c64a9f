// The simulated dongle's sound: a 440 Hz sine tone at about -12 dBFS, 48 kHz,
// two channels (the same sample in both), signed 16-bit little-endian PCM,
// handed out in 10 ms packets of 480 frames (1920 bytes) whose phase runs on
// from one packet to the next without a seam.
//
// 440 Hz at 48 kHz repeats after exactly 1200 samples (11 periods), so the
// tone is a table of one such cycle and the phase an index into it: it never
// drifts however long the simulator runs.
//
// A SimAudio belongs to the thread that calls sim_audio_next.
#pragma once

#include <cstdint>

inline constexpr int SIM_AUDIO_RATE = 48000;
inline constexpr int SIM_AUDIO_CHANNELS = 2;
inline constexpr int SIM_AUDIO_FREQUENCY = 440;
inline constexpr int SIM_AUDIO_PACKET_FRAMES = 480;
inline constexpr int SIM_AUDIO_PACKET_BYTES = SIM_AUDIO_PACKET_FRAMES * SIM_AUDIO_CHANNELS * 2; // 1920
inline constexpr int SIM_AUDIO_CYCLE = 1200;     // samples after which the tone repeats exactly
inline constexpr int SIM_AUDIO_AMPLITUDE = 8231; // 32767 * 10^(-12/20)

struct SimAudio {
    int16_t table[SIM_AUDIO_CYCLE];
    uint32_t phase; // index into table of the next sample
};

// Fills the table and starts at phase 0.
void sim_audio_init(SimAudio *a);

// Writes the next 10 ms packet.
void sim_audio_next(SimAudio *a, uint8_t out[SIM_AUDIO_PACKET_BYTES]);
