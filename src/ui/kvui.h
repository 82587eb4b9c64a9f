// KVUI: the root of the user interface. It owns the views and the list of
// dongles found so far, keeps the last link state, and is the one listener
// through which the device link's events reach the screen.
//
// Threads: the constructor, every per-frame call and the destructor run on the
// UI thread with the GL context current and gl_api loaded. The static
// handlers run on the link's threads (state, device, scan started) and on the
// decoder thread (video size, frame); they touch only the found-device list
// (under its lock), single atomic values and the VideoView (under its lock).
//
// Ownership: the link is started by the constructor and stopped first thing in
// the destructor, so no listener runs once the views are gone.
#pragma once
#include <atomic>
#include <cstdint>
#include <vector>
#include "app/alias_file.h"
#include "ui/found_devices.h"
#include "ui/video_view.h"

struct LinkContext;
class ConnectView;
class LoginView;
class TipView;
class ConnectedContextMenu;

class KVUI {
public:
    KVUI();
    virtual ~KVUI();
    KVUI(const KVUI &) = delete;
    KVUI &operator=(const KVUI &) = delete;

    // Draws the newest video picture letterboxed into an output of
    // output_width x output_height pixels (dark grey bars; the whole output
    // dark grey without a picture) and
    // publishes where it lies as AppState's video rectangle. Call before Dear
    // ImGui's new frame so that the video lies under every window.
    void render_video(int output_width, int output_height);

    // Draws the windows of this frame: the function menu, the connection
    // screen while no video streams, then the notices. Call between Dear ImGui's new frame and its
    // render.
    void draw();

    LinkContext *link() const { return link_; }
    int state() const { return state_.load(); }
    int panel_mode() const { return panel_mode_.load(); }
    void set_panel_mode(int mode) { panel_mode_.store(mode); }
    std::vector<DeviceRecord> found_devices() { return found_snapshot(&found_); }
    VideoView *video_view() const { return video_; }
    ConnectedContextMenu *menu() const { return menu_; }

    // Link listeners; ctx is the KVUI.
    static void on_state(void *ctx, int state);
    static void on_scan_started(void *ctx);
    static void on_frame(void *ctx, int count, uint8_t *const *data, const int *line_sizes, int height);
    static void on_device(void *ctx, const DeviceRecord *rec);

private:
    LinkContext *link_ = nullptr;
    FoundDevices found_;
    std::atomic<int> state_{0};
    VideoView *video_ = nullptr;
    LoginView *login_ = nullptr;
    ConnectView *connect_ = nullptr;
    TipView *tips_ = nullptr;
    ConnectedContextMenu *menu_ = nullptr;
    std::atomic<int> panel_mode_{0};
    // Set when the device asks for a password again: the unlock panel's field
    // (the UI thread's) is emptied before the next frame draws it.
    std::atomic<bool> password_reset_{false};
    std::vector<AliasEntry> aliases_;
};
