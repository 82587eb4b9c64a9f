// The rules of the Settings window that need neither GL nor Dear ImGui: the
// subnet list edits and the HID mode combo. Pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/device_record.h"

// The list entry for the network a.b.c.0/24: bytes a, b, c, 0 in memory.
uint32_t subnet_entry(uint8_t a, uint8_t b, uint8_t c);

enum SubnetAdd { SUBNET_ADDED = 1, SUBNET_PRESENT = 0, SUBNET_OUT_OF_RANGE = -1 };
// Appends a.b.c.0/24 unless present. Octets outside 0..255 change nothing.
SubnetAdd subnet_add(std::vector<uint32_t> *list, int a, int b, int c);

// "a.b.c.*" for an entry. Returns the text's length.
size_t subnet_text(uint32_t entry, char *out, size_t cap);

// The HID mode combo for the link's target: the preview (0: "HID 1.1", 1:
// "HID 2.0"), the one other choice, and whether it can be used (a network
// dongle with an IPv4 address).
struct HidCombo {
    int current;
    int other;
    bool enabled;
};
HidCombo hid_combo(const DeviceRecord &target);

// Texts of the two modes.
const char *hid_mode_name(int mode);
