// The Settings window's rules: subnet list edits and the HID mode combo.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>

#include "ui/settings_logic.h"

TEST(SubnetList, AddingTheSameNetworkTwiceKeepsOneEntry)
{
    std::vector<uint32_t> list;
    EXPECT_EQ(subnet_add(&list, 192, 168, 5), SUBNET_ADDED);
    EXPECT_EQ(subnet_add(&list, 192, 168, 5), SUBNET_PRESENT);
    ASSERT_EQ(list.size(), 1u);
    // Bytes a, b, c, 0 in memory: C0 A8 05 00.
    uint8_t b[4];
    std::memcpy(b, &list[0], 4);
    EXPECT_EQ(b[0], 0xC0);
    EXPECT_EQ(b[1], 0xA8);
    EXPECT_EQ(b[2], 0x05);
    EXPECT_EQ(b[3], 0x00);
    char text[32];
    EXPECT_EQ(subnet_text(list[0], text, sizeof text), std::strlen("192.168.5.*"));
    EXPECT_STREQ(text, "192.168.5.*");
}

TEST(SubnetList, OctetsOutsideTheByteRangeChangeNothing)
{
    std::vector<uint32_t> list;
    EXPECT_EQ(subnet_add(&list, 256, 0, 0), SUBNET_OUT_OF_RANGE);
    EXPECT_EQ(subnet_add(&list, 10, -1, 0), SUBNET_OUT_OF_RANGE);
    EXPECT_EQ(subnet_add(&list, 10, 0, 1000), SUBNET_OUT_OF_RANGE);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(subnet_add(&list, 0, 0, 0), SUBNET_ADDED);
    EXPECT_EQ(subnet_add(&list, 255, 255, 255), SUBNET_ADDED);
    char text[32];
    subnet_text(list[1], text, sizeof text);
    EXPECT_STREQ(text, "255.255.255.*");
    char small[6]; // cut to the buffer
    EXPECT_EQ(subnet_text(subnet_entry(192, 168, 5), small, sizeof small), 5u);
    EXPECT_STREQ(small, "192.1");
}


TEST(HidCombo, PreviewFollowsTheTargetsReportedMode)
{
    DeviceRecord r{};
    r.address.in4.sin_family = AF_INET;
    inet_pton(AF_INET, "10.0.0.7", &r.address.in4.sin_addr);
    r.hid_speed = 0;
    HidCombo h = hid_combo(r);
    EXPECT_EQ(h.current, 0);
    EXPECT_EQ(h.other, 1);
    EXPECT_TRUE(h.enabled);
    EXPECT_STREQ(hid_mode_name(h.current), "HID 1.1");
    EXPECT_STREQ(hid_mode_name(h.other), "HID 2.0");
    r.hid_speed = 1;
    EXPECT_EQ(hid_combo(r).current, 1);
    r.hid_speed = 7;
    EXPECT_EQ(hid_combo(r).current, 1);
    r.hid_speed = -3;
    EXPECT_EQ(hid_combo(r).current, 0);
}

TEST(HidCombo, DisabledForUsbTargetsNoTargetAndIpv6)
{
    DeviceRecord none{};
    HidCombo h = hid_combo(none);
    EXPECT_FALSE(h.enabled);
    EXPECT_STREQ(hid_mode_name(h.current), "HID 1.1");

    DeviceRecord usb{};
    usb.usb = 1;
    usb.address.in4.sin_family = AF_INET;
    EXPECT_FALSE(hid_combo(usb).enabled);

    DeviceRecord v6{};
    v6.address.in6.sin6_family = AF_INET6;
    EXPECT_FALSE(hid_combo(v6).enabled);
}

// The About window's fixed texts.
#include "ui/about_texts.h"

TEST(AboutTexts, UpdateScreenDoesNotDenyTheUsbRoute)
{
    // This viewer updates over USB on Linux: no "(Not supported in Linux)".
    EXPECT_EQ(std::string(ABOUT_UPDATE_TEXT).rfind("Update Firmware with USB cable\n    1. Unplug", 0), 0u);
}
