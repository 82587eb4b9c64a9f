// Key map: SDL scancodes to the user interface's key indices.
//
// This Dear ImGui release keeps keyboard state in io.KeysDown[512], indexed by
// whatever numbering the program chooses, and learns where its own named keys
// (Tab, arrows, Enter, A/C/V/X/Y/Z for text editing...) lie from io.KeyMap[].
// The numbering chosen here is UiKey: one index per physical key the window
// forwards, 0 meaning "no key". The indices follow the order of the library's
// later named-key list, so moving to its queued key events is a rename.
//
// Every key is identified by where it sits on the keyboard (the scancode),
// never by the character the layout gives it: the letter row reads Q W E R T Y
// whatever the layout prints on the caps.
//
// Threads: key_map_from_sdl and key_map_mouse_button are pure and may be
// called from any thread; key_map_install writes an ImGuiIO and runs on the UI
// thread right after the Dear ImGui context is created.
#pragma once

#include <cstdint>

struct ImGuiIO;

enum UiKey : int {
    UIKEY_NONE = 0,
    UIKEY_TAB,
    UIKEY_LEFT_ARROW,
    UIKEY_RIGHT_ARROW,
    UIKEY_UP_ARROW,
    UIKEY_DOWN_ARROW,
    UIKEY_PAGE_UP,
    UIKEY_PAGE_DOWN,
    UIKEY_HOME,
    UIKEY_END,
    UIKEY_INSERT,
    UIKEY_DELETE,
    UIKEY_BACKSPACE,
    UIKEY_SPACE,
    UIKEY_ENTER,
    UIKEY_ESCAPE,
    UIKEY_LEFT_CTRL,
    UIKEY_LEFT_SHIFT,
    UIKEY_LEFT_ALT,
    UIKEY_LEFT_SUPER,
    UIKEY_RIGHT_CTRL,
    UIKEY_RIGHT_SHIFT,
    UIKEY_RIGHT_ALT,
    UIKEY_RIGHT_SUPER,
    UIKEY_MENU,
    UIKEY_0,
    UIKEY_1,
    UIKEY_2,
    UIKEY_3,
    UIKEY_4,
    UIKEY_5,
    UIKEY_6,
    UIKEY_7,
    UIKEY_8,
    UIKEY_9,
    UIKEY_A,
    UIKEY_B,
    UIKEY_C,
    UIKEY_D,
    UIKEY_E,
    UIKEY_F,
    UIKEY_G,
    UIKEY_H,
    UIKEY_I,
    UIKEY_J,
    UIKEY_K,
    UIKEY_L,
    UIKEY_M,
    UIKEY_N,
    UIKEY_O,
    UIKEY_P,
    UIKEY_Q,
    UIKEY_R,
    UIKEY_S,
    UIKEY_T,
    UIKEY_U,
    UIKEY_V,
    UIKEY_W,
    UIKEY_X,
    UIKEY_Y,
    UIKEY_Z,
    UIKEY_F1,
    UIKEY_F2,
    UIKEY_F3,
    UIKEY_F4,
    UIKEY_F5,
    UIKEY_F6,
    UIKEY_F7,
    UIKEY_F8,
    UIKEY_F9,
    UIKEY_F10,
    UIKEY_F11,
    UIKEY_F12,
    UIKEY_APOSTROPHE,
    UIKEY_COMMA,
    UIKEY_MINUS,
    UIKEY_PERIOD,
    UIKEY_SLASH,
    UIKEY_SEMICOLON,
    UIKEY_EQUAL,
    UIKEY_LEFT_BRACKET,
    UIKEY_BACKSLASH,
    UIKEY_RIGHT_BRACKET,
    UIKEY_GRAVE_ACCENT,
    UIKEY_CAPS_LOCK,
    UIKEY_SCROLL_LOCK,
    UIKEY_NUM_LOCK,
    UIKEY_PRINT_SCREEN,
    UIKEY_PAUSE,
    UIKEY_KEYPAD_0,
    UIKEY_KEYPAD_1,
    UIKEY_KEYPAD_2,
    UIKEY_KEYPAD_3,
    UIKEY_KEYPAD_4,
    UIKEY_KEYPAD_5,
    UIKEY_KEYPAD_6,
    UIKEY_KEYPAD_7,
    UIKEY_KEYPAD_8,
    UIKEY_KEYPAD_9,
    UIKEY_KEYPAD_DECIMAL,
    UIKEY_KEYPAD_DIVIDE,
    UIKEY_KEYPAD_MULTIPLY,
    UIKEY_KEYPAD_SUBTRACT,
    UIKEY_KEYPAD_ADD,
    UIKEY_KEYPAD_ENTER,
    UIKEY_COUNT            // one past the last index; well inside KeysDown[512]
};

// The UiKey of an SDL scancode (an SDL_Scancode value), or UIKEY_NONE for a
// key the window does not forward and for values outside SDL's range. Both
// backslash positions (the US key above Enter and the extra key of ISO
// keyboards beside the left Shift) give UIKEY_BACKSLASH, and so does the ISO
// key left of Enter, which the PC keyboard reports with the US backslash code.
int key_map_from_sdl(int scancode);

// Dear ImGui's mouse button for an SDL button number: left 0, right 1,
// middle 2, the two side buttons 3 and 4; -1 for any other number.
int key_map_mouse_button(int sdl_button);

// Fills io.KeyMap[] so that Dear ImGui finds its named keys at their UiKey
// indices in io.KeysDown[].
void key_map_install(ImGuiIO &io);
