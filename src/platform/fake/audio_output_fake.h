// The fake audio output: records every frame it accepts, for tests.
//
// Switch it on with audio_output_use_fake(true) before the output is made.
// It behaves like the SDL output in what the caller can see: it refuses data
// that would take its queue past `max_ms`, starts "playing" once `min_ms` are
// queued, and stops again when the queue runs dry. Playing drains the queue
// at the output's rate by a clock: the real steady clock, or one the test
// installs with audio_output_fake_set_clock and moves by hand, so that a test
// never has to sleep to make time pass. audio_output_fake_set_queued_ms pins
// what audio_output_queued_ms reports, for driving the caller's hold-back.
//
// All state is process-wide (the recording spans every fake output made since
// the last reset) and guarded by one lock; every function may be called from
// any thread. The wait functions block on a condition with a deadline.
#pragma once

#include <cstdint>

struct AudioOutputFakeInfo {
    uint32_t created;          // fake outputs made since the last reset
    uint32_t destroyed;        // ... and freed
    uint32_t rate;             // the last output's rate, min_ms and max_ms
    uint32_t min_ms;
    uint32_t max_ms;
    uint64_t frames;           // frames accepted and recorded
    uint64_t dropped_frames;   // frames refused because max_ms would be passed
    uint32_t queue_calls;      // accepted queue calls
    uint64_t queued_ms_calls;  // calls of audio_output_queued_ms on a fake output
    uint64_t pending_frames;   // the live output's simulated queue
    bool playing;              // the live output has started playing
};

// Forgets the recording and the counters, unpins queued_ms and puts the
// real clock back. Outputs that are still open stay usable.
void audio_output_fake_reset(void);

void audio_output_fake_info(AudioOutputFakeInfo *info);

// Copies up to `max_frames` recorded frames (2 samples each) starting at
// frame `first` into dst. Returns the number of frames copied.
uint64_t audio_output_fake_read(int16_t *dst, uint64_t first, uint64_t max_frames);

// Copies the frame count of each accepted queue call, oldest first, up to
// `max` of them. Returns the number copied.
uint32_t audio_output_fake_calls(uint32_t *frames_per_call, uint32_t max);

// ms >= 0: the queue is taken to hold exactly that: audio_output_queued_ms
// reports it, data that would take it past max_ms is refused, and accepted
// data counts as played at once. ms < 0: the simulated queue (the default).
void audio_output_fake_set_queued_ms(int32_t ms);

// The clock that drains the simulated queue, in milliseconds; null puts the
// real steady clock back. The function is called under the fake's lock.
void audio_output_fake_set_clock(uint64_t (*now_ms)(void));

// Makes audio_output_create fail while on (the fake's creations only).
void audio_output_fake_fail_create(bool on);

// Wait until at least `frames` frames have been recorded / until
// audio_output_queued_ms has been called at least `calls` times since the
// last reset. True when reached, false at the deadline.
bool audio_output_fake_wait_frames(uint64_t frames, uint32_t timeout_ms);
bool audio_output_fake_wait_queued_ms_calls(uint64_t calls, uint32_t timeout_ms);
