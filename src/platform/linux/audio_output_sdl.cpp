// Audio output on an SDL2 audio device in queue mode (no callback): SDL's
// own audio thread pulls from the queue that audio_output_queue fills.
//
// The device opens paused; it is unpaused once `min_ms` are queued, and
// paused again when a queue call finds it ran dry, so that playback restarts
// only with `min_ms` in hand. Data that would take the queue past `max_ms`
// is dropped whole rather than clearing the queue: what is queued is older
// and keeps the sound continuous, and the audio player already keeps the
// queue below that mark.
#include <SDL.h>

#include <cstdlib>
#include <mutex>

#include "platform/audio_output.h"

namespace {

struct SdlOutput {
    AudioOutput base;  // first: the generic functions see an AudioOutput
    SDL_AudioDeviceID device;
    uint32_t rate;
    uint64_t min_bytes;
    uint64_t max_bytes;
    bool playing;
};

// SDL_InitSubSystem is not thread-safe; outputs may be made on the receiver
// and the connection threads. One count for all outputs of the process.
std::mutex g_sdl_lock;
uint32_t g_sdl_users;

bool sdl_audio_acquire(void)
{
    std::lock_guard<std::mutex> g(g_sdl_lock);
    if (g_sdl_users == 0 && SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
        return false;
    g_sdl_users++;
    return true;
}

void sdl_audio_release(void)
{
    std::lock_guard<std::mutex> g(g_sdl_lock);
    if (g_sdl_users > 0 && --g_sdl_users == 0)
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

const uint32_t kBytesPerFrame = 4;  // 2 channels of 16 bits

uint64_t ms_to_bytes(uint32_t rate, uint32_t ms) { return (uint64_t)rate * ms / 1000 * kBytesPerFrame; }

// A device buffer of about 10 ms: SDL wants a power of two in frames.
uint16_t buffer_frames(uint32_t rate)
{
    uint32_t want = rate / 100;
    uint32_t frames = 64;
    while (frames < want && frames < 8192)
        frames <<= 1;
    return (uint16_t)frames;
}

AudioOutput *sdl_create(uint32_t rate, uint32_t min_ms, uint32_t max_ms)
{
    if (!sdl_audio_acquire())
        return nullptr;

    SDL_AudioSpec want;
    SDL_zero(want);
    want.freq = (int)rate;
    want.format = AUDIO_S16SYS;  // the frames are native int16 (AUDIO_S16LSB on our hosts)
    want.channels = 2;
    want.samples = buffer_frames(rate);
    want.callback = nullptr;  // queue mode
    SDL_AudioSpec have;
    // No allowed changes: SDL converts to whatever the hardware wants, so the
    // queue and its byte counts stay in the format asked for.
    SDL_AudioDeviceID dev = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (dev == 0) {
        sdl_audio_release();
        return nullptr;
    }

    SdlOutput *o = (SdlOutput *)std::calloc(1, sizeof(SdlOutput));
    if (!o) {
        SDL_CloseAudioDevice(dev);
        sdl_audio_release();
        return nullptr;
    }
    o->device = dev;
    o->rate = rate;
    o->min_bytes = ms_to_bytes(rate, min_ms);
    o->max_bytes = ms_to_bytes(rate, max_ms);
    o->playing = false;
    return &o->base;
}

void sdl_destroy(AudioOutput *base)
{
    SdlOutput *o = (SdlOutput *)base;
    SDL_CloseAudioDevice(o->device);  // joins SDL's audio thread, drops the queue
    std::free(o);
    sdl_audio_release();
}

bool sdl_queue(AudioOutput *base, const int16_t *frames, uint32_t count)
{
    SdlOutput *o = (SdlOutput *)base;
    uint64_t queued = SDL_GetQueuedAudioSize(o->device);
    if (o->playing && queued == 0) {
        SDL_PauseAudioDevice(o->device, 1);
        o->playing = false;
    }
    uint64_t bytes = (uint64_t)count * kBytesPerFrame;
    if (queued + bytes > o->max_bytes || bytes > UINT32_MAX)
        return false;
    if (SDL_QueueAudio(o->device, frames, (Uint32)bytes) != 0)
        return false;
    if (!o->playing && queued + bytes >= o->min_bytes) {
        SDL_PauseAudioDevice(o->device, 0);
        o->playing = true;
    }
    return true;
}

uint32_t sdl_queued_ms(AudioOutput *base)
{
    SdlOutput *o = (SdlOutput *)base;
    uint64_t queued = SDL_GetQueuedAudioSize(o->device);
    return (uint32_t)(queued / kBytesPerFrame * 1000 / o->rate);
}

}  // namespace

const AudioOutputBackend audio_output_sdl_backend = {sdl_create, sdl_destroy, sdl_queue, sdl_queued_ms};
