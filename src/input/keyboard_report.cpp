#include "input/keyboard_report.h"

#include <SDL_scancode.h>

#include <array>
#include <cstring>

namespace {

struct CodePair {
    uint16_t from;
    uint8_t to;
};

// Scan code -> HID usage. Modifiers and the ISO extra key 0x56 are absent on
// purpose: modifiers travel in the modifier byte, and 0x56 has no usage here.
constexpr CodePair USAGE_PAIRS[] = {
    {0x01, 0x29},                                                             // Escape
    {0x02, 0x1E}, {0x03, 0x1F}, {0x04, 0x20}, {0x05, 0x21}, {0x06, 0x22},     // 1-5
    {0x07, 0x23}, {0x08, 0x24}, {0x09, 0x25}, {0x0A, 0x26}, {0x0B, 0x27},     // 6-9, 0
    {0x0C, 0x2D}, {0x0D, 0x2E}, {0x0E, 0x2A}, {0x0F, 0x2B},                   // - = BS Tab
    {0x10, 0x14}, {0x11, 0x1A}, {0x12, 0x08}, {0x13, 0x15}, {0x14, 0x17},     // Q W E R T
    {0x15, 0x1C}, {0x16, 0x18}, {0x17, 0x0C}, {0x18, 0x12}, {0x19, 0x13},     // Y U I O P
    {0x1A, 0x2F}, {0x1B, 0x30}, {0x1C, 0x28},                                 // [ ] Enter
    {0x1E, 0x04}, {0x1F, 0x16}, {0x20, 0x07}, {0x21, 0x09}, {0x22, 0x0A},     // A S D F G
    {0x23, 0x0B}, {0x24, 0x0D}, {0x25, 0x0E}, {0x26, 0x0F},                   // H J K L
    {0x27, 0x33}, {0x28, 0x34}, {0x29, 0x35}, {0x2B, 0x31},                   // ; ' ` backslash
    {0x2C, 0x1D}, {0x2D, 0x1B}, {0x2E, 0x06}, {0x2F, 0x19}, {0x30, 0x05},     // Z X C V B
    {0x31, 0x11}, {0x32, 0x10},                                               // N M
    {0x33, 0x36}, {0x34, 0x37}, {0x35, 0x38},                                 // , . /
    {0x37, 0x55}, {0x39, 0x2C}, {0x3A, 0x39},                                 // KP* Space Caps
    {0x3B, 0x3A}, {0x3C, 0x3B}, {0x3D, 0x3C}, {0x3E, 0x3D}, {0x3F, 0x3E},     // F1-F5
    {0x40, 0x3F}, {0x41, 0x40}, {0x42, 0x41}, {0x43, 0x42}, {0x44, 0x43},     // F6-F10
    {0x45, 0x53}, {0x46, 0x47},                                               // Num, Scroll Lock
    {0x47, 0x5F}, {0x48, 0x60}, {0x49, 0x61}, {0x4A, 0x56},                   // KP 7 8 9 -
    {0x4B, 0x5C}, {0x4C, 0x5D}, {0x4D, 0x5E}, {0x4E, 0x57},                   // KP 4 5 6 +
    {0x4F, 0x59}, {0x50, 0x5A}, {0x51, 0x5B}, {0x52, 0x62}, {0x53, 0x63},     // KP 1 2 3 0 .
    {0x57, 0x44}, {0x58, 0x45},                                               // F11 F12
    {0x73, 0x87}, {0x79, 0x8A}, {0x7B, 0x8B},                                 // international 1, 4, 5
    {0x9C, 0x58}, {0xB5, 0x54}, {0xB7, 0x46}, {0xC5, 0x48},                   // KP Enter, KP /, PrtSc, Pause
    {0xC7, 0x4A}, {0xCF, 0x4D}, {0xC9, 0x4B}, {0xD1, 0x4E},                   // Home End PgUp PgDn
    {0xD2, 0x49}, {0xD3, 0x4C},                                               // Insert Delete
    {0xC8, 0x52}, {0xD0, 0x51}, {0xCB, 0x50}, {0xCD, 0x4F},                   // arrows
    {0xDD, 0x65},                                                             // Applications
};

// Modifier keys in bit order of the modifier byte.
constexpr uint8_t MODIFIER_CODES[8] = {0x1D, 0x2A, 0x38, 0xDB, 0x9D, 0x36, 0xB8, 0xDC};

// SDL scancode -> scan code of the same physical key.
constexpr CodePair SDL_PAIRS[] = {
    {SDL_SCANCODE_A, 0x1E}, {SDL_SCANCODE_B, 0x30}, {SDL_SCANCODE_C, 0x2E},
    {SDL_SCANCODE_D, 0x20}, {SDL_SCANCODE_E, 0x12}, {SDL_SCANCODE_F, 0x21},
    {SDL_SCANCODE_G, 0x22}, {SDL_SCANCODE_H, 0x23}, {SDL_SCANCODE_I, 0x17},
    {SDL_SCANCODE_J, 0x24}, {SDL_SCANCODE_K, 0x25}, {SDL_SCANCODE_L, 0x26},
    {SDL_SCANCODE_M, 0x32}, {SDL_SCANCODE_N, 0x31}, {SDL_SCANCODE_O, 0x18},
    {SDL_SCANCODE_P, 0x19}, {SDL_SCANCODE_Q, 0x10}, {SDL_SCANCODE_R, 0x13},
    {SDL_SCANCODE_S, 0x1F}, {SDL_SCANCODE_T, 0x14}, {SDL_SCANCODE_U, 0x16},
    {SDL_SCANCODE_V, 0x2F}, {SDL_SCANCODE_W, 0x11}, {SDL_SCANCODE_X, 0x2D},
    {SDL_SCANCODE_Y, 0x15}, {SDL_SCANCODE_Z, 0x2C},
    {SDL_SCANCODE_1, 0x02}, {SDL_SCANCODE_2, 0x03}, {SDL_SCANCODE_3, 0x04},
    {SDL_SCANCODE_4, 0x05}, {SDL_SCANCODE_5, 0x06}, {SDL_SCANCODE_6, 0x07},
    {SDL_SCANCODE_7, 0x08}, {SDL_SCANCODE_8, 0x09}, {SDL_SCANCODE_9, 0x0A},
    {SDL_SCANCODE_0, 0x0B},
    {SDL_SCANCODE_RETURN, 0x1C}, {SDL_SCANCODE_ESCAPE, 0x01},
    {SDL_SCANCODE_BACKSPACE, 0x0E}, {SDL_SCANCODE_TAB, 0x0F},
    {SDL_SCANCODE_SPACE, 0x39},
    {SDL_SCANCODE_MINUS, 0x0C}, {SDL_SCANCODE_EQUALS, 0x0D},
    {SDL_SCANCODE_LEFTBRACKET, 0x1A}, {SDL_SCANCODE_RIGHTBRACKET, 0x1B},
    {SDL_SCANCODE_BACKSLASH, 0x2B},
    // The ISO key left of Enter sits where backslash sits on ANSI boards and
    // gives the same scan code.
    {SDL_SCANCODE_NONUSHASH, 0x2B},
    {SDL_SCANCODE_SEMICOLON, 0x27}, {SDL_SCANCODE_APOSTROPHE, 0x28},
    {SDL_SCANCODE_GRAVE, 0x29}, {SDL_SCANCODE_COMMA, 0x33},
    {SDL_SCANCODE_PERIOD, 0x34}, {SDL_SCANCODE_SLASH, 0x35},
    {SDL_SCANCODE_CAPSLOCK, 0x3A},
    {SDL_SCANCODE_F1, 0x3B}, {SDL_SCANCODE_F2, 0x3C}, {SDL_SCANCODE_F3, 0x3D},
    {SDL_SCANCODE_F4, 0x3E}, {SDL_SCANCODE_F5, 0x3F}, {SDL_SCANCODE_F6, 0x40},
    {SDL_SCANCODE_F7, 0x41}, {SDL_SCANCODE_F8, 0x42}, {SDL_SCANCODE_F9, 0x43},
    {SDL_SCANCODE_F10, 0x44}, {SDL_SCANCODE_F11, 0x57}, {SDL_SCANCODE_F12, 0x58},
    {SDL_SCANCODE_PRINTSCREEN, 0xB7}, {SDL_SCANCODE_SCROLLLOCK, 0x46},
    {SDL_SCANCODE_PAUSE, 0xC5}, {SDL_SCANCODE_INSERT, 0xD2},
    {SDL_SCANCODE_HOME, 0xC7}, {SDL_SCANCODE_PAGEUP, 0xC9},
    {SDL_SCANCODE_DELETE, 0xD3}, {SDL_SCANCODE_END, 0xCF},
    {SDL_SCANCODE_PAGEDOWN, 0xD1}, {SDL_SCANCODE_RIGHT, 0xCD},
    {SDL_SCANCODE_LEFT, 0xCB}, {SDL_SCANCODE_DOWN, 0xD0}, {SDL_SCANCODE_UP, 0xC8},
    {SDL_SCANCODE_NUMLOCKCLEAR, 0x45}, {SDL_SCANCODE_KP_DIVIDE, 0xB5},
    {SDL_SCANCODE_KP_MULTIPLY, 0x37}, {SDL_SCANCODE_KP_MINUS, 0x4A},
    {SDL_SCANCODE_KP_PLUS, 0x4E}, {SDL_SCANCODE_KP_ENTER, 0x9C},
    {SDL_SCANCODE_KP_1, 0x4F}, {SDL_SCANCODE_KP_2, 0x50}, {SDL_SCANCODE_KP_3, 0x51},
    {SDL_SCANCODE_KP_4, 0x4B}, {SDL_SCANCODE_KP_5, 0x4C}, {SDL_SCANCODE_KP_6, 0x4D},
    {SDL_SCANCODE_KP_7, 0x47}, {SDL_SCANCODE_KP_8, 0x48}, {SDL_SCANCODE_KP_9, 0x49},
    {SDL_SCANCODE_KP_0, 0x52}, {SDL_SCANCODE_KP_PERIOD, 0x53},
    {SDL_SCANCODE_NONUSBACKSLASH, 0x56}, {SDL_SCANCODE_APPLICATION, 0xDD},
    {SDL_SCANCODE_INTERNATIONAL1, 0x73}, {SDL_SCANCODE_INTERNATIONAL4, 0x79},
    {SDL_SCANCODE_INTERNATIONAL5, 0x7B},
    // Keys outside the key table: kept in the state, never reported.
    {SDL_SCANCODE_INTERNATIONAL2, 0x70}, {SDL_SCANCODE_INTERNATIONAL3, 0x7D},
    {SDL_SCANCODE_F13, 0x64}, {SDL_SCANCODE_F14, 0x65}, {SDL_SCANCODE_F15, 0x66},
    {SDL_SCANCODE_KP_EQUALS, 0x8D}, {SDL_SCANCODE_KP_COMMA, 0xB3},
    {SDL_SCANCODE_MUTE, 0xA0}, {SDL_SCANCODE_VOLUMEDOWN, 0xAE},
    {SDL_SCANCODE_VOLUMEUP, 0xB0}, {SDL_SCANCODE_POWER, 0xDE},
    {SDL_SCANCODE_SLEEP, 0xDF},
    {SDL_SCANCODE_LCTRL, 0x1D}, {SDL_SCANCODE_LSHIFT, 0x2A},
    {SDL_SCANCODE_LALT, 0x38}, {SDL_SCANCODE_LGUI, 0xDB},
    {SDL_SCANCODE_RCTRL, 0x9D}, {SDL_SCANCODE_RSHIFT, 0x36},
    {SDL_SCANCODE_RALT, 0xB8}, {SDL_SCANCODE_RGUI, 0xDC},
};

constexpr size_t SDL_TABLE_SIZE = SDL_NUM_SCANCODES;

template <size_t N, size_t M>
constexpr std::array<uint8_t, N> make_table(const CodePair (&pairs)[M])
{
    std::array<uint8_t, N> t{};
    for (const CodePair &p : pairs)
        t[p.from] = p.to;  // an index past N fails to compile
    return t;
}

constexpr std::array<uint8_t, 256> USAGE_TABLE = make_table<256>(USAGE_PAIRS);
constexpr std::array<uint8_t, SDL_TABLE_SIZE> SDL_TABLE = make_table<SDL_TABLE_SIZE>(SDL_PAIRS);

static_assert(USAGE_TABLE[0x1E] == 0x04 && USAGE_TABLE[0xDD] == 0x65);
static_assert(USAGE_TABLE[0x56] == 0 && USAGE_TABLE[0x1D] == 0 && USAGE_TABLE[0xDC] == 0);

bool key_down(const uint8_t *state, uint8_t code)
{
    return (state[code] & 0x80) != 0;
}

}  // namespace

uint8_t keyboard_usage(uint8_t di_code)
{
    return USAGE_TABLE[di_code];
}

uint8_t keyboard_modifiers(const uint8_t state[256])
{
    uint8_t mods = 0;
    for (int bit = 0; bit < 8; bit++)
        if (key_down(state, MODIFIER_CODES[bit]))
            mods |= (uint8_t)(1u << bit);
    return mods;
}

uint8_t keyboard_build_report(const uint8_t state[256], uint8_t out[9])
{
    uint8_t mods = keyboard_modifiers(state);
    out[0] = KEYBOARD_REPORT_KIND;
    out[1] = mods;
    std::memset(out + 2, 0, KEYBOARD_REPORT_SIZE - 2);
    size_t n = 0;
    for (unsigned code = 0x01; code <= KEYBOARD_LAST_CODE && n < 6; code++) {
        uint8_t usage = USAGE_TABLE[code];
        if (usage && key_down(state, (uint8_t)code))
            out[3 + n++] = usage;
    }
    return mods;
}

void keyboard_released_report(uint8_t out[9])
{
    out[0] = KEYBOARD_REPORT_KIND;
    std::memset(out + 1, 0, KEYBOARD_REPORT_SIZE - 1);
}

uint8_t keyboard_di_code_from_sdl(int sdl_scancode)
{
    if (sdl_scancode < 0 || (size_t)sdl_scancode >= SDL_TABLE_SIZE)
        return 0;
    return SDL_TABLE[(size_t)sdl_scancode];
}
