// ConnectView: the full-window connection screen shown while no video
// streams. Over the blurred photograph it draws a title and a centred panel:
// the server list panel (address bar with the current target or an address
// editor, the drop-down list of found dongles, the rescan button), or in its
// place the unlock panel or the no-video panel, with the circular action
// buttons under each.
//
// Threads: everything runs on the UI thread between Dear ImGui's new frame and
// its render, with the GL context current and gl_api loaded. The found-device
// list comes in as a copy taken under its lock; the panel mode is shared with
// the link's state handler and is an atomic; link calls are the link's own
// thread-safe entry points.
//
// Ownership: the view owns its six textures and the embedded blur; KVUI owns
// the view and destroys it after the link has stopped.
#pragma once

#include <atomic>
#include <vector>

#include "protocol/device_record.h"
#include "ui/gaussian_blur.h"
#include "ui/gl_helpers.h"

struct LinkContext;

// Connects to an address the operator typed (the address editor, the command
// line's --connect). Returns 0 when the text was an address and the link took
// it as its target, -1 otherwise.
int connect_typed_address(LinkContext *link, const char *text);

class ConnectView {
public:
    ConnectView();
    virtual ~ConnectView();
    ConnectView(const ConnectView &) = delete;
    ConnectView &operator=(const ConnectView &) = delete;

    // Draws the screen for this frame. `panel_mode` is read and changed by
    // the buttons; `connected` is AppState's flag.
    void draw(LinkContext *link, const std::vector<DeviceRecord> &found, int link_state,
              std::atomic<int> *panel_mode, bool connected);

    // Empties the password field (the link asks for a password again).
    void clear_password();

    const char *address() const { return address_; }
    bool editing() const { return editing_ != 0; }

private:
    // Images, in the order they are loaded.
    GlImage background_{}, device_icon_{}, chevron_{}, rescan_icon_{}, back_arrow_{}, forward_arrow_{};
    GaussianBlurRender blur_;
    char address_[128] = {};
    char password_[128] = {};
    uint8_t editing_ = 0;
    float list_scroll_ = 0.0f;
    // The keyboard goes to the password field when the unlock panel appears
    // or asks again, and to the address editor when it opens: the operator
    // types without clicking first.
    bool unlock_shown_ = false;
    bool focus_password_ = false;
    bool focus_address_ = false;

    void draw_server_list(LinkContext *link, const std::vector<DeviceRecord> &found, int link_state,
                          std::atomic<int> *panel_mode, bool connected);
    void draw_unlock(LinkContext *link, int link_state, std::atomic<int> *panel_mode, bool connected);
    void draw_no_video(LinkContext *link, int link_state, std::atomic<int> *panel_mode, bool connected);
    void draw_action_buttons(LinkContext *link, float qx, float qy, float sx, float sy, int link_state,
                             std::atomic<int> *panel_mode, bool connected);

    friend struct ConnectViewAccess;
};

// The unlock panel's place in the object graph; it has no data (the panel is
// drawn by the ConnectView, whose password field it edits).
class LoginView {
public:
    virtual ~LoginView() = default;
};
