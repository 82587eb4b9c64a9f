// Picks the backend at creation and forwards every call to the output's own
// backend, so that switching to the fake never reroutes a live SDL output.
#include "platform/audio_output.h"

#include <atomic>

static std::atomic<bool> g_use_fake{false};

void audio_output_use_fake(bool on) { g_use_fake.store(on); }

bool audio_output_fake_in_use(void) { return g_use_fake.load(); }

AudioOutput *audio_output_create(uint32_t rate, uint32_t min_ms, uint32_t max_ms)
{
    if (rate == 0 || max_ms == 0)
        return nullptr;
    if (min_ms > max_ms)
        min_ms = max_ms;
    const AudioOutputBackend *b = g_use_fake.load() ? &audio_output_fake_backend : &audio_output_sdl_backend;
    AudioOutput *o = b->create(rate, min_ms, max_ms);
    if (o)
        o->backend = b;
    return o;
}

void audio_output_destroy(AudioOutput **o)
{
    if (!o || !*o)
        return;
    AudioOutput *out = *o;
    *o = nullptr;
    out->backend->destroy(out);
}

bool audio_output_queue(AudioOutput *o, const int16_t *frames, uint32_t count)
{
    if (!o || (!frames && count > 0))
        return false;
    if (count == 0)
        return true;
    return o->backend->queue(o, frames, count);
}

uint32_t audio_output_queued_ms(AudioOutput *o)
{
    if (!o)
        return 0;
    return o->backend->queued_ms(o);
}
