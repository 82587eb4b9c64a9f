// The real link, decoder and audio ring with a USB dongle played by the fake
// USB layer (a recorded H.264 stream and PCM).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "dongle_sim/annexb_file.h"
#include "dongle_sim/usb_fake.h"
#include "firmware/hid_upload.h"
#include "firmware/update_state.h"
#include "link/usb_detect.h"
#include "link/usb_transport.h"
#include "platform/audio_output.h"
#include "platform/fake/audio_output_fake.h"
#include "sim_process.h"
#include "support/bytes.h"
#include "support/link_probe.h"
#include "ui/found_devices.h"

namespace {

const Bytes kStart{0x01, 0x01, 0x00, 0x00, 0x00, 0x00}, kAck{0x01, 0x50, 0x00, 0x00, 0x00, 0x00};

class UsbLink : public ::testing::Test {
protected:
    UsbFake *fake = usb_fake_create();
    LinkContext *link = nullptr;
    LinkProbe probe;
    AnnexbStream stream;

    void SetUp() override
    {
        audio_output_use_fake(true);
        audio_output_fake_reset();
        std::string path = std::string(KAVRI_SOURCE_DIR) + "/tests/data/usb/stream_192x108.264";
        ASSERT_GT(annexb_file_load(path.c_str(), 1 << 20, &stream), 0);
    }
    void TearDown() override
    {
        link_stop(&link);
        usb_fake_destroy(&fake);
        audio_output_use_fake(false);
    }
    // The recorded stream from its first IDR picture, and 20 ms of 48 kHz stereo PCM per picture.
    UsbFakeConfig dongle()
    {
        UsbFakeConfig c;
        c.codec_header = stream.codec_header;
        c.units.assign(stream.units.begin() + (long)stream.first_idr, stream.units.end());
        c.pcm_bytes = 3840;
        c.frame_interval_ms = 20;
        return c;
    }
    void start_link()
    {
        LinkOptions o{};
        o.usb_detect = usb_detect_run;
        o.usb_transport = usb_transport_run;
        o.usb_backend = usb_fake_backend(fake);
        link = start_probed_link(&probe, o);
        ASSERT_NE(link, nullptr);
    }
    // The records one scan reports.
    std::vector<DeviceRecord> scan()
    {
        int before = probe.get(&LinkProbe::scans_finished);
        size_t seen = probe.get(&LinkProbe::devices).size();
        EXPECT_TRUE(wait_until(5000, [&] { return !link_scanning(link); }));
        EXPECT_EQ(link_scan(link), 1);
        EXPECT_TRUE(probe.wait(5000, [&] { return probe.scans_finished > before; }));
        std::lock_guard<std::mutex> g(probe.m);
        return std::vector<DeviceRecord>(probe.devices.begin() + (long)seen, probe.devices.end());
    }
};

// After the switch the dongle in its port is opened, not another stream-mode one; its access rights come
// 700 ms after it reappears, so the open is retried.
TEST_F(UsbLink, SwitchOpensTheDongleInItsOwnPortOnceAccessIsGiven)
{
    UsbFakeConfig other = dongle(), c = dongle();
    other.ports = {1};
    int a = usb_fake_add(fake, other);
    c.hid_mode = true;
    c.ports = {4, 2};
    c.reappear_ms = 300;
    c.deny_open_ms = 700;
    int b = usb_fake_add(fake, c);
    start_link();
    std::vector<DeviceRecord> found = scan();
    ASSERT_EQ(found.size(), 2u);
    ASSERT_EQ(found[1].hid_only, 1u);
    link_select_target(link, &found[1]);
    ASSERT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 8000));
    EXPECT_EQ(usb_fake_stats(fake, a).stream_opens, 0) << "the other dongle is left alone";
    EXPECT_GE(usb_fake_stats(fake, b).stream_opens, 2) << "refused first, then opened";
    // Pictures and sound, after the start message and the first acknowledgement.
    ASSERT_TRUE(probe.wait(5000, [&] { return probe.frames >= 10; })) << probe.frames << " frames";
    EXPECT_EQ(probe.get(&LinkProbe::width) * 1000 + probe.get(&LinkProbe::height), 192108);
    EXPECT_EQ(probe.get(&LinkProbe::admitted), std::vector<int>{1});
    EXPECT_TRUE(audio_output_fake_wait_frames(960, 5000));
    UsbFakeStats s = usb_fake_stats(fake, b);
    EXPECT_EQ(s.feature_reports.size(), 1u);
    EXPECT_EQ(s.control_requests, (std::vector<uint16_t>{0x40, 0x51, 0x0001, 0x0053}));
    EXPECT_EQ(s.cleared_halts, (Bytes{0x81, 0x01}));
    ASSERT_GE(s.writes.size(), 2u);
    EXPECT_EQ(s.writes[0], kStart);
    EXPECT_EQ(s.writes[1], kAck);
}

// The UI's auto-selection takes no HID-mode record while an update runs, so the dongle never gets the mode
// switch mid-upload. Under the thread sanitizer: detection (scan thread) against the upload (worker thread).
TEST_F(UsbLink, ScansDuringAnUpdateLeaveTheDongleInHidMode)
{
    UsbFakeConfig c = dongle();
    c.hid_mode = true;
    int d = usb_fake_add(fake, c);
    FoundDevices found;
    std::atomic<bool> once{false};
    UpdateState st;
    st.busy = 1;
    probe.device_hook = [&](const DeviceRecord &r) {
        FoundMerge m = found_merge(&found, r, {}, false, clock_wall_ms(), &once, st.busy.load() != 0);
        if (m.select)
            link_select_target(link, &m.record);
    };
    start_link();
    const UsbBackend *b = usb_fake_backend(fake);
    std::vector<uint8_t> image(3000, 0x5A);
    std::atomic<int> result{1};
    std::thread worker([&] {
        UsbHid *h = b->hid_open(b->context, "fake-hid:0", nullptr);
        result = h ? hid_fw_upload(b, h, 64, image.data(), image.size(), &st) : -3;
        if (h)
            b->hid_close(h);
    });
    int scans = 0;
    for (; result.load() == 1 && scans < 100; scans++)
        EXPECT_EQ(scan().size(), 1u);
    worker.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_GE(scans, 2);
    UsbFakeStats s = usb_fake_stats(fake, d);
    EXPECT_EQ(s.firmware, image);
    for (auto &r : s.feature_reports)
        ASSERT_NE(r[1], 0x80) << "mode switch sent during the update";
}

// Faults: a dongle switched out of HID mode that never comes back is polled ten times, 500 ms apart; without
// the udev rule a listed dongle cannot be opened, and standard error names the rule once however often tried.
TEST_F(UsbLink, TransportFaultsEndTheConnectionOrAreCopedWith)
{
    struct Case {
        const char *what;
        void (*setup)(UsbFakeConfig &);
        int reached;                                 // first state awaited
        void (*act)(UsbFake *, int, LinkContext *);  // then done
        int end;                                     // state after it
        int polls;        // of the stream-mode list after selecting (0: not checked)
        const char *log;  // the one line on standard error (null: not checked)
        bool (*seen)(const UsbFakeStats &, const LinkProbe &);
    } cases[] = {
        {"never back from HID mode", [](UsbFakeConfig &c) { c.hid_mode = true, c.reappear_ms = -1; }, LINK_STATE_NONE,
         nullptr, LINK_STATE_NONE, 10, nullptr, [](const UsbFakeStats &s, const LinkProbe &p) {
             return s.feature_reports.size() == 1 && s.stream_opens == 0 && p.states.size() == 1;  // state 0 alone
         }},
        {"denied open, twice", [](UsbFakeConfig &c) { c.deny_open_ms = -1; }, LINK_STATE_NONE,
         [](UsbFake *, int, LinkContext *l) { link_connect(l); }, LINK_STATE_NONE, 0,
         "no permission; install the udev rule 70-kavri-viewer.rules", [](const UsbFakeStats &s, const LinkProbe &p) {
             return s.stream_opens == 2 && p.states == std::vector<int>{LINK_STATE_NONE, LINK_STATE_NONE};
         }},
        {"unplugged", [](UsbFakeConfig &) {}, LINK_STATE_STREAMING,
         [](UsbFake *f, int d, LinkContext *) { usb_fake_unplug(f, d); }, LINK_STATE_NONE, 0, nullptr, nullptr},
        {"missing pipe: nothing written", [](UsbFakeConfig &c) { c.endpoints = {{0x81, 0x02}, {0x01, 0x03}}; },
         LINK_STATE_NONE, nullptr, LINK_STATE_NONE, 0, nullptr, [](const UsbFakeStats &s, const LinkProbe &p) {
             return s.writes.empty() && p.states == std::vector<int>{LINK_STATE_NONE};
         }},
        // The units still come and must be dropped; no acknowledgement.
        {"no picture", [](UsbFakeConfig &c) { c.video_present = false; }, LINK_STATE_NO_VIDEO, nullptr,
         LINK_STATE_NO_VIDEO, 0, nullptr, [](const UsbFakeStats &s, const LinkProbe &p) {
             return s.units_queued >= 10 && s.in_pending == 0 && s.writes == std::vector<Bytes>{kStart} &&
                    p.frames == 0 && p.states == std::vector<int>{LINK_STATE_CONNECTING, LINK_STATE_NO_VIDEO};
         }},
        // Statuses only: the transport waits in a read that must be aborted.
        {"disconnect during a blocking read", [](UsbFakeConfig &c) { c.units.clear(), c.pcm_bytes = 0; },
         LINK_STATE_STREAMING,
         [](UsbFake *f, int d, LinkContext *l) {
             EXPECT_TRUE(usb_fake_wait(f, d, 5000, [](const UsbFakeStats &s) { return s.reads_blocked > 0; }));
             link_disconnect(l, false);
         },
         LINK_STATE_NONE, 0, nullptr, [](const UsbFakeStats &s, const LinkProbe &p) {
             return s.stream_closes == 1 && s.aborts >= 1 && p.admitted == std::vector<int>{1, 0};
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        UsbFakeConfig cfg = dongle();
        c.setup(cfg);
        int d = usb_fake_add(fake, cfg);
        start_link();
        std::vector<DeviceRecord> found = scan();
        ASSERT_EQ(found.size(), 1u);
        const int polls_before = usb_fake_stats(fake, d).list_stream_calls;
        const uint64_t t0 = clock_steady_ms();
        usb_log_reset();
        testing::internal::CaptureStderr();
        link_select_target(link, &found[0]);
        bool reached = probe.wait_state(c.reached, 9000);
        if (reached && c.act)
            c.act(fake, d, link);
        EXPECT_TRUE(probe.wait_state(c.end, 2000));
        EXPECT_TRUE(!c.seen || wait_until(5000, [&] {
            std::lock_guard<std::mutex> g(probe.m);
            return c.seen(usb_fake_stats(fake, d), probe);
        }));
        std::string log = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(reached) << "last state " << probe.last_state();
        if (c.polls) {
            EXPECT_GE(clock_steady_ms() - t0, c.polls * 500 - 100u);
            EXPECT_EQ(usb_fake_stats(fake, d).list_stream_calls - polls_before, c.polls);
        }
        if (c.log) {
            EXPECT_TRUE(log.find(c.log) != std::string::npos && std::count(log.begin(), log.end(), '\n') == 1)
                << "written once: " << log;
        }
        link_stop(&link);
        usb_fake_destroy(&fake);
        fake = usb_fake_create();
        probe.reset();
    }
}

}  // namespace
