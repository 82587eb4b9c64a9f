#include "input/capture.h"

CaptureActions capture_step(const CaptureInputs &in, CaptureState *st)
{
    CaptureActions a{};

    bool want_keyboard = in.keyboard_input && in.connected;
    if (want_keyboard != st->keyboard_grabbed) {
        st->keyboard_grabbed = want_keyboard;
        a.keyboard_grab = want_keyboard ? CHANGE_ON : CHANGE_OFF;
    }

    bool forwarding = in.connected && in.mouse_input;
    if (forwarding != st->mouse_grabbed) {
        st->mouse_grabbed = forwarding;
        a.mouse_grab = forwarding ? CHANGE_ON : CHANGE_OFF;
        // Dropping the grab frees the pointer as well.
        if (!forwarding && st->clipped) {
            st->clipped = false;
            a.clip = CHANGE_OFF;
        }
    }

    if (forwarding && in.window_active) {
        if (in.rect_w >= 1 && in.rect_h >= 1) {
            bool show = in.ui_focus;
            if (show != st->cursor_shown) {
                st->cursor_shown = show;
                a.cursor = show ? CHANGE_ON : CHANGE_OFF;
            }
            if (show) {
                if (st->clipped) {
                    st->clipped = false;
                    a.clip = CHANGE_OFF;
                }
            } else if (!st->clipped || st->clip_x != in.rect_x || st->clip_y != in.rect_y ||
                       st->clip_w != in.rect_w || st->clip_h != in.rect_h) {
                st->clipped = true;
                st->clip_x = in.rect_x;
                st->clip_y = in.rect_y;
                st->clip_w = in.rect_w;
                st->clip_h = in.rect_h;
                a.clip = CHANGE_ON;
                a.clip_x = in.rect_x;
                a.clip_y = in.rect_y;
                a.clip_w = in.rect_w;
                a.clip_h = in.rect_h;
            }
        }
    } else {
        // Out of focus the window system frees the pointer; the confinement
        // is set again when the window is active once more.
        if (st->clipped) {
            st->clipped = false;
            a.clip = CHANGE_OFF;
        }
        if (!in.connected && !st->cursor_shown) {
            st->cursor_shown = true;
            a.cursor = CHANGE_ON;
        }
    }

    if (in.connected && !in.mouse_input && st->cursor_shown && !in.ui_focus &&
        in.now_ms > in.last_mouse_ms + CAPTURE_IDLE_HIDE_MS) {
        st->cursor_shown = false;
        a.cursor = CHANGE_OFF;
    }
    return a;
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
