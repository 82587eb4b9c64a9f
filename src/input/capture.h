// The pointer and keyboard capture rules and the release gesture, as pure
// decisions: the main thread feeds them the current flags each iteration (or
// each window event) and applies what they return to the window.
//
// Threads: pure functions on caller-owned records; the main thread is their
// only caller in the program.
#pragma once

#include <cstdint>

// What the capture rules look at.
struct CaptureInputs {
    bool connected;
    bool mouse_input;
    bool keyboard_input;
    bool ui_focus;
    bool window_active;      // the window has the input focus and is shown
    int32_t rect_x, rect_y, rect_w, rect_h;  // the video rectangle in window pixels
    uint64_t now_ms;
    uint64_t last_mouse_ms;  // last physical mouse activity
};

// The state the rules change, kept between iterations: what was last applied.
struct CaptureState {
    bool mouse_grabbed;
    bool keyboard_grabbed;
    bool cursor_shown;
    bool clipped;            // the pointer is confined to the video rectangle
    int32_t clip_x, clip_y, clip_w, clip_h;
};

enum CaptureChange : uint8_t { CHANGE_NONE, CHANGE_ON, CHANGE_OFF };

struct CaptureActions {
    CaptureChange keyboard_grab;  // switch the keyboard grab on or off
    CaptureChange mouse_grab;     // switch the mouse grab on or off
    CaptureChange clip;           // ON: confine to clip_*; OFF: release
    CaptureChange cursor;         // ON: show; OFF: hide
    int32_t clip_x, clip_y, clip_w, clip_h;
};

// The cursor hides after this long without mouse activity while connected
// with input off.
inline constexpr uint64_t CAPTURE_IDLE_HIDE_MS = 3000;

// One iteration of the rules: the keyboard grab follows keyboard input while
// connected; the mouse grab follows mouse input while connected; while both
// hold and the window is active with a video rectangle, the pointer is
// confined to it and hidden, or freed and shown while a UI window wants it;
// when not connected the cursor shows and nothing is confined; connected with
// input off, the cursor hides after three idle seconds. *state is updated to
// what the returned actions make true.
CaptureActions capture_step(const CaptureInputs &in, CaptureState *state);

// The release gesture: the window's own view of the modifier keys (USB HID
// modifier order: bit 0 left Ctrl ... bit 7 right Windows) and of the mouse
// buttons (bit 0 left, 1 right, 2 middle).
struct ReleaseGesture {
    uint8_t modifiers;
    uint8_t buttons;
};

// A modifier key went down or up; `bit` is its bit in the modifier byte
// (0..7). Other values are ignored.
void gesture_modifier(ReleaseGesture *g, int bit, bool down);
// A button (0 left, 1 right, 2 middle) went down or up. Returns true when
// this is the release of a lone right click that opens the function menu:
// the pointer is not captured, or only left Ctrl is held.
bool gesture_button(ReleaseGesture *g, int button, bool down, bool mouse_grabbed);
// Focus left the window: nothing is held any more as far as it knows.
void gesture_reset(ReleaseGesture *g);

// Physical mouse activity: with input off, a cursor hidden for idleness
// shows again. Returns CHANGE_ON when it is to be shown.
CaptureChange capture_mouse_activity(bool mouse_input, CaptureState *state);
