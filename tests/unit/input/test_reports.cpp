// Keyboard state -> keyboard report, SDL scancodes -> scan codes, and mouse
// samples -> entries -> coalesced mouse reports. Reports are literal bytes.
#include <gtest/gtest.h>

#include <SDL_scancode.h>

#include <cstring>
#include <vector>

#include "input/keyboard_report.h"
#include "input/mouse_report.h"
#include "platform/linux/sdl_scan_codes.h"
#include "support/bytes.h"

namespace {

// The report for the scan codes held (bit 7 set), as hex.
std::string keyboard(const std::vector<int> &down)
{
    uint8_t state[256] = {}, r[9];
    std::memset(r, 0xEE, sizeof r);
    for (int c : down)
        state[c] = 0x80;
    keyboard_build_report(state, r);
    return hex(r, 9);
}

std::string mouse(const std::vector<MouseEntry> &entries)
{
    Bytes raw((entries.size() + 1) * 5, 0xEE);
    size_t consumed = 12345;
    size_t n = mouse_coalesce(entries.data(), entries.size(), reinterpret_cast<uint8_t(*)[5]>(raw.data()),
                              entries.size() + 1, &consumed);
    EXPECT_EQ(consumed, entries.size());
    EXPECT_EQ(Bytes(raw.begin() + n * 5, raw.end()), Bytes(raw.size() - n * 5, 0xEE)); // nothing past the reports
    std::string out;
    for (size_t i = 0; i < n; i++)
        out += (i ? " " : "") + hex(&raw[i * 5], 5);
    return out;
}

MouseSample sample(int32_t x, int32_t y, int32_t z, uint8_t left = 0, uint8_t right = 0, uint8_t middle = 0)
{
    MouseSample s{};
    s.x = x, s.y = y, s.z = z, s.buttons[0] = left, s.buttons[1] = right, s.buttons[2] = middle;
    return s;
}

} // namespace

TEST(KeyboardReport, Reports)
{
    const std::pair<std::vector<int>, const char *> rows[] = {
        {{0x1E, 0x1F}, "010000041600000000"},             // A, S
        // M L Z A P W Q held: the six lowest scan codes (Q W P A L Z), in code order.
        {{0x32, 0x26, 0x2C, 0x1E, 0x19, 0x11, 0x10}, "010000141a13040f1d"},
        {{0x32, 0x26, 0x2C, 0x1E, 0x19, 0x11}, "0100001a13040f1d10"}, // Q released lets M in
        {{0x1D, 0x36}, "012100000000000000"},             // left Ctrl + right Shift
        {{0xDB, 0x56}, "010800000000000000"},             // left GUI; the ISO key has no usage
        {{0x00, 0xDE, 0xEF, 0xFF}, "010000000000000000"}, // code 0 and codes past Applications
        {{0xDD}, "010000650000000000"},                   // Applications, the last code walked
    };
    for (const auto &[down, want] : rows)
        EXPECT_EQ(keyboard(down), want);
    // Every key down: all modifiers, and the six lowest codes with a usage (Escape, 1..5).
    uint8_t state[256], r[9];
    std::memset(state, 0x80, sizeof state);
    keyboard_build_report(state, r);
    EXPECT_EQ(hex(r, 9), "01ff00291e1f202122");
    // Down only with bit 7: A 0x7F no, S 0xFF yes, left Ctrl 0x01 no, right Ctrl 0x81 yes.
    std::memset(state, 0, sizeof state);
    state[0x1E] = 0x7F, state[0x1F] = 0xFF, state[0x1D] = 0x01, state[0x9D] = 0x81;
    EXPECT_EQ(keyboard_build_report(state, r), 0x10);
    EXPECT_EQ(hex(r, 9), "011000160000000000");
}

TEST(KeyboardReport, SdlScancodesRoundTripToTheirOwnUsage)
{
    // SDL scancodes are USB HID usage ids, so SDL -> scan code -> usage gives
    // the scancode back for every key that has a usage. The exception: the ISO
    // key left of Enter (Non-US #, 0x32) shares the backslash scan code (0x31).
    int checked = 0;
    for (int sc = 0; sc < SDL_NUM_SCANCODES; sc++) {
        uint8_t code = keyboard_di_code_from_sdl(sc);
        if (!code || !keyboard_usage(code) || sc == SDL_SCANCODE_NONUSHASH)
            continue;
        EXPECT_EQ(keyboard_usage(code), sc) << "scancode " << sc << " code 0x" << std::hex << int(code);
        checked++;
    }
    EXPECT_EQ(checked, 99); // every key with a usage
    EXPECT_EQ(keyboard_usage(keyboard_di_code_from_sdl(SDL_SCANCODE_NONUSHASH)), 0x31);
    EXPECT_EQ(keyboard_di_code_from_sdl(-1) + keyboard_di_code_from_sdl(SDL_NUM_SCANCODES), 0);
}

TEST(MouseReport, Entries)
{
    struct Row {
        MouseSample s;
        bool left_ctrl, kept;
        int buttons, dx, dy, wheel;
    } const rows[] = {
        {sample(-300, 200, 120), false, true, 0, -127, 127, 1}, // clamped to -127, not -128; wheel sign
        {sample(0, 0, 0, 0x80, 0, 0x01), false, true, 0x05, 0, 0, 0}, // any non-zero byte is down
        {sample(0, 0, 0, 0, 0x80), true, false, 0, 0, 0, 0},           // the release gesture's click
        {sample(0, 0, 0, 0, 0x80), false, true, 0x02, 0, 0, 0},
        {sample(0, 0, 0, 0x80, 0x80), true, true, 0x03, 0, 0, 0},
        {sample(4, 0, 0, 0, 0x80, 0x80), true, true, 0x06, 4, 0, 0},
    };
    for (const Row &w : rows) {
        MouseEntry e{};
        ASSERT_EQ(mouse_make_entry(w.s, w.left_ctrl, &e), w.kept) << w.s.x << " " << (int)w.s.buttons[1];
        if (w.kept) {
            EXPECT_EQ((std::vector<int>{e.buttons, e.dx, e.dy, e.wheel}), (std::vector<int>{w.buttons, w.dx, w.dy, w.wheel}));
        }
    }
    MouseSample s = sample(0, 0, 0);
    std::memset(s.buttons + 3, 0x80, 5); // buttons 3-7 are not forwarded
    MouseEntry e;
    EXPECT_TRUE(mouse_make_entry(s, false, &e) && e.buttons == 0);
}

TEST(MouseReport, Coalescing)
{
    const std::pair<std::vector<MouseEntry>, const char *> rows[] = {
        {{{0, 10, 5, 0}, {0, 10, 5, 0}, {0, 10, 5, 0}}, "02001e0f00"},
        {{{0, 100, 0, 0}, {0, 50, 0, 0}}, "0200640000 0200320000"}, // the sum would pass 127
        {{{0, -100, 0, 0}, {0, -27, 0, 0}}, "0200810000"},         // exactly 127 still merges
        {{{0, 120, 0, 0}, {0, -120, 0, 0}, {0, 120, 0, 0}, {0, 7, 1, 0}}, "02007f0100"}, // cancelling motion
        {{{0, 10, 0, 0}, {0, 0, 0, -1}, {0, 10, 0, 0}}, "02000a0000 02000000ff 02000a0000"}, // wheel goes alone
        {{{0, 5, 0, 0}, {0, 5, 0, 0}, {1, 0, 0, 0}, {1, 3, -2, 0}, {0, 2, 0, 0}},
         "02000a0000 020103fe00 0200020000"}, // a button change starts a new report
        {{{0, -128, -128, 0}}, "0200818100"},
    };
    for (const auto &[entries, want] : rows)
        EXPECT_EQ(mouse(entries), want);

    // The cap: the entries consumed are reported, the rest flushed next time.
    const MouseEntry entries[] = {{0, 1, 0, 0}, {0, 2, 0, 0}, {0, 0, 0, 1}, {4, 3, 0, 0}, {0, 4, 0, 0}, {0, 5, 0, 0}};
    uint8_t reports[4][5];
    std::memset(reports, 0xEE, sizeof reports);
    size_t consumed;
    ASSERT_EQ(mouse_coalesce(entries, 6, reports, 2, &consumed), 2u);
    EXPECT_EQ(consumed, 3u);
    EXPECT_EQ(hex(&reports[0][0], 15), "0200030000" "0200000001" "eeeeeeeeee");
    EXPECT_EQ(mouse_coalesce(entries, 6, reports, 0, &consumed) + consumed, 0u);
}
