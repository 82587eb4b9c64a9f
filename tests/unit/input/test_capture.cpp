// The capture rules (grabs, confinement, cursor) and the release gesture.
#include <gtest/gtest.h>

#include "input/capture.h"
#include "ui/context_menu.h"

namespace {

CaptureInputs forwarding_inputs()
{
    CaptureInputs in{};
    in.connected = true;
    in.mouse_input = true;
    in.keyboard_input = true;
    in.window_active = true;
    in.rect_x = 0;
    in.rect_y = 75;
    in.rect_w = 800;
    in.rect_h = 450;
    in.now_ms = 10000;
    in.last_mouse_ms = 9990;
    return in;
}

CaptureState shown_state()
{
    CaptureState st{};
    st.cursor_shown = true;
    return st;
}

} // namespace

TEST(CaptureRules, ForwardingGrabsConfinesToTheVideoAndHidesTheCursor)
{
    CaptureState st = shown_state();
    CaptureActions a = capture_step(forwarding_inputs(), &st);
    EXPECT_EQ(a.keyboard_grab, CHANGE_ON);
    EXPECT_EQ(a.mouse_grab, CHANGE_ON);
    EXPECT_EQ(a.clip, CHANGE_ON);
    EXPECT_EQ(a.clip_y, 75);
    EXPECT_EQ(a.clip_w, 800);
    EXPECT_EQ(a.clip_h, 450);
    EXPECT_EQ(a.cursor, CHANGE_OFF);
    EXPECT_TRUE(st.mouse_grabbed && st.keyboard_grabbed && st.clipped);
    EXPECT_FALSE(st.cursor_shown);

    // Nothing changed: nothing to do.
    a = capture_step(forwarding_inputs(), &st);
    EXPECT_EQ(a.keyboard_grab, CHANGE_NONE);
    EXPECT_EQ(a.mouse_grab, CHANGE_NONE);
    EXPECT_EQ(a.clip, CHANGE_NONE);
    EXPECT_EQ(a.cursor, CHANGE_NONE);

    // The video moves (window resized): the confinement follows.
    CaptureInputs in = forwarding_inputs();
    in.rect_y = 40;
    a = capture_step(in, &st);
    EXPECT_EQ(a.clip, CHANGE_ON);
    EXPECT_EQ(a.clip_y, 40);
}

TEST(CaptureRules, AnOpenMenuFreesAndShowsThePointerButKeepsTheGrab)
{
    CaptureState st = shown_state();
    capture_step(forwarding_inputs(), &st);
    CaptureInputs in = forwarding_inputs();
    in.ui_focus = true;
    CaptureActions a = capture_step(in, &st);
    EXPECT_EQ(a.clip, CHANGE_OFF);
    EXPECT_EQ(a.cursor, CHANGE_ON);
    EXPECT_EQ(a.mouse_grab, CHANGE_NONE);
    // Menu closed: confined and hidden again.
    a = capture_step(forwarding_inputs(), &st);
    EXPECT_EQ(a.clip, CHANGE_ON);
    EXPECT_EQ(a.cursor, CHANGE_OFF);
}

TEST(CaptureRules, NoVideoRectangleMeansNoConfinementAndNoCursorChange)
{
    CaptureState st = shown_state();
    CaptureInputs in = forwarding_inputs();
    in.rect_w = 0;
    CaptureActions a = capture_step(in, &st);
    EXPECT_EQ(a.mouse_grab, CHANGE_ON);
    EXPECT_EQ(a.clip, CHANGE_NONE);
    EXPECT_EQ(a.cursor, CHANGE_NONE);
}

TEST(CaptureRules, InactiveWindowReleasesTheConfinement)
{
    CaptureState st = shown_state();
    capture_step(forwarding_inputs(), &st);
    CaptureInputs in = forwarding_inputs();
    in.window_active = false;
    CaptureActions a = capture_step(in, &st);
    EXPECT_EQ(a.clip, CHANGE_OFF);
    EXPECT_EQ(a.mouse_grab, CHANGE_NONE);
    EXPECT_EQ(a.cursor, CHANGE_NONE);  // still connected: the cursor is the window system's business
}

TEST(CaptureRules, LosingTheConnectionDropsBothGrabsAndShowsTheCursor)
{
    CaptureState st = shown_state();
    capture_step(forwarding_inputs(), &st);
    CaptureInputs in = forwarding_inputs();
    in.connected = false;
    CaptureActions a = capture_step(in, &st);
    EXPECT_EQ(a.keyboard_grab, CHANGE_OFF);
    EXPECT_EQ(a.mouse_grab, CHANGE_OFF);
    EXPECT_EQ(a.clip, CHANGE_OFF);
    EXPECT_EQ(a.cursor, CHANGE_ON);
    EXPECT_TRUE(st.cursor_shown);
}

TEST(CaptureRules, InputOffHidesAnIdleCursorAfterThreeSeconds)
{
    CaptureState st = shown_state();
    CaptureInputs in = forwarding_inputs();
    in.mouse_input = in.keyboard_input = false;
    in.last_mouse_ms = 7000;
    in.now_ms = 10000;  // exactly 3000 ms: not yet
    EXPECT_EQ(capture_step(in, &st).cursor, CHANGE_NONE);
    in.now_ms = 10001;
    EXPECT_EQ(capture_step(in, &st).cursor, CHANGE_OFF);
    // A menu open keeps it.
    CaptureState st2 = shown_state();
    in.ui_focus = true;
    EXPECT_EQ(capture_step(in, &st2).cursor, CHANGE_NONE);
    // The next movement shows it; with input on it does not.
    EXPECT_EQ(capture_mouse_activity(false, &st), CHANGE_ON);
    EXPECT_EQ(capture_mouse_activity(false, &st), CHANGE_NONE);
    st.cursor_shown = false;
    EXPECT_EQ(capture_mouse_activity(true, &st), CHANGE_NONE);
}

TEST(ReleaseGesture, PlainRightClickOpensTheMenuOnlyWhenNotCaptured)
{
    ReleaseGesture g{};
    EXPECT_FALSE(gesture_button(&g, 1, true, false));
    EXPECT_TRUE(gesture_button(&g, 1, false, false));
    EXPECT_FALSE(gesture_button(&g, 1, true, true));
    EXPECT_FALSE(gesture_button(&g, 1, false, true)) << "captured: a plain right click belongs to the target";
    EXPECT_EQ(g.buttons, 0);
}

TEST(ReleaseGesture, LeftCtrlAloneReleasesACapturedPointer)
{
    ReleaseGesture g{};
    gesture_modifier(&g, 0, true);
    gesture_button(&g, 1, true, true);
    EXPECT_TRUE(gesture_button(&g, 1, false, true));

    // Left Ctrl + left Shift: not the gesture.
    gesture_modifier(&g, 1, true);
    gesture_button(&g, 1, true, true);
    EXPECT_FALSE(gesture_button(&g, 1, false, true));
    gesture_modifier(&g, 1, false);

    // Left and right buttons together: not the gesture.
    gesture_button(&g, 0, true, true);
    gesture_button(&g, 1, true, true);
    EXPECT_FALSE(gesture_button(&g, 1, false, true));
    gesture_button(&g, 0, false, true);
    EXPECT_EQ(g.buttons, 0);

    // Right Ctrl is not left Ctrl.
    gesture_modifier(&g, 0, false);
    gesture_modifier(&g, 4, true);
    gesture_button(&g, 1, true, true);
    EXPECT_FALSE(gesture_button(&g, 1, false, true));
    EXPECT_EQ(g.modifiers, 0x10);
}

TEST(ReleaseGesture, FocusLossForgetsWhatWasHeldAndBadValuesAreIgnored)
{
    ReleaseGesture g{};
    gesture_modifier(&g, 0, true);
    gesture_button(&g, 0, true, true);
    gesture_reset(&g);
    EXPECT_EQ(g.modifiers, 0);
    EXPECT_EQ(g.buttons, 0);
    gesture_modifier(&g, 8, true);
    gesture_modifier(&g, -1, true);
    EXPECT_FALSE(gesture_button(&g, 3, true, false));
    EXPECT_FALSE(gesture_button(&g, -1, false, false));
    EXPECT_EQ(g.modifiers, 0);
    EXPECT_EQ(g.buttons, 0);
}

TEST(ReleaseTip, ShowsFourSecondsInclusive)
{
    EXPECT_FALSE(menu_tip_visible(0, 5000));
    EXPECT_TRUE(menu_tip_visible(1000, 1000));
    EXPECT_TRUE(menu_tip_visible(1000, 5000));
    EXPECT_FALSE(menu_tip_visible(1000, 5001));
    EXPECT_FALSE(menu_tip_visible(1000, 999)) << "a clock stepped back shows no tip";
}
