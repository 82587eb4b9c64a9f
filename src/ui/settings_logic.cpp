#include "ui/settings_logic.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

uint32_t subnet_entry(uint8_t a, uint8_t b, uint8_t c)
{
    const uint8_t bytes[4] = {a, b, c, 0};
    uint32_t v;
    std::memcpy(&v, bytes, sizeof v);
    return v;
}

SubnetAdd subnet_add(std::vector<uint32_t> *list, int a, int b, int c)
{
    auto in_range = [](int v) { return v >= 0 && v <= 255; };
    if (!in_range(a) || !in_range(b) || !in_range(c))
        return SUBNET_OUT_OF_RANGE;
    uint32_t e = subnet_entry((uint8_t)a, (uint8_t)b, (uint8_t)c);
    if (std::find(list->begin(), list->end(), e) != list->end())
        return SUBNET_PRESENT;
    list->push_back(e);
    return SUBNET_ADDED;
}

size_t subnet_text(uint32_t entry, char *out, size_t cap)
{
    uint8_t b[4];
    std::memcpy(b, &entry, sizeof b);
    int n = std::snprintf(out, cap, "%d.%d.%d.*", b[0], b[1], b[2]);
    return n < 0 ? 0 : std::min((size_t)n, cap ? cap - 1 : 0);
}

HidCombo hid_combo(const DeviceRecord &target)
{
    HidCombo h{};
    h.current = target.hid_speed < 1 ? 0 : 1;
    h.other = 1 - h.current;
    h.enabled = !target.usb && target.address.sa.sa_family == AF_INET;
    return h;
}

const char *hid_mode_name(int mode)
{
    return mode == 0 ? "HID 1.1" : "HID 2.0";
}
