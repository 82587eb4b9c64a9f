// Frame pacer: keeps the UI thread's frame loop at the display's refresh rate
// when presenting does not wait for vertical sync (a virtual X server, a
// driver that ignores the swap interval), so the loop sleeps instead of
// drawing as fast as the CPU allows.
//
// Frames are due on a grid of one refresh period. After each present the
// caller hands in the steady-clock time and sleeps for the answer, which is
// the time left to the frame's due time. The grid does not slide with late
// wake-ups, so the rate holds on average.
//
// When the frame is late, or due within an eighth of a period anyway, the
// answer is 0 and the grid restarts from now: a slow frame is not followed by
// a burst of catch-up frames, and when vertical sync does pace the loop each
// present returns about one period after the last, so the pacer asks for no
// sleep at all and cannot push a frame past the display's beat. It is
// therefore safe to run it on every frame, with or without vertical sync.
//
// Pure: no clock reads, no sleeping; times are microseconds on one steady
// clock (clock_steady_us). One object per frame loop, used by that thread
// only.
#pragma once

#include <cstdint>

class FramePacer {
public:
    // refresh_hz as the display mode reports it; 0, negative or above 1000
    // (unknown or nonsense) counts as 60.
    explicit FramePacer(int refresh_hz = 60);

    // A new display rate (the window moved to another monitor). Takes effect
    // from the next due time.
    void set_refresh(int refresh_hz);

    int64_t period_us(void) const { return period_; }

    // The loop is about to draw its first frame: it is due one period from now.
    void start(int64_t now_us);

    // A frame has been presented at now_us. Returns how long to sleep before
    // the next frame, 0..period_us(). Without a start(), the first call
    // returns 0 and starts the grid at now_us.
    int64_t frame_done(int64_t now_us);

private:
    int64_t period_ = 0;
    int64_t due_ = 0;        // when the current frame may end at the earliest
    bool started_ = false;
};
