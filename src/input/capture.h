// The pointer and keyboard capture rules and the release gesture, as pure
// decisions: the main thread feeds them the current flags each iteration (or
// each window event) and applies what they return to the window.
//
// Threads: pure functions on caller-owned records; the main thread is their
// only caller in the program.
#pragma once

#include <cstdint>

// What the keyboard and the pointer do, from four facts: the link is
// connected, Input is on, the window is active, and none of the viewer's own
// windows (function menu, Settings, About) is open.
//   - forwarding: keys and mouse reach the target;
//   - relative: the pointer is in relative mode: raw device counts go to the
//     target as they are, the local pointer is hidden and held, so the
//     target's pointer reaches every edge whatever size the picture is drawn;
//   - keyboard_grab, mouse_grab: system key combinations and the pointer stay
//     with the window. An open viewer window gives both back to the desktop
//     (that is what the release gesture is for); they return when it closes.
struct CaptureWant {
    bool relative;
    bool keyboard_grab;
    bool mouse_grab;
    bool forwarding;
};
CaptureWant capture_want(bool connected, bool input, bool active, bool ui_focus);

// What the capture rules look at.
struct CaptureInputs {
    bool connected;
    bool mouse_input;
    bool keyboard_input;
    bool ui_focus;
    bool window_active;      // the window has the input focus and is shown
    // Relative mode can be had from the window system; where it cannot, the
    // pointer is confined to the video rectangle instead and motion is read
    // from the pointer's own movement.
    bool relative_available;
    int32_t rect_x, rect_y, rect_w, rect_h;  // the video rectangle in window coordinates
    uint64_t now_ms;
    uint64_t last_mouse_ms;  // last physical mouse activity
};

// The state the rules change, kept between iterations: what was last applied.
struct CaptureState {
    bool mouse_grabbed;
    bool keyboard_grabbed;
    bool relative;
    bool cursor_shown;       // the cursor's own visibility (relative mode hides it besides)
    bool clipped;            // the pointer is confined to the video rectangle
    int32_t clip_x, clip_y, clip_w, clip_h;
};

enum CaptureChange : uint8_t { CHANGE_NONE, CHANGE_ON, CHANGE_OFF };

struct CaptureActions {
    CaptureChange keyboard_grab;  // switch the keyboard grab on or off
    CaptureChange mouse_grab;     // switch the mouse grab on or off
    CaptureChange relative;       // switch relative mode on or off
    CaptureChange clip;           // ON: confine to clip_*; OFF: release
    CaptureChange cursor;         // ON: show; OFF: hide
    int32_t clip_x, clip_y, clip_w, clip_h;
};

// The cursor hides after this long without mouse activity while connected
// with input off.
inline constexpr uint64_t CAPTURE_IDLE_HIDE_MS = 3000;

// One iteration of the rules: grabs and relative mode as capture_want says.
// Where relative mode is not available and it is wanted, the pointer is
// confined to the video rectangle and hidden (no rectangle yet: neither). The
// cursor shows whenever the pointer is not captured, so it reappears in the
// window as soon as relative mode ends; connected with input off, it hides
// after three idle seconds. *state is updated to what the returned actions
// make true.
CaptureActions capture_step(const CaptureInputs &in, CaptureState *state);

// Window coordinates and drawable pixels differ where the desktop scales the
// window's output (SDL's Wayland backend with a scaled output): pointer
// events come in window coordinates, while the picture and the user
// interface are laid out in drawable pixels. Converts a point from a grid of
// from_w x from_h to one of to_w x to_h over the same window (either way
// round); a size below 1 on either side leaves the point as it is.
struct ScalePoint {
    float x, y;
};
ScalePoint window_pixels_convert(ScalePoint p, int from_w, int from_h, int to_w, int to_h);

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
