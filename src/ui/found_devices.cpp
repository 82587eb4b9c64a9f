#include "ui/found_devices.h"

#include <cstring>

static void copy_text(char *dst, size_t cap, const char *src)
{
    size_t n = strnlen(src, cap - 1);
    std::memcpy(dst, src, n);
    std::memset(dst + n, 0, cap - n);
}

FoundMerge found_merge(FoundDevices *found, const DeviceRecord &rec, const std::vector<AliasEntry> &aliases,
                       bool connected, uint64_t now_ms, std::atomic<bool> *firmware_once, bool update_running)
{
    FoundMerge out;
    out.record = rec;
    DeviceRecord &r = out.record;

    if (!r.usb && r.build < FOUND_FIRMWARE_NOTICE_BELOW) {
        bool expected = false;
        if (firmware_once->compare_exchange_strong(expected, true))
            out.firmware_notice = true;
    }
    if (r.usb) {
        // The location is text the USB layer made; keep it terminated before
        // looking it up.
        r.location[sizeof r.location - 1] = 0;
        const char *alias = alias_lookup(aliases, r.location);
        copy_text(r.label, sizeof r.label, alias ? alias : r.location);
        copy_text(r.name, sizeof r.name, "KAVRI Viewer");
        if (r.hid_only)
            out.usb_mode_notice = true;
    }

    {
        std::lock_guard<std::mutex> g(found->lock);
        bool known = false;
        for (auto &s : found->list) {
            // ids are zero-filled fixed fields: compare them whole.
            if (s.usb == r.usb && std::memcmp(s.id, r.id, sizeof s.id) == 0) {
                s.last_seen_ms = now_ms;
                known = true;
                break;
            }
        }
        if (!known) {
            r.last_seen_ms = now_ms;
            if (!connected)
                r.current = 1;
            found->list.push_back(r);
        }
    }
    out.select = !connected && !(r.hid_only && update_running);
    return out;
}

void found_clear(FoundDevices *found)
{
    std::lock_guard<std::mutex> g(found->lock);
    found->list.clear();
}

std::vector<DeviceRecord> found_snapshot(FoundDevices *found)
{
    std::lock_guard<std::mutex> g(found->lock);
    return found->list;
}

int panel_mode_after_state(int state, int panel_mode)
{
    switch (state) {
    case 0: return PANEL_SERVER_LIST;
    case 2: return PANEL_UNLOCK;
    case 4: return PANEL_NO_VIDEO;
    default: return panel_mode;
    }
}

FoundShown found_shown(int state, int panel_mode)
{
    if (state == 5)
        return SHOWN_VIDEO;
    if (state == 2 && panel_mode == PANEL_UNLOCK)
        return SHOWN_UNLOCK;
    if (state == 4 && panel_mode == PANEL_NO_VIDEO)
        return SHOWN_NO_VIDEO;
    return SHOWN_SERVER_LIST;
}
