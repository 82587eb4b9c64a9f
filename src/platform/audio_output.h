// Audio output: plays 2-channel signed 16-bit PCM at a fixed sample rate.
//
// The caller queues frames (one frame = left sample, right sample, native
// byte order) and asks how much is still queued; the output starts playing
// once `min_ms` are buffered and refuses data that would take the queue past
// `max_ms` (the new data is dropped whole, what is already queued keeps
// playing). When the queue runs dry while playing, the output stops and waits
// for `min_ms` again, so that an underrun turns into one short gap instead of
// a stutter of tiny pieces.
//
// Two backends sit behind these functions: the SDL2 audio device
// (linux/audio_output_sdl.cpp) and a fake that records what it is given
// (fake/audio_output_fake.h) for tests. The backend is chosen when an output
// is created, from the process-wide switch audio_output_use_fake.
//
// Threads: create and destroy may be called from any thread; queue and
// queued_ms from any thread as well, but calls on one output must not overlap
// with its destroy (the audio ring serialises all of them under its lock).
// The SDL backend starts SDL's audio subsystem with the first output and
// quits it with the last; a program that also uses SDL elsewhere initialises
// SDL on its main thread before the first output is created.
#pragma once

#include <cstdint>

struct AudioOutputBackend;

// The head of every backend's output record; the backend's own fields follow.
struct AudioOutput {
    const AudioOutputBackend *backend;
};

// Opens an output for `rate` Hz, 2 channels, 16-bit. `min_ms` is the amount
// that must be queued before playback starts, `max_ms` the most the queue may
// hold. Returns null when the rate is 0, max_ms is 0, or the device cannot be
// opened.
AudioOutput *audio_output_create(uint32_t rate, uint32_t min_ms, uint32_t max_ms);

// Stops playback, frees the output and sets *o to null. Null or an
// already-null pointer is fine.
void audio_output_destroy(AudioOutput **o);

// Queues `count` 2-channel frames (2 * count samples). Returns true when the
// frames were queued; false for a null output, null frames with a nonzero
// count, a device error, or when the queue would hold more than `max_ms`
// (nothing is queued then). A count of 0 queues nothing and returns true.
bool audio_output_queue(AudioOutput *o, const int16_t *frames, uint32_t count);

// Milliseconds of audio queued and not yet played (rounded down); 0 for null.
uint32_t audio_output_queued_ms(AudioOutput *o);

// Process-wide switch: outputs created while it is on use the fake backend.
// Outputs that already exist keep their backend. Off at start.
void audio_output_use_fake(bool on);
bool audio_output_fake_in_use(void);

// Backend table; each backend defines one. Not for callers.
struct AudioOutputBackend {
    AudioOutput *(*create)(uint32_t rate, uint32_t min_ms, uint32_t max_ms);
    void (*destroy)(AudioOutput *o);
    bool (*queue)(AudioOutput *o, const int16_t *frames, uint32_t count);
    uint32_t (*queued_ms)(AudioOutput *o);
};

extern const AudioOutputBackend audio_output_sdl_backend;
extern const AudioOutputBackend audio_output_fake_backend;
