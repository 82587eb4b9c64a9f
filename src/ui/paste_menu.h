// The function menu's "Paste Text" (or "Stop Pasting") and "Send Keys"
// items, and the windows that go with them: the question before a long
// paste, the messages when nothing can be pasted, and the note that tells
// how a paste ended.
//
// Paste Text asks the main thread for the clipboard's text (AppState), then
// plans it in the target's keyboard layout (the Settings window's choice)
// and hands the plan to the paster (AppState::paster), which types it while
// the menu is closed and the operator watches. The window title shows the
// progress (the main thread sets it); Escape or "Stop Pasting" cancels.
//
// Threads: UI thread only.
#pragma once

#include <cstdint>
#include <string>

#include "input/key_layout.h"

struct LinkContext;

class PasteMenu {
public:
    virtual ~PasteMenu() = default;
    // Inside the open function menu: a separator and the items, while the
    // link is connected to a network dongle.
    void menu_items(LinkContext *link);
    // Every frame, after the menu.
    void draw();
    // A question or message is open: the keyboard and mouse belong to it.
    bool window_open() const { return step_ == STEP_CONFIRM || step_ == STEP_MESSAGE; }

private:
    enum Step { STEP_IDLE, STEP_CLIPBOARD, STEP_CONFIRM, STEP_MESSAGE };
    Step step_ = STEP_IDLE;
    bool open_popup_ = false;  // open the question or message on the next draw
    std::string text_;         // the clipboard's text while it is asked about
    uint32_t characters_ = 0;
    std::string message_;
    KeyLayout layout_;         // built for the last layout a paste used
    uint32_t seen_finished_ = 0;
    std::string note_;
    uint64_t note_until_ = 0;  // steady milliseconds

    void take_clipboard();
    void start_text();
    void show_message(const std::string &text);
    void watch_end();
};
