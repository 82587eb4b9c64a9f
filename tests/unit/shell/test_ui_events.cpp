// Window input queued by the main thread and applied to Dear ImGui per frame.
#include <gtest/gtest.h>

#include <imgui.h>

#include <cfloat>
#include <cmath>
#include <thread>
#include <vector>

#include "shell/key_map.h"
#include "shell/ui_events.h"

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

// --- keys -------------------------------------------------------------------

TEST_F(UiEvents, PressAndReleaseInOneFrameAreBothSeen)
{
    ASSERT_EQ(ui_events_push_key(UIKEY_A, true), 0);
    ASSERT_EQ(ui_events_push_key(UIKEY_A, false), 0);

    next_frame();
    EXPECT_TRUE(ImGui::IsKeyPressed(UIKEY_A, false));
    EXPECT_TRUE(ImGui::IsKeyDown(UIKEY_A));
    EXPECT_EQ(ui_events_pending(), 1u);

    next_frame();
    EXPECT_TRUE(ImGui::IsKeyReleased(UIKEY_A));
    EXPECT_FALSE(ImGui::IsKeyDown(UIKEY_A));
    EXPECT_EQ(ui_events_pending(), 0u);
}

TEST_F(UiEvents, DoubleTapInOneFrameGivesTwoPresses)
{
    for (int i = 0; i < 2; i++) {
        ui_events_push_key(UIKEY_ENTER, true);
        ui_events_push_key(UIKEY_ENTER, false);
    }
    int presses = 0, releases = 0;
    for (int f = 0; f < 4; f++) {
        next_frame();
        presses += ImGui::IsKeyPressed(UIKEY_ENTER, false);
        releases += ImGui::IsKeyReleased(UIKEY_ENTER);
    }
    EXPECT_EQ(presses, 2);
    EXPECT_EQ(releases, 2);
    EXPECT_EQ(ui_events_pending(), 0u);
}

TEST_F(UiEvents, DifferentKeysShareAFrame)
{
    ui_events_push_key(UIKEY_LEFT_CTRL, true);
    ui_events_push_key(UIKEY_A, true);
    EXPECT_EQ(next_frame(), 2);
    EXPECT_TRUE(io().KeyCtrl);
    EXPECT_TRUE(ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_A), false));
    EXPECT_EQ(ui_events_pending(), 0u);
}

TEST_F(UiEvents, RepeatedPressesOfAHeldKeyDoNotHoldUpTheQueue)
{
    ui_events_push_key(UIKEY_BACKSPACE, true);
    ui_events_push_key(UIKEY_BACKSPACE, true);
    ui_events_push_key(UIKEY_BACKSPACE, true);
    ui_events_push_key(UIKEY_B, true);
    EXPECT_EQ(next_frame(), 4);
    EXPECT_TRUE(ImGui::IsKeyDown(UIKEY_BACKSPACE));
    EXPECT_TRUE(ImGui::IsKeyDown(UIKEY_B));
}

TEST_F(UiEvents, ReleaseOfAKeyNotDownChangesNothing)
{
    ui_events_push_key(UIKEY_Q, false);
    ui_events_push_key(UIKEY_Q, true);
    EXPECT_EQ(next_frame(), 2);
    EXPECT_TRUE(ImGui::IsKeyPressed(UIKEY_Q, false));
}

TEST_F(UiEvents, InvalidEventsAreRefused)
{
    EXPECT_EQ(ui_events_push_key(UIKEY_NONE, true), -1);
    EXPECT_EQ(ui_events_push_key(UIKEY_COUNT, true), -1);
    EXPECT_EQ(ui_events_push_key(-5, true), -1);
    EXPECT_EQ(ui_events_push_key(511, true), -1);
    EXPECT_EQ(ui_events_push_char(0), -1);
    EXPECT_EQ(ui_events_push_char(0x110000), -1);
    EXPECT_EQ(ui_events_push_mouse_button(-1, true), -1);
    EXPECT_EQ(ui_events_push_mouse_button(5, true), -1);
    UiEvent ev{};
    ev.type = UI_EVENT_KEY;
    ev.code = 600;
    EXPECT_EQ(ui_events_push(ev), -1);
    ev.type = UI_EVENT_NONE;
    ev.code = UIKEY_A;
    EXPECT_EQ(ui_events_push(ev), -1);
    ev.type = (UiEventType)77;
    EXPECT_EQ(ui_events_push(ev), -1);
    ev = UiEvent{};
    ev.type = UI_EVENT_WHEEL;
    ev.y = INFINITY;
    EXPECT_EQ(ui_events_push(ev), -1);
    ev.y = 0;
    ev.x = NAN;
    EXPECT_EQ(ui_events_push(ev), -1);
    EXPECT_EQ(ui_events_pending(), 0u);
}

// --- modifiers --------------------------------------------------------------

TEST_F(UiEvents, ModifierFlagsFollowEitherKeyOfThePair)
{
    struct Pair {
        int left, right;
        bool ImGuiIO::*flag;
        int mods_bit;
    };
    const Pair pairs[] = {
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
        EXPECT_FALSE(io().*p.flag) << p.right;
        EXPECT_EQ(io().KeyMods, 0);
    }
}

TEST_F(UiEvents, AllModifiersTogether)
{
    ui_events_push_key(UIKEY_RIGHT_CTRL, true);
    ui_events_push_key(UIKEY_LEFT_SHIFT, true);
    ui_events_push_key(UIKEY_RIGHT_ALT, true);
    ui_events_push_key(UIKEY_LEFT_SUPER, true);
    next_frame();
    EXPECT_EQ(io().KeyMods, ImGuiKeyModFlags_Ctrl | ImGuiKeyModFlags_Shift |
                                ImGuiKeyModFlags_Alt | ImGuiKeyModFlags_Super);
}

TEST_F(UiEvents, KeyAfterAClickWaitsSoTheClickIsNotAChord)
{
    ui_events_push_mouse_button(0, true);
    ui_events_push_key(UIKEY_LEFT_CTRL, true);
    next_frame();
    EXPECT_TRUE(ImGui::IsMouseClicked(0));
    EXPECT_FALSE(io().KeyCtrl);
    next_frame();
    EXPECT_TRUE(io().KeyCtrl);
}

TEST_F(UiEvents, CtrlThenClickIsAChordInOneFrame)
{
    ui_events_push_key(UIKEY_LEFT_CTRL, true);
    ui_events_push_mouse_button(0, true);
    next_frame();
    EXPECT_TRUE(io().KeyCtrl);
    EXPECT_TRUE(ImGui::IsMouseClicked(0));
}

// --- text -------------------------------------------------------------------

TEST_F(UiEvents, TextIsDecodedIntoCharacters)
{
    // "a", e acute, euro sign, grinning face (outside the 16-bit range Dear
    // ImGui keeps characters in, so it stores the replacement character).
    const char text[] = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    EXPECT_EQ(ui_events_push_text(text, 32), 4);
    next_frame();
    EXPECT_EQ(chars(), (Chars{0x61, 0xE9, 0x20AC, 0xFFFD}));
}

TEST_F(UiEvents, TextStopsAtTheByteLimitAndAtNul)
{
    EXPECT_EQ(ui_events_push_text("abcdef", 3), 3);
    EXPECT_EQ(ui_events_push_text("x\0yz", 8), 1);
    EXPECT_EQ(ui_events_push_text("", 8), 0);
    EXPECT_EQ(ui_events_push_text(nullptr, 8), -1);
    // A sequence cut by the limit is malformed.
    EXPECT_EQ(ui_events_push_text("\xC3\xA9", 1), 1);
    next_frame();
    EXPECT_EQ(chars(), (Chars{'a', 'b', 'c', 'x', 0xFFFD}));
}

TEST_F(UiEvents, MalformedUtf8GivesReplacementCharacters)
{
    // Lone continuation byte, lead byte followed by ASCII, overlong slash,
    // encoded surrogate, above U+10FFFF, byte 0xFF.
    EXPECT_EQ(ui_events_push_text("\x80"
                                  "\xC3("
                                  "\xC0\xAF"
                                  "\xED\xA0\x80"
                                  "\xF4\x90\x80\x80"
                                  "\xFF",
                                  64),
              1 + 2 + 2 + 3 + 4 + 1);
    next_frame();
    EXPECT_EQ(chars(), (Chars{0xFFFD, 0xFFFD, '(', 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD,
                              0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}));
}

TEST(Utf8Decode, LiteralSequences)
{
    uint32_t cp = 0;
    const uint8_t ascii[] = {0x41};
    EXPECT_EQ(ui_utf8_decode(ascii, 1, &cp), 1u);
    EXPECT_EQ(cp, 0x41u);
    const uint8_t two[] = {0xC2, 0x80};
    EXPECT_EQ(ui_utf8_decode(two, 2, &cp), 2u);
    EXPECT_EQ(cp, 0x80u);
    const uint8_t three[] = {0xEF, 0xBF, 0xBD};
    EXPECT_EQ(ui_utf8_decode(three, 3, &cp), 3u);
    EXPECT_EQ(cp, 0xFFFDu);
    const uint8_t four_max[] = {0xF4, 0x8F, 0xBF, 0xBF};
    EXPECT_EQ(ui_utf8_decode(four_max, 4, &cp), 4u);
    EXPECT_EQ(cp, 0x10FFFFu);
    const uint8_t overlong3[] = {0xE0, 0x80, 0x80};
    EXPECT_EQ(ui_utf8_decode(overlong3, 3, &cp), 1u);
    EXPECT_EQ(cp, 0xFFFDu);
    const uint8_t overlong4[] = {0xF0, 0x8F, 0xBF, 0xBF};
    EXPECT_EQ(ui_utf8_decode(overlong4, 4, &cp), 1u);
    EXPECT_EQ(cp, 0xFFFDu);
    // Cut: the buffer ends inside the sequence; nothing past it is read.
    const uint8_t cut[] = {0xE2, 0x82};
    EXPECT_EQ(ui_utf8_decode(cut, 2, &cp), 1u);
    EXPECT_EQ(cp, 0xFFFDu);
    EXPECT_EQ(ui_utf8_decode(cut, 0, &cp), 0u);
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
    next_frame();
    EXPECT_EQ(chars(), (Chars{'b'}));
}

TEST_F(UiEvents, CharactersBeforeAKeyShareItsFrame)
{
    ui_events_push_char('x');
    ui_events_push_char('y');
    ui_events_push_key(UIKEY_ENTER, true);
    EXPECT_EQ(next_frame(), 3);
    EXPECT_EQ(chars(), (Chars{'x', 'y'}));
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

    io().DisplayFramebufferScale = ImVec2(0.0f, -1.0f);
    ui_events_push_mouse_pos(30.0f, 40.0f);
    next_frame();
    EXPECT_FLOAT_EQ(io().MousePos.x, 30.0f);
    EXPECT_FLOAT_EQ(io().MousePos.y, 40.0f);
}

TEST_F(UiEvents, NoMousePositionStaysInvalid)
{
    io().DisplayFramebufferScale = ImVec2(0.5f, 0.5f);
    ui_events_push_mouse_pos(-FLT_MAX, -FLT_MAX);
    next_frame();
    EXPECT_FALSE(ImGui::IsMousePosValid());
    EXPECT_EQ(io().MousePos.x, -FLT_MAX);

    ui_events_push_mouse_pos(5.0f, 5.0f);
    next_frame();
    EXPECT_TRUE(ImGui::IsMousePosValid());

    ui_events_push_mouse_pos(NAN, 3.0f);
    next_frame();
    EXPECT_FALSE(ImGui::IsMousePosValid());
}

TEST_F(UiEvents, ConsecutivePositionsCollapseToTheLatest)
{
    ui_events_push_mouse_pos(1.0f, 1.0f);
    ui_events_push_mouse_pos(2.0f, 2.0f);
    ui_events_push_mouse_pos(3.0f, 4.0f);
    EXPECT_EQ(ui_events_pending(), 1u);
    next_frame();
    EXPECT_FLOAT_EQ(io().MousePos.x, 3.0f);
    EXPECT_FLOAT_EQ(io().MousePos.y, 4.0f);
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

TEST_F(UiEvents, ButtonsAreIndependent)
{
    ui_events_push_mouse_button(1, true);
    ui_events_push_mouse_button(2, true);
    ui_events_push_mouse_button(4, true);
    ui_events_push_mouse_button(1, false);
    next_frame();
    EXPECT_TRUE(ImGui::IsMouseClicked(1));
    EXPECT_TRUE(ImGui::IsMouseDown(2));
    EXPECT_TRUE(ImGui::IsMouseDown(4));
    EXPECT_FALSE(ImGui::IsMouseDown(0));
    next_frame();
    EXPECT_TRUE(ImGui::IsMouseReleased(1));
    EXPECT_TRUE(ImGui::IsMouseDown(2));
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
}

TEST_F(UiEvents, MoveAfterAWheelStepWaits)
{
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
    ASSERT_TRUE(ImGui::IsKeyDown(UIKEY_A));
    ASSERT_TRUE(io().KeyShift);
    ASSERT_TRUE(ImGui::IsMouseDown(0));

    ui_events_push_focus(false);
    next_frame();
    EXPECT_FALSE(ImGui::IsKeyDown(UIKEY_A));
    EXPECT_FALSE(ImGui::IsKeyDown(UIKEY_LEFT_SHIFT));
    EXPECT_FALSE(ImGui::IsKeyDown(UIKEY_RIGHT_ALT));
    EXPECT_FALSE(io().KeyShift);
    EXPECT_FALSE(io().KeyAlt);
    EXPECT_EQ(io().KeyMods, 0);
    EXPECT_FALSE(ImGui::IsMouseDown(0));

    // Their releases arrive elsewhere; coming back starts from nothing held.
    ui_events_push_focus(true);
    next_frame();
    EXPECT_FALSE(ImGui::IsKeyDown(UIKEY_A));
    EXPECT_EQ(ui_events_pending(), 0u);
}

TEST_F(UiEvents, PressJustBeforeFocusLossIsStillSeen)
{
    ui_events_push_key(UIKEY_F5, true);
    ui_events_push_focus(false);
    next_frame();
    EXPECT_TRUE(ImGui::IsKeyPressed(UIKEY_F5, false));
    next_frame();
    EXPECT_FALSE(ImGui::IsKeyDown(UIKEY_F5));
}

TEST_F(UiEvents, EventsAfterFocusLossWaitForTheNextFrame)
{
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
}

TEST_F(UiEvents, ClearDropsEverything)
{
    ui_events_push_key(UIKEY_W, true);
    ui_events_push_char('w');
    ui_events_clear();
    EXPECT_EQ(ui_events_pending(), 0u);
    EXPECT_EQ(next_frame(), 0);
    EXPECT_FALSE(ImGui::IsKeyDown(UIKEY_W));
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
