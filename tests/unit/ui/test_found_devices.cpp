// The found-device list merge and the connection screen's panel rules.
#include <gtest/gtest.h>

#include <cstring>

#include "ui/found_devices.h"

namespace {

DeviceRecord net_dev(const char *id, uint64_t build = 250101000000ull)
{
    DeviceRecord r{};
    std::strcpy(r.id, id);
    std::strcpy(r.name, "Desk");
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
    r.build = 1;  // a USB record's build never raises the firmware notice
    return r;
}

std::vector<AliasEntry> aliases(std::initializer_list<std::pair<const char *, const char *>> rows)
{
    std::vector<AliasEntry> out;
    for (auto &r : rows) {
        AliasEntry e{};
        std::strcpy(e.key, r.first);
        std::strcpy(e.alias, r.second);
        out.push_back(e);
    }
    return out;
}

struct FoundTest : ::testing::Test {
    FoundDevices found;
    std::atomic<bool> once{false};
    std::vector<AliasEntry> none;
};

TEST_F(FoundTest, ASecondReportRefreshesOnlyLastSeen)
{
    DeviceRecord a = net_dev("A1");
    found_merge(&found, a, none, false, 1000, &once);
    DeviceRecord again = net_dev("A1");
    std::strcpy(again.name, "Renamed");
    found_merge(&found, again, none, false, 2000, &once);
    auto list = found_snapshot(&found);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_STREQ(list[0].name, "Desk") << "the stored record is not otherwise refreshed";
    EXPECT_EQ(list[0].last_seen_ms, 2000u);
    found_merge(&found, usb_dev("A1", "0-3-2"), none, false, 3000, &once); // the same id over USB: another row
    EXPECT_EQ(found_snapshot(&found).size(), 2u);
}

TEST_F(FoundTest, UsbLabelsComeFromTheAliasListIgnoringCase)
{
    auto al = aliases({{"0-3-2", "Desk PC"}, {"0-A-1", "Lab"}});
    FoundMerge m = found_merge(&found, usb_dev("u1", "0-a-1"), al, false, 1, &once);
    EXPECT_STREQ(m.record.label, "Lab");
    EXPECT_STREQ(m.record.name, "KAVRI Viewer");
    m = found_merge(&found, usb_dev("u2", "1-1"), al, false, 1, &once);
    EXPECT_STREQ(m.record.label, "1-1") << "no alias: the location is shown";
    auto list = found_snapshot(&found);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_STREQ(list[0].label, "Lab");
}

TEST_F(FoundTest, ALongAliasIsCutAndHidModeAsksForTheUsbModeNotice)
{
    AliasEntry e{};
    std::strcpy(e.key, "0-1");
    std::memset(e.alias, 'x', 255);
    FoundMerge m = found_merge(&found, usb_dev("u", "0-1"), {e}, false, 1, &once);
    EXPECT_EQ(std::strlen(m.record.label), sizeof m.record.label - 1);
    EXPECT_FALSE(m.usb_mode_notice);
    EXPECT_TRUE(found_merge(&found, usb_dev("h", "0-2", true), none, false, 1, &once).usb_mode_notice);
}

TEST_F(FoundTest, FirmwareNoticeOnceAndOnlyBelowTheBuild)
{
    EXPECT_FALSE(found_merge(&found, net_dev("eq", 240427225356ull), none, true, 1, &once).firmware_notice);
    EXPECT_FALSE(found_merge(&found, usb_dev("usb-old", "0-1"), none, true, 1, &once).firmware_notice)
        << "USB dongles never raise it";
    EXPECT_TRUE(found_merge(&found, net_dev("old", 240427225355ull), none, true, 1, &once).firmware_notice);
    EXPECT_FALSE(found_merge(&found, net_dev("older", 230302190449ull), none, true, 1, &once).firmware_notice)
        << "at most once per run";
}

TEST_F(FoundTest, WhileConnectedNewDongleIsListedButNotSelected)
{
    FoundMerge m = found_merge(&found, net_dev("n"), none, true, 1, &once);
    EXPECT_FALSE(m.select);
    auto list = found_snapshot(&found);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].current, 0u);
    m = found_merge(&found, net_dev("m"), none, false, 1, &once);
    EXPECT_TRUE(m.select);
    EXPECT_EQ(found_snapshot(&found)[1].current, 1u);
}

TEST_F(FoundTest, ScanStartEmptiesTheListAndRowsComeBack)
{
    found_merge(&found, net_dev("a"), none, false, 1, &once);
    found_merge(&found, net_dev("b"), none, false, 1, &once);
    found_clear(&found);
    EXPECT_TRUE(found_snapshot(&found).empty());
    found_merge(&found, net_dev("b"), none, false, 5, &once);
    ASSERT_EQ(found_snapshot(&found).size(), 1u);
    EXPECT_STREQ(found_snapshot(&found)[0].id, "b");
}

TEST(PanelMode, StateHandlerTransitions)
{
    EXPECT_EQ(panel_mode_after_state(0, PANEL_UNLOCK), PANEL_SERVER_LIST);
    EXPECT_EQ(panel_mode_after_state(2, PANEL_SERVER_LIST), PANEL_UNLOCK);
    EXPECT_EQ(panel_mode_after_state(4, PANEL_SERVER_LIST), PANEL_NO_VIDEO);
    for (int s : {1, 3, 5})
        EXPECT_EQ(panel_mode_after_state(s, PANEL_NO_VIDEO), PANEL_NO_VIDEO) << s;
    EXPECT_EQ(panel_mode_after_state(1, 0), 0) << "a new screen starts at 0, shown like 1";
}

TEST(PanelMode, WhatTheWindowShows)
{
    EXPECT_EQ(found_shown(5, PANEL_UNLOCK), SHOWN_VIDEO);
    EXPECT_EQ(found_shown(2, PANEL_UNLOCK), SHOWN_UNLOCK);
    EXPECT_EQ(found_shown(2, PANEL_SERVER_LIST), SHOWN_SERVER_LIST) << "backed out of the unlock panel";
    EXPECT_EQ(found_shown(4, PANEL_NO_VIDEO), SHOWN_NO_VIDEO);
    EXPECT_EQ(found_shown(3, PANEL_UNLOCK), SHOWN_SERVER_LIST) << "refused: the server list whatever the mode";
    EXPECT_EQ(found_shown(0, 0), SHOWN_SERVER_LIST);
}

}  // namespace
