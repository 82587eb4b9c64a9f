#include "ui/stats_overlay.h"

#include <cstdio>

size_t stats_overlay_format(const StreamRates *r, const OverlayInfo *info, char *out, size_t cap)
{
    if (!out || cap == 0)
        return 0;
    char proto[32];
    if (info->protocol > 0)
        std::snprintf(proto, sizeof proto, "protocol %d", info->protocol);
    else
        std::snprintf(proto, sizeof proto, "USB");
    int n = std::snprintf(out, cap,
                          "%dx%d at %.1f fps\n"
                          "per second: %.1f received, %.1f decoded, %.1f drawn\n"
                          "%.2f Mbit/s\n"
                          "fragments: %llu lost, %llu resent\n"
                          "decode %.2f ms, end-to-end %.2f ms\n"
                          "%s, %s",
                          info->width, info->height, r->received, r->received, r->decoded, r->drawn, r->mbit,
                          (unsigned long long)r->lost, (unsigned long long)r->resent, r->decode_ms, r->shown_ms,
                          proto, info->address);
    if (n < 0) {
        out[0] = 0;
        return 0;
    }
    return (size_t)n < cap ? (size_t)n : cap - 1;
}

int stats_overlay_tick(StatsOverlay *o, const StreamStats *now, uint64_t now_us, const OverlayInfo *info)
{
    if (!o->running || now_us < o->last_us) {
        o->running = true;
        o->last = *now;
        o->last_us = now_us;
        return 0;
    }
    if (now_us - o->last_us < STATS_OVERLAY_INTERVAL_US)
        return 0;
    const StreamRates r = stream_rates(&o->last, now, now_us - o->last_us);
    stats_overlay_format(&r, info, o->text, sizeof o->text);
    o->last = *now;
    o->last_us = now_us;
    return 1;
}

void stats_overlay_stop(StatsOverlay *o)
{
    o->running = false;
    o->text[0] = 0;
}
