// Stream statistics: running totals of what the link received, decoded and
// the window drew, and the line the viewer prints from them every 5 s while
// it streams.
//
// The receiver thread counts datagrams, fragments and pictures in the link's
// atomics; the decoder counts decoded pictures and their decode time; the UI
// thread counts the pictures it drew and how long each took from its first
// fragment to the swap. link_stream_stats() (link.h) gathers the first two
// into a snapshot; the UI thread adds its own part and hands the snapshot to
// stream_report_tick() once per frame. The report and the formatting are pure.
#pragma once

#include <cstddef>
#include <cstdint>

struct StreamStats {
    uint64_t datagrams;   // stream datagrams from the target
    uint64_t video_bytes; // payload bytes of new video fragments
    uint64_t fragments;   // new video fragments stored
    uint64_t duplicates;  // video fragments that were there already
    uint64_t resent;      // new fragments that came after a later one of their picture:
                          // the device's resend of what an acknowledgement lacked (or reordering)
    uint64_t lost;        // fragments still missing from pictures given up unfinished
    uint64_t pictures;    // pictures completed
    uint64_t abandoned;   // pictures given up unfinished
    uint64_t decoded;     // pictures decoded
    uint64_t decode_us;   // sum of last fragment -> decoded over them
    uint64_t drawn;       // pictures drawn (UI thread)
    uint64_t shown_us;    // sum of first fragment -> swap over them (UI thread)
};

// One line comparing two snapshots taken elapsed_us apart ("later" minus
// "earlier"), without a line end, cut to fit cap. Rates are per second;
// averages are 0 when nothing was counted. Returns the length written.
size_t stream_stats_format(const StreamStats *earlier, const StreamStats *later, uint64_t elapsed_us, char *out,
                           size_t cap);

enum { STREAM_REPORT_INTERVAL_US = 5000000 };

struct StreamReport {
    StreamStats last;
    uint64_t last_us;
    bool running;
};

// Once per UI frame while the link streams: the first call starts a period;
// when a period of STREAM_REPORT_INTERVAL_US has passed the line for it is
// written to out, the next period starts, and 1 is returned. Otherwise 0.
int stream_report_tick(StreamReport *r, const StreamStats *now, uint64_t now_us, char *out, size_t cap);
// While not streaming: the next tick starts a fresh period.
void stream_report_stop(StreamReport *r);
