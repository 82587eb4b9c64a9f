#include "sim_audio.h"

#include <cmath>

#include "base/bytes.h"

void sim_audio_init(SimAudio *a)
{
    const double two_pi = 6.283185307179586476925;
    for (int i = 0; i < SIM_AUDIO_CYCLE; i++) {
        double s = std::sin(two_pi * SIM_AUDIO_FREQUENCY * i / SIM_AUDIO_RATE);
        a->table[i] = (int16_t)std::lround(SIM_AUDIO_AMPLITUDE * s);
    }
    a->phase = 0;
}

void sim_audio_next(SimAudio *a, uint8_t out[SIM_AUDIO_PACKET_BYTES])
{
    uint8_t *p = out;
    for (int i = 0; i < SIM_AUDIO_PACKET_FRAMES; i++) {
        uint16_t s = (uint16_t)a->table[a->phase];
        for (int c = 0; c < SIM_AUDIO_CHANNELS; c++, p += 2)
            wr_le16(p, s);
        a->phase = (a->phase + 1) % SIM_AUDIO_CYCLE;
    }
}
