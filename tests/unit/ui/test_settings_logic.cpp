// The Settings window's rules: subnet list edits and the HID mode combo.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>

#include "support/bytes.h"
#include "ui/settings_logic.h"

TEST(SubnetList, AddsEachNetworkOnceAndOnlyByteOctets)
{
    std::vector<uint32_t> list;
    const struct {
        int a, b, c, rc;
    } rows[] = {{192, 168, 5, SUBNET_ADDED}, {192, 168, 5, SUBNET_PRESENT}, {256, 0, 0, SUBNET_OUT_OF_RANGE},
                {10, -1, 0, SUBNET_OUT_OF_RANGE}, {10, 0, 1000, SUBNET_OUT_OF_RANGE}, {255, 255, 255, SUBNET_ADDED}};
    for (const auto &r : rows)
        EXPECT_EQ(subnet_add(&list, r.a, r.b, r.c), r.rc) << r.a << "." << r.b << "." << r.c;
    ASSERT_EQ(list.size(), 2u);
    uint8_t b[4]; // bytes a, b, c, 0 in memory
    std::memcpy(b, &list[0], 4);
    EXPECT_EQ(Bytes(b, b + 4), unhex("c0a80500"));
    char text[32], small[6];
    EXPECT_EQ(subnet_text(list[1], text, sizeof text), std::strlen("255.255.255.*"));
    EXPECT_STREQ(text, "255.255.255.*");
    EXPECT_EQ(subnet_text(list[0], small, sizeof small), 5u); // cut to the buffer
    EXPECT_STREQ(small, "192.1");
}

TEST(HidCombo, PreviewFollowsTheReportedModeAndOnlyIpv4NetworkTargets)
{
    const struct {
        int family, usb, hid_speed, current;
        bool enabled;
    } rows[] = {{AF_INET, 0, 0, 0, true}, {AF_INET, 0, 1, 1, true}, {AF_INET, 0, 7, 1, true}, {AF_INET, 0, -3, 0, true},
                {0, 0, 0, 0, false}, {AF_INET, 1, 0, 0, false}, {AF_INET6, 0, 0, 0, false}};
    for (const auto &r : rows) {
        DeviceRecord d{};
        d.address.sa.sa_family = (sa_family_t)r.family, d.usb = r.usb, d.hid_speed = r.hid_speed;
        HidCombo h = hid_combo(d);
        EXPECT_EQ(h.current * 10 + h.enabled, r.current * 10 + r.enabled) << r.family << " " << r.usb << " " << r.hid_speed;
    }
    EXPECT_EQ(std::string(hid_mode_name(0)) + "|" + hid_mode_name(1), "HID 1.1|HID 2.0");
}

// The About window's fixed texts.
#include "ui/about_texts.h"

TEST(AboutTexts, UpdateScreenDoesNotDenyTheUsbRoute)
{
    // This viewer updates over USB on Linux: no "(Not supported in Linux)".
    EXPECT_EQ(std::string(ABOUT_UPDATE_TEXT).rfind("Update Firmware with USB cable\n    1. Unplug", 0), 0u);
}
