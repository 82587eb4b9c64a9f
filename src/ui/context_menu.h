// ConnectedContextMenu: the function menu "function_popup" that opens where
// the operator right-clicks, the release-input tip shown for four seconds
// after forwarding is switched on, and the flags of the Settings and About
// windows.
//
// Threads: draw() runs on the UI thread every frame between Dear ImGui's new
// frame and its render. request_open() is called by the main thread's event
// handler (the release gesture); the request is an atomic flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "protocol/device_record.h"
#include "firmware/update_state.h"
#include "ui/about_view.h"
#include "ui/paste_menu.h"
#include "ui/settings_view.h"

struct LinkContext;

inline constexpr char MENU_POPUP_ID[] = "function_popup";
inline constexpr char MENU_TIP_TEXT[] = "Press Left Ctrl + Right Click to release mouse on the application.";
inline constexpr uint64_t MENU_TIP_MS = 4000;

// Whether the release-input tip shows at now_ms for a tip shown at shown_at
// (0: none): from then to 4000 ms later, inclusive.
inline bool menu_tip_visible(uint64_t shown_at, uint64_t now_ms)
{
    return shown_at != 0 && now_ms >= shown_at && now_ms - shown_at <= MENU_TIP_MS;
}

class ConnectedContextMenu {
public:
    ConnectedContextMenu();
    virtual ~ConnectedContextMenu();
    ConnectedContextMenu(const ConnectedContextMenu &) = delete;
    ConnectedContextMenu &operator=(const ConnectedContextMenu &) = delete;

    void request_open() { open_request_.store(true); }
    // Draws the tip and the menu for this frame and publishes ui_focus.
    void draw(LinkContext *link, const std::vector<DeviceRecord> &found);

    bool about_open() const { return about_open_; }
    bool settings_open() const { return settings_open_; }
    uint64_t tip_shown_at() const { return tip_shown_at_; }
    // Shared with the firmware update worker; a device listener of the link.
    UpdateState *update_state() { return &update_; }

private:
    std::atomic<bool> open_request_{false};
    bool about_open_ = false;
    uint64_t tip_shown_at_ = 0;
    bool settings_open_ = false;
    SettingsView settings_;
    PasteMenu paste_;
    AboutView about_;
    UpdateState update_;
    char *version_ = nullptr;  // "%hu.%hu.%hu.%hu", or null when unknown

    void set_input(LinkContext *link, bool on);
};
