// The rules behind the connection screen and the Settings and About windows.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>

#include "link/link.h"
#include "support/bytes.h"
#include "ui/about_texts.h"
#include "ui/connect_logic.h"
#include "ui/found_devices.h"
#include "ui/settings_logic.h"

namespace {

DeviceRecord net_dev(const char *id, uint64_t build = 250101000000ull, const char *name = "Desk")
{
    DeviceRecord r{};
    std::strcpy(r.id, id);
    std::strcpy(r.name, name);
    r.address.in4.sin_family = AF_INET;
    inet_pton(AF_INET, "192.168.1.20", &r.address.in4.sin_addr);
    r.build = build;
    r.version[0] = 2;
    return r;
}

DeviceRecord usb_dev(const char *id, const char *location, bool hid_only = false)
{
    DeviceRecord r{};
    std::strcpy(r.id, id);
    std::strcpy(r.location, location);
    r.usb = 1;
    r.hid_only = hid_only ? 1 : 0;
    r.build = 1; // a USB record's build never raises the firmware notice
    return r;
}

struct FoundTest : ::testing::Test {
    FoundDevices found;
    std::atomic<bool> once{false};
    std::vector<AliasEntry> none;
};

} // namespace

TEST_F(FoundTest, ASecondReportRefreshesOnlyLastSeenAndAScanStartEmptiesTheList)
{
    found_merge(&found, net_dev("A1"), none, false, 1000, &once);
    found_merge(&found, net_dev("A1", 1, "Renamed"), none, false, 2000, &once);
    auto list = found_snapshot(&found);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(std::string(list[0].name) + " " + std::to_string(list[0].last_seen_ms), "Desk 2000")
        << "the stored record is not otherwise refreshed";
    found_merge(&found, usb_dev("A1", "0-3-2"), none, false, 3000, &once); // the same id over USB: another row
    EXPECT_EQ(found_snapshot(&found).size(), 2u);
    found_clear(&found);
    EXPECT_TRUE(found_snapshot(&found).empty());
    found_merge(&found, net_dev("A1"), none, false, 5, &once);
    EXPECT_EQ(found_snapshot(&found).size(), 1u);
}

TEST_F(FoundTest, UsbLabelsComeFromTheAliasListIgnoringCaseAndHidModeAsksForTheUsbModeNotice)
{
    auto al = alias_parse("Desk PC:0-3-2\nLab:0-A-1\n", 24);
    FoundMerge m = found_merge(&found, usb_dev("u1", "0-a-1"), al, false, 1, &once);
    EXPECT_EQ(std::string(m.record.label) + "|" + m.record.name, "Lab|KAVRI Viewer");
    EXPECT_FALSE(m.usb_mode_notice);
    m = found_merge(&found, usb_dev("u2", "1-1", true), al, false, 1, &once);
    EXPECT_STREQ(m.record.label, "1-1") << "no alias: the location is shown";
    EXPECT_TRUE(m.usb_mode_notice);
    AliasEntry e{};
    std::strcpy(e.key, "0-1");
    std::memset(e.alias, 'x', 255);
    m = found_merge(&found, usb_dev("u3", "0-1"), {e}, false, 1, &once);
    EXPECT_EQ(std::strlen(m.record.label), sizeof m.record.label - 1);
}

TEST_F(FoundTest, FirmwareNoticeOnceAndOnlyBelowTheBuildAndNoSelectionWhileConnected)
{
    EXPECT_FALSE(found_merge(&found, net_dev("eq", 240427225356ull), none, true, 1, &once).firmware_notice);
    EXPECT_FALSE(found_merge(&found, usb_dev("usb-old", "0-1"), none, true, 1, &once).firmware_notice)
        << "USB dongles never raise it";
    EXPECT_TRUE(found_merge(&found, net_dev("old", 240427225355ull), none, true, 1, &once).firmware_notice);
    EXPECT_FALSE(found_merge(&found, net_dev("older", 230302190449ull), none, true, 1, &once).firmware_notice)
        << "at most once per run";
    // While connected a new dongle is listed but not selected.
    found_clear(&found);
    EXPECT_FALSE(found_merge(&found, net_dev("n"), none, true, 1, &once).select);
    EXPECT_TRUE(found_merge(&found, net_dev("m"), none, false, 1, &once).select);
    auto list = found_snapshot(&found);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].current * 10 + list[1].current, 1u);
}

TEST(ConnectForwardButton, EveryModeAndState)
{
    // mode, a target picked, that target the current one, link state -> action.
    const struct {
        int mode;
        bool picked, current;
        int state, action;
    } rows[] = {
        {2, true, true, LINK_STATE_NO_VIDEO, FORWARD_SERVER_LIST}, // the no-video panel's button goes back
        {3, true, false, LINK_STATE_PASSWORD, FORWARD_NOTHING}, // unlock panel: only a password is sent
        {3, false, false, LINK_STATE_PASSWORD, FORWARD_UNLOCK},
        {0, true, false, LINK_STATE_NONE, FORWARD_CONNECT},
        {0, true, false, LINK_STATE_REFUSED, FORWARD_CONNECT},
        {1, true, true, LINK_STATE_PASSWORD, FORWARD_SHOW_UNLOCK},
        {0, true, true, LINK_STATE_NO_VIDEO, FORWARD_SHOW_NO_VIDEO},
        {1, true, true, LINK_STATE_STREAMING, FORWARD_NOTHING},
    };
    for (const auto &r : rows)
        EXPECT_EQ(connect_forward_click(r.mode, r.picked, r.current, r.state), r.action)
            << r.mode << r.picked << r.current << " state " << r.state;
}

TEST(ConnectLabel, NetworkAndUsbFormatsAndDeviceTextIsCopiedNotFormattedAndCut)
{
    char out[32];
    DeviceRecord r = net_dev("n", 1, "%s%n%x");
    EXPECT_EQ(connect_label(r, out, sizeof out), std::strlen("%s%n%x (192.168.1.20)"));
    EXPECT_STREQ(out, "%s%n%x (192.168.1.20)");
    DeviceRecord v6 = net_dev("6", 1, "Lab"), usb = usb_dev("u", "0-1");
    v6.address.in6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "fe80::1", &v6.address.in6.sin6_addr);
    connect_label(v6, out, sizeof out);
    EXPECT_STREQ(out, "Lab (fe80::1)");
    std::strcpy(usb.name, "KAVRI Viewer");
    std::strcpy(usb.label, "Front port");
    connect_label(usb, out, sizeof out);
    EXPECT_STREQ(out, "KAVRI Viewer (USB Front port)");
    // A name filling its whole field (no terminator) is read only to its end.
    std::memset(r.name, 'A', sizeof r.name);
    EXPECT_EQ(connect_label(r, out, sizeof out), sizeof out - 1);
    EXPECT_EQ(std::string(out), std::string(31, 'A'));
    char one[1] = {'x'};
    EXPECT_EQ(connect_label(r, one, 1) + one[0], 0u);
}

TEST(ConnectAddressEditor, NonZeroIpv4BecomesAFixedRecordTheRestNothing)
{
    DeviceRecord r;
    std::memset(&r, 0x5A, sizeof r);
    ASSERT_EQ(connect_address_record("127.0.0.2", &r), 0);
    // Literal: family AF_INET, port 36459 = 0x8E6B big-endian, address 7F 00 00 02.
    EXPECT_EQ(r.address.sa.sa_family, AF_INET);
    EXPECT_EQ(hex(r.address.bytes + 2, 6), "8e6b7f000002");
    EXPECT_EQ(std::string(r.id) + " " + r.name, "fixed_ip 127.0.0.2");
    EXPECT_EQ(r.build + r.usb + r.current + r.version[0] + r.label[0], 0u); // everything else is zero
    ASSERT_EQ(connect_address_record("127.1", &r), 0); // short numeric forms are addresses too
    EXPECT_EQ(hex(r.address.bytes + 4, 4), "7f000001");
    DeviceRecord z{};
    for (const char *bad : {"0.0.0.0", "0", "::1", "", "1.2.3.4.5", "12-34", (const char *)nullptr})
        EXPECT_EQ(connect_address_record(bad, &z), -1) << (bad ? bad : "(null)");
    EXPECT_EQ(z.id[0], 0) << "a refused address leaves the record alone";
}

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
    EXPECT_EQ(hex((const uint8_t *)&list[0], 4), "c0a80500"); // bytes a, b, c, 0 in memory
    char text[32], small[6];
    EXPECT_EQ(subnet_text(list[1], text, sizeof text), std::strlen("255.255.255.*"));
    EXPECT_STREQ(text, "255.255.255.*");
    EXPECT_EQ(subnet_text(list[0], small, sizeof small), 5u); // cut to the buffer
    EXPECT_STREQ(small, "192.1");
}

TEST(AboutTexts, UpdateScreenDoesNotDenyTheUsbRoute)
{
    // This viewer updates over USB on Linux: no "(Not supported in Linux)".
    EXPECT_EQ(std::string(ABOUT_UPDATE_TEXT).rfind("Update Firmware with USB cable\n    1. Unplug", 0), 0u);
}
