// SDL scancodes to the user interface's key indices, and window input queued
// by the main thread and applied to Dear ImGui per frame.
#include <gtest/gtest.h>

#include <SDL.h>
#include <imgui.h>

#include <cmath>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

#include "shell/key_map.h"
#include "shell/ui_events.h"
#include "support/bytes.h"

namespace {

using Chars = std::vector<uint32_t>;

// A real Dear ImGui context that can run frames without a renderer.
class UiEvents : public ::testing::Test {
protected:
    void SetUp() override
    {
        ui_events_clear();
        ctx_ = ImGui::CreateContext();
        io().IniFilename = nullptr;
        io().DisplaySize = ImVec2(800, 600);
        io().DeltaTime = 1.0f / 60.0f;
        key_map_install(io());
        unsigned char *pixels = nullptr;
        int w = 0, h = 0;
        io().Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
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
    Chars chars() { return Chars(io().InputQueueCharacters.begin(), io().InputQueueCharacters.end()); }
    ImVec2 pos() { return io().MousePos; }

    ImGuiContext *ctx_ = nullptr;
    bool in_frame_ = false;
};

} // namespace

TEST_F(UiEvents, EveryKeyIsReachedAndDearImGuisNamedKeysHaveKeysOfTheirOwn)
{
    // 106 SDL scancodes reach every key once, but for the two backslashes:
    // the ISO key left of Enter and the ISO extra key share the backslash.
    std::set<int> keys, named;
    int mapped = 0;
    for (int s = 0; s < SDL_NUM_SCANCODES; s++)
        if (int k = key_map_from_sdl(s); k != UIKEY_NONE)
            mapped++, keys.insert(k);
    EXPECT_EQ(mapped, 106);
    EXPECT_EQ(keys.size(), (size_t)(UIKEY_COUNT - 1));
    EXPECT_EQ(key_map_from_sdl(SDL_SCANCODE_NONUSHASH), UIKEY_BACKSLASH);
    EXPECT_EQ(key_map_from_sdl(SDL_SCANCODE_NONUSBACKSLASH), UIKEY_BACKSLASH);
    EXPECT_EQ(key_map_from_sdl(SDL_SCANCODE_F13) + key_map_from_sdl(-1) + key_map_from_sdl(SDL_NUM_SCANCODES), 0);
    for (int n = 0; n < ImGuiKey_COUNT; n++)
        named.insert(io().KeyMap[n]);
    EXPECT_EQ(named.size(), (size_t)ImGuiKey_COUNT);
    EXPECT_TRUE(*named.begin() > UIKEY_NONE && *named.rbegin() < UIKEY_COUNT);
    ui_events_push_key(key_map_from_sdl(SDL_SCANCODE_RETURN), true);
    next_frame();
    EXPECT_TRUE(ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_Enter)));
    EXPECT_EQ(key_map_mouse_button(3) * 10 + key_map_mouse_button(2), 12); // SDL right, middle: 1, 2
}

TEST_F(UiEvents, KeysModifiersAndClicks)
{
    // A press and release in one frame are both seen, the release a frame later.
    ui_events_push_key(UIKEY_A, true);
    ui_events_push_key(UIKEY_A, false);
    next_frame();
    EXPECT_TRUE(ImGui::IsKeyPressed(UIKEY_A, false));
    next_frame();
    EXPECT_TRUE(ImGui::IsKeyReleased(UIKEY_A));
    // Different keys share a frame; repeats and the release of a key not down
    // do not hold up the queue. A modifier follows either key of its pair.
    ui_events_push_key(UIKEY_Q, false);
    ui_events_push_key(UIKEY_LEFT_SHIFT, true);
    ui_events_push_key(UIKEY_RIGHT_SHIFT, true);
    for (int i = 0; i < 3; i++)
        ui_events_push_key(UIKEY_BACKSPACE, true);
    ui_events_push_key(UIKEY_LEFT_SHIFT, false);
    EXPECT_EQ(next_frame(), 6);
    EXPECT_TRUE(ImGui::IsKeyDown(UIKEY_BACKSPACE) && io().KeyMods == ImGuiKeyModFlags_Shift);
    next_frame();
    EXPECT_EQ(io().KeyMods, ImGuiKeyModFlags_Shift) << "the right key is still down";
    ui_events_push_key(UIKEY_RIGHT_SHIFT, false);
    next_frame();
    // A key after a click waits a frame, so the click is not a chord; Ctrl
    // then a click is one.
    ui_events_push_mouse_button(0, true);
    ui_events_push_key(UIKEY_LEFT_CTRL, true);
    next_frame();
    EXPECT_TRUE(ImGui::IsMouseClicked(0) && io().KeyMods == 0);
    next_frame();
    EXPECT_TRUE(io().KeyCtrl);
    ui_events_push_mouse_button(0, false);
    next_frame();
    ui_events_push_mouse_button(0, true);
    next_frame();
    EXPECT_TRUE(io().KeyCtrl && ImGui::IsMouseClicked(0));
    // Invalid events are refused.
    EXPECT_EQ(ui_events_push_key(UIKEY_COUNT, true) + ui_events_push_key(UIKEY_NONE, true), -2);
    EXPECT_EQ(ui_events_push_char(0x110000) + ui_events_push_mouse_button(5, true), -2);
    EXPECT_EQ(ui_events_pending(), 0u);
}

TEST_F(UiEvents, TextIsDecodedAndACharacterAfterAKeyChangeWaitsAFrame)
{
    // "a", e acute, euro sign, grinning face (outside the 16-bit range Dear
    // ImGui keeps characters in, so it stores the replacement character).
    EXPECT_EQ(ui_events_push_text("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 32), 4);
    EXPECT_EQ(ui_events_push_text("abcdef", 3), 3);   // the byte limit
    EXPECT_EQ(ui_events_push_text("x\0yz", 8), 1);    // a zero byte
    EXPECT_EQ(ui_events_push_text("\xC3\xA9", 1), 1); // a sequence cut by the limit is malformed
    next_frame();
    EXPECT_EQ(chars(), (Chars{0x61, 0xE9, 0x20AC, 0xFFFD, 'a', 'b', 'c', 'x', 0xFFFD}));
    // Overlong, surrogate, too high, lone and cut sequences use up one byte.
    for (const char *bad : {"e08080", "eda080", "f4908080", "80", "e282"}) {
        uint32_t cp = 0;
        Exact e(unhex(bad));
        EXPECT_EQ(ui_utf8_decode(e.p, e.n, &cp) * 0x100000 + cp, 0x10FFFDu) << bad;
    }
    // Text fields take the frame's characters before its keys: Backspace and
    // then "b" in one frame would delete the "b".
    ui_events_push_key(UIKEY_BACKSPACE, true);
    ui_events_push_char('b');
    next_frame();
    EXPECT_TRUE(ImGui::IsKeyPressed(UIKEY_BACKSPACE, false) && chars().empty());
    ui_events_push_char('x'); // characters before a key share its frame
    ui_events_push_key(UIKEY_ENTER, true);
    EXPECT_EQ(next_frame(), 3);
    EXPECT_EQ(chars(), (Chars{'b', 'x'}));
}

TEST_F(UiEvents, MousePositionsClicksAndWheel)
{
    io().DisplayFramebufferScale = ImVec2(2.0f, 2.0f);
    ui_events_push_mouse_pos(300.0f, 101.0f);
    next_frame();
    EXPECT_EQ(pos().x * 1000 + pos().y, 150050.0f); // divided by the scale; NewFrame floors 50.5
    io().DisplayFramebufferScale = ImVec2(0.0f, -1.0f); // a nonsense scale is not used
    ui_events_push_mouse_pos(NAN, 3.0f);                  // no position: invalid
    next_frame();
    EXPECT_FALSE(ImGui::IsMousePosValid());
    // A click within one frame is seen where it happened; a move after a
    // click waits for the next frame. One wheel step per event and axis.
    ui_events_push_mouse_pos(10.0f, 20.0f);
    ui_events_push_mouse_button(0, true);
    ui_events_push_mouse_button(0, false);
    ui_events_push_mouse_pos(300.0f, 200.0f);
    ui_events_push_scroll(0, 3);
    ui_events_push_scroll(0, 1);
    ui_events_push_scroll(-1, 0);
    next_frame();
    EXPECT_TRUE(ImGui::IsMouseClicked(0) && pos().x == 10.0f);
    next_frame();
    EXPECT_TRUE(ImGui::IsMouseReleased(0) && pos().x == 10.0f && pos().y == 20.0f);
    next_frame();
    EXPECT_EQ((std::vector<float>{pos().x, io().MouseWheel, io().MouseWheelH}), (std::vector<float>{300, 2, -1}));
}

TEST_F(UiEvents, FocusLossAndAFullQueueReleaseAllKeysAndButtons)
{
    ui_events_push_key(UIKEY_LEFT_SHIFT, true);
    ui_events_push_mouse_button(0, true);
    next_frame();
    ASSERT_TRUE(io().KeyShift && ImGui::IsMouseDown(0));
    // A press just before the loss is still seen.
    ui_events_push_key(UIKEY_F5, true);
    ui_events_push_focus(false);
    next_frame();
    EXPECT_TRUE(ImGui::IsKeyPressed(UIKEY_F5, false));
    next_frame();
    EXPECT_FALSE(ImGui::IsKeyDown(UIKEY_F5) || ImGui::IsKeyDown(UIKEY_LEFT_SHIFT));
    EXPECT_FALSE(io().KeyMods || ImGui::IsMouseDown(0));
    // Events after a loss wait for the next frame.
    ui_events_push_focus(false);
    ui_events_push_focus(true);
    ui_events_push_key(UIKEY_B, true);
    EXPECT_EQ(next_frame(), 1);
    next_frame();
    EXPECT_TRUE(ImGui::IsKeyPressed(UIKEY_B, false));
    // A full queue drops the old events and releases everything.
    for (size_t i = 0; i < UI_EVENTS_MAX; i++)
        ASSERT_EQ(ui_events_push_char('a'), 0) << i;
    EXPECT_EQ(ui_events_push_char('!'), 1);
    next_frame();
    EXPECT_FALSE(ImGui::IsKeyDown(UIKEY_B));
    EXPECT_EQ(chars(), (Chars{'!'}));
}

// The UI thread's sleep between frames, and a producer thread whose events
// (fewer than the queue holds, so none may be dropped) arrive complete and in order.
TEST_F(UiEvents, WaitEndsForAWakeAndForEventsOnlyWhenAskedToAndAProducerThreadLosesNothing)
{
    ui_events_wait(0, true); // forget anything earlier
    // A wake before the wait is not missed, and is used up by it.
    ui_events_wake();
    EXPECT_TRUE(ui_events_wait(10000000, false));
    EXPECT_FALSE(ui_events_wait(1000, false));
    // An event ends only a wait that asks for events.
    ui_events_push_key(UIKEY_A, true);
    EXPECT_FALSE(ui_events_wait(1000, false));
    EXPECT_TRUE(ui_events_wait(10000000, true));
    ui_events_clear();
    constexpr uint32_t N = 2000;
    std::thread producer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (uint32_t i = 0; i < N; i++) {
            ui_events_push_char(0x100 + i);
            ui_events_push_key(UIKEY_K, i % 4 == 0);
        }
    });
    EXPECT_TRUE(ui_events_wait(30000000, true)) << "woken by another thread while it sleeps";
    Chars got, want(N);
    while (got.size() < N) { // every apply takes at least the first queued event
        if (ui_events_apply(io()) == 0)
            std::this_thread::yield();
        got.insert(got.end(), io().InputQueueCharacters.begin(), io().InputQueueCharacters.end());
        io().InputQueueCharacters.resize(0);
    }
    producer.join();
    std::iota(want.begin(), want.end(), 0x100u);
    EXPECT_EQ(got, want);
}
