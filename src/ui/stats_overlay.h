// The statistics overlay's text: what the statistics line says (the same
// counters and rates, stream_stats.h) plus the picture size, the protocol
// generation and the dongle's address, one item a line. Refreshed twice a
// second from the snapshots the UI thread takes every frame. Pure; the
// drawing is StreamTools'.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/stream_stats.h"

enum { STATS_OVERLAY_INTERVAL_US = 500000 };

struct OverlayInfo {
    int width, height; // the picture's size
    int protocol;      // 1 or 2; 0 for a dongle on USB
    char address[128]; // the dongle's address or USB location
};

// The overlay's lines for the rates of one period, cut to fit cap. Returns
// the length written.
size_t stats_overlay_format(const StreamRates *r, const OverlayInfo *info, char *out, size_t cap);

struct StatsOverlay {
    StreamStats last;
    uint64_t last_us;
    bool running;
    char text[512]; // the lines shown; empty before the first period ends
};

// Once per frame while streaming: the first call starts a period; when
// STATS_OVERLAY_INTERVAL_US have passed the text is made for it, the next
// period starts and 1 is returned. Otherwise 0.
int stats_overlay_tick(StatsOverlay *o, const StreamStats *now, uint64_t now_us, const OverlayInfo *info);
// While not streaming: the text goes and the next tick starts afresh.
void stats_overlay_stop(StatsOverlay *o);
