// The fake audio output backend; see audio_output_fake.h.
#include "platform/fake/audio_output_fake.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/audio_output.h"

namespace {

struct FakeOutput {
    AudioOutput base;  // first: the generic functions see an AudioOutput
    uint32_t rate;
    uint64_t min_frames;
    uint64_t max_frames;
    uint64_t pending;  // simulated device queue, in frames
    uint64_t last_ms;  // clock reading up to which the queue has been drained
    bool playing;
};

uint64_t steady_ms(void)
{
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct FakeState {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<int16_t> samples;
    std::vector<uint32_t> calls;
    AudioOutputFakeInfo info{};
    FakeOutput *live = nullptr;  // the most recently created output still open
    int32_t pinned_ms = -1;
    bool fail_create = false;
    uint64_t (*now_ms)(void) = steady_ms;
};

FakeState &state(void)
{
    static FakeState s;
    return s;
}

// Plays what the clock says has been played since the last look. Called
// with the lock held.
void drain(FakeState &s, FakeOutput *o)
{
    uint64_t now = s.now_ms();
    if (!o->playing) {
        o->last_ms = now;
        return;
    }
    if (now <= o->last_ms)
        return;
    uint64_t played = (now - o->last_ms) * o->rate / 1000;
    if (played == 0)
        return;  // keep last_ms so that short steps add up
    o->last_ms = now;
    o->pending -= std::min(played, o->pending);
}

AudioOutput *fake_create(uint32_t rate, uint32_t min_ms, uint32_t max_ms)
{
    FakeState &s = state();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.fail_create)
        return nullptr;
    FakeOutput *o = new (std::nothrow) FakeOutput{};
    if (!o)
        return nullptr;
    o->rate = rate;
    o->min_frames = (uint64_t)rate * min_ms / 1000;
    o->max_frames = (uint64_t)rate * max_ms / 1000;
    o->last_ms = s.now_ms();
    s.live = o;
    s.info.created++;
    s.info.rate = rate;
    s.info.min_ms = min_ms;
    s.info.max_ms = max_ms;
    s.changed.notify_all();
    return &o->base;
}

void fake_destroy(AudioOutput *base)
{
    FakeOutput *o = (FakeOutput *)base;
    FakeState &s = state();
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (s.live == o)
            s.live = nullptr;
        s.info.destroyed++;
        s.changed.notify_all();
    }
    delete o;
}

bool fake_queue(AudioOutput *base, const int16_t *frames, uint32_t count)
{
    FakeOutput *o = (FakeOutput *)base;
    FakeState &s = state();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.pinned_ms >= 0) {
        // A pinned duration stands for the whole queue: it decides refusal,
        // and what is accepted counts as played at once.
        if ((uint64_t)s.pinned_ms * o->rate / 1000 + count > o->max_frames) {
            s.info.dropped_frames += count;
            return false;
        }
    } else {
        drain(s, o);
        if (o->playing && o->pending == 0)
            o->playing = false;  // ran dry: wait for min_ms again
        if (o->pending + count > o->max_frames) {
            s.info.dropped_frames += count;
            return false;
        }
        o->pending += count;
        if (!o->playing && o->pending >= o->min_frames) {
            o->playing = true;
            o->last_ms = s.now_ms();
        }
    }
    s.samples.insert(s.samples.end(), frames, frames + (size_t)count * 2);
    s.calls.push_back(count);
    s.info.frames += count;
    s.info.queue_calls++;
    s.changed.notify_all();
    return true;
}

uint32_t fake_queued_ms(AudioOutput *base)
{
    FakeOutput *o = (FakeOutput *)base;
    FakeState &s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.info.queued_ms_calls++;
    s.changed.notify_all();
    if (s.pinned_ms >= 0)
        return (uint32_t)s.pinned_ms;
    drain(s, o);
    return (uint32_t)(o->pending * 1000 / o->rate);
}

template <typename Pred>
bool wait_for(uint32_t timeout_ms, Pred pred)
{
    FakeState &s = state();
    std::unique_lock<std::mutex> g(s.lock);
    return s.changed.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] { return pred(s); });
}

}  // namespace

const AudioOutputBackend audio_output_fake_backend = {fake_create, fake_destroy, fake_queue, fake_queued_ms};

void audio_output_fake_reset(void)
{
    FakeState &s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.samples.clear();
    s.calls.clear();
    s.info = AudioOutputFakeInfo{};
    s.pinned_ms = -1;
    s.fail_create = false;
    s.now_ms = steady_ms;
    if (s.live)
        s.live->last_ms = s.now_ms();
}

void audio_output_fake_info(AudioOutputFakeInfo *info)
{
    FakeState &s = state();
    std::lock_guard<std::mutex> g(s.lock);
    *info = s.info;
    if (s.live) {
        drain(s, s.live);
        info->pending_frames = s.live->pending;
        info->playing = s.live->playing;
    } else {
        info->pending_frames = 0;
        info->playing = false;
    }
}

uint64_t audio_output_fake_read(int16_t *dst, uint64_t first, uint64_t max_frames)
{
    FakeState &s = state();
    std::lock_guard<std::mutex> g(s.lock);
    uint64_t total = s.samples.size() / 2;
    if (first >= total)
        return 0;
    uint64_t n = std::min(max_frames, total - first);
    std::memcpy(dst, s.samples.data() + first * 2, (size_t)n * 2 * sizeof(int16_t));
    return n;
}

uint32_t audio_output_fake_calls(uint32_t *frames_per_call, uint32_t max)
{
    FakeState &s = state();
    std::lock_guard<std::mutex> g(s.lock);
    uint32_t n = (uint32_t)std::min<size_t>(max, s.calls.size());
    std::copy(s.calls.begin(), s.calls.begin() + n, frames_per_call);
    return n;
}

void audio_output_fake_set_queued_ms(int32_t ms)
{
    FakeState &s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.pinned_ms = ms < 0 ? -1 : ms;
}

void audio_output_fake_set_clock(uint64_t (*now_ms)(void))
{
    FakeState &s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.now_ms = now_ms ? now_ms : steady_ms;
    // A new clock has a new origin: what has been drained so far stands.
    if (s.live)
        s.live->last_ms = s.now_ms();
}

void audio_output_fake_fail_create(bool on)
{
    FakeState &s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.fail_create = on;
}

bool audio_output_fake_wait_frames(uint64_t frames, uint32_t timeout_ms)
{
    return wait_for(timeout_ms, [frames](FakeState &s) { return s.info.frames >= frames; });
}

bool audio_output_fake_wait_queued_ms_calls(uint64_t calls, uint32_t timeout_ms)
{
    return wait_for(timeout_ms, [calls](FakeState &s) { return s.info.queued_ms_calls >= calls; });
}
