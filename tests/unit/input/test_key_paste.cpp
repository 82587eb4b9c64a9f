// Typing text into the target: the character tables of the target's layout,
// the reports of a text, and the paster's cancel.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "input/key_paste.h"
#include "support/wait.h"

namespace {

constexpr uint8_t S = KEYBOARD_MOD_LEFT_SHIFT, G = KEYBOARD_MOD_RIGHT_ALT;

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

TEST(KeyLayout, CharactersAsTheLayoutsKeyCapsShowThem)
{
    // The strokes: usage and modifiers, then for a dead key the second
    // stroke; usage 0: not typable.
    const struct {
        const char *layout;
        char32_t c;
        uint8_t usage = 0, mods = 0, usage2 = 0, mods2 = 0;
    } rows[] = {
        {"us", U'a', 0x04, 0}, {"us", U'A', 0x04, S}, {"us", U'@', 0x1F, S}, {"us", U'é', 0}, {"us", U'\x7f', 0},
        {"de", U'z', 0x1C, 0}, {"de", U'ß', 0x2D, 0}, {"de", U'>', 0x64, S}, {"de", U'@', 0x14, G},
        // Dead keys: the accent with Space, the accented letter with its letter.
        {"de", U'^', 0x35, 0, 0x2C, 0}, {"de", U'`', 0x2E, S, 0x2C, 0}, {"de", U'Ê', 0x35, 0, 0x08, S},
        {"de", U'日', 0},
        {"fr", U'a', 0x14, 0}, {"fr", U'1', 0x1E, S}, {"fr", U'é', 0x1F, 0}, {"fr", U'¨', 0x2F, S, 0x2C, 0},
        {"fr", U'ë', 0x2F, S, 0x08, 0}, {"fr", U'ñ', 0},
        {"jp", U'@', 0x2F, 0}, {"jp", U'\\', 0x87, 0}, {"jp", U'|', 0x89, S}, {"jp", U'é', 0},
    };
    for (const auto &k : rows) {
        SCOPED_TRACE(std::string(k.layout) + " U+" + std::to_string((uint32_t)k.c));
        KeyStroke got[2] = {};
        const int n = key_layout_strokes(layout(k.layout), k.c, got);
        EXPECT_EQ(n, k.usage == 0 ? 0 : k.usage2 == 0 ? 1 : 2);
        EXPECT_EQ((std::vector<int>{got[0].usage, got[0].modifiers, got[1].usage, got[1].modifiers}),
                  (std::vector<int>{k.usage, k.mods, k.usage2, k.mods2}));
    }
    KeyLayout l;
    KeyStroke st[2];
    EXPECT_EQ(key_layout_build("no_such_layout", &l), -1);
    EXPECT_EQ(key_layout_strokes(l, U'a', st), 0);
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
    EXPECT_EQ(plan.characters * 10 + plan.skipped, 62u);
    EXPECT_EQ(paste_count_characters("a\xE2\x82", 3), 3u); // a cut sequence counts byte by byte
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
    ASSERT_TRUE(paster_start(&p, plan));
    EXPECT_TRUE(wait_until([&] { std::lock_guard<std::mutex> hold(sink.lock); return sink.got.size() >= 21; }));
    paster_cancel(&p);
    EXPECT_TRUE(wait_until([&] { return !paster_active(&p); }));
    paster_stop(&p);
    EXPECT_EQ(p.outcome.load(), PASTE_CANCELLED);
    ASSERT_GE(sink.got.size(), 22u);
    ASSERT_LT(sink.got.size(), plan.reports.size());
    EXPECT_EQ(sink.got.back(), (R{1, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(std::equal(sink.got.begin(), sink.got.end() - 1, plan.reports.begin()));
    EXPECT_FALSE(paster_start(&p, plan)); // stopped for good
}

} // namespace
