#include "media/audio_ring.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <system_error>
#include <vector>

#include "base/bytes.h"

namespace {

const uint32_t kMaxPieceFrames = AUDIO_RING_MAX_RATE / 100;
const uint32_t kMaxFrameBytes = AUDIO_RING_MAX_CHANNELS * 2;

bool format_playable(uint32_t channels, uint32_t rate)
{
    return channels >= 1 && channels <= AUDIO_RING_MAX_CHANNELS && rate >= AUDIO_RING_MIN_RATE &&
           rate <= AUDIO_RING_MAX_RATE;
}

uint32_t frame_bytes(const AudioRing *r) { return r->channels * 2; }

// The ring holds whole frames only, so that dropping the oldest bytes never
// splits a frame: 131072 is not a multiple of 6, 10, 12 or 14.
uint32_t capacity(const AudioRing *r) { return AUDIO_RING_SIZE - AUDIO_RING_SIZE % frame_bytes(r); }

// Called with the lock held.
void wake_player(AudioRing *r)
{
    if (r->wake)
        semaphore_release(r->wake);
}

void discard_buffered(AudioRing *r)
{
    r->available = 0;
    r->write_pos = 0;
    r->read_pos = 0;
}

void close_output(AudioRing *r)
{
    if (r->output)
        r->out.close(r->output);
    r->output = nullptr;
}

void stop_output_locked(AudioRing *r)
{
    r->enabled.store(0);
    close_output(r);
    discard_buffered(r);
    wake_player(r);
}

// Copies n bytes from read_pos on, wrapping at the end of the buffer.
void ring_read(AudioRing *r, uint8_t *dst, uint32_t n)
{
    uint32_t first = std::min(n, AUDIO_RING_SIZE - r->read_pos);
    std::memcpy(dst, r->buffer + r->read_pos, first);
    std::memcpy(dst + first, r->buffer, n - first);
    r->read_pos = (r->read_pos + n) % AUDIO_RING_SIZE;
    r->available -= n;
}

// The output takes 2-channel frames: mono goes to both channels, of more
// channels the first two are kept. Samples arrive little-endian.
void to_stereo(const uint8_t *src, uint32_t frames, uint32_t channels, int16_t *dst)
{
    uint32_t step = channels * 2;
    for (uint32_t i = 0; i < frames; i++, src += step) {
        int16_t left = (int16_t)rd_le16(src);
        int16_t right = channels == 1 ? left : (int16_t)rd_le16(src + 2);
        dst[2 * i] = left;
        dst[2 * i + 1] = right;
    }
}

void player_main(AudioRing *r)
{
    Semaphore sem;
    std::vector<uint8_t> piece((size_t)kMaxPieceFrames * kMaxFrameBytes);
    std::vector<int16_t> stereo((size_t)kMaxPieceFrames * 2);

    for (;;) {
        std::unique_lock<std::mutex> g(r->lock);
        // Tested under the lock so that a destroy between this test and the
        // wait below still finds `wake` published and releases it.
        if (r->stop.load())
            break;
        if (!r->enabled.load() || r->available < r->threshold) {
            r->wake = &sem;
            g.unlock();
            semaphore_wait(&sem, -1);
            g.lock();
            r->wake = nullptr;
            continue;
        }
        if (r->out.queued_ms(r->output) > AUDIO_RING_HOLD_MS) {
            g.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        // 10 ms of the announced format in whole frames; a partial frame
        // left by an odd-sized push waits for the rest of its bytes.
        uint32_t fb = frame_bytes(r);
        uint32_t whole = r->available - r->available % fb;
        uint32_t take = std::min((r->rate / 100) * fb, whole);
        ring_read(r, piece.data(), take);
        uint32_t frames = take / fb;
        to_stereo(piece.data(), frames, r->channels, stereo.data());
        // Queued under the lock: a format change or stop on another thread
        // must not destroy the output during the call, nor this piece of the
        // old format reach the output of the new one.
        r->out.queue(r->output, stereo.data(), frames);
    }
}

}  // namespace

AudioRing *audio_ring_create(const AudioRingOutput *out)
{
    if (!out || !out->open || !out->close || !out->queue || !out->queued_ms)
        return nullptr;
    AudioRing *r = new (std::nothrow) AudioRing{};
    if (!r)
        return nullptr;
    r->out = *out;
    r->bits = 16;
    try {
        r->player = std::thread(player_main, r);
    } catch (const std::system_error &) {
        delete r;
        return nullptr;
    }
    return r;
}

void audio_ring_destroy(AudioRing **pr)
{
    if (!pr || !*pr)
        return;
    AudioRing *r = *pr;
    *pr = nullptr;
    {
        std::lock_guard<std::mutex> g(r->lock);
        r->stop.store(1);
        wake_player(r);
    }
    if (r->player.joinable())
        r->player.join();
    r->enabled.store(0);
    close_output(r);
    delete r;
}

void audio_ring_set_format(AudioRing *r, uint32_t channels, uint32_t rate)
{
    if (!r)
        return;
    std::lock_guard<std::mutex> g(r->lock);
    if (!format_playable(channels, rate)) {
        stop_output_locked(r);
        return;
    }
    if (r->enabled.load() && r->channels == channels && r->bits == 16 && r->rate == rate)
        return;
    r->channels = channels;
    r->bits = 16;
    r->rate = rate;
    discard_buffered(r);
    // channels * rate * 16 / 800: the bytes of 10 ms; at least 10 frames
    // within the accepted formats, so a piece is never empty.
    r->threshold = (uint32_t)((uint64_t)channels * rate * 16 / 800);
    r->enabled.store(0);
    close_output(r);
    r->output = r->out.open(rate, AUDIO_RING_MIN_MS, AUDIO_RING_MAX_MS);
    r->enabled.store(r->output ? 1 : 0);
    wake_player(r);
}

void audio_ring_push(AudioRing *r, const uint8_t *data, uint32_t n)
{
    if (!r || !data || n == 0)
        return;
    std::lock_guard<std::mutex> g(r->lock);
    if (!r->enabled.load())
        return;
    uint32_t cap = capacity(r);
    if (n > cap) {
        // Only the newest bytes can stay: everything older goes.
        data += n - cap;
        n = cap;
        r->read_pos = r->write_pos;
        r->available = 0;
    } else if (r->available + n > cap) {
        uint32_t drop = r->available + n - cap;
        r->read_pos = (r->read_pos + drop) % AUDIO_RING_SIZE;
        r->available -= drop;
    }
    uint32_t first = std::min(n, AUDIO_RING_SIZE - r->write_pos);
    std::memcpy(r->buffer + r->write_pos, data, first);
    std::memcpy(r->buffer, data + first, n - first);
    r->write_pos = (r->write_pos + n) % AUDIO_RING_SIZE;
    r->available += n;
    wake_player(r);
}

void audio_ring_stop_output(AudioRing *r)
{
    if (!r)
        return;
    std::lock_guard<std::mutex> g(r->lock);
    stop_output_locked(r);
}
