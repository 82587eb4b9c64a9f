#include "input/input_thread.h"

#include <cstring>

#include "input/capture.h"
#include "input/keyboard_report.h"

namespace {

void on_keyboard(InputPipeline *p)
{
    uint8_t state[INPUT_KEY_STATE_SIZE];
    p->source.read_keyboard(state);
    uint8_t report[KEYBOARD_REPORT_SIZE];
    uint8_t modifiers = keyboard_build_report(state, report);
    p->left_ctrl = (modifiers & 0x01) != 0;
    std::lock_guard<std::mutex> hold(p->send_lock);
    InputGates g = p->hooks.gates(p->hooks.ctx);
    // Key events come only while the window is active.
    if (capture_want(g.connected, g.keyboard_input, true, g.ui_focus).forwarding && !p->paused.load())
        p->hooks.send(p->hooks.ctx, report, sizeof report);
}

void on_mouse(InputPipeline *p)
{
    MouseSample s;
    p->source.read_mouse(&s);
    if (p->hooks.mouse_activity)
        p->hooks.mouse_activity(p->hooks.ctx);
    MouseEntry e;
    if (!mouse_make_entry(s, p->left_ctrl.load(), &e))
        return;
    InputGates g = p->hooks.gates(p->hooks.ctx);
    if (!capture_want(g.connected, g.mouse_input, true, g.ui_focus).forwarding)
        return;
    std::lock_guard<std::mutex> hold(p->mouse_lock);
    if (!p->paused.load())
        p->mouse_queue.push_back(e);
}

void input_thread_main(InputPipeline *p)
{
    for (;;) {
        int wake = p->source.wait();
        if (wake == INPUT_WAKE_STOP)
            break;
        if (wake == INPUT_WAKE_KEYBOARD)
            on_keyboard(p);
        else
            on_mouse(p);
    }
}

} // namespace

void input_start(InputPipeline *p, const InputHooks &hooks)
{
    p->hooks = hooks;
    p->thread = std::thread(input_thread_main, p);
}

void input_stop(InputPipeline *p)
{
    p->source.stop();
    if (p->thread.joinable())
        p->thread.join();
}

void input_flush_mouse(InputPipeline *p)
{
    if (!p->hooks.gates)
        return;
    InputGates g = p->hooks.gates(p->hooks.ctx);
    if (!g.connected || !g.mouse_input)
        return;
    std::lock_guard<std::mutex> hold(p->mouse_lock);
    uint8_t reports[64][MOUSE_REPORT_SIZE];
    while (!p->mouse_queue.empty()) {
        size_t used = 0;
        size_t n = mouse_coalesce(p->mouse_queue.data(), p->mouse_queue.size(), reports, 64, &used);
        for (size_t i = 0; i < n; i++)
            p->hooks.send(p->hooks.ctx, reports[i], MOUSE_REPORT_SIZE);
        if (used == 0)
            break;
        p->mouse_queue.erase(p->mouse_queue.begin(), p->mouse_queue.begin() + (ptrdiff_t)used);
    }
}

void input_pause(InputPipeline *p, bool paused)
{
    std::lock_guard<std::mutex> hold(p->send_lock);
    if (paused == p->paused.load() || !p->hooks.send)
        return;
    p->paused = paused;
    if (paused) {
        // Set before the queue is emptied: what the input thread queues from
        // now on is dropped, and no flush sends after the release.
        std::lock_guard<std::mutex> mouse(p->mouse_lock);
        p->mouse_queue.clear();
        input_send_released(p->hooks);
        return;
    }
    // States read while paused are stale; the current one is the whole truth.
    uint8_t state[INPUT_KEY_STATE_SIZE];
    p->source.take_current_keyboard(state);
    uint8_t report[KEYBOARD_REPORT_SIZE];
    p->left_ctrl = (keyboard_build_report(state, report) & 0x01) != 0;
    // Nothing held: the target has had the all-released state since the pause.
    uint8_t released[KEYBOARD_REPORT_SIZE];
    keyboard_released_report(released);
    InputGates g = p->hooks.gates(p->hooks.ctx);
    if (g.connected && g.keyboard_input && std::memcmp(report, released, sizeof report) != 0)
        p->hooks.send(p->hooks.ctx, report, sizeof report);
}

void input_send_released(const InputHooks &hooks)
{
    if (!hooks.send)
        return;
    uint8_t k[KEYBOARD_REPORT_SIZE], m[MOUSE_REPORT_SIZE];
    keyboard_released_report(k);
    mouse_released_report(m);
    hooks.send(hooks.ctx, k, sizeof k);
    hooks.send(hooks.ctx, m, sizeof m);
}

void input_release_all(InputPipeline *p)
{
    if (p)
        input_send_released(p->hooks);
}

void input_forget(InputPipeline *p)
{
    p->source.release_all();
    std::lock_guard<std::mutex> hold(p->mouse_lock);
    p->mouse_queue.clear();
}
