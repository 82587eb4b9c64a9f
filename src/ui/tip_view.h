// TipView: the two modal notices, opened when the found-device merge asks for
// them through AppState's request flags: a dongle on the network runs old
// firmware, or one on USB is not in USB Stream Mode.
//
// Threads: draw() runs on the UI thread every frame after the connection
// screen, between Dear ImGui's new frame and its render. The request flags are
// atomics set by the link's threads.
#pragma once

inline constexpr char TIP_FIRMWARE_TITLE[] = "New firmware is available!";
// The dash is stored as UTF-8 so that the UI font shows it.
inline constexpr char TIP_FIRMWARE_TEXT[] =
    "Great news! A new firmware update is now available. Enhance your device's performance by updating firmware "
    "in About -> Check Update. Don't miss out on the latest improvements \xE2\x80\x94 update now for a smoother "
    "experience!\n\n";
inline constexpr char TIP_USB_TITLE[] = "Switch to USB Stream Mode?";
inline constexpr char TIP_USB_TEXT[] =
    "KAVRI Viewer is detected on USB port. Do you want to switch the device to USB Stream mode?\n\n";

class TipView {
public:
    virtual ~TipView() = default;
    void draw();
};
