// Mouse entries and coalesced mouse reports.
//
// The input thread turns every relative mouse sample into one 4-byte entry
// (mouse_make_entry) and queues it; once per frame the UI thread merges the
// queued entries into as few 5-byte reports as the +-127 limit allows
// (mouse_coalesce): 0x02, buttons, dx, dy, wheel, bytes 1-4 in USB HID mouse
// report layout. The queue, its lock and the connected / input-on / ui-focus
// checks belong to the caller.
//
// All functions are pure over caller-owned buffers and may be called from any
// thread.
#pragma once

#include "platform/input_source.h"

#include <cstddef>
#include <cstdint>

constexpr size_t MOUSE_REPORT_SIZE = 5;
constexpr uint8_t MOUSE_REPORT_KIND = 0x02;

constexpr uint8_t MOUSE_BUTTON_LEFT = 0x01;
constexpr uint8_t MOUSE_BUTTON_RIGHT = 0x02;
constexpr uint8_t MOUSE_BUTTON_MIDDLE = 0x04;

// One queued sample: buttons (bit 0 left, 1 right, 2 middle), motion clamped
// to -127..127, wheel +1 (away from the operator), -1 (towards) or 0.
struct MouseEntry {
    uint8_t buttons;
    int8_t dx, dy, wheel;
};


// v clamped to -127..127 (never -128). Motion past the limit is lost.
int8_t mouse_clamp(int32_t v);

// Builds *out from s. Returns false when the entry must be dropped: the
// buttons are exactly right-alone while left Ctrl is held (left_ctrl, bit 0 of
// the last keyboard modifier byte) -- that click is the release gesture and
// never reaches the target. *out is written either way.
bool mouse_make_entry(const MouseSample &s, bool left_ctrl, MouseEntry *out);

// Merges entries[0..n) in order into reports, writing at most cap of them:
// - a wheel entry always goes alone;
// - otherwise a run of entries with the same buttons and no wheel becomes one
//   report with the summed motion, the run ending before the entry that would
//   bring either sum past 127 in magnitude (so a button change always starts a
//   new report and no report carries more than 127 counts per axis).
// Returns the number of reports written. *consumed (may be null) receives the
// number of leading entries those reports cover; when cap runs out first it is
// below n and the caller keeps entries[*consumed..n) for the next flush. With
// cap >= n every entry is consumed.
size_t mouse_coalesce(const MouseEntry *entries, size_t n, uint8_t (*reports)[MOUSE_REPORT_SIZE], size_t cap,
                      size_t *consumed);

// The report with nothing pressed and no motion: 02 00 00 00 00. Sent right
// after the keyboard's all-released report when input is switched off.
void mouse_released_report(uint8_t out[5]);
