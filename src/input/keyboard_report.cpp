#include "input/keyboard_report.h"

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


template <size_t N, size_t M>
constexpr std::array<uint8_t, N> make_table(const CodePair (&pairs)[M])
{
    std::array<uint8_t, N> t{};
    for (const CodePair &p : pairs)
        t[p.from] = p.to;  // an index past N fails to compile
    return t;
}

constexpr std::array<uint8_t, 256> USAGE_TABLE = make_table<256>(USAGE_PAIRS);

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
