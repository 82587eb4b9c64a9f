#include "input/mouse_report.h"

int8_t mouse_clamp(int32_t v)
{
    if (v > 127)
        return 127;
    if (v < -127)
        return -127;
    return (int8_t)v;
}

bool mouse_make_entry(const MouseSample &s, bool left_ctrl, MouseEntry *out)
{
    uint8_t buttons = 0;
    if (s.buttons[0])
        buttons |= MOUSE_BUTTON_LEFT;
    if (s.buttons[1])
        buttons |= MOUSE_BUTTON_RIGHT;
    if (s.buttons[2])
        buttons |= MOUSE_BUTTON_MIDDLE;
    out->buttons = buttons;
    out->dx = mouse_clamp(s.x);
    out->dy = mouse_clamp(s.y);
    out->wheel = (int8_t)(s.z > 0 ? 1 : (s.z < 0 ? -1 : 0));
    // The right click of Left Ctrl + right click frees the pointer locally.
    return !(buttons == MOUSE_BUTTON_RIGHT && left_ctrl);
}

// Entries made by mouse_make_entry never hold -128, but a caller-made one
// might; the clamp keeps every report inside the +-127 limit regardless.
static void put_report(uint8_t *r, uint8_t buttons, int dx, int dy, int8_t wheel)
{
    r[0] = MOUSE_REPORT_KIND;
    r[1] = buttons;
    r[2] = (uint8_t)mouse_clamp(dx);
    r[3] = (uint8_t)mouse_clamp(dy);
    r[4] = (uint8_t)wheel;
}

static int abs_int(int v)
{
    return v < 0 ? -v : v;
}

size_t mouse_coalesce(const MouseEntry *entries, size_t n, uint8_t (*reports)[MOUSE_REPORT_SIZE], size_t cap,
                      size_t *consumed)
{
    size_t used = 0, written = 0;
    while (used < n && written < cap) {
        const MouseEntry &e = entries[used];
        if (e.wheel != 0) {
            put_report(reports[written++], e.buttons, e.dx, e.dy, e.wheel);
            used++;
            continue;
        }
        int sx = e.dx, sy = e.dy;
        size_t run = 1;
        while (used + run < n) {
            const MouseEntry &f = entries[used + run];
            if (f.buttons != e.buttons || f.wheel != 0 || abs_int(sx + f.dx) > 127 || abs_int(sy + f.dy) > 127)
                break;
            sx += f.dx;
            sy += f.dy;
            run++;
        }
        put_report(reports[written++], e.buttons, sx, sy, 0);
        used += run;
    }
    if (consumed)
        *consumed = used;
    return written;
}

void mouse_released_report(uint8_t out[5])
{
    out[0] = MOUSE_REPORT_KIND;
    out[1] = out[2] = out[3] = out[4] = 0;
}
