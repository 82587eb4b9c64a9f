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

TEST(CaptureRules, TheFourFactsDecideGrabsRelativeModeAndForwarding)
{
    // connected, Input, active, ui_focus -> relative, keyboard grab, mouse grab, forwarding
    struct Row {
        bool connected, input, active, ui_focus;
        bool relative, keyboard_grab, mouse_grab, forwarding;
    };
    const Row rows[] = {
        {1, 1, 1, 0, 1, 1, 1, 1},  // driving the target
        {1, 1, 0, 0, 0, 1, 1, 0},  // turned to another window: the grabs wait for the return
        {1, 1, 1, 1, 0, 0, 0, 0},  // a viewer window is open: all back to the desktop
        {1, 1, 0, 1, 0, 0, 0, 0},
    };
    for (const Row &r : rows) {
        CaptureWant w = capture_want(r.connected, r.input, r.active, r.ui_focus);
        SCOPED_TRACE(testing::Message() << r.connected << r.input << r.active << r.ui_focus);
        EXPECT_EQ(w.relative, r.relative);
        EXPECT_EQ(w.keyboard_grab, r.keyboard_grab);
        EXPECT_EQ(w.mouse_grab, r.mouse_grab);
        EXPECT_EQ(w.forwarding, r.forwarding);
    }
    // Not connected, or Input off: nothing is captured, nothing forwarded.
    for (int bits = 0; bits < 16; bits++) {
        bool connected = bits & 1, input = bits & 2, active = bits & 4, ui_focus = bits & 8;
        if (connected && input)
            continue;
        CaptureWant w = capture_want(connected, input, active, ui_focus);
        EXPECT_FALSE(w.relative || w.keyboard_grab || w.mouse_grab || w.forwarding) << bits;
    }
}

TEST(CaptureRules, RelativeModeComesAndGoesAndTheCursorShowsWhenItGoes)
{
    CaptureState st = shown_state();
    CaptureInputs in = forwarding_inputs();
    in.relative_available = true;
    CaptureActions a = capture_step(in, &st);
    EXPECT_EQ(a.relative, CHANGE_ON);
    EXPECT_EQ(a.keyboard_grab, CHANGE_ON);
    EXPECT_EQ(a.mouse_grab, CHANGE_ON);
    EXPECT_EQ(a.clip, CHANGE_NONE);
    EXPECT_EQ(a.cursor, CHANGE_NONE) << "relative mode hides it; shown underneath, it reappears when that ends";
    a = capture_step(in, &st);
    EXPECT_EQ(a.relative, CHANGE_NONE);
    EXPECT_EQ(a.mouse_grab, CHANGE_NONE);

    in.ui_focus = true;
    a = capture_step(in, &st);
    EXPECT_EQ(a.relative, CHANGE_OFF);
    EXPECT_EQ(a.keyboard_grab, CHANGE_OFF);
    EXPECT_EQ(a.mouse_grab, CHANGE_OFF);
    EXPECT_TRUE(st.cursor_shown);

    in.ui_focus = false;  // closed again: captured again
    EXPECT_EQ(capture_step(in, &st).relative, CHANGE_ON);
    in.connected = false;
    a = capture_step(in, &st);
    EXPECT_EQ(a.relative, CHANGE_OFF);
    EXPECT_EQ(a.mouse_grab, CHANGE_OFF);
    EXPECT_EQ(a.keyboard_grab, CHANGE_OFF);
}

TEST(CaptureRules, WithoutRelativeModeThePointerIsConfinedToThePicture)
{
    CaptureState st = shown_state();
    CaptureInputs in = forwarding_inputs();
    CaptureActions a = capture_step(in, &st);
    EXPECT_EQ(a.relative, CHANGE_NONE);
    EXPECT_EQ(a.clip, CHANGE_ON);
    EXPECT_EQ(a.clip_y, 75);
    EXPECT_EQ(a.clip_w, 800);
    EXPECT_EQ(a.clip_h, 450);
    EXPECT_EQ(a.cursor, CHANGE_OFF);
    in.rect_y = 40;  // the window was resized: the confinement follows
    a = capture_step(in, &st);
    EXPECT_EQ(a.clip, CHANGE_ON);
    EXPECT_EQ(a.clip_y, 40);
    in.window_active = false;  // and lets go while another window is active
    a = capture_step(in, &st);
    EXPECT_EQ(a.clip, CHANGE_OFF);
    EXPECT_EQ(a.cursor, CHANGE_ON);

    CaptureState none = shown_state();
    in = forwarding_inputs();
    in.rect_w = 0;  // no picture yet: the grab alone holds the pointer
    a = capture_step(in, &none);
    EXPECT_EQ(a.mouse_grab, CHANGE_ON);
    EXPECT_EQ(a.clip, CHANGE_NONE);
    EXPECT_EQ(a.cursor, CHANGE_NONE);
}

TEST(CaptureRules, WindowToDrawableConversion)
{
    struct Row {
        int from_w, from_h, to_w, to_h;
        float x, y, want_x, want_y;
    };
    const Row rows[] = {
        {800, 600, 800, 600, 123, 45, 123, 45},        // scale 1
        {800, 600, 1600, 1200, 123, 45, 246, 90},      // scale 2
        {1600, 1200, 800, 600, 246, 90, 123, 45},      // and back
        {800, 600, 1200, 900, 101, 33, 151.5f, 49.5f}, // scale 1.5
        {801, 601, 1202, 902, 801, 601, 1202, 902},    // odd sizes: the far edge maps to the far edge
        {801, 601, 1202, 902, 0, 0, 0, 0},
        {0, 600, 1600, 1200, 7, 9, 7, 9},              // a size not known yet: left as it is
        {800, 600, 1600, -1, 7, 9, 7, 9},
    };
    for (const Row &r : rows) {
        ScalePoint p = window_pixels_convert(ScalePoint{r.x, r.y}, r.from_w, r.from_h, r.to_w, r.to_h);
        EXPECT_FLOAT_EQ(p.x, r.want_x) << r.from_w << "x" << r.from_h << " -> " << r.to_w << "x" << r.to_h;
        EXPECT_FLOAT_EQ(p.y, r.want_y) << r.from_w << "x" << r.from_h << " -> " << r.to_w << "x" << r.to_h;
    }
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
