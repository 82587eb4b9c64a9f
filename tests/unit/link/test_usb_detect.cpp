// USB detection: feature report length, dongles in both modes, the real
// backend on a machine without dongles.
#include <gtest/gtest.h>

#include "link/usb_detect.h"
#include "platform/hid_descriptor.h"
#include "dongle_sim/usb_fake.h"

namespace {

// Four vendor collections; the fourth's feature report 0x0C has `count` bytes.
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

TEST(UsbHidDescriptor, FeatureLength)
{
    auto d63 = descriptor(63), d64 = descriptor(64), cut = descriptor(63);
    cut.push_back(0x95); // report count without its data byte
    const std::vector<uint8_t> push_pop = {0xA1, 0x01, 0x75, 0x08, 0x95, 0x0A, // 8 bits x 10
                                           0xA4, 0x95, 0x30, 0xB4,             // push, 48, pop: back to 10
                                           0xB1, 0x02, 0xC0};
    const std::vector<uint8_t> long_item = {0xFE, 0x05, 0x00, 0x01};
    const struct {
        const std::vector<uint8_t> &d;
        int collection, length; // the length includes the report id
    } rows[] = {{d63, 4, 64}, {d64, 4, 65}, {d63, 3, 17}, {d63, 1, 0}, {d63, 5, 0},
                {cut, 4, 0},  {push_pop, 1, 11}, {long_item, 1, 0}};
    for (const auto &r : rows)
        EXPECT_EQ(usb_hid_feature_length(r.d.data(), r.d.size(), r.collection), r.length) << r.collection;
}

namespace {

UsbFakeConfig dongle(int bus, std::vector<uint8_t> ports, uint16_t hid_version = 0)
{
    UsbFakeConfig c;
    c.bus = bus, c.ports = ports, c.hid_mode = hid_version != 0, c.hid_version = hid_version;
    return c;
}

std::vector<std::string> detect(const UsbBackend *b)
{
    std::vector<std::string> out;
    auto report = [](void *c, const DeviceRecord *r) {
        ((std::vector<std::string> *)c)
            ->push_back(std::to_string(r->usb) + std::to_string(r->hid_only) + " " + r->location + " " + r->label +
                        " " + r->id + " " + r->name + " " + std::to_string(r->build));
    };
    usb_detect(b, report, &out);
    return out;
}

}  // namespace

TEST(UsbDetect, DonglesInBothModes)
{
    UsbFake *f = usb_fake_create();
    const UsbBackend *b = usb_fake_backend(f);
    EXPECT_TRUE(detect(b).empty());
    usb_fake_add(f, dongle(0, {}, 0x2000)); // reported hid-only, after the stream-mode dongles
    usb_fake_add(f, dongle(1, {3}));
    int hub = usb_fake_add(f, dongle(2, {1, 4}));
    int old = usb_fake_add(f, dongle(0, {}, 0x1FFF)); // below the version gate
    UsbFakeConfig closed = dongle(0, {}, 0x2001);
    closed.hid_openable = false;
    usb_fake_add(f, closed);
    const std::vector<std::string> want = {"10 0-3 0-3 fake-usb:1-3 KAVRI Viewer 0",
                                           "10 1-1-4 1-1-4 fake-usb:2-1.4 KAVRI Viewer 0",
                                           "11   fake-hid:0 KAVRI Viewer 0"};
    auto found = detect(b);
    EXPECT_EQ(found, want);
    EXPECT_EQ(usb_fake_stats(f, old).hid_opens, 1);
    // Replugged into the same port behind the hub: the same id and location.
    usb_fake_unplug(f, hub);
    usb_fake_add(f, dongle(2, {1, 4}));
    EXPECT_EQ(detect(b), found);
    usb_fake_destroy(&f);
    // The location text is cut to the buffer; no hub port, or no controller, gives none.
    const uint8_t ports[] = {3, 2};
    char out[4];
    EXPECT_EQ(usb_location_text(0, ports, 2, out, sizeof out), 3);
    EXPECT_STREQ(out, "0-3");
    EXPECT_EQ(usb_location_text(0, ports, 0, out, sizeof out) + usb_location_text(-1, ports, 1, out, sizeof out), 0);
}

// The libusb / hidapi backend on this machine: there is no dongle (and
// maybe no USB bus at all); every call must fail or find nothing cleanly.
TEST(UsbLinuxBackend, FindsNothingAndOpensNothingWithoutADongle)
{
    const UsbBackend *b = usb_linux_backend();
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(detect(b).empty());
    EXPECT_EQ(b->stream_open(b->context, "usb:1-3.2", nullptr), nullptr);
    EXPECT_EQ(b->hid_open(b->context, "/dev/hidraw-none", nullptr), nullptr);
}
