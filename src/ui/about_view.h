// The About window: the version in its title; the licences of the libraries
// the viewer is built on, the release notes, the firmware update screen and
// the help links, one tab each.
//
// Threads: draw() runs on the UI thread. The update screen starts the update
// worker and reads its shared state (firmware/update_state.h).
#pragma once

struct UpdateState;

class AboutView {
public:
    virtual ~AboutView() = default;
    // Draws the window while *open is set; its close button clears *open.
    // version may be null (the fixed title is used then); update may be null
    // (no update screen then).
    void draw(bool *open, const char *version, UpdateState *update);

private:
    void update_tab(UpdateState *update);
};
