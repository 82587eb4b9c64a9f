#include "platform/input_source.h"

#include <cstring>

namespace {

int32_t add_saturating(int32_t a, int32_t b, int32_t limit)
{
    int64_t s = (int64_t)a + b;
    return (int32_t)(s > limit ? limit : s < -(int64_t)limit ? -limit : s);
}

} // namespace

void InputSource::key(uint8_t code, bool down)
{
    std::lock_guard<std::mutex> g(lock_);
    uint8_t v = down ? 0x80 : 0x00;
    if (keys_[code] == v)
        return;
    keys_[code] = v;
    if (key_states_.size() >= INPUT_MAX_PENDING)
        key_states_.back() = keys_;
    else
        key_states_.push_back(keys_);
    wake_.notify_one();
}

// A new unread sample with the current buttons and no motion yet.
void InputSource::push_sample_locked()
{
    MouseSample s{};
    std::memcpy(s.buttons, buttons_, sizeof buttons_);
    if (samples_.size() >= INPUT_MAX_PENDING) {
        std::memcpy(samples_.back().buttons, buttons_, sizeof buttons_);
        return;
    }
    samples_.push_back(s);
}

void InputSource::mouse_motion(int32_t dx, int32_t dy)
{
    std::lock_guard<std::mutex> g(lock_);
    if (samples_.empty())
        push_sample_locked();
    MouseSample &s = samples_.back();
    s.x = add_saturating(s.x, dx, 1 << 24);
    s.y = add_saturating(s.y, dy, 1 << 24);
    wake_.notify_one();
}

void InputSource::mouse_button(int button, bool down)
{
    if (button < 0 || button >= 8)
        return;
    std::lock_guard<std::mutex> g(lock_);
    buttons_[button] = down ? 0x80 : 0x00;
    push_sample_locked();
    wake_.notify_one();
}

void InputSource::mouse_wheel(int32_t steps)
{
    if (steps == 0)
        return;
    std::lock_guard<std::mutex> g(lock_);
    if (samples_.empty())
        push_sample_locked();
    MouseSample &s = samples_.back();
    s.z = add_saturating(s.z, steps, 1000);
    wake_.notify_one();
}

void InputSource::release_all()
{
    std::lock_guard<std::mutex> g(lock_);
    keys_.fill(0);
    if (key_states_.size() >= INPUT_MAX_PENDING)
        key_states_.back() = keys_;
    else
        key_states_.push_back(keys_);
    std::memset(buttons_, 0, sizeof buttons_);
    push_sample_locked();
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
    wake_.wait(g, [this] { return stopped_ || !key_states_.empty() || !samples_.empty(); });
    if (stopped_)
        return INPUT_WAKE_STOP;
    return key_states_.empty() ? INPUT_WAKE_MOUSE : INPUT_WAKE_KEYBOARD;
}

void InputSource::read_keyboard(uint8_t state[INPUT_KEY_STATE_SIZE])
{
    std::lock_guard<std::mutex> g(lock_);
    if (key_states_.empty()) {
        std::memcpy(state, keys_.data(), keys_.size());
        return;
    }
    std::memcpy(state, key_states_.front().data(), INPUT_KEY_STATE_SIZE);
    key_states_.pop_front();
}

void InputSource::take_current_keyboard(uint8_t state[INPUT_KEY_STATE_SIZE])
{
    std::lock_guard<std::mutex> g(lock_);
    key_states_.clear();
    std::memcpy(state, keys_.data(), keys_.size());
}

void InputSource::read_mouse(MouseSample *sample)
{
    std::lock_guard<std::mutex> g(lock_);
    if (samples_.empty()) {
        *sample = MouseSample{};
        std::memcpy(sample->buttons, buttons_, sizeof buttons_);
        return;
    }
    // A read hands over at most one report's worth: 127 counts per axis and
    // one wheel step. What is left stays unread for the next read, so fast
    // motion and quick wheel turns reach the target whole.
    auto take = [](int32_t *v, int32_t limit) {
        int32_t t = *v > limit ? limit : *v < -limit ? -limit : *v;
        *v -= t;
        return t;
    };
    MouseSample &front = samples_.front();
    *sample = front;
    sample->x = take(&front.x, 127);
    sample->y = take(&front.y, 127);
    sample->z = take(&front.z, 1);
    if (!front.x && !front.y && !front.z)
        samples_.pop_front();
}
