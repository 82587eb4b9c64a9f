// USB detection: port location texts, the HID version gate, the feature
// report length from a report descriptor, the records reported for dongles
// in both modes (through the fake USB layer), and the libusb/hidapi backend
// on a machine without dongles.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/usb_detect.h"
#include "platform/hid_descriptor.h"
#include "dongle_sim/usb_fake.h"

// ---------------------------------------------------------------------------
// Location text

TEST(UsbLocation, ControllerThenHubPorts)
{
    struct Case {
        int controller;
        std::vector<uint8_t> ports;
        size_t cap;
        int result;
        const char *text;
    } const cases[] = {
        {0, {3}, 128, 3, "0-3"},         // root hub port of the first controller
        {0, {3, 2}, 128, 5, "0-3-2"},    // behind an external hub
        {2, {1, 4, 12, 7}, 128, 10, "2-1-4-12-7"},
        {0, {}, 128, 0, ""},             // no hub port
        {-1, {3}, 128, 0, ""},
        {0, {3, 2}, 4, 3, "0-3"},        // cut to the buffer
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        char out[128];
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(usb_location_text(c.controller, c.ports.empty() ? nullptr : c.ports.data(), (int)c.ports.size(),
                                    out, c.cap),
                  c.result);
        EXPECT_STREQ(out, c.text);
    }
}

TEST(UsbHidVersion, GateAt2000)
{
    EXPECT_FALSE(usb_hid_version_supported(0x1FFF));
    EXPECT_TRUE(usb_hid_version_supported(0x2000));
    EXPECT_TRUE(usb_hid_version_supported(0x2002));
    EXPECT_FALSE(usb_hid_version_supported(0x0100));
}

// ---------------------------------------------------------------------------
// Report descriptor

namespace {

// Four vendor top-level collections; the fourth carries report 0x0C with
// `count` bytes of feature data.
std::vector<uint8_t> descriptor(uint8_t count)
{
    std::vector<uint8_t> d;
    auto collection = [&](uint8_t id, uint8_t bytes, uint8_t main_item) {
        const uint8_t part[] = {0x06, 0x00, 0xFF,  // usage page (vendor)
                                0x09, 0x01,        // usage
                                0xA1, 0x01,        // collection (application)
                                0x85, id,          // report id
                                0x75, 0x08,        // report size 8
                                0x95, bytes,       // report count
                                0x09, 0x02, main_item, 0x02,
                                0xC0};             // end collection
        d.insert(d.end(), part, part + sizeof part);
    };
    collection(0x01, 8, 0x81);    // keyboard-like input report
    collection(0x02, 4, 0x81);
    collection(0x03, 16, 0xB1);   // a feature report of another collection
    collection(0x0C, count, 0xB1);
    return d;
}

}  // namespace

TEST(UsbHidDescriptor, FeatureLengthOfCollectionFourIncludesTheReportId)
{
    auto d = descriptor(63);
    EXPECT_EQ(usb_hid_feature_length(d.data(), d.size(), 4), 64);
    d = descriptor(64);
    EXPECT_EQ(usb_hid_feature_length(d.data(), d.size(), 4), 65);
    EXPECT_EQ(usb_hid_feature_length(d.data(), d.size(), 3), 17);
}

TEST(UsbHidDescriptor, CollectionWithoutFeatureReportIsUnknown)
{
    auto d = descriptor(63);
    EXPECT_EQ(usb_hid_feature_length(d.data(), d.size(), 1), 0);
    EXPECT_EQ(usb_hid_feature_length(d.data(), d.size(), 5), 0);
    EXPECT_EQ(usb_hid_feature_length(d.data(), d.size(), 0), 0);
}

TEST(UsbHidDescriptor, TruncatedItemIsMalformed)
{
    auto d = descriptor(63);
    d.push_back(0x95);  // report count without its data byte
    EXPECT_EQ(usb_hid_feature_length(d.data(), d.size(), 4), 0);
    EXPECT_EQ(usb_hid_feature_length(nullptr, 0, 4), 0);
    const uint8_t long_item[] = {0xFE, 0x05, 0x00, 0x01};
    EXPECT_EQ(usb_hid_feature_length(long_item, sizeof long_item, 1), 0);
}

TEST(UsbHidDescriptor, PushAndPopRestoreTheGlobals)
{
    const uint8_t d[] = {0xA1, 0x01,              // collection
                         0x75, 0x08, 0x95, 0x0A,  // 8 bits x 10
                         0xA4,                    // push
                         0x95, 0x30,              // 48
                         0xB4,                    // pop: back to 10
                         0xB1, 0x02,              // feature
                         0xC0};
    EXPECT_EQ(usb_hid_feature_length(d, sizeof d, 1), 11);
}

// ---------------------------------------------------------------------------
// Detection through the fake layer

namespace {

struct Found {
    std::vector<DeviceRecord> records;
    static void report(void *c, const DeviceRecord *r) { ((Found *)c)->records.push_back(*r); }
};

UsbFakeConfig stream_dongle(int bus, std::vector<uint8_t> ports)
{
    UsbFakeConfig c;
    c.bus = bus;
    c.ports = ports;
    return c;
}

UsbFakeConfig hid_dongle(uint16_t version)
{
    UsbFakeConfig c;
    c.hid_mode = true;
    c.hid_version = version;
    return c;
}

}  // namespace

class UsbDetect : public ::testing::Test {
protected:
    UsbFake *f = usb_fake_create();
    ~UsbDetect() override { usb_fake_destroy(&f); }
    std::vector<DeviceRecord> detect()
    {
        Found found;
        usb_detect(usb_fake_backend(f), Found::report, &found);
        return found.records;
    }
};

TEST_F(UsbDetect, StreamModeDongleOnRootPortThree)
{
    usb_fake_add(f, stream_dongle(1, {3}));
    auto found = detect();
    ASSERT_EQ(found.size(), 1u);
    const DeviceRecord &r = found[0];
    EXPECT_EQ(r.usb, 1u);
    EXPECT_EQ(r.hid_only, 0u);
    EXPECT_STREQ(r.location, "0-3");
    EXPECT_STREQ(r.label, "0-3");
    EXPECT_STREQ(r.name, "KAVRI Viewer");
    EXPECT_STREQ(r.id, "fake-usb:1-3");
    EXPECT_EQ(r.version[0], 0);
    EXPECT_EQ(r.build, 0u);
}

TEST_F(UsbDetect, TwoDonglesOnDifferentPortsGiveTwoLocationsAndOneName)
{
    usb_fake_add(f, stream_dongle(1, {3}));
    usb_fake_add(f, stream_dongle(2, {1, 4}));
    auto found = detect();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_STREQ(found[0].location, "0-3");
    EXPECT_STREQ(found[1].location, "1-1-4");
    EXPECT_STRNE(found[0].id, found[1].id);
    EXPECT_STREQ(found[0].name, found[1].name);
}

TEST_F(UsbDetect, ReplugBehindAHubIntoTheSamePortKeepsIdAndLocation)
{
    int d = usb_fake_add(f, stream_dongle(1, {3, 2}));
    auto before = detect();
    usb_fake_unplug(f, d);
    usb_fake_add(f, stream_dongle(1, {3, 2}));
    auto after = detect();
    ASSERT_EQ(before.size(), 1u);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_STREQ(before[0].location, "0-3-2");
    EXPECT_STREQ(before[0].id, after[0].id);
    EXPECT_STREQ(before[0].location, after[0].location);
}

TEST_F(UsbDetect, HidVersionGateAndUnopenableInterfaces)
{
    int old = usb_fake_add(f, hid_dongle(0x1FFF));
    UsbFakeConfig c = hid_dongle(0x2001);
    c.hid_openable = false;
    usb_fake_add(f, c);
    EXPECT_TRUE(detect().empty());
    EXPECT_EQ(usb_fake_stats(f, old).hid_opens, 1);
}

TEST_F(UsbDetect, HidVersion2000IsReportedHidOnlyWithoutLocationAfterStreamDongles)
{
    usb_fake_add(f, hid_dongle(0x2000));
    usb_fake_add(f, stream_dongle(1, {5}));
    auto found = detect();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].hid_only, 0u);
    const DeviceRecord &r = found[1];
    EXPECT_EQ(r.usb, 1u);
    EXPECT_EQ(r.hid_only, 1u);
    EXPECT_STREQ(r.location, "");
    EXPECT_STREQ(r.label, "");
    EXPECT_STREQ(r.name, "KAVRI Viewer");
    EXPECT_STREQ(r.id, "fake-hid:0");
}

TEST_F(UsbDetect, NoDongleNoReport)
{
    EXPECT_TRUE(detect().empty());
    Found found;
    usb_detect(nullptr, Found::report, &found);
    EXPECT_TRUE(found.records.empty());
}

// ---------------------------------------------------------------------------
// The fake's firmware dialogue (what the HID upload will talk to)

TEST(UsbFakeFirmware, BuildQueryAndUploadDialogue)
{
    UsbFake *f = usb_fake_create();
    UsbFakeConfig c = hid_dongle(0x2002);
    c.build = 240601120000ull;
    int d = usb_fake_add(f, c);
    const UsbBackend *b = usb_fake_backend(f);
    UsbHid *h = b->hid_open(b->context, "fake-hid:0", nullptr);
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> cmd(64, 0), reply(64, 0);
    cmd[0] = 0x0C;
    cmd[1] = 0xC2;
    ASSERT_EQ(b->hid_set_feature(h, cmd.data(), cmd.size()), 64);
    ASSERT_EQ(b->hid_get_feature(h, reply.data(), reply.size()), 64);
    EXPECT_EQ(reply[0], 0x0C);
    EXPECT_EQ(reply[1], 0xC2);
    EXPECT_EQ(reply[2], 0x00);
    EXPECT_EQ(std::string((const char *)reply.data() + 3), "240601120000");

    // 0xA1 announces 100 bytes; two 0xA2 pieces carry them.
    std::fill(cmd.begin(), cmd.end(), 0);
    cmd[0] = 0x0C;
    cmd[1] = 0xA1;
    cmd[6] = 100;
    b->hid_set_feature(h, cmd.data(), cmd.size());
    ASSERT_EQ(b->hid_get_feature(h, reply.data(), reply.size()), 64);
    EXPECT_EQ(reply[1], 0xA1);
    for (uint32_t off = 0; off < 100; off += 58) {
        std::fill(cmd.begin(), cmd.end(), 0);
        cmd[0] = 0x0C;
        cmd[1] = 0xA2;
        cmd[2] = (uint8_t)off;
        for (uint32_t i = 0; i < 58 && off + i < 100; i++)
            cmd[6 + i] = (uint8_t)(off + i + 1);
        b->hid_set_feature(h, cmd.data(), cmd.size());
    }
    cmd[1] = 0xA4;
    b->hid_set_feature(h, cmd.data(), cmd.size());
    int polls = 0;
    for (; polls < 20; polls++) {
        ASSERT_GT(b->hid_get_feature(h, reply.data(), reply.size()), 0);
        ASSERT_EQ(reply[1], 0xA5);
        if (reply[2] == 0x4F)
            break;
        EXPECT_EQ(reply[2], 0x00);
    }
    EXPECT_LT(polls, 20);
    b->hid_close(h);
    UsbFakeStats s = usb_fake_stats(f, d);
    ASSERT_EQ(s.firmware.size(), 100u);
    for (uint32_t i = 0; i < 100; i++)
        ASSERT_EQ(s.firmware[i], (uint8_t)(i + 1));
    usb_fake_destroy(&f);
}

// ---------------------------------------------------------------------------
// The libusb / hidapi backend on this machine: there is no dongle (and
// maybe no USB bus at all); every call must fail or find nothing cleanly.

TEST(UsbLinuxBackend, FindsNothingAndOpensNothingWithoutADongle)
{
    const UsbBackend *b = usb_linux_backend();
    ASSERT_NE(b, nullptr);
    UsbStreamInfo streams[4];
    UsbHidInfo hids[4];
    EXPECT_EQ(b->list_stream(b->context, streams, 4), 0);
    EXPECT_EQ(b->list_hid(b->context, hids, 4), 0);
    EXPECT_EQ(b->stream_open(b->context, "usb:1-3.2", nullptr), nullptr);
    EXPECT_EQ(b->hid_open(b->context, "/dev/hidraw-none", nullptr), nullptr);
    Found found;
    usb_detect(b, Found::report, &found);
    EXPECT_TRUE(found.records.empty());
}
