// The update worker's decisions (the whole dialogues and the refusals after
// a download are the integration tests').
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "firmware/update_worker.h"
#include "support/bytes.h"
#include "support/wait.h"

namespace {

TEST(LatestText, BuildBarAndDigest)
{
    struct Case {
        const char *text;
        uint64_t build;
        int digest_ok;
    } const cases[] = {
        {"240427225356|d41d8cd98f00b204e9800998ecf8427e", 240427225356ull, 1},
        {"1|D41D8CD98F00B204E9800998ECF8427E", 1, 1}, // upper-case digits are hex too
        // The digest must be 32 hex digits (where a bar may stand, the fuzz harness checks).
        {"5|d41d8cd98f00b204e9800998ecf8427g", 5, 0},
        // The build stops at the first non-digit and saturates.
        {"230302190449abc|", 230302190449ull, 0},
        {"99999999999999999999999999", UINT64_MAX, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        LatestInfo li;
        update_parse_latest((const uint8_t *)c.text, strlen(c.text), &li);
        EXPECT_EQ(li.build, c.build);
        EXPECT_EQ(li.digest_ok, c.digest_ok);
        EXPECT_EQ(hex(li.md5, 16), c.digest_ok ? "d41d8cd98f00b204e9800998ecf8427e" : std::string(32, '0'));
    }
}

TEST(Route, Decisions)
{
    struct Case {
        UpdateRouteInput in;
        int route;
        const char *msg;
    } const cases[] = {
        // Stream mode blocks even with a network dongle.
        {{1, 0, 0, 1, 240427225356ull, 0}, UPDATE_END, "Please replug the KAVRI Viewer!"},
        // A HID dongle below 0x2000 is too old.
        {{0, 1, 0x1FFF, 1, 240427225356ull, 0}, UPDATE_END, "The device doesn't meet update requirement!"},
        // One whose version could not be read (no access rights) is not called too old.
        {{0, 1, 0, 1, 240427225356ull, 1}, UPDATE_END, "Failed to connect to KAVRI Viewer!"},
        {{0, 1, 0x2000, 1, 240427225356ull, 0}, UPDATE_ROUTE_USB, ""},  // before any network dongle
        // A network dongle needs build 230302190449 (older: the integration test).
        {{0, 0, 0, 1, 230302190449ull, 0}, UPDATE_ROUTE_NETWORK, ""},
        {{0, 0, 0, 1, DEVICE_DEFAULT_BUILD, 0}, UPDATE_ROUTE_NETWORK, ""},  // a record without a build key
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(i);
        const char *m = nullptr;
        EXPECT_EQ(update_decide_route(&cases[i].in, &m), cases[i].route);
        EXPECT_STREQ(m ? m : "", cases[i].msg);
    }
    // On USB, versions below 0x2002 count as build 0 (so 0x2001 is always
    // offered the download); later ones are asked for theirs.
    uint64_t build = 77;
    EXPECT_EQ(update_usb_build_needs_query(0x2001, 1, &build), 0);
    EXPECT_EQ(build, 0u);
    EXPECT_EQ(update_usb_build_needs_query(0x2002, 1, &build), 1);
}

DeviceRecord record(const char *id, uint32_t ip, uint64_t build, uint32_t usb = 0, uint32_t hid_only = 0)
{
    DeviceRecord r{};
    r.address.in4.sin_family = AF_INET;
    r.address.in4.sin_addr.s_addr = ip;
    strcpy(r.id, id);
    r.build = build, r.usb = usb, r.hid_only = hid_only;
    return r;
}

TEST(Found, FirstNetworkDongleIsTheTarget)
{
    UpdateState st;
    DeviceRecord out{};
    EXPECT_EQ(update_state_first_network(&st, &out), 0);
    DeviceRecord u = record("usb", 0, 1, 1, 0), h = record("hid", 0, 1, 0, 1);
    DeviceRecord a = record("a", 0x0200007f, 240000000000ull), b = record("b", 0x0300007f, 250000000000ull);
    for (const DeviceRecord *r : {&u, &h, &a, &b, &b})
        update_state_on_device(&st, r);
    a.build = 260000000000ull;
    update_state_on_device(&st, &a);  // repeated reports replace in place
    ASSERT_EQ(st.found.size(), 4u);
    ASSERT_EQ(update_state_first_network(&st, &out), 1);
    EXPECT_STREQ(out.id, "a");
    EXPECT_EQ(out.build, 260000000000ull);
    update_state_clear_found(&st);
    EXPECT_EQ(update_state_first_network(&st, &out), 0);
}

// Through the USB seam: a dongle in stream mode (and too old) ends the
// worker before the server is asked and before the HID path is opened.
struct FakeUsb {
    UpdateUsbFound found{};
    int opened = 0;
    static void detect(void *c, UpdateUsbFound *out) { *out = ((FakeUsb *)c)->found; }
    static void *open(void *c, const char *) { ((FakeUsb *)c)->opened++; return nullptr; }
};

// Busy guards against a second start; a join cuts the worker's waits short
// (a shutdown is not held for two minutes); the next worker starts after the
// last ended, without a join in between.
TEST(Start, OneWorkerAtATimeJoinCutsItsWaitsAndUsbChecksEndBeforeTheServer)
{
    UpdateState st;
    st.progress = 0.5f;
    UpdateConfig c;
    update_config_defaults(&c);
    c.scan_wait_ms = 120000;
    ASSERT_EQ(update_worker_start(&st, &c), 0);
    EXPECT_EQ(update_worker_start(&st, &c), -1) << "busy: the second press starts nothing";
    auto t0 = std::chrono::steady_clock::now();
    update_state_join(&st);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(st.busy.load() + st.cancel.load(), 0) << "the next worker starts uncancelled";
    EXPECT_EQ(st.thread, nullptr);

    FakeUsb fake;
    fake.found.stream_mode = 1, fake.found.hid_found = 1, fake.found.hid_version = 0x1000;
    UpdateUsbOps ops{};
    ops.context = &fake, ops.detect = FakeUsb::detect, ops.open = FakeUsb::open;
    c.usb = &ops;
    c.scan_wait_ms = 0;
    for (int run = 0; run < 2; run++) {
        ASSERT_EQ(update_worker_start(&st, &c), 0);
        ASSERT_TRUE(wait_until([&] { return !st.busy.load(); }));
        EXPECT_EQ(st.progress_visible.load() + st.progress.load(), 0);
        char m[UPDATE_MESSAGE_CAP];
        update_state_get_message(&st, m);
        EXPECT_STREQ(m, "Please replug the KAVRI Viewer!");
    }
    update_state_join(&st);
    EXPECT_EQ(fake.opened, 0);
}

}  // namespace
