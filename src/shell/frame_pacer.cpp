#include "shell/frame_pacer.h"

namespace {

constexpr int DEFAULT_HZ = 60;
constexpr int MAX_HZ = 1000;

int64_t period_for(int hz)
{
    if (hz <= 0 || hz > MAX_HZ)
        hz = DEFAULT_HZ;
    return (1000000 + hz / 2) / hz;
}

} // namespace

FramePacer::FramePacer(int refresh_hz) : period_(period_for(refresh_hz)) {}

void FramePacer::set_refresh(int refresh_hz)
{
    period_ = period_for(refresh_hz);
}

void FramePacer::start(int64_t now_us)
{
    due_ = now_us + period_;
    started_ = true;
}

int64_t FramePacer::frame_done(int64_t now_us)
{
    if (!started_) {
        start(now_us);
        return 0;
    }
    const int64_t left = due_ - now_us;
    // Late, or so close that sleeping would only miss a vertical sync: go on
    // now. More than a period ahead means the grid no longer fits the clock
    // (the rate dropped, or the caller's times jumped): restart it as well,
    // sleeping one period at most.
    if (left <= period_ / 8) {
        due_ = now_us + period_;
        return 0;
    }
    if (left > period_) {
        due_ = now_us + 2 * period_;
        return period_;
    }
    due_ += period_;
    return left;
}
