// The capture rules (grabs, confinement, cursor) and the release gesture.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "input/capture.h"
#include "ui/context_menu.h"

namespace {

CaptureInputs forwarding_inputs()
{
    CaptureInputs in{};
    in.connected = in.mouse_input = in.keyboard_input = in.window_active = true;
    in.rect_y = 75, in.rect_w = 800, in.rect_h = 450;
    in.now_ms = 10000, in.last_mouse_ms = 9990;
    return in;
}

// The changes of one step as keyboard grab, mouse grab, relative mode, clip,
// cursor: '+' on, '-' off, '.' no change.
std::string step(const CaptureInputs &in, CaptureState *st)
{
    CaptureActions a = capture_step(in, st);
    std::string s;
    for (CaptureChange c : {a.keyboard_grab, a.mouse_grab, a.relative, a.clip, a.cursor})
        s += ".+-"[c];
    return s;
}

} // namespace

TEST(CaptureRules, TheFourFactsDecideGrabsRelativeModeAndForwarding)
{
    // connected, Input, active, ui_focus -> relative, keyboard grab, mouse grab, forwarding
    const bool rows[][8] = {
        {1, 1, 1, 0, 1, 1, 1, 1}, // driving the target
        {1, 1, 0, 0, 0, 1, 1, 0}, // turned to another window: the grabs wait for the return
        {1, 1, 1, 1, 0, 0, 0, 0}, // a viewer window is open: all back to the desktop
        {1, 1, 0, 1, 0, 0, 0, 0},
    };
    for (const auto &r : rows) {
        CaptureWant w = capture_want(r[0], r[1], r[2], r[3]);
        EXPECT_EQ((std::vector<bool>{w.relative, w.keyboard_grab, w.mouse_grab, w.forwarding}),
                  std::vector<bool>(r + 4, r + 8)) << r[0] << r[1] << r[2] << r[3];
    }
    // Not connected, or Input off: nothing is captured, nothing forwarded.
    for (int bits = 0; bits < 16; bits++) {
        if ((bits & 3) == 3)
            continue;
        CaptureWant w = capture_want(bits & 1, bits & 2, bits & 4, bits & 8);
        EXPECT_FALSE(w.relative || w.keyboard_grab || w.mouse_grab || w.forwarding) << bits;
    }
}

TEST(CaptureRules, StepsWithAndWithoutRelativeMode)
{
    CaptureState st{};
    st.cursor_shown = true;
    CaptureInputs in = forwarding_inputs();
    in.relative_available = true;
    // Relative mode hides the cursor; shown underneath, it reappears when that ends.
    EXPECT_EQ(step(in, &st), "+++..");
    EXPECT_EQ(step(in, &st), ".....");
    in.ui_focus = true;
    EXPECT_EQ(step(in, &st), "---..");
    EXPECT_TRUE(st.cursor_shown);
    in.ui_focus = false; // closed again: captured again
    EXPECT_EQ(step(in, &st), "+++..");
    in.connected = false;
    EXPECT_EQ(step(in, &st), "---..");

    // Without relative mode the pointer is confined to the picture.
    st = CaptureState{};
    st.cursor_shown = true;
    in = forwarding_inputs();
    EXPECT_EQ(step(in, &st), "++.+-");
    in.rect_y = 40; // the window was resized: the confinement follows
    CaptureActions a = capture_step(in, &st);
    EXPECT_EQ((std::vector<int>{a.clip, a.clip_y, a.clip_w, a.clip_h}), (std::vector<int>{CHANGE_ON, 40, 800, 450}));
    in.window_active = false; // and lets go while another window is active
    EXPECT_EQ(step(in, &st).substr(3), "-+");
    st = CaptureState{};
    in = forwarding_inputs();
    in.rect_w = 0; // no picture yet: the grab alone holds the pointer
    EXPECT_EQ(step(in, &st).substr(0, 4), "++..");
}

TEST(CaptureRules, WindowToDrawableConversion)
{
    const struct {
        int from_w, from_h, to_w, to_h;
        float x, y, want_x, want_y;
    } rows[] = {
        {800, 600, 1200, 900, 101, 33, 151.5f, 49.5f}, // scale 1.5
        {801, 601, 1202, 902, 801, 601, 1202, 902},    // odd sizes: the far edge maps to the far edge
        {0, 600, 1600, 1200, 7, 9, 7, 9},              // a size not known yet: left as it is
    };
    for (const auto &r : rows) {
        ScalePoint p = window_pixels_convert(ScalePoint{r.x, r.y}, r.from_w, r.from_h, r.to_w, r.to_h);
        EXPECT_TRUE(p.x == r.want_x && p.y == r.want_y) << r.from_w << "->" << r.to_w << ": " << p.x << "," << p.y;
    }
}

TEST(CaptureRules, InputOffHidesAnIdleCursorAfterThreeSeconds)
{
    CaptureState st{};
    st.cursor_shown = true;
    CaptureInputs in = forwarding_inputs();
    in.mouse_input = in.keyboard_input = false;
    in.last_mouse_ms = 7000;
    EXPECT_EQ(capture_step(in, &st).cursor, CHANGE_NONE); // exactly 3000 ms: not yet
    in.now_ms = 10001;
    in.ui_focus = true; // a menu open keeps it
    EXPECT_EQ(capture_step(in, &st).cursor, CHANGE_NONE);
    in.ui_focus = false;
    EXPECT_EQ(capture_step(in, &st).cursor, CHANGE_OFF);
    // The next movement shows it; with input on it does not.
    EXPECT_EQ(capture_mouse_activity(false, &st), CHANGE_ON);
    EXPECT_EQ(capture_mouse_activity(false, &st), CHANGE_NONE);
    st.cursor_shown = false;
    EXPECT_EQ(capture_mouse_activity(true, &st), CHANGE_NONE);
}

TEST(ReleaseGesture, OnlyLeftCtrlWithAPlainRightClickReleases)
{
    ReleaseGesture g{};
    EXPECT_FALSE(gesture_button(&g, 1, true, false));
    EXPECT_TRUE(gesture_button(&g, 1, false, false)) << "not captured: a plain right click opens the menu";
    gesture_button(&g, 1, true, true);
    EXPECT_FALSE(gesture_button(&g, 1, false, true)) << "captured: a plain right click belongs to the target";
    // {modifier held besides, left button held}: left Ctrl alone releases.
    const struct {
        int extra_mod, left_ctrl, left_button, releases;
    } rows[] = {{-1, 1, 0, 1}, {1, 1, 0, 0} /* + left Shift */, {-1, 1, 1, 0}, {4, 0, 0, 0} /* right Ctrl */};
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << r.extra_mod << r.left_ctrl << r.left_button);
        gesture_reset(&g);
        gesture_modifier(&g, 0, r.left_ctrl);
        if (r.extra_mod >= 0)
            gesture_modifier(&g, r.extra_mod, true);
        gesture_button(&g, 0, r.left_button, true);
        gesture_button(&g, 1, true, true);
        EXPECT_EQ(gesture_button(&g, 1, false, true), (bool)r.releases);
    }
    // Focus loss forgets what was held; bad values are ignored.
    gesture_reset(&g);
    gesture_modifier(&g, 8, true);
    EXPECT_FALSE(gesture_button(&g, 3, true, false) || gesture_button(&g, -1, false, false));
    EXPECT_EQ(g.modifiers + g.buttons, 0);
    // The release tip shows four seconds, inclusive; a clock stepped back shows none.
    EXPECT_TRUE(menu_tip_visible(1000, 5000));
    EXPECT_FALSE(menu_tip_visible(1000, 5001) || menu_tip_visible(1000, 999));
}
