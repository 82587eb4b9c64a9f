// The update worker's decisions: the announced-build text, the route, the
// dongle's build on USB, the found list, and starting a worker.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "firmware/update_worker.h"
#include "support/bytes.h"
#include "support/wait.h"

namespace {

LatestInfo parse(const std::string &s)
{
    LatestInfo li;
    update_parse_latest((const uint8_t *)s.data(), s.size(), &li);
    return li;
}


TEST(LatestText, BuildBarAndDigest)
{
    struct Case {
        const char *text;
        uint64_t build;
        int digest_ok;
    } const cases[] = {
        {"240427225356|d41d8cd98f00b204e9800998ecf8427e", 240427225356ull, 1},
        {"1|D41D8CD98F00B204E9800998ECF8427E", 1, 1}, // upper-case digits are hex too
        // A trailing line end spoils the digest but not the build.
        {"240427225356|d41d8cd98f00b204e9800998ecf8427e\n", 240427225356ull, 0},
        // The digest must be 32 hex digits (where a bar may stand, the fuzz harness checks).
        {"5|d41d8cd98f00b204e9800998ecf8427g", 5, 0},
        // The build stops at the first non-digit and saturates.
        {"230302190449abc|", 230302190449ull, 0},
        {"|d41d8cd98f00b204e9800998ecf8427e", 0, 1},
        {"99999999999999999999999999", UINT64_MAX, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        LatestInfo li = parse(c.text);
        EXPECT_EQ(li.build, c.build);
        EXPECT_EQ(li.digest_ok, c.digest_ok);
        if (c.digest_ok) {
            EXPECT_EQ(hex(li.md5, 16), "d41d8cd98f00b204e9800998ecf8427e");
        }
    }
}

// ---------------------------------------------------------------------------

int decide(UpdateRouteInput in, std::string *msg)
{
    const char *m = nullptr;
    int r = update_decide_route(&in, &m);
    *msg = m ? m : "(none)";
    return r;
}

TEST(Route, Decisions)
{
    const char *replug = "Please replug the KAVRI Viewer!";
    const char *too_old = "The device doesn't meet update requirement!";
    struct Case {
        UpdateRouteInput in;
        int route;
        const char *msg; // nullptr: not checked
    } const cases[] = {
        // Stream mode blocks even with a network dongle.
        {{1, 0, 0, 1, 240427225356ull, 0}, UPDATE_END, replug},
        // A HID dongle below 0x2000 is too old.
        {{0, 1, 0x1FFF, 1, 240427225356ull, 0}, UPDATE_END, too_old},
        // One whose version could not be read (no access rights) is not called too old.
        {{0, 1, 0, 1, 240427225356ull, 1}, UPDATE_END, "Failed to connect to KAVRI Viewer!"},
        // A HID dongle goes over USB before any network dongle.
        {{0, 1, 0x2000, 1, 240427225356ull, 0}, UPDATE_ROUTE_USB, nullptr},
        {{0, 0, 0, 0, 0, 0}, UPDATE_END, "Could not detect KAVRI Viewer over USB or network!"},
        // A network dongle needs build 230302190449.
        {{0, 0, 0, 1, 230302190448ull, 0},
         UPDATE_END,
         "The device doesn't support network update! Please plug the USB cable to the computer."},
        {{0, 0, 0, 1, 230302190449ull, 0}, UPDATE_ROUTE_NETWORK, "(none)"},
        // A record without a build key carries the default build and passes.
        {{0, 0, 0, 1, DEVICE_DEFAULT_BUILD, 0}, UPDATE_ROUTE_NETWORK, nullptr},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(i);
        std::string m;
        EXPECT_EQ(decide(cases[i].in, &m), cases[i].route);
        if (cases[i].msg) {
            EXPECT_EQ(m, cases[i].msg);
        }
    }
}

TEST(UsbBuild, VersionsBelow0x2002CountAsBuildZeroLaterOnesAreAsked)
{
    // Build 0: any announced build is newer, so 0x2001 is always offered the download.
    const int rows[][3] = {{0x2000, 1, 0}, {0x2001, 1, 0}, {0x2002, 1, 1}, {0xFFFF, 1, 1}, {0x2002, 0, 0}};
    for (const auto &r : rows) {
        uint64_t b = 77;
        EXPECT_EQ(update_usb_build_needs_query((uint16_t)r[0], r[1], &b), r[2]) << std::hex << r[0];
        if (!r[2]) {
            EXPECT_EQ(b, 0u);
        }
    }
}

// ---------------------------------------------------------------------------

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
    for (const DeviceRecord *r : {&u, &h, &a, &b})
        update_state_on_device(&st, r);
    ASSERT_EQ(update_state_first_network(&st, &out), 1);
    EXPECT_STREQ(out.id, "a");
    for (int i = 0; i < 100; i++) // repeated reports replace in place
        update_state_on_device(&st, &b);
    a.build = 260000000000ull;
    update_state_on_device(&st, &a);
    ASSERT_EQ(st.found.size(), 4u);
    ASSERT_EQ(update_state_first_network(&st, &out), 1);
    EXPECT_EQ(out.build, 260000000000ull);
    update_state_clear_found(&st);
    EXPECT_EQ(update_state_first_network(&st, &out), 0);
}

// ---------------------------------------------------------------------------
// A worker with nothing to find (no link, no USB, no wait) ends at once with
// the "nothing found" text; busy guards against a second start.

bool wait_idle(UpdateState *st, int limit_ms)
{
    return wait_until([st] { return !st->busy.load(); }, std::chrono::milliseconds(limit_ms));
}

TEST(Start, OneWorkerAtATimeAndBusyClearsAtTheEnd)
{
    UpdateState st;
    update_state_set_message(&st, "old text");
    st.progress = 0.5f;
    UpdateConfig c;
    update_config_defaults(&c);
    c.scan_wait_ms = 200;
    ASSERT_EQ(update_worker_start(&st, &c), 0);
    EXPECT_EQ(update_worker_start(&st, &c), -1) << "busy: the second press starts nothing";
    for (int run = 0; run < 2; run++) { // the second after the first ended, without a join in between
        ASSERT_TRUE(wait_idle(&st, 10000));
        EXPECT_EQ(st.progress_visible.load() + st.progress.load(), 0);
        char m[UPDATE_MESSAGE_CAP];
        update_state_get_message(&st, m);
        EXPECT_STREQ(m, "Could not detect KAVRI Viewer over USB or network!");
        update_state_set_message(&st, "old text");
        if (run == 0) {
            ASSERT_EQ(update_worker_start(&st, &c), 0);
        }
    }
    update_state_join(&st);
    EXPECT_EQ(st.busy.load(), 0);
    EXPECT_EQ(st.thread, nullptr);
}

TEST(Start, JoinCutsTheWorkersWaitsShort)
{
    UpdateState st;
    UpdateConfig c;
    update_config_defaults(&c);
    c.scan_wait_ms = 120000;  // would hold a shutdown for two minutes
    ASSERT_EQ(update_worker_start(&st, &c), 0);
    auto t0 = std::chrono::steady_clock::now();
    update_state_join(&st);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(st.busy.load(), 0);
    EXPECT_EQ(st.cancel.load(), 0) << "the next worker starts uncancelled";
    EXPECT_EQ(st.thread, nullptr);
}

// Through the USB seam: the stream-mode and version checks end the worker
// before the server is asked and before the HID path is opened.
struct FakeUsb {
    UpdateUsbFound found{};
    int opened = 0;
    static void detect(void *c, UpdateUsbFound *out) { *out = ((FakeUsb *)c)->found; }
    static void *open(void *c, const char *) { ((FakeUsb *)c)->opened++; return nullptr; }
};

TEST(Start, UsbChecksEndBeforeTheServer)
{
    FakeUsb fake;
    UpdateUsbOps ops{};
    ops.context = &fake, ops.detect = FakeUsb::detect, ops.open = FakeUsb::open;
    UpdateConfig c;
    update_config_defaults(&c);
    c.usb = &ops;
    c.scan_wait_ms = 0;
    UpdateState st;
    char m[UPDATE_MESSAGE_CAP];

    fake.found.hid_found = 1, fake.found.hid_version = 0x1000;
    update_worker_run(&st, &c);
    update_state_get_message(&st, m);
    EXPECT_STREQ(m, "The device doesn't meet update requirement!");

    fake.found.stream_mode = 1;
    update_worker_run(&st, &c);
    update_state_get_message(&st, m);
    EXPECT_STREQ(m, "Please replug the KAVRI Viewer!");
    EXPECT_EQ(fake.opened, 0);
}

}  // namespace
