#include "link/stream_stats.h"

#include <cstdio>

static uint64_t delta(uint64_t later, uint64_t earlier) { return later >= earlier ? later - earlier : 0; }

size_t stream_stats_format(const StreamStats *a, const StreamStats *b, uint64_t elapsed_us, char *out, size_t cap)
{
    if (!out || cap == 0)
        return 0;
    const double seconds = elapsed_us > 0 ? (double)elapsed_us / 1e6 : 1.0;
    const uint64_t decoded = delta(b->decoded, a->decoded);
    const uint64_t drawn = delta(b->drawn, a->drawn);
    const double decode_ms = decoded ? (double)delta(b->decode_us, a->decode_us) / (double)decoded / 1000.0 : 0.0;
    const double shown_ms = drawn ? (double)delta(b->shown_us, a->shown_us) / (double)drawn / 1000.0 : 0.0;
    int n = snprintf(out, cap,
                     "stream: %.1f received, %.1f decoded, %.1f drawn per second, %.2f Mbit/s, "
                     "fragments lost %llu resent %llu, decode %.2f ms, end-to-end %.2f ms",
                     (double)delta(b->pictures, a->pictures) / seconds, (double)decoded / seconds,
                     (double)drawn / seconds, (double)delta(b->video_bytes, a->video_bytes) * 8.0 / seconds / 1e6,
                     (unsigned long long)delta(b->lost, a->lost), (unsigned long long)delta(b->resent, a->resent),
                     decode_ms, shown_ms);
    if (n < 0)
        return 0;
    return (size_t)n < cap ? (size_t)n : cap - 1;
}

int stream_report_tick(StreamReport *r, const StreamStats *now, uint64_t now_us, char *out, size_t cap)
{
    if (!r->running || now_us < r->last_us) {
        r->running = true;
        r->last = *now;
        r->last_us = now_us;
        return 0;
    }
    if (now_us - r->last_us < STREAM_REPORT_INTERVAL_US)
        return 0;
    stream_stats_format(&r->last, now, now_us - r->last_us, out, cap);
    r->last = *now;
    r->last_us = now_us;
    return 1;
}

void stream_report_stop(StreamReport *r) { r->running = false; }
