// Keyboard reports from the whole 256-key state.
//
// The key state is indexed by PC scan code (set 1, extended keys with bit 7
// set, e.g. 0x9D right Ctrl), the same codes DirectInput uses; a key is down
// when bit 7 of its byte is set. Every change of that state becomes one
// keyboard report: 0x01, then an 8-byte USB HID boot-keyboard input report
// (modifier byte, 0, up to six usages). The target always receives the whole
// current state, so the conversion keeps no per-key history.
//
// SDL delivers keys as SDL_Scancode values (USB HID usage ids);
// keyboard_di_code_from_sdl turns them into the scan-code index of the same
// physical key, so the input thread can keep the state in scan-code form.
//
// All functions are pure over caller-owned buffers and may be called from any
// thread.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t KEYBOARD_REPORT_SIZE = 9;
constexpr uint8_t KEYBOARD_REPORT_KIND = 0x01;
constexpr size_t KEYBOARD_STATE_SIZE = 256;

// Highest scan code walked for usages (the Applications key).
constexpr uint8_t KEYBOARD_LAST_CODE = 0xDD;

// Modifier byte bits (USB HID boot-keyboard order).
constexpr uint8_t KEYBOARD_MOD_LEFT_CTRL = 0x01;
constexpr uint8_t KEYBOARD_MOD_LEFT_SHIFT = 0x02;
constexpr uint8_t KEYBOARD_MOD_LEFT_ALT = 0x04;
constexpr uint8_t KEYBOARD_MOD_LEFT_GUI = 0x08;
constexpr uint8_t KEYBOARD_MOD_RIGHT_CTRL = 0x10;
constexpr uint8_t KEYBOARD_MOD_RIGHT_SHIFT = 0x20;
constexpr uint8_t KEYBOARD_MOD_RIGHT_ALT = 0x40;
constexpr uint8_t KEYBOARD_MOD_RIGHT_GUI = 0x80;

// The USB HID usage (keyboard/keypad page) of a scan code; 0 when the key has
// none: the eight modifier keys (they live in the modifier byte only), the
// extra key of ISO keyboards (0x56) and every code outside the key table.
uint8_t keyboard_usage(uint8_t di_code);

// The modifier byte from the eight modifier keys of state (256 bytes).
uint8_t keyboard_modifiers(const uint8_t state[256]);

// Builds the 9-byte report from state (256 bytes): 0x01, the modifier byte,
// 0, then the usages of the first six pressed keys with a usage, walking the
// codes 0x01..0xDD in ascending order; the remaining places are 0. Further
// pressed keys are left out until one of the six is released. Returns the
// modifier byte; the caller keeps its bit 0 as the left-ctrl flag that the
// mouse conversion reads.
uint8_t keyboard_build_report(const uint8_t state[256], uint8_t out[9]);

// The report with every key released: 0x01 and eight zero bytes. Sent when
// the operator switches input off.
void keyboard_released_report(uint8_t out[9]);
