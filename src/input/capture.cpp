#include "input/capture.h"

CaptureWant capture_want(bool connected, bool input, bool active, bool ui_focus)
{
    CaptureWant w{};
    bool on = connected && input && !ui_focus;
    w.keyboard_grab = on;
    w.mouse_grab = on;
    w.forwarding = on && active;
    w.relative = on && active;
    return w;
}

static CaptureChange change_to(bool want, bool *applied)
{
    if (want == *applied)
        return CHANGE_NONE;
    *applied = want;
    return want ? CHANGE_ON : CHANGE_OFF;
}

CaptureActions capture_step(const CaptureInputs &in, CaptureState *st)
{
    CaptureActions a{};
    CaptureWant keys = capture_want(in.connected, in.keyboard_input, in.window_active, in.ui_focus);
    CaptureWant mouse = capture_want(in.connected, in.mouse_input, in.window_active, in.ui_focus);

    a.keyboard_grab = change_to(keys.keyboard_grab, &st->keyboard_grabbed);
    a.mouse_grab = change_to(mouse.mouse_grab, &st->mouse_grabbed);
    a.relative = change_to(mouse.relative && in.relative_available, &st->relative);

    // Without relative mode the pointer itself is what moves the target's:
    // it stays over the picture, hidden. Without a picture the grab keeps it
    // in the window and the cursor keeps its visibility.
    bool confine = mouse.relative && !in.relative_available;
    bool have_rect = in.rect_w >= 1 && in.rect_h >= 1;
    if (confine && have_rect) {
        if (!st->clipped || st->clip_x != in.rect_x || st->clip_y != in.rect_y || st->clip_w != in.rect_w ||
            st->clip_h != in.rect_h) {
            st->clipped = true;
            st->clip_x = a.clip_x = in.rect_x;
            st->clip_y = a.clip_y = in.rect_y;
            st->clip_w = a.clip_w = in.rect_w;
            st->clip_h = a.clip_h = in.rect_h;
            a.clip = CHANGE_ON;
        }
    } else if (st->clipped) {
        st->clipped = false;
        a.clip = CHANGE_OFF;
    }

    if (confine) {
        if (have_rect)
            a.cursor = change_to(false, &st->cursor_shown);
    } else if (!in.connected || in.mouse_input || in.ui_focus) {
        // Relative mode hides the pointer by itself, so it shows again the
        // moment relative mode ends.
        a.cursor = change_to(true, &st->cursor_shown);
    } else if (st->cursor_shown && in.now_ms > in.last_mouse_ms + CAPTURE_IDLE_HIDE_MS) {
        // Connected with input off: out of the way while nobody moves it.
        a.cursor = change_to(false, &st->cursor_shown);
    }
    return a;
}

ScalePoint window_pixels_convert(ScalePoint p, int from_w, int from_h, int to_w, int to_h)
{
    if (from_w < 1 || from_h < 1 || to_w < 1 || to_h < 1)
        return p;
    return ScalePoint{(float)((double)p.x * to_w / from_w), (float)((double)p.y * to_h / from_h)};
}

void gesture_modifier(ReleaseGesture *g, int bit, bool down)
{
    if (bit < 0 || bit > 7)
        return;
    if (down)
        g->modifiers = (uint8_t)(g->modifiers | (1u << bit));
    else
        g->modifiers = (uint8_t)(g->modifiers & ~(1u << bit));
}

bool gesture_button(ReleaseGesture *g, int button, bool down, bool mouse_grabbed)
{
    static const uint8_t kBit[3] = {0x01, 0x02, 0x04};
    if (button < 0 || button > 2)
        return false;
    if (button != 1 || down) {
        if (down)
            g->buttons = (uint8_t)(g->buttons | kBit[button]);
        else
            g->buttons = (uint8_t)(g->buttons & ~kBit[button]);
        return false;
    }
    // Right button released.
    bool open = (!mouse_grabbed || g->modifiers == 0x01) && g->buttons == 0x02;
    g->buttons = (uint8_t)(g->buttons & ~0x02);
    return open;
}

void gesture_reset(ReleaseGesture *g)
{
    g->modifiers = 0;
    g->buttons = 0;
}

CaptureChange capture_mouse_activity(bool mouse_input, CaptureState *st)
{
    if (mouse_input || st->cursor_shown)
        return CHANGE_NONE;
    st->cursor_shown = true;
    return CHANGE_ON;
}
