// AudioRing: the PCM buffer between the threads that receive audio and the
// audio player thread that feeds the audio output.
//
// The receiving threads (datagram receiver, connection thread) push the
// device's signed 16-bit interleaved PCM bytes as they arrive; the player
// takes them out in 10 ms pieces of whole frames and queues them to the
// output as 2-channel frames, keeping at most about 130 ms queued there so
// that sound stays close to the picture. Mono is played on both channels;
// of more than two channels the first two are played.
//
// Format changes: set format with the format in force and an output open
// does nothing; any other format discards what is buffered and opens a new
// output (60 ms to start, 150 ms at most). Channels or rate of 0, or a format
// outside 1..8 channels and 1000..384000 Hz, stops the output instead.
//
// When the producers outrun the player the oldest bytes are dropped: the
// ring always holds the newest (at most AUDIO_RING_SIZE) bytes, in order.
//
// Threads and locks:
// - audio_ring_create starts the player; audio_ring_destroy stops and joins
//   it. Neither may run concurrently with any other call on the ring.
// - set format, push and stop output may be called from any thread. The
//   link holds its audio_lock around them so that a format change and a
//   push never interleave; the ring's own `lock` is taken inside it.
// - `lock` guards every field from `wake` on; the output is created,
//   destroyed and fed only under it, so the player never queues into an
//   output that a format change is replacing, nor old-format data into the
//   new one.
// - The player publishes its semaphore in `wake` under `lock` before it
//   waits; producers release it only while published (semaphore.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "base/semaphore.h"

// Where the player puts its 2-channel frames: the link plugs in the
// platform's audio output. open gives null when no output can be had; queue
// and queued_ms are called on the player thread under the ring's lock.
struct AudioRingOutput {
    void *(*open)(uint32_t rate, uint32_t min_ms, uint32_t max_ms);
    void (*close)(void *output);
    bool (*queue)(void *output, const int16_t *frames, uint32_t count);
    uint32_t (*queued_ms)(void *output);
};

enum : uint32_t {
    AUDIO_RING_SIZE = 131072,
    AUDIO_RING_MIN_MS = 60,    // output buffering before playback starts
    AUDIO_RING_MAX_MS = 150,   // most the output may hold
    AUDIO_RING_HOLD_MS = 130,  // the player waits while the output holds more
    AUDIO_RING_MAX_CHANNELS = 8,
    AUDIO_RING_MIN_RATE = 1000,
    AUDIO_RING_MAX_RATE = 384000,
};

struct AudioRing {
    uint32_t channels;  // announced by the device
    uint32_t bits;      // always 16
    uint32_t rate;      // Hz
    std::mutex lock;
    Semaphore *wake;    // the player's semaphore while it waits, else null
    uint8_t buffer[AUDIO_RING_SIZE];
    std::thread player;
    uint32_t available;  // bytes written and not yet played, <= AUDIO_RING_SIZE
    uint32_t threshold;  // bytes of 10 ms of the announced format
    uint32_t write_pos;  // < AUDIO_RING_SIZE
    uint32_t read_pos;   // < AUDIO_RING_SIZE
    std::atomic<uint32_t> enabled;  // an output exists and data is accepted
    std::atomic<uint32_t> stop;     // the player is to end
    AudioRingOutput out;
    void *output;
};

// Makes an empty, disabled ring playing into `out` (copied) and starts its
// player thread. Null when out is incomplete or memory or a thread cannot
// be had.
AudioRing *audio_ring_create(const AudioRingOutput *out);

// Stops the player (waking it when it waits), joins it, closes the output
// and frees the ring; sets *r to null. Null or an already-null pointer is
// fine.
void audio_ring_destroy(AudioRing **r);

// Announces the PCM format of what follows (16-bit samples assumed).
void audio_ring_set_format(AudioRing *r, uint32_t channels, uint32_t rate);

// Appends n bytes of PCM; dropped while no output is open.
void audio_ring_push(AudioRing *r, const uint8_t *data, uint32_t n);

// Closes the output, discards what is buffered and drops pushes until the
// next set format.
void audio_ring_stop_output(AudioRing *r);
