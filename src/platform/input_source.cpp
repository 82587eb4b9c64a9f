#include "platform/input_source.h"

#include <cstring>

void InputSource::key(uint8_t code, bool down)
{
    std::lock_guard<std::mutex> g(lock_);
    keys_[code] = down ? 0x80 : 0x00;
    keyboard_pending_ = true;
    wake_.notify_one();
}

void InputSource::mouse_motion(int32_t dx, int32_t dy)
{
    std::lock_guard<std::mutex> g(lock_);
    // Sums saturate rather than wrap; the reader clamps to a report's range.
    auto add = [](int32_t a, int32_t b) {
        int64_t s = (int64_t)a + b;
        return (int32_t)(s > INT32_MAX ? INT32_MAX : s < INT32_MIN ? INT32_MIN : s);
    };
    mouse_.x = add(mouse_.x, dx);
    mouse_.y = add(mouse_.y, dy);
    mouse_pending_ = true;
    wake_.notify_one();
}

void InputSource::mouse_button(int button, bool down)
{
    if (button < 0 || button >= 8)
        return;
    std::lock_guard<std::mutex> g(lock_);
    mouse_.buttons[button] = down ? 0x80 : 0x00;
    mouse_pending_ = true;
    wake_.notify_one();
}

void InputSource::mouse_wheel(int32_t steps)
{
    if (steps == 0)
        return;
    std::lock_guard<std::mutex> g(lock_);
    int64_t z = (int64_t)mouse_.z + steps;
    mouse_.z = (int32_t)(z > 1000 ? 1000 : z < -1000 ? -1000 : z);
    mouse_pending_ = true;
    wake_.notify_one();
}

void InputSource::release_all()
{
    std::lock_guard<std::mutex> g(lock_);
    std::memset(keys_, 0, sizeof keys_);
    std::memset(mouse_.buttons, 0, sizeof mouse_.buttons);
    keyboard_pending_ = true;
    mouse_pending_ = true;
    wake_.notify_one();
}

void InputSource::stop()
{
    std::lock_guard<std::mutex> g(lock_);
    stopped_ = true;
    wake_.notify_all();
}

int InputSource::wait()
{
    std::unique_lock<std::mutex> g(lock_);
    wake_.wait(g, [this] { return stopped_ || keyboard_pending_ || mouse_pending_; });
    if (stopped_)
        return INPUT_WAKE_STOP;
    if (keyboard_pending_) {
        keyboard_pending_ = false;
        return INPUT_WAKE_KEYBOARD;
    }
    mouse_pending_ = false;
    return INPUT_WAKE_MOUSE;
}

void InputSource::read_keyboard(uint8_t state[INPUT_KEY_STATE_SIZE])
{
    std::lock_guard<std::mutex> g(lock_);
    std::memcpy(state, keys_, sizeof keys_);
}

void InputSource::read_mouse(MouseSample *sample)
{
    std::lock_guard<std::mutex> g(lock_);
    // A read hands over at most one report's worth: 127 counts per axis and
    // one wheel step. What is left stays pending for the next read, so fast
    // motion and quick wheel turns reach the target whole.
    auto take = [](int32_t *v, int32_t limit) {
        int32_t t = *v > limit ? limit : *v < -limit ? -limit : *v;
        *v -= t;
        return t;
    };
    *sample = mouse_;
    sample->x = take(&mouse_.x, 127);
    sample->y = take(&mouse_.y, 127);
    sample->z = take(&mouse_.z, 1);
    if (mouse_.x || mouse_.y || mouse_.z) {
        mouse_pending_ = true;
        wake_.notify_one();
    }
}
