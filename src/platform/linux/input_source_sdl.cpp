#include "platform/linux/input_source_sdl.h"

#include "platform/linux/sdl_scan_codes.h"

bool input_source_feed_sdl(InputSource *source, const SDL_Event &ev)
{
    switch (ev.type) {
    case SDL_KEYDOWN:
    case SDL_KEYUP: {
        if (ev.key.repeat)
            return false;
        uint8_t code = keyboard_di_code_from_sdl((int)ev.key.keysym.scancode);
        if (!code)
            return false;
        source->key(code, ev.type == SDL_KEYDOWN);
        return true;
    }
    case SDL_MOUSEMOTION:
        if (ev.motion.which == SDL_TOUCH_MOUSEID)
            return false;
        source->mouse_motion(ev.motion.xrel, ev.motion.yrel);
        return true;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
        int button = ev.button.button == SDL_BUTTON_LEFT     ? 0
                     : ev.button.button == SDL_BUTTON_RIGHT  ? 1
                     : ev.button.button == SDL_BUTTON_MIDDLE ? 2
                                                             : -1;
        if (button < 0)
            return false;
        source->mouse_button(button, ev.type == SDL_MOUSEBUTTONDOWN);
        return true;
    }
    case SDL_MOUSEWHEEL: {
        int32_t y = ev.wheel.y;
        if (ev.wheel.direction == SDL_MOUSEWHEEL_FLIPPED)
            y = -y;
        if (y == 0)
            return false;
        source->mouse_wheel(y);
        return true;
    }
    default:
        return false;
    }
}
