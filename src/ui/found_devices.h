// The found-device list of the user interface and the rules that merge each
// reported dongle into it, with the panel-mode rules of the connection
// screen. Pure logic: the KVUI root calls it from the link's threads (merge,
// clear) and the UI thread (snapshot, panel decisions).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "protocol/device_record.h"
#include "app/alias_file.h"

// Builds below this get the new-firmware notice (network dongles only).
inline constexpr uint64_t FOUND_FIRMWARE_NOTICE_BELOW = 240427225356ull;

struct FoundDevices {
    std::mutex lock;
    std::vector<DeviceRecord> list;  // in order of first discovery
};

struct FoundMerge {
    bool firmware_notice = false;  // raise the new-firmware notice (at most once per run)
    bool usb_mode_notice = false;  // a dongle on USB is not in USB Stream Mode
    bool select = false;           // hand `record` to the link as the target
    DeviceRecord record{};         // the record as merged (label and name filled for USB)
};

// Merges one reported record. A second report of the same dongle (same `usb`
// and `id`) only refreshes the stored record's last_seen_ms; a new one is
// appended (marked current while not connected). While not connected, the
// record is to be selected as the target, except a HID-mode dongle while a
// firmware update runs (update_running): selecting it would switch its mode
// and re-enumerate it in the middle of the upload or the flashing.
// firmware_once is the process-wide "notice already raised" flag.
FoundMerge found_merge(FoundDevices *found, const DeviceRecord &rec, const std::vector<AliasEntry> &aliases,
                       bool connected, uint64_t now_ms, std::atomic<bool> *firmware_once,
                       bool update_running = false);
// Scan started: the list empties; rows come back as the scan finds them.
void found_clear(FoundDevices *found);
// A copy taken under the lock, for drawing.
std::vector<DeviceRecord> found_snapshot(FoundDevices *found);

// Panel modes of the connection screen.
enum { PANEL_SERVER_LIST = 1, PANEL_NO_VIDEO = 2, PANEL_UNLOCK = 3 };
// What the state handler makes of the panel mode for a new link state.
int panel_mode_after_state(int state, int panel_mode);

enum FoundShown { SHOWN_VIDEO, SHOWN_UNLOCK, SHOWN_NO_VIDEO, SHOWN_SERVER_LIST };
// What the window shows for a link state and panel mode.
FoundShown found_shown(int state, int panel_mode);
