// The Settings window: "Network Scan" edits the extra networks the scan
// walks (saved and handed to the link after every change), "Device Settings"
// switches the dongle's HID mode.
//
// Threads: draw() runs on the UI thread. The HID mode switch runs on a worker
// thread of its own (it may wait a second for the dongle), one at a time; the
// destructor waits for it.
#pragma once

#include <atomic>
#include <thread>

struct LinkContext;

class SettingsView {
public:
    virtual ~SettingsView();
    // Draws the window while *open is set; its close button clears *open.
    void draw(LinkContext *link, bool *open);

private:
    int octets_[3] = {0, 0, 0};  // the new network's first three octets
    std::thread hid_worker_;
    std::atomic<bool> hid_busy_{false};

    void network_tab(LinkContext *link);
    void device_tab(LinkContext *link);
};

// Hands the first 128 networks of the list to the link.
void settings_copy_subnets_to_link(LinkContext *link);
