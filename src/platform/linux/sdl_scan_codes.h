// SDL's scancodes (USB HID usage ids) as the PC scan codes the input source
// keeps its key state in. Pure; any thread.
#pragma once

#include <cstdint>

// The scan code of the physical key behind an SDL scancode (a USB HID usage
// id), extended keys with bit 7 set. Every code of the key table and the eight
// modifier keys are reachable; a few keys outside the table (F13-F15, keypad
// equals, media keys, ...) map to their usual codes and give no usage. 0 for
// scancodes without a key here and for values outside 0..511.
uint8_t keyboard_di_code_from_sdl(int sdl_scancode);
