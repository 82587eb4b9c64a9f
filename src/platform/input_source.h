// The keyboard and the mouse as the input thread reads them: the whole key
// state indexed by PC scan code (DirectInput key codes: extended keys have bit
// 7 set, e.g. 0x9D right Ctrl), and relative mouse samples with button states
// and wheel steps.
//
// The window system delivers input as events on the main thread; a backend
// (linux/input_source_sdl.cpp for SDL) turns them into calls of the feed side
// below, and the input thread waits for notifications and reads. A
// notification is like an auto-reset event: however many changes arrive
// before the reader wakes, it wakes once and reads the whole current state.
//
// Threads: the feed side runs on the main thread (or a test), the wait/read
// side on the input thread; everything is guarded by one internal lock.
// Ownership: the owner creates it before starting the input thread and
// destroys it after joining it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "input/mouse_report.h"

inline constexpr int INPUT_KEY_STATE_SIZE = 256;

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

    // Read side. Waits for a notification: the keyboard's comes first when
    // both are pending. INPUT_WAKE_STOP once stopped.
    int wait();
    // The whole key state (a key is down when bit 7 of its byte is set).
    void read_keyboard(uint8_t state[INPUT_KEY_STATE_SIZE]);
    // Motion and wheel counts since the last read, and the buttons now; at
    // most 127 counts per axis and one wheel step a read, the rest stays
    // pending (and notified) for the next.
    void read_mouse(MouseSample *sample);

private:
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopped_ = false;
    bool keyboard_pending_ = false;
    bool mouse_pending_ = false;
    uint8_t keys_[INPUT_KEY_STATE_SIZE] = {};
    MouseSample mouse_{};
};
