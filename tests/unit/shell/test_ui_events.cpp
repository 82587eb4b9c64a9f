// Window input queued by the main thread and applied to Dear ImGui per frame.
#include <gtest/gtest.h>

#include <imgui.h>

#include <cfloat>
#include <cmath>
#include <thread>
#include <vector>

#include "shell/key_map.h"
#include "shell/ui_events.h"
#include "support/bytes.h"

namespace {

// A real Dear ImGui context that can run frames without a renderer.
class UiEvents : public ::testing::Test {
protected:
    void SetUp() override
    {
        ui_events_clear();
        ctx_ = ImGui::CreateContext();
        ImGuiIO &io = ImGui::GetIO();
        io.IniFilename = nullptr;
        io.DisplaySize = ImVec2(800, 600);
        io.DeltaTime = 1.0f / 60.0f;
        key_map_install(io);
        unsigned char *pixels = nullptr;
        int w = 0, h = 0;
        io.Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
    }

    void TearDown() override
    {
        if (in_frame_)
            ImGui::EndFrame();
        ImGui::DestroyContext(ctx_);
        ui_events_clear();
    }

    ImGuiIO &io() { return ImGui::GetIO(); }

    // Ends the previous frame and starts the next one the way the frame loop
    // does: queued events first, then NewFrame.
    int next_frame()
    {
        if (in_frame_)
            ImGui::EndFrame();
        const int applied = ui_events_apply(io());
        ImGui::NewFrame();
        in_frame_ = true;
        return applied;
    }

    std::vector<uint32_t> chars()
    {
        std::vector<uint32_t> out;
        for (int i = 0; i < io().InputQueueCharacters.Size; i++)
            out.push_back(io().InputQueueCharacters[i]);
        return out;
    }

    ImGuiContext *ctx_ = nullptr;
    bool in_frame_ = false;
};

using Chars = std::vector<uint32_t>;

} // namespace

TEST_F(UiEvents, KeysInOneFrame)
{
    // A press and release in one frame are both seen, the release a frame later.
    ui_events_push_key(UIKEY_A, true);
    ui_events_push_key(UIKEY_A, false);
    next_frame();
    EXPECT_TRUE(ImGui::IsKeyPressed(UIKEY_A, false));
    EXPECT_EQ(ui_events_pending(), 1u);
    next_frame();
    EXPECT_TRUE(ImGui::IsKeyReleased(UIKEY_A));
    // A double tap gives two presses.
    for (int i = 0; i < 2; i++)
        ui_events_push_key(UIKEY_ENTER, true), ui_events_push_key(UIKEY_ENTER, false);
    int presses = 0, releases = 0;
    for (int f = 0; f < 4; f++) {
        next_frame();
        presses += ImGui::IsKeyPressed(UIKEY_ENTER, false);
        releases += ImGui::IsKeyReleased(UIKEY_ENTER);
    }
    EXPECT_EQ(presses * 10 + releases, 22);
    // Different keys share a frame; repeats of a held key and the release of a
    // key not down do not hold up the queue.
    for (int k : {UIKEY_Q}) // released while not down
        ui_events_push_key(k, false);
    ui_events_push_key(UIKEY_LEFT_CTRL, true);
    for (int i = 0; i < 3; i++)
        ui_events_push_key(UIKEY_BACKSPACE, true);
    ui_events_push_key(UIKEY_B, true);
    EXPECT_EQ(next_frame(), 6);
    EXPECT_TRUE(io().KeyCtrl && ImGui::IsKeyDown(UIKEY_BACKSPACE) && ImGui::IsKeyPressed(UIKEY_B, false));
    EXPECT_EQ(ui_events_pending(), 0u);
}

TEST_F(UiEvents, InvalidEventsAreRefused)
{
    for (int key : {(int)UIKEY_NONE, (int)UIKEY_COUNT, -5, 511})
        EXPECT_EQ(ui_events_push_key(key, true), -1) << key;
    EXPECT_EQ(ui_events_push_char(0) + ui_events_push_char(0x110000), -2);
    EXPECT_EQ(ui_events_push_mouse_button(-1, true) + ui_events_push_mouse_button(5, true), -2);
    UiEvent bad[5] = {};
    bad[0].type = UI_EVENT_KEY, bad[0].code = 600;
    bad[1].type = UI_EVENT_NONE, bad[1].code = UIKEY_A;
    bad[2].type = (UiEventType)77;
    bad[3].type = UI_EVENT_WHEEL, bad[3].y = INFINITY;
    bad[4].type = UI_EVENT_WHEEL, bad[4].x = NAN;
    for (const UiEvent &ev : bad)
        EXPECT_EQ(ui_events_push(ev), -1) << ev.type;
    EXPECT_EQ(ui_events_pending(), 0u);
}

TEST_F(UiEvents, ModifiersFollowEitherKeyOfThePairAndClicksAreNoChords)
{
    struct Pair {
        int left, right;
        bool ImGuiIO::*flag;
        int mods_bit;
    } const pairs[] = {
        {UIKEY_LEFT_CTRL, UIKEY_RIGHT_CTRL, &ImGuiIO::KeyCtrl, ImGuiKeyModFlags_Ctrl},
        {UIKEY_LEFT_SHIFT, UIKEY_RIGHT_SHIFT, &ImGuiIO::KeyShift, ImGuiKeyModFlags_Shift},
        {UIKEY_LEFT_ALT, UIKEY_RIGHT_ALT, &ImGuiIO::KeyAlt, ImGuiKeyModFlags_Alt},
        {UIKEY_LEFT_SUPER, UIKEY_RIGHT_SUPER, &ImGuiIO::KeySuper, ImGuiKeyModFlags_Super},
    };
    for (const Pair &p : pairs) {
        ui_events_push_key(p.left, true);
        next_frame();
        EXPECT_TRUE(io().*p.flag) << p.left;
        EXPECT_EQ(io().KeyMods, p.mods_bit);
        ui_events_push_key(p.right, true);
        ui_events_push_key(p.left, false);
        next_frame();
        EXPECT_TRUE(io().*p.flag) << "right still down " << p.right;
        ui_events_push_key(p.right, false);
        next_frame();
        EXPECT_EQ(io().KeyMods, 0) << p.right;
    }
    // A key after a click waits a frame, so the click is not a chord; Ctrl
    // then a click is one.
    ui_events_push_mouse_button(0, true);
    ui_events_push_key(UIKEY_LEFT_CTRL, true);
    next_frame();
    EXPECT_TRUE(ImGui::IsMouseClicked(0) && !io().KeyCtrl);
    next_frame();
    EXPECT_TRUE(io().KeyCtrl);
    ui_events_push_key(UIKEY_LEFT_CTRL, false);
    ui_events_push_mouse_button(0, false);
    next_frame();
    next_frame();
    ASSERT_FALSE(io().KeyCtrl || ImGui::IsMouseDown(0));
    ui_events_push_key(UIKEY_LEFT_CTRL, true);
    ui_events_push_mouse_button(0, true);
    next_frame();
    EXPECT_TRUE(io().KeyCtrl && ImGui::IsMouseClicked(0));
}

TEST_F(UiEvents, TextIsDecodedIntoCharacters)
{
    // "a", e acute, euro sign, grinning face (outside the 16-bit range Dear
    // ImGui keeps characters in, so it stores the replacement character).
    EXPECT_EQ(ui_events_push_text("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 32), 4);
    EXPECT_EQ(ui_events_push_text("abcdef", 3), 3); // the byte limit
    EXPECT_EQ(ui_events_push_text("x\0yz", 8), 1);  // a zero byte
    EXPECT_EQ(ui_events_push_text(nullptr, 8), -1);
    EXPECT_EQ(ui_events_push_text("\xC3\xA9", 1), 1); // a sequence cut by the limit is malformed
    next_frame();
    EXPECT_EQ(chars(), (Chars{0x61, 0xE9, 0x20AC, 0xFFFD, 'a', 'b', 'c', 'x', 0xFFFD}));
    const struct {
        Bytes in;
        size_t used;
        uint32_t cp;
    } rows[] = {{{0x41}, 1, 0x41}, {{0xC2, 0x80}, 2, 0x80}, {{0xEF, 0xBF, 0xBD}, 3, 0xFFFD},
                {{0xF4, 0x8F, 0xBF, 0xBF}, 4, 0x10FFFF}, {{0xE0, 0x80, 0x80}, 1, 0xFFFD}, // overlong
                {{0xF0, 0x8F, 0xBF, 0xBF}, 1, 0xFFFD}, {{0xE2, 0x82}, 1, 0xFFFD}, {{}, 0, 0}, // cut, empty
                {{0x80}, 1, 0xFFFD}, {{0xED, 0xA0, 0x80}, 1, 0xFFFD}, {{0xF4, 0x90, 0x80, 0x80}, 1, 0xFFFD}, // surrogate, too high
                {{0xFF}, 1, 0xFFFD}, {{0xC3, '('}, 1, 0xFFFD}};
    for (const auto &r : rows) {
        uint32_t cp = 0;
        Exact e(r.in);
        EXPECT_EQ(ui_utf8_decode(e.p, e.n, &cp), r.used) << hex(r.in);
        EXPECT_EQ(cp, r.cp) << hex(r.in);
    }
}

TEST_F(UiEvents, CharacterAfterAKeyChangeWaitsAFrame)
{
    // Text fields take the frame's characters before its keys: Backspace and
    // then "b" in one frame would delete the "b".
    ui_events_push_key(UIKEY_BACKSPACE, true);
    ui_events_push_char('b');
    next_frame();
    EXPECT_TRUE(ImGui::IsKeyPressed(UIKEY_BACKSPACE, false));
    EXPECT_TRUE(chars().empty());
    ui_events_push_char('x'); // characters before a key share its frame
    ui_events_push_key(UIKEY_ENTER, true);
    EXPECT_EQ(next_frame(), 3);
    EXPECT_EQ(chars(), (Chars{'b', 'x'}));
    EXPECT_TRUE(ImGui::IsKeyPressed(UIKEY_ENTER, false));
}

// --- mouse ------------------------------------------------------------------

TEST_F(UiEvents, MousePositionIsDividedByTheFramebufferScale)
{
    io().DisplayFramebufferScale = ImVec2(2.0f, 2.0f);
    ui_events_push_mouse_pos(300.0f, 101.0f);
    next_frame();
    EXPECT_FLOAT_EQ(io().MousePos.x, 150.0f);
    EXPECT_FLOAT_EQ(io().MousePos.y, 50.0f);   // NewFrame floors 50.5

    io().DisplayFramebufferScale = ImVec2(0.0f, -1.0f); // a nonsense scale is not used
    ui_events_push_mouse_pos(1.0f, 1.0f);
    ui_events_push_mouse_pos(30.0f, 40.0f); // consecutive positions collapse to the latest
    EXPECT_EQ(ui_events_pending(), 1u);
    next_frame();
    EXPECT_FLOAT_EQ(io().MousePos.x, 30.0f);
    EXPECT_FLOAT_EQ(io().MousePos.y, 40.0f);
    ui_events_push_mouse_pos(-FLT_MAX, -FLT_MAX); // no position stays invalid
    next_frame();
    EXPECT_FALSE(ImGui::IsMousePosValid());
    ui_events_push_mouse_pos(NAN, 3.0f);
    next_frame();
    EXPECT_FALSE(ImGui::IsMousePosValid());
}

TEST_F(UiEvents, ClickWithinOneFrameIsSeenWhereItHappened)
{
    ui_events_push_mouse_pos(10.0f, 20.0f);
    ui_events_push_mouse_button(0, true);
    ui_events_push_mouse_button(0, false);
    ui_events_push_mouse_pos(300.0f, 200.0f);

    next_frame();
    EXPECT_TRUE(ImGui::IsMouseClicked(0));
    EXPECT_FLOAT_EQ(io().MousePos.x, 10.0f);

    next_frame();
    EXPECT_TRUE(ImGui::IsMouseReleased(0));
    EXPECT_FLOAT_EQ(io().MousePos.x, 10.0f);
    EXPECT_FLOAT_EQ(io().MousePos.y, 20.0f);

    next_frame();
    EXPECT_FLOAT_EQ(io().MousePos.x, 300.0f);
    EXPECT_FLOAT_EQ(io().MousePos.y, 200.0f);
    EXPECT_EQ(ui_events_pending(), 0u);
}

TEST_F(UiEvents, WheelGivesOneStepPerEventAndAxis)
{
    struct Frame {
        std::vector<std::pair<int, int>> scrolls; // (x, y) pushed before the frame
        float wheel_h, wheel;
    } const frames[] = {
        {{{0, 3}}, 0.0f, 1.0f},
        {{{0, -2}}, 0.0f, -1.0f},
        {{{0, 1}, {0, 1}}, 0.0f, 2.0f},
        {{}, 0.0f, 0.0f}, // the wheel is per frame
        {{{2, 0}}, 1.0f, 0.0f},
        {{{-1, 0}}, -1.0f, 0.0f},
    };
    for (size_t i = 0; i < std::size(frames); i++) {
        SCOPED_TRACE(i);
        for (auto [x, y] : frames[i].scrolls)
            ui_events_push_scroll(x, y);
        next_frame();
        EXPECT_FLOAT_EQ(io().MouseWheelH, frames[i].wheel_h);
        EXPECT_FLOAT_EQ(io().MouseWheel, frames[i].wheel);
    }
    EXPECT_EQ(ui_events_push_scroll(0, 0), 0);
    EXPECT_EQ(ui_events_pending(), 0u);
    // A move after a wheel step waits for the next frame.
    ui_events_push_mouse_pos(50.0f, 60.0f);
    ui_events_push_scroll(0, -1);
    ui_events_push_mouse_pos(400.0f, 300.0f);
    next_frame();
    EXPECT_FLOAT_EQ(io().MouseWheel, -1.0f);
    EXPECT_FLOAT_EQ(io().MousePos.x, 50.0f);
    next_frame();
    EXPECT_FLOAT_EQ(io().MouseWheel, 0.0f);
    EXPECT_FLOAT_EQ(io().MousePos.x, 400.0f);
}


// --- focus ------------------------------------------------------------------

TEST_F(UiEvents, FocusLostReleasesAllKeysAndButtons)
{
    ui_events_push_key(UIKEY_A, true);
    ui_events_push_key(UIKEY_LEFT_SHIFT, true);
    ui_events_push_key(UIKEY_RIGHT_ALT, true);
    ui_events_push_mouse_button(0, true);
    next_frame();
    ASSERT_TRUE(ImGui::IsKeyDown(UIKEY_A) && io().KeyShift && ImGui::IsMouseDown(0));
    ui_events_push_focus(false);
    next_frame();
    EXPECT_FALSE(ImGui::IsKeyDown(UIKEY_A) || ImGui::IsKeyDown(UIKEY_LEFT_SHIFT) || ImGui::IsKeyDown(UIKEY_RIGHT_ALT));
    EXPECT_FALSE(io().KeyShift || io().KeyAlt || io().KeyMods || ImGui::IsMouseDown(0));

    // Their releases arrive elsewhere; coming back starts from nothing held.
    ui_events_push_focus(true);
    next_frame();
    EXPECT_FALSE(ImGui::IsKeyDown(UIKEY_A));
    EXPECT_EQ(ui_events_pending(), 0u);

    // A press just before the loss is still seen.
    ui_events_push_key(UIKEY_F5, true);
    ui_events_push_focus(false);
    next_frame();
    EXPECT_TRUE(ImGui::IsKeyPressed(UIKEY_F5, false));
    next_frame();
    EXPECT_FALSE(ImGui::IsKeyDown(UIKEY_F5));

    // Events after a loss wait for the next frame.
    ui_events_push_focus(false);
    ui_events_push_focus(true);
    ui_events_push_key(UIKEY_B, true);
    EXPECT_EQ(next_frame(), 1);
    EXPECT_FALSE(ImGui::IsKeyDown(UIKEY_B));
    next_frame();
    EXPECT_TRUE(ImGui::IsKeyPressed(UIKEY_B, false));
}

// --- the queue --------------------------------------------------------------

TEST_F(UiEvents, FullQueueDropsOldEventsAndReleasesEverything)
{
    ui_events_push_key(UIKEY_W, true);
    ui_events_push_mouse_button(1, true);
    next_frame();
    ASSERT_TRUE(ImGui::IsKeyDown(UIKEY_W));

    for (size_t i = 0; i < UI_EVENTS_MAX; i++)
        ASSERT_EQ(ui_events_push_char('a' + (uint32_t)(i % 26)), 0) << i;
    EXPECT_EQ(ui_events_pending(), UI_EVENTS_MAX);
    EXPECT_EQ(ui_events_push_char('!'), 1);
    EXPECT_EQ(ui_events_pending(), 1u);

    next_frame();
    EXPECT_FALSE(ImGui::IsKeyDown(UIKEY_W));
    EXPECT_FALSE(ImGui::IsMouseDown(1));
    EXPECT_EQ(chars(), (Chars{'!'}));
    ui_events_push_char('w');
    ui_events_clear();
    EXPECT_EQ(next_frame(), 0);
}

TEST_F(UiEvents, ProducerThreadAndConsumerKeepOrderAndLoseNothing)
{
    // Fewer events than the queue holds, so none may be dropped whatever the
    // interleaving; characters must arrive complete and in order, and the
    // last position must win.
    constexpr uint32_t N = 3000;
    std::thread producer([] {
        for (uint32_t i = 0; i < N; i++) {
            ui_events_push_char(0x100 + i);
            if (i % 7 == 0)
                ui_events_push_mouse_pos((float)i, (float)(i + 1));
            if (i % 50 == 0) {
                ui_events_push_key(UIKEY_K, true);
                ui_events_push_key(UIKEY_K, false);
            }
        }
        ui_events_push_mouse_pos(-1.0f, 2.0f);
    });

    std::vector<uint32_t> got;
    got.reserve(N);
    auto consume = [&] {
        const int applied = ui_events_apply(io());
        for (int i = 0; i < io().InputQueueCharacters.Size; i++)
            got.push_back(io().InputQueueCharacters[i]);
        io().InputQueueCharacters.resize(0);
        return applied;
    };
    // Every apply takes at least the first queued event, so this ends once
    // the producer has pushed its last character.
    while (got.size() < N) {
        if (consume() == 0)
            std::this_thread::yield();
    }
    producer.join();
    while (ui_events_pending() > 0)
        consume();

    ASSERT_EQ(got.size(), N);
    for (uint32_t i = 0; i < N; i++)
        ASSERT_EQ(got[i], 0x100 + i) << i;
    EXPECT_FLOAT_EQ(io().MousePos.x, -1.0f);
    EXPECT_FLOAT_EQ(io().MousePos.y, 2.0f);
    EXPECT_FALSE(io().KeysDown[UIKEY_K]);
    EXPECT_EQ(ui_events_pending(), 0u);
}

// The UI thread's sleep between frames.
TEST_F(UiEvents, WaitEndsForAWakeAndForEventsOnlyWhenAskedTo)
{
    ui_events_wait(0, true);  // forget anything earlier
    EXPECT_FALSE(ui_events_wait(1000, true));   // nothing: the time-out
    EXPECT_FALSE(ui_events_wait(0, false));

    // A wake before the wait is not missed, and is used up by it.
    ui_events_wake();
    EXPECT_TRUE(ui_events_wait(10000000, false));
    EXPECT_FALSE(ui_events_wait(1000, false));

    // An event ends only a wait that asks for events.
    ui_events_push_key(ImGuiKey_A, true);
    EXPECT_FALSE(ui_events_wait(1000, false));
    EXPECT_TRUE(ui_events_wait(10000000, true));  // still queued: at once
    ui_events_clear();

    // Woken from another thread while it sleeps.
    std::thread t([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ui_events_wake();
    });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(ui_events_wait(30000000, false));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
    t.join();
}
