#include "shell/ui_events.h"

#include <imgui.h>

#include <cfloat>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

#include "shell/key_map.h"

namespace {

// Dear ImGui treats positions at or below this as "no mouse".
constexpr float MOUSE_INVALID = -256000.0f;
constexpr int MOUSE_BUTTONS = 5;

struct UiEventQueue {
    std::mutex lock;               // the UI event lock
    std::deque<UiEvent> events;
    bool release_all;              // the queue overflowed: release before applying
    bool woken;                    // a wake since the last wait
    bool pushed;                   // an event since the last wait
    std::condition_variable wake;
};

UiEventQueue &queue(void)
{
    static UiEventQueue q{};
    return q;
}

bool event_valid(const UiEvent &ev)
{
    switch (ev.type) {
    case UI_EVENT_KEY:
        return ev.code > UIKEY_NONE && ev.code < UIKEY_COUNT;
    case UI_EVENT_CHAR:
        return ev.ch != 0 && ev.ch <= 0x10FFFF;
    case UI_EVENT_MOUSE_POS:
        return true;
    case UI_EVENT_MOUSE_BUTTON:
        return ev.code >= 0 && ev.code < MOUSE_BUTTONS;
    case UI_EVENT_WHEEL:
        return std::isfinite(ev.x) && std::isfinite(ev.y);
    case UI_EVENT_FOCUS:
        return true;
    default:
        return false;
    }
}

void update_modifiers(ImGuiIO &io)
{
    io.KeyCtrl = io.KeysDown[UIKEY_LEFT_CTRL] || io.KeysDown[UIKEY_RIGHT_CTRL];
    io.KeyShift = io.KeysDown[UIKEY_LEFT_SHIFT] || io.KeysDown[UIKEY_RIGHT_SHIFT];
    io.KeyAlt = io.KeysDown[UIKEY_LEFT_ALT] || io.KeysDown[UIKEY_RIGHT_ALT];
    io.KeySuper = io.KeysDown[UIKEY_LEFT_SUPER] || io.KeysDown[UIKEY_RIGHT_SUPER];
}

void release_everything(ImGuiIO &io)
{
    for (int k = 0; k < UIKEY_COUNT; k++)
        io.KeysDown[k] = false;
    for (int b = 0; b < MOUSE_BUTTONS; b++)
        io.MouseDown[b] = false;
    update_modifiers(io);
}

float unscale(float v, float scale)
{
    return v / (scale > 0.0f ? scale : 1.0f);
}

ImVec2 mouse_position(const UiEvent &ev, const ImGuiIO &io)
{
    if (!std::isfinite(ev.x) || !std::isfinite(ev.y) || ev.x <= MOUSE_INVALID ||
        ev.y <= MOUSE_INVALID)
        return ImVec2(-FLT_MAX, -FLT_MAX);
    return ImVec2(unscale(ev.x, io.DisplayFramebufferScale.x),
                  unscale(ev.y, io.DisplayFramebufferScale.y));
}

int step(int v)
{
    return v > 0 ? 1 : (v < 0 ? -1 : 0);
}

} // namespace

int ui_events_push(const UiEvent &ev)
{
    if (!event_valid(ev))
        return -1;
    UiEventQueue &q = queue();
    std::lock_guard<std::mutex> hold(q.lock);
    if (ev.type == UI_EVENT_MOUSE_POS && !q.events.empty() &&
        q.events.back().type == UI_EVENT_MOUSE_POS) {
        q.events.back() = ev;
        return 0;
    }
    int result = 0;
    if (q.events.size() >= UI_EVENTS_MAX) {
        q.events.clear();
        q.release_all = true;
        result = 1;
    }
    q.events.push_back(ev);
    q.pushed = true;
    q.wake.notify_one();
    return result;
}

void ui_events_wake(void)
{
    UiEventQueue &q = queue();
    {
        std::lock_guard<std::mutex> hold(q.lock);
        q.woken = true;
    }
    q.wake.notify_one();
}

bool ui_events_wait(int64_t timeout_us, bool on_events)
{
    UiEventQueue &q = queue();
    std::unique_lock<std::mutex> hold(q.lock);
    auto ready = [&q, on_events] { return q.woken || (on_events && (q.pushed || !q.events.empty())); };
    if (timeout_us > 0 && !ready())
        q.wake.wait_for(hold, std::chrono::microseconds(timeout_us), ready);
    bool woken = ready();
    q.woken = false;
    q.pushed = false;
    return woken;
}

int ui_events_push_key(int key, bool down)
{
    UiEvent ev{};
    ev.type = UI_EVENT_KEY;
    ev.down = down;
    if (key <= UIKEY_NONE || key >= UIKEY_COUNT)
        return -1;
    ev.code = (int16_t)key;
    return ui_events_push(ev);
}

int ui_events_push_char(uint32_t ch)
{
    UiEvent ev{};
    ev.type = UI_EVENT_CHAR;
    ev.ch = ch;
    return ui_events_push(ev);
}

int ui_events_push_mouse_pos(float x, float y)
{
    UiEvent ev{};
    ev.type = UI_EVENT_MOUSE_POS;
    ev.x = x;
    ev.y = y;
    return ui_events_push(ev);
}

int ui_events_push_mouse_button(int button, bool down)
{
    if (button < 0 || button >= MOUSE_BUTTONS)
        return -1;
    UiEvent ev{};
    ev.type = UI_EVENT_MOUSE_BUTTON;
    ev.code = (int16_t)button;
    ev.down = down;
    return ui_events_push(ev);
}

int ui_events_push_scroll(int x, int y)
{
    if (x == 0 && y == 0)
        return 0;
    UiEvent ev{};
    ev.type = UI_EVENT_WHEEL;
    ev.x = (float)step(x);
    ev.y = (float)step(y);
    return ui_events_push(ev);
}

int ui_events_push_focus(bool gained)
{
    UiEvent ev{};
    ev.type = UI_EVENT_FOCUS;
    ev.down = gained;
    return ui_events_push(ev);
}

size_t ui_utf8_decode(const uint8_t *data, size_t len, uint32_t *cp)
{
    if (len == 0) {
        *cp = 0;
        return 0;
    }
    const uint8_t b0 = data[0];
    size_t need;
    uint32_t value;
    uint32_t min;
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        need = 2;
        value = b0 & 0x1F;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        need = 3;
        value = b0 & 0x0F;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        need = 4;
        value = b0 & 0x07;
        min = 0x10000;
    } else {
        *cp = 0xFFFD;
        return 1;
    }
    if (len < need) {
        *cp = 0xFFFD;
        return 1;
    }
    for (size_t i = 1; i < need; i++) {
        if ((data[i] & 0xC0) != 0x80) {
            *cp = 0xFFFD;
            return 1;
        }
        value = (value << 6) | (data[i] & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        *cp = 0xFFFD;
        return 1;
    }
    *cp = value;
    return need;
}

int ui_events_push_text(const char *text, size_t max_bytes)
{
    if (!text)
        return -1;
    const size_t len = strnlen(text, max_bytes);
    const uint8_t *p = (const uint8_t *)text;
    size_t at = 0;
    int queued = 0;
    while (at < len) {
        uint32_t cp = 0;
        at += ui_utf8_decode(p + at, len - at, &cp);
        if (ui_events_push_char(cp) >= 0)
            queued++;
    }
    return queued;
}

int ui_events_apply(ImGuiIO &io)
{
    UiEventQueue &q = queue();
    std::lock_guard<std::mutex> hold(q.lock);

    if (q.release_all) {
        release_everything(io);
        q.release_all = false;
    }

    // What this frame has already seen change.
    bool key_seen[UIKEY_COUNT] = {};
    bool any_key = false;
    unsigned buttons = 0;       // bit per button changed
    bool wheeled = false;

    size_t n = 0;
    bool stop = false;
    while (n < q.events.size() && !stop) {
        const UiEvent &ev = q.events[n];
        switch (ev.type) {
        case UI_EVENT_KEY:
            if (io.KeysDown[ev.code] == ev.down)
                break;
            if (key_seen[ev.code] || buttons != 0) {
                stop = true;
                continue;
            }
            io.KeysDown[ev.code] = ev.down;
            key_seen[ev.code] = true;
            any_key = true;
            update_modifiers(io);
            break;
        case UI_EVENT_CHAR:
            if (any_key || buttons != 0) {
                stop = true;
                continue;
            }
            io.AddInputCharacter(ev.ch);
            break;
        case UI_EVENT_MOUSE_POS:
            if (buttons != 0 || wheeled) {
                stop = true;
                continue;
            }
            io.MousePos = mouse_position(ev, io);
            break;
        case UI_EVENT_MOUSE_BUTTON:
            if (io.MouseDown[ev.code] == ev.down)
                break;
            if (buttons & (1u << ev.code)) {
                stop = true;
                continue;
            }
            io.MouseDown[ev.code] = ev.down;
            buttons |= 1u << ev.code;
            break;
        case UI_EVENT_WHEEL:
            io.MouseWheelH += ev.x;
            io.MouseWheel += ev.y;
            wheeled = true;
            break;
        case UI_EVENT_FOCUS:
            if (ev.down) {
                io.AddFocusEvent(true);
                break;
            }
            // Let what changed before the loss be seen for a frame first.
            if (any_key || buttons != 0) {
                stop = true;
                continue;
            }
            // The releases of keys held now will go to another window; drop
            // them here, and let nothing after the loss share its frame, as
            // Dear ImGui clears its own key state in the next NewFrame.
            release_everything(io);
            io.AddFocusEvent(false);
            stop = true;
            break;
        default:
            break;
        }
        n++;
    }
    q.events.erase(q.events.begin(), q.events.begin() + (std::ptrdiff_t)n);
    return (int)n;
}

size_t ui_events_pending(void)
{
    UiEventQueue &q = queue();
    std::lock_guard<std::mutex> hold(q.lock);
    return q.events.size();
}

void ui_events_clear(void)
{
    UiEventQueue &q = queue();
    std::lock_guard<std::mutex> hold(q.lock);
    q.events.clear();
    q.release_all = false;
}
