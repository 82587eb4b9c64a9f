// Typing text into the target: the character tables of the target's layout,
// the reports of a text and of a key combination, the pace, and the paster's
// cancel.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "input/key_paste.h"
#include "support/wait.h"

namespace {

constexpr uint8_t S = KEYBOARD_MOD_LEFT_SHIFT, G = KEYBOARD_MOD_RIGHT_ALT;

struct Case {
    char32_t c;
    // The strokes, written from the layouts' key caps: usage and modifiers,
    // then for a dead key the second stroke; usage 0: not typable.
    uint8_t usage = 0, mods = 0, usage2 = 0, mods2 = 0;
};

const KeyLayout &layout(const char *name)
{
    static std::map<std::string, KeyLayout> built;
    auto it = built.find(name);
    if (it == built.end()) {
        it = built.emplace(name, KeyLayout{}).first;
        EXPECT_EQ(key_layout_build(name, &it->second), 0) << name;
    }
    return it->second;
}

void check(const char *name, const std::vector<Case> &cases)
{
    for (const Case &k : cases) {
        SCOPED_TRACE(std::string(name) + " U+" + std::to_string((uint32_t)k.c));
        KeyStroke got[2] = {};
        int n = key_layout_strokes(layout(name), k.c, got);
        std::vector<int> want = {k.usage, k.mods, k.usage2, k.mods2}, have(4, 0);
        for (int i = 0; i < n && i < 2; i++)
            have[2 * i] = got[i].usage, have[2 * i + 1] = got[i].modifiers;
        EXPECT_EQ(n, k.usage == 0 ? 0 : k.usage2 == 0 ? 1 : 2);
        EXPECT_EQ(have, want);
    }
}

TEST(KeyLayout, UnitedStates)
{
    check("us", {{U'a', 0x04, 0}, {U'A', 0x04, S}, {U'1', 0x1E, 0}, {U'!', 0x1E, S}, {U'@', 0x1F, S},
                 {U' ', 0x2C, 0}, {U'~', 0x35, S}, {U'|', 0x31, S}, {U'<', 0x36, S}, {U'?', 0x38, S},
                 // Not on the keyboard: accents, the euro, ideographs, controls.
                 {U'é', 0}, {U'€', 0}, {U'日', 0}, {U'\x7f', 0}});
}

TEST(KeyLayout, German)
{
    check("de", {{U'z', 0x1C, 0}, {U'y', 0x1D, 0}, {U'Z', 0x1C, S}, {U'ß', 0x2D, 0}, {U'ä', 0x34, 0},
                 {U'Ö', 0x33, S}, {U'"', 0x1F, S}, {U'#', 0x31, 0}, {U'\'', 0x31, S}, {U'<', 0x64, 0},
                 {U'>', 0x64, S}, {U'@', 0x14, G}, {U'€', 0x08, G}, {U'{', 0x24, G}, {U'\\', 0x2D, G},
                 {U'|', 0x64, G},
                 // Dead keys: the accent with Space, the accented letter with its letter.
                 {U'^', 0x35, 0, 0x2C, 0}, {U'`', 0x2E, S, 0x2C, 0}, {U'é', 0x2E, 0, 0x08, 0},
                 {U'Ê', 0x35, 0, 0x08, S}, {U'日', 0}});
}

TEST(KeyLayout, French)
{
    check("fr", {{U'a', 0x14, 0}, {U'q', 0x04, 0}, {U'w', 0x1D, 0}, {U'm', 0x33, 0}, {U'&', 0x1E, 0},
                 {U'1', 0x1E, S}, {U'é', 0x1F, 0}, {U'@', 0x27, G}, {U',', 0x10, 0}, {U';', 0x36, 0},
                 {U':', 0x37, 0}, {U'!', 0x38, 0}, {U'^', 0x26, G}, {U'¨', 0x2F, S, 0x2C, 0},
                 {U'ê', 0x2F, 0, 0x08, 0}, {U'ë', 0x2F, S, 0x08, 0}, {U'ñ', 0}});
}

TEST(KeyLayout, Japanese)
{
    check("jp", {{U'@', 0x2F, 0}, {U'`', 0x2F, S}, {U'"', 0x1F, S}, {U'&', 0x23, S}, {U'^', 0x2E, 0},
                 {U'~', 0x2E, S}, {U'=', 0x2D, S}, {U':', 0x34, 0}, {U'*', 0x34, S}, {U'+', 0x33, S},
                 {U'[', 0x30, 0}, {U']', 0x31, 0}, {U'\\', 0x87, 0}, {U'_', 0x87, S}, {U'|', 0x89, S},
                 {U'é', 0}});
}

TEST(KeyLayout, AnUnknownLayoutBuildsNothing)
{
    KeyLayout l;
    KeyStroke s[2];
    EXPECT_EQ(key_layout_build("no_such_layout", &l), -1);
    EXPECT_EQ(key_layout_strokes(l, U'a', s), 0);
}

using R = KeyReport;

TEST(KeyPaste, TextBecomesPressesAndReleasesWithModifiersFirst)
{
    // CR LF is one Enter; a control character and é (not on the US keyboard)
    // are skipped and counted.
    const std::string text = "Ab\t\r\n\x01\xC3\xA9";
    PastePlan plan;
    paste_plan_text(layout("us"), text.data(), text.size(), &plan);
    EXPECT_EQ(plan.reports, (std::vector<R>{{1, S}, {1, S, 0, 0x04}, {1, S}, {1, 0}, {1, 0, 0, 0x05}, {1, 0},
                                            {1, 0, 0, 0x2B}, {1, 0}, {1, 0, 0, 0x28}, {1, 0}}));
    EXPECT_EQ(plan.done, (std::vector<uint32_t>{0, 0, 1, 1, 1, 2, 2, 3, 3, 4}));
    EXPECT_EQ(plan.characters, 6u);
    EXPECT_EQ(plan.skipped, 2u);
    // A cut sequence counts byte by byte.
    EXPECT_EQ(paste_count_characters("a\xE2\x82", 3), 3u);
}

TEST(KeyPaste, ACombinationPressesInOrderThenReleasesInReverse)
{
    const std::vector<KeyCombo> &combos = key_combos();
    ASSERT_EQ(combos.size(), 19u);
    PastePlan plan;
    paste_plan_combo(combos[0], &plan);
    EXPECT_EQ(plan.reports, (std::vector<R>{{1, 0x01}, {1, 0x05}, {1, 0x05, 0, 0x4C}, {1, 0x05}, {1, 0x01}, {1, 0}}));
    paste_plan_combo(combos[18], &plan);
    EXPECT_EQ(plan.reports[2], (R{1, 0x05, 0, 0x45}));
    paste_plan_combo(combos[5], &plan);  // the Windows key
    EXPECT_EQ(plan.reports, (std::vector<R>{{1, 0x08}, {1, 0}}));
}

TEST(KeyPaste, Pace)
{
    struct Row {
        uint64_t now, last;
        uint32_t backlog, wait;
    } rows[] = {
        {1000, 0, 0, 0},     // the first report goes at once
        {1000, 995, 0, 5},   // 10 ms after the one before
        {1000, 990, 0, 0},   //
        {1000, 1000, 0, 10}, //
        {1000, 900, 3, 1},   // reports still wait for a batch: look again in 1 ms
    };
    for (const Row &r : rows)
        EXPECT_EQ(paste_wait_ms(r.now, r.last, 10, r.backlog), r.wait) << r.now << " " << r.last;
    // 800 characters of lower-case text: two reports each.
    EXPECT_EQ(paste_duration_ms(1600, PASTE_REPORT_INTERVAL_MS), 16000u);
}

TEST(KeyPaste, CancelHalfwayEndsWithEverythingReleased)
{
    struct Sink {
        std::mutex lock;
        std::vector<R> got;
    } sink;
    KeyPaster p;
    p.interval_ms = 1;
    p.hooks = PasteHooks{&sink, [](void *) { return true; },
                         [](void *ctx, const uint8_t *r, size_t) {
                             Sink *s = static_cast<Sink *>(ctx);
                             std::lock_guard<std::mutex> hold(s->lock);
                             s->got.push_back(R{r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8]});
                         },
                         [](void *) { return 0u; }};
    PastePlan plan;
    const std::string text(2000, 'K');
    paste_plan_text(layout("us"), text.data(), text.size(), &plan);
    const std::vector<R> want = plan.reports;
    ASSERT_TRUE(paster_start(&p, plan));
    auto sent = [&] {
        std::lock_guard<std::mutex> hold(sink.lock);
        return sink.got.size();
    };
    EXPECT_TRUE(wait_until([&] { return sent() >= 21; }));
    paster_cancel(&p);
    EXPECT_TRUE(wait_until([&] { return !paster_active(&p); }));
    paster_stop(&p);
    ASSERT_FALSE(paster_active(&p));
    EXPECT_EQ(p.outcome.load(), PASTE_CANCELLED);
    ASSERT_GE(sink.got.size(), 22u);
    ASSERT_LT(sink.got.size(), want.size());
    EXPECT_EQ(sink.got.back(), (R{1, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(std::equal(sink.got.begin(), sink.got.end() - 1, want.begin()));
    EXPECT_FALSE(paster_start(&p, plan));  // stopped for good
}

}  // namespace
