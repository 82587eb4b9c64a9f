// The capture rules (grabs, confinement, cursor) and the release gesture.
#include <gtest/gtest.h>

#include "input/capture.h"
#include "ui/context_menu.h"

namespace {

CaptureInputs forwarding()
{
    CaptureInputs in{};
    in.connected = in.mouse_input = in.keyboard_input = in.window_active = true;
    in.rect_y = 75, in.rect_w = 800, in.rect_h = 450;
    in.now_ms = 10000, in.last_mouse_ms = 9990;
    return in;
}

// keyboard grab, mouse grab, clip, cursor: each '+' on, '-' off, '.' no change.
std::string step(CaptureInputs in, CaptureState *st)
{
    CaptureActions a = capture_step(in, st);
    std::string s;
    for (int c : {a.keyboard_grab, a.mouse_grab, a.clip, a.cursor})
        s += c == CHANGE_ON ? '+' : c == CHANGE_OFF ? '-' : '.';
    return s;
}

} // namespace

TEST(CaptureRules, Sequence)
{
    CaptureState st{};
    st.cursor_shown = true;
    CaptureInputs in = forwarding();
    EXPECT_EQ(step(in, &st), "+++-"); // grab, confine to the video, hide the cursor
    EXPECT_TRUE(st.mouse_grabbed && st.keyboard_grabbed && st.clipped && !st.cursor_shown);
    EXPECT_EQ(step(in, &st), "....");
    in.rect_y = 40; // the video moves: the confinement follows
    CaptureActions a = capture_step(in, &st);
    EXPECT_EQ(a.clip, CHANGE_ON);
    EXPECT_EQ(a.clip_y * 1000000 + a.clip_w * 1000 + a.clip_h, 40800450);
    in.ui_focus = true; // an open menu frees and shows the pointer, keeps the grab
    EXPECT_EQ(step(in, &st), "..-+");
    in.ui_focus = false;
    EXPECT_EQ(step(in, &st), "..+-");
    in.window_active = false; // the cursor is then the window system's business
    EXPECT_EQ(step(in, &st), "..-.");
    in.window_active = true;
    EXPECT_EQ(step(in, &st), "..+.");
    in.connected = false; // both grabs dropped, the cursor shown
    EXPECT_EQ(step(in, &st), "---+");
    EXPECT_TRUE(st.cursor_shown);

    CaptureState fresh{};
    fresh.cursor_shown = true;
    in = forwarding();
    in.rect_w = 0; // no video rectangle: no confinement, no cursor change
    EXPECT_EQ(step(in, &fresh), "++..");
}

TEST(CaptureRules, InputOffHidesAnIdleCursorAfterThreeSeconds)
{
    CaptureState st{}, menu{};
    st.cursor_shown = menu.cursor_shown = true;
    CaptureInputs in = forwarding();
    in.mouse_input = in.keyboard_input = false;
    in.last_mouse_ms = 7000;
    EXPECT_EQ(capture_step(in, &st).cursor, CHANGE_NONE); // exactly 3000 ms: not yet
    in.now_ms = 10001;
    EXPECT_EQ(capture_step(in, &st).cursor, CHANGE_OFF);
    in.ui_focus = true; // a menu open keeps it
    EXPECT_EQ(capture_step(in, &menu).cursor, CHANGE_NONE);
    EXPECT_EQ(capture_mouse_activity(false, &st), CHANGE_ON); // the next movement shows it
    EXPECT_EQ(capture_mouse_activity(false, &st), CHANGE_NONE);
    st.cursor_shown = false;
    EXPECT_EQ(capture_mouse_activity(true, &st), CHANGE_NONE); // not with input on
}

TEST(ReleaseGesture, LeftCtrlAndRightClickAlone)
{
    ReleaseGesture g{};
    EXPECT_FALSE(gesture_button(&g, 1, true, false));
    EXPECT_TRUE(gesture_button(&g, 1, false, false)); // not captured: a plain right click opens the menu
    gesture_button(&g, 1, true, true);
    EXPECT_FALSE(gesture_button(&g, 1, false, true)) << "captured: a plain right click belongs to the target";
    gesture_modifier(&g, 0, true);
    gesture_button(&g, 1, true, true);
    EXPECT_TRUE(gesture_button(&g, 1, false, true));
    gesture_modifier(&g, 1, true); // left Ctrl + left Shift: not the gesture
    gesture_button(&g, 1, true, true);
    EXPECT_FALSE(gesture_button(&g, 1, false, true));
    gesture_modifier(&g, 1, false);
    gesture_button(&g, 0, true, true); // both buttons: not the gesture
    gesture_button(&g, 1, true, true);
    EXPECT_FALSE(gesture_button(&g, 1, false, true));
    gesture_button(&g, 0, false, true);
    gesture_modifier(&g, 0, false);
    gesture_modifier(&g, 4, true); // right Ctrl is not left Ctrl
    gesture_button(&g, 1, true, true);
    EXPECT_FALSE(gesture_button(&g, 1, false, true));
    gesture_button(&g, 0, true, true);
    gesture_reset(&g); // focus lost: what was held is forgotten
    EXPECT_EQ(g.modifiers + g.buttons, 0);
    gesture_modifier(&g, 8, true); // bad values are ignored
    gesture_modifier(&g, -1, true);
    EXPECT_FALSE(gesture_button(&g, 3, true, false));
    EXPECT_EQ(g.modifiers + g.buttons, 0);
    // The tip shows four seconds, inclusive; a clock stepped back shows none.
    EXPECT_TRUE(menu_tip_visible(1000, 5000));
    EXPECT_FALSE(menu_tip_visible(1000, 5001));
    EXPECT_FALSE(menu_tip_visible(1000, 999));
    EXPECT_FALSE(menu_tip_visible(0, 5000));
}
