// UI events: the window's input for Dear ImGui, carried from the main thread
// to the UI thread.
//
// The main thread owns the window and its event loop; the UI thread owns the
// Dear ImGui context. The main thread never touches ImGuiIO: it turns each
// window event into a UiEvent and queues it under the UI event lock. At the
// start of each frame, just before ImGui::NewFrame, the UI thread applies the
// queued events to ImGuiIO under the same lock.
//
// This Dear ImGui release reads input as state sampled once per frame
// (io.KeysDown[], io.MouseDown[], io.MousePos) rather than as a list of
// events, so a press and a release that both land before one frame would
// cancel out and the click or key stroke would be lost. ui_events_apply
// therefore applies events in order only as long as Dear ImGui can still tell
// what happened, and leaves the rest queued for the next frame:
//   - a second change of the same key or the same mouse button waits, so every
//     press is seen for at least one frame and its release in a later one;
//   - a key change after a button change waits (a click, then Ctrl, is not a
//     Ctrl+click);
//   - a character after a key or button change waits (text fields handle the
//     frame's characters before its keys, and a click may move the focus to
//     another field first);
//   - a mouse position after a button change or a wheel step waits, so the
//     button and the wheel act where they happened;
//   - losing the focus waits until nothing has changed in the frame, then
//     releases every key and button and ends the frame's events.
// Repeated presses of a key that is already down change nothing and never
// wait. Consecutive mouse positions collapse into the latest one when queued.
//
// Threads: the push functions are for the main thread (any thread is safe);
// ui_events_apply is for the UI thread with the Dear ImGui context current.
// Both take the UI event lock, the only lock here, and call nothing else
// while holding it. There is one queue per process.
#pragma once

#include <cstddef>
#include <cstdint>

struct ImGuiIO;

enum UiEventType : uint8_t {
    UI_EVENT_NONE = 0,
    UI_EVENT_KEY,           // code: UiKey (key_map.h); down: pressed
    UI_EVENT_CHAR,          // ch: one Unicode code point of text input
    UI_EVENT_MOUSE_POS,     // x, y: position in window pixels
    UI_EVENT_MOUSE_BUTTON,  // code: Dear ImGui button 0..4; down: pressed
    UI_EVENT_WHEEL,         // x: horizontal steps, y: vertical steps
    UI_EVENT_FOCUS,         // down: the window gained the focus (false: lost it)
};

struct UiEvent {
    UiEventType type;
    bool down;
    int16_t code;
    uint32_t ch;
    float x;
    float y;
};

// At most this many events wait; see ui_events_push.
constexpr size_t UI_EVENTS_MAX = 4096;

// Queues a copy of *ev. Returns 0 when queued; 1 when it was queued but the
// queue had been full, in which case every event queued before it was dropped
// and the next ui_events_apply first releases all keys and buttons (so no key
// stays stuck down for want of its release); -1 when the record is not valid
// (unknown type, key outside 1..UIKEY_COUNT-1, button outside 0..4, code point
// 0 or above 0x10FFFF, a wheel step that is not finite), nothing queued then.
int ui_events_push(const UiEvent &ev);

// Convenience forms of ui_events_push for each kind of event.
int ui_events_push_key(int key, bool down);
int ui_events_push_char(uint32_t ch);
// Positions are window pixels: ui_events_apply divides them by the frame's
// framebuffer scale (1 when that is not positive). A position that is not
// finite or lies at or below -256000 means "no mouse" and reaches Dear ImGui
// as (-FLT_MAX, -FLT_MAX).
int ui_events_push_mouse_pos(float x, float y);
int ui_events_push_mouse_button(int button, bool down);
// One wheel step per axis, whatever the magnitude: +1 for positive y (away
// from the operator), -1 for negative y, none for 0; likewise for x with
// SDL's sign (positive to the right), which this Dear ImGui release's own SDL
// support also uses. A purely horizontal scroll gives no vertical step.
// Returns 0 without queueing anything when both are 0.
int ui_events_push_scroll(int x, int y);
int ui_events_push_focus(bool gained);

// Decodes the NUL-terminated UTF-8 text of one text-input event and queues one
// UI_EVENT_CHAR per character, reading at most max_bytes bytes. A malformed
// sequence gives U+FFFD for its first byte and decoding goes on with the next.
// Returns the number of characters queued, or -1 when text is null.
int ui_events_push_text(const char *text, size_t max_bytes);

// Decodes one UTF-8 sequence from data[0..len). Returns the bytes consumed
// (1..4; 0 only when len is 0) and stores the code point in *cp: U+FFFD for a
// malformed, cut, overlong or surrogate sequence or one above U+10FFFF, in
// which case exactly one byte is consumed. Pure; never reads past data+len.
size_t ui_utf8_decode(const uint8_t *data, size_t len, uint32_t *cp);

// Applies the queued events to io as described above, removes the applied
// ones from the queue and returns how many it applied. Call it once per frame
// on the UI thread before ImGui::NewFrame; io.DisplayFramebufferScale must
// already hold this frame's scale. Also keeps io.KeyCtrl, KeyShift, KeyAlt
// and KeySuper equal to "either key of the pair is down".
int ui_events_apply(ImGuiIO &io);

// The UI thread's sleep between frames: returns true when ui_events_wake is
// called or, with on_events, when an event is pushed (or waits); false after
// timeout_us. A wake (or push) since the previous wait returns at once, so
// none is missed. UI thread only.
bool ui_events_wait(int64_t timeout_us, bool on_events);
// Ends the UI thread's wait early: something it must draw has happened (a new
// picture, a link report). Any thread.
void ui_events_wake(void);

// Number of events waiting.
size_t ui_events_pending(void);

// Drops every queued event and a pending release, e.g. when a new Dear ImGui
// context takes over.
void ui_events_clear(void);
