// The keyboard and the mouse as the input thread reads them: the whole key
// state indexed by PC scan code (DirectInput key codes: extended keys have bit
// 7 set, e.g. 0x9D right Ctrl), and relative mouse samples with button states
// and wheel steps.
//
// The window system delivers input as events on the main thread; a backend
// (linux/input_source_sdl.cpp for SDL) turns them into calls of the feed side
// below, and the input thread waits for notifications and reads. Each read
// gives a whole state. Every change of a key or button is kept as a state of
// its own until read, so a press and release that both arrive before the
// reader wakes still reach the target as two reports; motion between button
// changes is summed into the state it belongs to.
//
// Threads: the feed side runs on the main thread (or a test), the wait/read
// side on the input thread; everything is guarded by one internal lock.
// Ownership: the owner creates it before starting the input thread and
// destroys it after joining it.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

// One read of the system mouse: counts since the last read (x right, y down,
// z wheel) and eight button bytes; a button is down when its byte is not 0.
// Only buttons 0, 1, 2 (left, right, middle) are forwarded.
struct MouseSample {
    int32_t x, y, z;
    uint8_t buttons[8];
};

inline constexpr int INPUT_KEY_STATE_SIZE = 256;
// States kept unread at most; beyond that the newest ones merge (a reader
// that stalls this long has lost the moment anyway).
inline constexpr size_t INPUT_MAX_PENDING = 256;

enum InputWake { INPUT_WAKE_STOP = 0, INPUT_WAKE_KEYBOARD = 1, INPUT_WAKE_MOUSE = 2 };

class InputSource {
public:
    // Feed side.
    void key(uint8_t code, bool down);
    void mouse_motion(int32_t dx, int32_t dy);
    void mouse_button(int button, bool down);  // 0 left, 1 right, 2 middle
    void mouse_wheel(int32_t steps);           // positive: away from the operator; each step is kept
    // The window lost the focus: every key and button counts as released,
    // and both sides are notified so that the released state is read.
    void release_all();
    // Ends every wait, now and later.
    void stop();

    // Read side. Waits until a state is unread: the keyboard's come first
    // when both are. INPUT_WAKE_STOP once stopped.
    int wait();
    // The oldest unread key state, or the current one when none is unread (a
    // key is down when bit 7 of its byte is set).
    void read_keyboard(uint8_t state[INPUT_KEY_STATE_SIZE]);
    // The current key state; the unread ones before it are dropped.
    void take_current_keyboard(uint8_t state[INPUT_KEY_STATE_SIZE]);
    // Motion and wheel counts since the last read, and the buttons now; at
    // most 127 counts per axis and one wheel step a read, the rest stays
    // pending (and notified) for the next.
    void read_mouse(MouseSample *sample);

private:
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopped_ = false;
    using KeyState = std::array<uint8_t, INPUT_KEY_STATE_SIZE>;
    KeyState keys_{};                   // now
    std::deque<KeyState> key_states_;   // unread, oldest first
    uint8_t buttons_[8] = {};           // now
    std::deque<MouseSample> samples_;   // unread, oldest first

    void push_sample_locked();
};
