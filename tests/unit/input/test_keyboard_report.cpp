// Keyboard state -> keyboard report, and SDL scancodes -> scan codes.
#include <gtest/gtest.h>

#include <SDL_scancode.h>

#include <array>
#include <cstring>
#include <vector>

#include "input/keyboard_report.h"
#include "platform/linux/sdl_scan_codes.h"

namespace {

using Report = std::array<uint8_t, 9>;

struct Keys {
    uint8_t state[256] = {};
    Keys &down(uint8_t code)
    {
        state[code] = 0x80;
        return *this;
    }
    Keys &up(uint8_t code)
    {
        state[code] = 0;
        return *this;
    }
    Report report(uint8_t *mods = nullptr) const
    {
        Report r;
        r.fill(0xEE);
        uint8_t m = keyboard_build_report(state, r.data());
        if (mods)
            *mods = m;
        return r;
    }
};

// ---- Reports ---------------------------------------------------------------

TEST(KeyboardReport, HoldAThenSThenReleaseA)
{
    Keys k;
    k.down(0x1E);  // A
    EXPECT_EQ(k.report(), (Report{0x01, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00}));
    k.down(0x1F);  // S
    EXPECT_EQ(k.report(), (Report{0x01, 0x00, 0x00, 0x04, 0x16, 0x00, 0x00, 0x00, 0x00}));
    k.up(0x1E);
    EXPECT_EQ(k.report(), (Report{0x01, 0x00, 0x00, 0x16, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(KeyboardReport, SevenKeysReportTheSixLowestScanCodes)
{
    // Held in an order unrelated to both code and usage order: M L Z A P W Q.
    // By scan code: Q 0x10, W 0x11, P 0x19, A 0x1E, L 0x26, Z 0x2C, M 0x32.
    Keys k;
    k.down(0x32).down(0x26).down(0x2C).down(0x1E).down(0x19).down(0x11).down(0x10);
    EXPECT_EQ(k.report(), (Report{0x01, 0x00, 0x00, 0x14, 0x1A, 0x13, 0x04, 0x0F, 0x1D}));
    // Releasing Q lets M in.
    k.up(0x10);
    EXPECT_EQ(k.report(), (Report{0x01, 0x00, 0x00, 0x1A, 0x13, 0x04, 0x0F, 0x1D, 0x10}));
}

TEST(KeyboardReport, ModifierBytes)
{
    uint8_t mods = 0;
    EXPECT_EQ(Keys().down(0xB8).report(&mods), (Report{0x01, 0x40, 0, 0, 0, 0, 0, 0, 0}));  // right Alt
    EXPECT_EQ(mods, 0x40);
    EXPECT_EQ(Keys().down(0xDC).report(&mods), (Report{0x01, 0x80, 0, 0, 0, 0, 0, 0, 0}));  // right Windows
    EXPECT_EQ(mods, 0x80);
    // Left Ctrl + right Shift.
    EXPECT_EQ(Keys().down(0x1D).down(0x36).report(&mods), (Report{0x01, 0x21, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(mods, 0x21);

    const struct {
        uint8_t code, bit;
    } each[] = {{0x1D, 0x01}, {0x2A, 0x02}, {0x38, 0x04}, {0xDB, 0x08},
                {0x9D, 0x10}, {0x36, 0x20}, {0xB8, 0x40}, {0xDC, 0x80}};
    Keys all;
    for (const auto &m : each) {
        Keys one;
        one.down(m.code);
        EXPECT_EQ(keyboard_modifiers(one.state), m.bit) << std::hex << int(m.code);
        all.down(m.code);
    }
    // Modifiers never take a usage place.
    EXPECT_EQ(all.report(&mods), (Report{0x01, 0xFF, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(mods, 0xFF);
}

TEST(KeyboardReport, KeyIsDownOnlyWithBit7)
{
    Keys k;
    k.state[0x1E] = 0x7F;  // A: not down
    k.state[0x1F] = 0xFF;  // S: down
    k.state[0x1D] = 0x01;  // left Ctrl: not down
    k.state[0x9D] = 0x81;  // right Ctrl: down
    EXPECT_EQ(k.report(), (Report{0x01, 0x10, 0x00, 0x16, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(KeyboardReport, IsoKeyAndWindowsKeysGiveNoUsage)
{
    EXPECT_EQ(keyboard_usage(0x56), 0);
    EXPECT_EQ(keyboard_usage(0xDB), 0);
    EXPECT_EQ(keyboard_usage(0xDC), 0);
    EXPECT_EQ(Keys().down(0x56).report(), (Report{0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Keys().down(0xDB).down(0x56).report(), (Report{0x01, 0x08, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(KeyboardReport, CodesPastApplicationsKeyAndCodeZeroAreIgnored)
{
    Keys k;
    k.down(0x00);
    for (int c = 0xDE; c <= 0xFF; c++)
        k.down((uint8_t)c);
    EXPECT_EQ(k.report(), (Report{0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
    // The Applications key itself, the last code walked, is reported.
    k.down(0xDD);
    EXPECT_EQ(k.report(), (Report{0x01, 0, 0, 0x65, 0, 0, 0, 0, 0}));
}

TEST(KeyboardReport, EveryKeyDown)
{
    uint8_t state[256];
    std::memset(state, 0x80, sizeof state);
    Report r;
    EXPECT_EQ(keyboard_build_report(state, r.data()), 0xFF);
    // Escape, 1, 2, 3, 4, 5.
    EXPECT_EQ(r, (Report{0x01, 0xFF, 0x00, 0x29, 0x1E, 0x1F, 0x20, 0x21, 0x22}));
}

TEST(KeyboardReport, ReleasedReport)
{
    Report r;
    r.fill(0xEE);
    keyboard_released_report(r.data());
    EXPECT_EQ(r, (Report{0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
}

// ---- Key table -------------------------------------------------------------

// Written row by row from the key table; every other code has no usage.
struct UsageRow {
    uint8_t code, usage;
};
const UsageRow KEY_TABLE[] = {
    {0x01, 0x29},
    {0x02, 0x1E}, {0x03, 0x1F}, {0x04, 0x20}, {0x05, 0x21}, {0x06, 0x22},
    {0x07, 0x23}, {0x08, 0x24}, {0x09, 0x25}, {0x0A, 0x26}, {0x0B, 0x27},
    {0x0C, 0x2D}, {0x0D, 0x2E},
    {0x0E, 0x2A}, {0x0F, 0x2B},
    {0x10, 0x14}, {0x11, 0x1A}, {0x12, 0x08}, {0x13, 0x15}, {0x14, 0x17},
    {0x15, 0x1C}, {0x16, 0x18}, {0x17, 0x0C}, {0x18, 0x12}, {0x19, 0x13},
    {0x1A, 0x2F}, {0x1B, 0x30},
    {0x1C, 0x28},
    {0x1E, 0x04}, {0x1F, 0x16}, {0x20, 0x07}, {0x21, 0x09}, {0x22, 0x0A},
    {0x23, 0x0B}, {0x24, 0x0D}, {0x25, 0x0E}, {0x26, 0x0F},
    {0x27, 0x33}, {0x28, 0x34}, {0x29, 0x35},
    {0x2B, 0x31},
    {0x2C, 0x1D}, {0x2D, 0x1B}, {0x2E, 0x06}, {0x2F, 0x19}, {0x30, 0x05}, {0x31, 0x11}, {0x32, 0x10},
    {0x33, 0x36}, {0x34, 0x37}, {0x35, 0x38},
    {0x37, 0x55},
    {0x39, 0x2C},
    {0x3A, 0x39},
    {0x3B, 0x3A}, {0x3C, 0x3B}, {0x3D, 0x3C}, {0x3E, 0x3D}, {0x3F, 0x3E},
    {0x40, 0x3F}, {0x41, 0x40}, {0x42, 0x41}, {0x43, 0x42}, {0x44, 0x43},
    {0x45, 0x53},
    {0x46, 0x47},
    {0x47, 0x5F}, {0x48, 0x60}, {0x49, 0x61},
    {0x4A, 0x56},
    {0x4B, 0x5C}, {0x4C, 0x5D}, {0x4D, 0x5E},
    {0x4E, 0x57},
    {0x4F, 0x59}, {0x50, 0x5A}, {0x51, 0x5B},
    {0x52, 0x62}, {0x53, 0x63},
    {0x57, 0x44}, {0x58, 0x45},
    {0x73, 0x87},
    {0x79, 0x8A},
    {0x7B, 0x8B},
    {0x9C, 0x58},
    {0xB5, 0x54},
    {0xB7, 0x46},
    {0xC5, 0x48},
    {0xC7, 0x4A}, {0xCF, 0x4D},
    {0xC9, 0x4B}, {0xD1, 0x4E},
    {0xD2, 0x49}, {0xD3, 0x4C},
    {0xC8, 0x52}, {0xD0, 0x51}, {0xCB, 0x50}, {0xCD, 0x4F},
    {0xDD, 0x65},
};

TEST(KeyboardUsage, MatchesTheKeyTableForEveryCode)
{
    uint8_t expected[256] = {};
    for (const UsageRow &r : KEY_TABLE)
        expected[r.code] = r.usage;
    for (int c = 0; c < 256; c++)
        EXPECT_EQ(keyboard_usage((uint8_t)c), expected[c]) << "code 0x" << std::hex << c;
    // Each listed key alone lands in the first usage place.
    for (const UsageRow &r : KEY_TABLE) {
        Keys k;
        k.down(r.code);
        EXPECT_EQ(k.report(), (Report{0x01, 0, 0, r.usage, 0, 0, 0, 0, 0})) << std::hex << int(r.code);
    }
}

// ---- SDL scancodes ---------------------------------------------------------

// Keys with a usage are pinned by the round trip below; these are the ones
// without (modifiers, the ISO key) and the codes outside the table.
TEST(KeyboardSdl, KeysWithoutUsageAndUnknownCodes)
{
    EXPECT_EQ(keyboard_di_code_from_sdl(SDL_SCANCODE_RCTRL), 0x9D);
    EXPECT_EQ(keyboard_di_code_from_sdl(SDL_SCANCODE_NONUSBACKSLASH), 0x56);
    EXPECT_EQ(keyboard_di_code_from_sdl(SDL_SCANCODE_RGUI), 0xDC);
    EXPECT_EQ(keyboard_di_code_from_sdl(SDL_SCANCODE_RALT), 0xB8);
    EXPECT_EQ(keyboard_di_code_from_sdl(SDL_SCANCODE_LGUI), 0xDB);

    EXPECT_EQ(keyboard_di_code_from_sdl(SDL_SCANCODE_UNKNOWN), 0);
    EXPECT_EQ(keyboard_di_code_from_sdl(-1), 0);
    EXPECT_EQ(keyboard_di_code_from_sdl(SDL_NUM_SCANCODES), 0);
    EXPECT_EQ(keyboard_di_code_from_sdl(1 << 30), 0);
}

TEST(KeyboardSdl, ScanCodeUsageGivesBackTheScancodesOwnUsage)
{
    // SDL scancodes are USB HID usage ids, so SDL -> scan code -> usage must
    // return the scancode for every key that has a usage. The one exception:
    // the ISO key left of Enter (Non-US #, usage 0x32) shares the backslash
    // scan code, whose usage is 0x31.
    bool reached[256] = {};
    int checked = 0;
    for (int sc = 0; sc < SDL_NUM_SCANCODES; sc++) {
        uint8_t code = keyboard_di_code_from_sdl(sc);
        if (!code)
            continue;
        reached[code] = true;
        uint8_t usage = keyboard_usage(code);
        if (!usage || sc == SDL_SCANCODE_NONUSHASH)
            continue;
        EXPECT_EQ(usage, sc) << "scancode " << sc << " code 0x" << std::hex << int(code);
        checked++;
    }
    EXPECT_EQ(checked, (int)(sizeof KEY_TABLE / sizeof KEY_TABLE[0]));
    EXPECT_EQ(keyboard_usage(keyboard_di_code_from_sdl(SDL_SCANCODE_NONUSHASH)), 0x31);

    // Every key of the table, every modifier and the ISO extra key can be pressed.
    for (const UsageRow &r : KEY_TABLE)
        EXPECT_TRUE(reached[r.code]) << "code 0x" << std::hex << int(r.code);
    for (uint8_t m : {0x1D, 0x2A, 0x38, 0xDB, 0x9D, 0x36, 0xB8, 0xDC, 0x56})
        EXPECT_TRUE(reached[m]) << "code 0x" << std::hex << int(m);
}

}  // namespace
