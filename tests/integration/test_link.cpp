// The device link with its real threads against kavri-dongle-sim, inside the
// private network namespace: discovery, both protocol generations (each
// behaviour runs once per generation), passwords, no signal, silence, input,
// and stopping at any moment (loss is the soak's).
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <mutex>
#include <vector>

#include "input/key_paste.h"
#include "platform/audio_output.h"
#include "platform/fake/audio_output_fake.h"
#include "protocol/wire.h"
#include "sim_process.h"
#include "support/link_probe.h"

namespace {

class LinkOnce : public ::testing::Test {
protected:
    SimProcess sim;
    LinkContext *link = nullptr;
    LinkProbe probe;

    void SetUp() override
    {
        audio_output_use_fake(true);
        audio_output_fake_reset();
    }
    void TearDown() override
    {
        link_stop(&link);
        if (HasFailure() && !sim.log_path.empty()) {
            // Keep the device's side of a failed run for the reader.
            std::string keep = std::string("/tmp/kavri-failed-") +
                               ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
            std::ifstream in(sim.log_path, std::ios::binary);
            std::ofstream(keep, std::ios::binary) << in.rdbuf();
        }
        sim_stop(&sim);
        audio_output_use_fake(false);
    }
    void start_sim(const char *ip, std::vector<std::string> args)
    {
        std::vector<std::string> all = {"--bind", ip, "--size", "640x360", "--id", std::string("sim-") + ip};
        all.insert(all.end(), args.begin(), args.end());
        ASSERT_TRUE(sim_start(&sim, all));
    }
    void start_link(LinkOptions o = no_adapter_options())
    {
        link = start_probed_link(&probe, o);
        ASSERT_NE(link, nullptr);
    }
    // Scans 127.0.0.0/24 and returns the record of the simulator at ip.
    DeviceRecord discover(const char *ip)
    {
        uint32_t subnet = ipv4("127.0.0.0");
        link_set_subnets(link, &subnet, 1);
        EXPECT_EQ(link_scan(link), 1);
        DeviceRecord found = probe.wait_device(std::string("sim-") + ip, 5000);
        EXPECT_TRUE(found.id[0]) << "no answer from " << ip;
        return found;
    }
    void connect_to(const char *ip)
    {
        DeviceRecord r = discover(ip);
        ASSERT_STREQ(r.id, (std::string("sim-") + ip).c_str());
        link_select_target(link, &r);
    }
    void expect_streaming(int width, int height)
    {
        ASSERT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 5000)) << "last state " << probe.last_state();
        EXPECT_TRUE(probe.saw_state(LINK_STATE_CONNECTING));
        ASSERT_TRUE(probe.wait(5000, [&] { return probe.stamped >= 15; })) << probe.frames << " frames";
        std::lock_guard<std::mutex> g(probe.m);
        EXPECT_EQ(probe.width, width);
        EXPECT_EQ(probe.height, height);
        EXPECT_TRUE(probe.stamps_in_order);
    }
};

// Runs once per protocol generation ("1", "2"), each simulator on its own address.
class Link : public LinkOnce, public ::testing::WithParamInterface<const char *> {
protected:
    bool p2() const { return GetParam()[0] == '2'; }
    const char *ip() const { return p2() ? "127.0.0.3" : "127.0.0.2"; }
    void start(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--protocol", GetParam()});
        start_sim(ip(), args);
        start_link();
        connect_to(ip());
    }
};

TEST_F(LinkOnce, ScanFindsTheDeviceThroughAnExtraSubnetAndTellsStartAndEnd)
{
    start_sim("127.0.0.3", {"--version", "2.1.3.4", "--build", "231231235959"});
    start_link();
    DeviceRecord r = discover("127.0.0.3");
    EXPECT_EQ(r.version[0], 2);
    EXPECT_EQ(r.version[3], 4);
    EXPECT_EQ(r.build, 231231235959ull);
    EXPECT_EQ(ntohs(r.address.in4.sin_port), 36459);
    EXPECT_TRUE(probe.wait(5000, [&] { return probe.scans_finished == 1; }));
    EXPECT_EQ(probe.scans_started, 1);
    EXPECT_TRUE(sim_wait_event(&sim, "probe", 1, 1000));
    // The scan-finished listeners hear of the end just before the scan lets go
    // of its flag; a second scan can start once it has.
    ASSERT_TRUE(wait_until(1000, [&] { return !link_scanning(link); }));
    EXPECT_EQ(link_scan(link), 1);
    EXPECT_TRUE(probe.wait(5000, [&] { return probe.scans_finished == 2; }));
    EXPECT_EQ(sim_events(&sim, "probe").size(), 2u);
}

// The real audio output, on SDL's disk driver: what would be played is
// written to a file, and it is the simulator's 440 Hz tone.
TEST_P(Link, StreamsPicturesAndSoundAndTheDisconnectIsTold)
{
    char dir[] = "/tmp/kavri-audio-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string wav = std::string(dir) + "/out.raw";
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", wav.c_str(), 1);
    audio_output_use_fake(false);

    start({});
    expect_streaming(640, 360);
    EXPECT_TRUE(link_connected(link));
    auto size_of = [&] {
        std::ifstream f(wav, std::ios::binary | std::ios::ate);
        return f ? (long)f.tellg() : 0L;
    };
    ASSERT_TRUE(wait_until(5000, [&] { return size_of() >= 48000 * 4 / 2 + 4 * 9600; }));
    std::ifstream f(wav, std::ios::binary);
    std::vector<int16_t> pcm(2 * 48000 / 2 + 2 * 9600);
    f.read((char *)pcm.data(), (std::streamsize)(pcm.size() * 2));
    // Skip the start (silence until the first packets), then count zero
    // crossings of the left channel over 200 ms.
    size_t first = 0;
    while (first < pcm.size() && std::abs(pcm[first]) < 1000)
        first += 2;
    ASSERT_LT(first + 2 * 9600, pcm.size()) << "no sound reached the output";
    int crossings = 0;
    for (size_t i = first + 2; i < first + 2 * 9600; i += 2)
        crossings += (pcm[i - 2] < 0) != (pcm[i] < 0);
    EXPECT_NEAR(crossings, 176, 6) << "440 Hz over 200 ms";
    if (p2()) {
        link_disconnect(link, true);
        EXPECT_TRUE(sim_wait_event(&sim, "disconnect", 1, 2000));
        EXPECT_EQ(probe.last_state(), LINK_STATE_NONE);
    } else {
        // The start sequence was sent in order.
        auto controls = sim_events(&sim, "control");
        ASSERT_GE(controls.size(), 6u);
        const int order[6] = {0x28, 0x0B, 0x12, 0x13, 0x29, 0x50};
        for (int i = 0; i < 6; i++)
            EXPECT_EQ(json_int(controls[i], "code"), order[i]) << i;
    }
    link_stop(&link);
    unsetenv("SDL_AUDIODRIVER");
    unsetenv("SDL_DISKAUDIOFILE");
    std::filesystem::remove_all(dir);
}

TEST_P(Link, NoSignalThenSignal)
{
    start({"--no-video"});
    ASSERT_TRUE(probe.wait_state(LINK_STATE_NO_VIDEO, 3000));
    sim_command(&sim, "video on");
    expect_streaming(640, 360);
    sim_command(&sim, "video off");
    EXPECT_TRUE(probe.wait_state(LINK_STATE_NO_VIDEO, 3000));
}

INSTANTIATE_TEST_SUITE_P(Protocol, Link, ::testing::Values("1", "2"),
                         [](const ::testing::TestParamInfo<const char *> &i) { return std::string("P") + i.param; });

TEST_F(LinkOnce, ARefusingDeviceGivesStateThree)
{
    start_sim("127.0.0.3", {"--refuse"});
    start_link();
    connect_to("127.0.0.3");
    EXPECT_TRUE(probe.wait_state(LINK_STATE_REFUSED, 3000));
}

TEST_F(LinkOnce, AnUnansweredConnectRequestGivesUpAfterFourSeconds)
{
    start_link();
    DeviceRecord r = record_at("127.0.0.9", 2);  // nobody there
    std::strcpy(r.id, "ghost");
    uint64_t t0 = clock_steady_ms();
    link_select_target(link, &r);
    ASSERT_TRUE(probe.wait_state(LINK_STATE_CONNECTING, 1000));
    ASSERT_TRUE(probe.wait_state(LINK_STATE_NONE, 6000));
    uint64_t took = clock_steady_ms() - t0;
    EXPECT_GE(took, 3900u);
    EXPECT_LE(took, 5000u);
}

TEST_F(LinkOnce, ALockedSilentDeviceKeepsThePasswordPanelThenAcceptsThePassword)
{
    start_sim("127.0.0.3", {"--password", "pw", "--no-locked-keepalive"});
    start_link();
    connect_to("127.0.0.3");
    ASSERT_TRUE(probe.wait_state(LINK_STATE_PASSWORD, 3000));
    // Longer than the 4 s silence rule, while the operator types.
    EXPECT_FALSE(probe.wait(6000, [&] { return probe.states.back() != LINK_STATE_PASSWORD; }));
    link_unlock(link, "pw");
    expect_streaming(640, 360);
}
TEST_F(LinkOnce, AnUnacknowledgedBatchIsResentEveryTenMsThenGivenUp)
{
    start_sim("127.0.0.3", {"--no-input-ack"});
    start_link();
    connect_to("127.0.0.3");
    ASSERT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 5000));
    // The state is told just before the link counts as connected.
    ASSERT_TRUE(wait_until(1000, [&] { return link_connected(link); }));
    const uint8_t report[5] = {0x02, 0, 1, 1, 0};
    link_send_input(link, report, sizeof report);
    ASSERT_TRUE(sim_wait_event(&sim, "batch", 2, 2000));
    // Wait until the sender has certainly given up, then count.
    sim_wait(&sim, 600, [](const std::vector<std::string> &) { return false; });
    auto b = sim_events(&sim, "batch");
    ASSERT_GE(b.size(), 10u) << "resent about every 10 ms";
    EXPECT_LE(b.size(), 22u) << "given up after 200 ms";
    EXPECT_EQ(json_int(b[0], "inverted"), 0);
    EXPECT_EQ(json_int(b[1], "inverted"), 1) << "the first resend goes out inverted (type byte 0x83)";
    EXPECT_EQ(json_int(b[2], "inverted"), 0);
    int64_t span = json_int(b.back(), "t") - json_int(b.front(), "t");
    EXPECT_LE(span, 260);
    EXPECT_EQ(sim_events(&sim, "input").size(), 1u);
}

TEST_F(LinkOnce, StopReturnsPromptlyWhileScanningConnectingAndStreaming)
{
    // Scanning.
    start_link();
    uint32_t subnet = ipv4("127.0.0.0");
    link_set_subnets(link, &subnet, 1);
    link_scan(link);
    uint64_t t0 = clock_steady_ms();
    link_stop(&link);
    EXPECT_LE(clock_steady_ms() - t0, 1500u);
    // Connecting (protocol 1 to a silent address).
    start_link();
    DeviceRecord r = record_at("127.0.0.9", 1);
    link_select_target(link, &r);
    t0 = clock_steady_ms();
    link_stop(&link);
    EXPECT_LE(clock_steady_ms() - t0, 2500u);
    // Streaming.
    start_sim("127.0.0.3", {});
    probe.states.clear();
    start_link();
    connect_to("127.0.0.3");
    ASSERT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 5000));
    t0 = clock_steady_ms();
    link_stop(&link);
    EXPECT_LE(clock_steady_ms() - t0, 1500u);
    EXPECT_TRUE(sim_wait_event(&sim, "disconnect", 1, 2000)) << "the device was told";
}

// A bare device made of one UDP socket on the stream port, answering by hand.
struct BareDevice {
    int fd = -1;
    sockaddr_in viewer{};
    explicit BareDevice(const char *ip)
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(WIRE_PORT_STREAM);
        inet_pton(AF_INET, ip, &a.sin_addr);
        EXPECT_EQ(bind(fd, (sockaddr *)&a, sizeof a), 0);
    }
    ~BareDevice() { close(fd); }
    // Next protocol-2 packet from the viewer within timeout_ms (false: none).
    bool next(P2Packet *pk, std::vector<uint8_t> *keep, int timeout_ms)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return false;
        keep->resize(2048);
        socklen_t len = sizeof viewer;
        ssize_t n = recvfrom(fd, keep->data(), keep->size(), 0, (sockaddr *)&viewer, &len);
        if (n <= 0)
            return false;
        keep->resize((size_t)n);
        size_t pos = 0;
        return p2_next_packet(keep->data(), keep->size(), &pos, WIRE_FROM_VIEWER, pk) == 1;
    }
    void send(const uint8_t *p, size_t n) { sendto(fd, p, n, 0, (sockaddr *)&viewer, sizeof viewer); }
    void ack(uint8_t type, uint32_t seq)
    {
        uint8_t a[16];
        p2_build_ack(a, type, seq);
        send(a, sizeof a);
    }
    // Collects the (type, seq) of everything the viewer sends for ms milliseconds.
    std::vector<std::pair<int, uint32_t>> listen(int ms)
    {
        std::vector<std::pair<int, uint32_t>> got;
        uint64_t end = clock_steady_ms() + (uint64_t)ms;
        P2Packet pk;
        std::vector<uint8_t> keep;
        while (clock_steady_ms() < end)
            if (next(&pk, &keep, (int)(end - clock_steady_ms()) + 1))
                got.push_back({pk.type, pk.seq});
        return got;
    }
};

TEST_F(LinkOnce, ControlPacketsGoStopAndWaitAndAnOldAcknowledgementRemovesNothing)
{
    BareDevice dev("127.0.0.5");
    start_link();
    DeviceRecord r = record_at("127.0.0.5", 2, WIRE_PORT_STREAM);
    link_select_target(link, &r);

    P2Packet pk;
    std::vector<uint8_t> keep;
    ASSERT_TRUE(dev.next(&pk, &keep, 2000));
    ASSERT_EQ(pk.type, P2_TYPE_CONNECT);
    uint32_t s = pk.seq;
    EXPECT_LT(s, 10001u) << "the control sequence starts below 10000";
    P2ConnectReply rep{};
    rep.result = P2_RESULT_ADMITTED;
    uint8_t reply[64];
    int n = p2_build_connect_reply(reply, sizeof reply, s, &rep);
    dev.send(reply, (size_t)n);
    ASSERT_TRUE(probe.wait_state(LINK_STATE_NO_VIDEO, 2000));

    // Connection start, unanswered: only it is sent (and resent).
    auto got = dev.listen(250);
    ASSERT_FALSE(got.empty());
    for (auto &g : got) {
        if (g.first == P2_TYPE_CONNECT)
            continue;  // resends of the request that crossed our reply
        EXPECT_EQ(g.first, P2_TYPE_START);
        EXPECT_EQ(g.second, s + 1);
    }
    EXPECT_GE(std::count(got.begin(), got.end(), std::make_pair((int)P2_TYPE_START, s + 1)), 2);
    // An acknowledgement of an older packet removes nothing.
    dev.ack(P2_TYPE_CONNECT, s);
    got = dev.listen(200);
    for (auto &g : got)
        EXPECT_EQ(g, std::make_pair((int)P2_TYPE_START, s + 1));
    // The right one lets the settings come, one at a time.
    dev.ack(P2_TYPE_START, s + 1);
    got = dev.listen(250);
    ASSERT_FALSE(got.empty());
    for (auto &g : got) {
        if (g.first == P2_TYPE_START)
            continue;
        EXPECT_EQ(g, std::make_pair((int)P2_TYPE_SETTING, s + 2)) << "the second setting waits for the first";
    }
    dev.ack(P2_TYPE_SETTING, s + 2);
    got = dev.listen(150);
    EXPECT_NE(std::find(got.begin(), got.end(), std::make_pair((int)P2_TYPE_SETTING, s + 3)), got.end());
    EXPECT_EQ(std::find(got.begin(), got.end(), std::make_pair((int)P2_TYPE_SETTING, s + 4)), got.end());
}

// The default adapter source (getifaddrs) finds a real interface that is up:
// a veth pair to a second private namespace where the simulator lives.
TEST_F(LinkOnce, DiscoveryThroughTheAdaptersOfAVethPairToAnotherNamespace)
{
    char dir[] = "/tmp/kavri-veth-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string script = std::string(KAVRI_SOURCE_DIR) + "/tests/integration/veth-sim";
    std::string log = std::string(dir) + "/sim.log", pidfile = std::string(dir) + "/pid";
    std::string cmd = script + " start " + KAVRI_SIM_PATH + " " + log + " " + pidfile +
                      " --size 640x360 --id veth-dongle";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << "cannot make the veth pair (needs CAP_NET_ADMIN in the namespace)";
    sim.log_path = log;
    ASSERT_TRUE(sim_wait_event(&sim, "ready", 1, 10000));

    LinkOptions own{};  // the link's own adapter source
    start_link(own);
    EXPECT_EQ(link_scan(link), 1);
    DeviceRecord found = probe.wait_device("veth-dongle", 8000);
    EXPECT_TRUE(found.id[0]);
    if (found.id[0]) {
        EXPECT_EQ(found.address.in4.sin_addr.s_addr, ipv4("198.18.77.2"));
        link_select_target(link, &found);
        expect_streaming(640, 360);
    }
    link_stop(&link);
    EXPECT_EQ(std::system((script + " stop " + pidfile).c_str()), 0);
    sim.log_path.clear();
    std::string rm = std::string("rm -rf ") + dir;
    EXPECT_EQ(std::system(rm.c_str()), 0);
}

}  // namespace

// Switching from one streaming dongle straight to another: the first does
// not hear of it and keeps sending for a while, but only the new target's
// datagrams make the stream.
TEST_F(LinkOnce, AfterSwitchingTargetsOnlyTheNewTargetsDatagramsCount)
{
    SimProcess other;
    ASSERT_TRUE(sim_start(&other, {"--bind", "127.0.0.4", "--size", "320x240", "--id", "sim-127.0.0.4"}));
    start_sim("127.0.0.3", {});
    start_link();
    uint32_t subnet = ipv4("127.0.0.0");
    link_set_subnets(link, &subnet, 1);
    ASSERT_EQ(link_scan(link), 1);
    DeviceRecord first{}, second{};
    ASSERT_TRUE(probe.wait(5000, [&] {
        for (auto &d : probe.devices) {
            if (std::string(d.id) == "sim-127.0.0.4")
                first = d;
            if (std::string(d.id) == "sim-127.0.0.3")
                second = d;
        }
        return first.id[0] && second.id[0];
    }));
    link_select_target(link, &first);
    ASSERT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 5000));
    ASSERT_TRUE(probe.wait(5000, [&] { return probe.stamped >= 5; }));

    link_select_target(link, &second);
    ASSERT_TRUE(probe.wait(5000, [&] { return probe.width == 640; }));
    size_t sizes_before;
    {
        std::lock_guard<std::mutex> g(probe.m);
        probe.stamped = 0, probe.last_stamp = 0;
        probe.stamps_in_order = true;
        sizes_before = (size_t)probe.size_reports;
    }
    ASSERT_TRUE(probe.wait(5000, [&] { return probe.stamped >= 30; })) << probe.stamped << " pictures";
    // The old dongle was still sending all this time.
    EXPECT_GT(sim_events(&other, "picture").size(), 0u);
    std::lock_guard<std::mutex> g(probe.m);
    EXPECT_EQ(probe.width, 640);
    EXPECT_EQ((size_t)probe.size_reports, sizes_before) << "the old dongle's picture size came back";
    EXPECT_TRUE(probe.stamps_in_order);
    EXPECT_STREQ(link_target(link).id, "sim-127.0.0.3");
    sim_stop(&other);
}

// ---------------------------------------------------------------------------
// A dongle on a fast network sends each picture back to back at line rate.

namespace {

// Datagrams this network namespace's kernel dropped for want of receive
// buffer (RcvbufErrors of the Udp lines in /proc/net/snmp); -1 unreadable.
long long rcvbuf_errors()
{
    std::ifstream in("/proc/net/snmp");
    std::string names, values, line;
    while (std::getline(in, line))
        if (line.rfind("Udp:", 0) == 0)
            (names.empty() ? names : values) = line;
    std::istringstream n(names), v(values);
    std::string name, value;
    while (n >> name && v >> value)
        if (name == "RcvbufErrors")
            return std::stoll(value);
    return -1;
}

} // namespace

TEST_F(LinkOnce, FullHdKeyFramesEverySecondAtLineRateLoseNoFragment)
{
    start_sim("127.0.0.3", {"--size", "1920x1080", "--fps", "60", "--bitrate", "20000", "--noise", "--idr-seconds",
                            "1", "--burst"});
    start_link();
    const long long drops = rcvbuf_errors();
    ASSERT_GE(drops, 0);
    connect_to("127.0.0.3");
    ASSERT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 5000));
    // Three seconds of pictures: three key frames at least, each sent in
    // one go, the first of them over 150 fragments.
    ASSERT_TRUE(probe.wait(30000, [&] { return probe.stamped >= 180; })) << probe.stamped << " pictures";
    StreamStats st;
    link_stream_stats(link, &st);
    EXPECT_EQ(rcvbuf_errors() - drops, 0) << "datagrams dropped by the kernel";
    EXPECT_EQ(st.lost, 0u);
    EXPECT_EQ(st.abandoned, 0u);
    size_t keys = 0;
    int64_t largest = 0;
    for (const std::string &e : sim_events(&sim, "picture"))
        if (json_int(e, "idr") == 1) {
            keys++;
            largest = std::max(largest, json_int(e, "fragments"));
        }
    EXPECT_GE(keys, 3u);
    EXPECT_GE(largest, 150);
}

// ---- Paste Text through the real link ------------------------------------------

TEST_F(LinkOnce, APasteReachesTheDeviceInOrderOneReportPerBatch)
{
    start_sim("127.0.0.3", {});
    start_link();
    connect_to("127.0.0.3");
    ASSERT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 5000));
    ASSERT_TRUE(wait_until(1000, [&] { return link_connected(link); }));
    KeyLayout us;
    ASSERT_EQ(key_layout_build("us", &us), 0);
    std::string text;
    for (int i = 0; i < 4; i++)
        text += "Paste 42, then: \"KAVRI\"!\n";
    PastePlan plan;
    paste_plan_text(us, text.data(), text.size(), &plan);
    std::vector<std::string> want;
    for (const KeyReport &r : plan.reports) {
        char hex[32];
        std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x0000000000", r[0], r[1], r[2], r[3]);
        want.push_back(hex);
    }
    want.push_back("010000000000000000");  // everything released at the end

    KeyPaster paster;
    paster.hooks = PasteHooks{link, [](void *l) { return link_connected((LinkContext *)l); },
                              [](void *l, const uint8_t *r, size_t n) { link_send_input((LinkContext *)l, r, n); },
                              [](void *l) { return link_input_backlog((LinkContext *)l); }};
    uint64_t start = clock_steady_ms();
    ASSERT_TRUE(paster_start(&paster, plan));
    ASSERT_TRUE(wait_until(20000, [&] { return !paster_active(&paster); }));
    uint64_t took = clock_steady_ms() - start;
    paster_stop(&paster);
    EXPECT_EQ(paster.outcome.load(), PASTE_FINISHED);
    ASSERT_TRUE(sim_wait_event(&sim, "input", want.size(), 3000));
    std::vector<std::string> got;
    for (auto &line : sim_events(&sim, "input"))
        got.push_back(json_field(line, "report"));
    EXPECT_EQ(got, want);
    // The pace lets no reports pile up: each batch carries one, and
    // acknowledged batches are not resent.
    for (auto &b : sim_events(&sim, "batch")) {
        EXPECT_EQ(json_int(b, "bytes"), 12) << b;
        EXPECT_EQ(json_int(b, "duplicate"), 0) << b;
    }
    std::printf("paste: %zu reports in %llu ms\n", want.size(), (unsigned long long)took);
}

// ---------------------------------------------------------------------------
// Dongles that stay within the protocol where our simulator used to be
// narrower: picture numbers that skip, a new stream numbered from 1 again, a
// typed address of either generation, another password counter block (a
// refused password asks again, an accepted one is kept), and
// time stamps stored just after the clock was read.

#include "link/link_context.h"

namespace {

// Key-frame requests the device heard (protocol-2 setting 5, protocol-1 0x50).
int key_frame_requests(const SimProcess *sim)
{
    int n = 0;
    for (const std::string &e : sim_events(sim, "setting"))
        n += json_int(e, "setting") == WIRE_SETTING_KEY_FRAME;
    for (const std::string &e : sim_events(sim, "control"))
        n += json_int(e, "code") == P1_CODE_KEY_FRAME;
    return n;
}

// What the connection screen makes of a typed address.
DeviceRecord typed_record(const char *ip)
{
    DeviceRecord r{};
    r.address.in4.sin_family = AF_INET;
    r.address.in4.sin_port = htons(WIRE_PORT_STREAM);
    inet_pton(AF_INET, ip, &r.address.in4.sin_addr);
    std::snprintf(r.id, sizeof r.id, "fixed_ip");
    std::snprintf(r.name, sizeof r.name, "%s", ip);
    return r;
}

const char *ip_of(const char *proto) { return proto[0] == '2' ? "127.0.0.3" : "127.0.0.2"; }

class LinkRows : public Link {
protected:
    // Ends one row: the next starts with a new link, simulator and probe.
    void next_row()
    {
        link_stop(&link);
        sim_stop(&sim);
        std::lock_guard<std::mutex> g(probe.m);
        probe.states.clear();
        probe.devices.clear();
        probe.frames = probe.stamped = probe.last_stamp = 0;
        probe.stamps_in_order = true;
    }
};

TEST_F(LinkRows, PicturesMoveWhenTheirNumbersSkipWithoutKeyFrameRequests)
{
    const std::vector<std::string> numbering[] = {{"--frame-step", "3"}, {"--frame-jumps", "25"}};
    for (const char *proto : {"2", "1"}) {
        for (const std::vector<std::string> &args : numbering) {
            SCOPED_TRACE(std::string("protocol ") + proto + " " + args[0]);
            std::vector<std::string> all = {"--protocol", proto};
            all.insert(all.end(), args.begin(), args.end());
            start_sim(ip_of(proto), all);
            start_link();
            connect_to(ip_of(proto));
            expect_streaming(640, 360);
            ASSERT_TRUE(probe.wait(5000, [&] { return probe.stamped >= 45; })) << probe.stamped << " pictures";
            EXPECT_TRUE(probe.stamps_in_order);
            // Those of the start of the stream only.
            EXPECT_LE(key_frame_requests(&sim), 3);
            next_row();
        }
    }
}

TEST_F(LinkRows, ANewStreamNumberedFromOneAgainIsShown)
{
    start_sim("127.0.0.3", {"--restart-numbering"});
    start_link();
    connect_to("127.0.0.3");
    expect_streaming(640, 360);
    sim_command(&sim, "video off");
    ASSERT_TRUE(probe.wait_state(LINK_STATE_NO_VIDEO, 3000));
    uint32_t before;
    {
        std::lock_guard<std::mutex> g(probe.m);
        before = probe.frames;
    }
    sim_command(&sim, "video on");
    ASSERT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 3000));
    EXPECT_TRUE(probe.wait(5000, [&] { return probe.frames >= before + 15; })) << probe.frames - before;
}

TEST_F(LinkRows, ATypedAddressIsProbedThenConnectedInItsGeneration)
{
    const struct {
        const char *proto;
        bool answers;
    } rows[] = {{"2", true}, {"1", true}, {"1", false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string("protocol ") + row.proto + (row.answers ? ", answers" : ", silent to probes"));
        std::vector<std::string> args = {"--protocol", row.proto};
        if (!row.answers)
            args.push_back("--no-discovery");
        start_sim(ip_of(row.proto), args);
        start_link();
        DeviceRecord typed = typed_record(ip_of(row.proto));
        uint64_t t0 = clock_steady_ms();
        link_select_typed(link, &typed);
        expect_streaming(640, 360);
        EXPECT_EQ(sim_events(&sim, "probe").size(), 1u);
        // Without an answer the typed record is connected after about a second.
        EXPECT_EQ(link_target(link).version[0], row.answers ? row.proto[0] - '0' : 0);
        if (!row.answers) {
            EXPECT_GE(clock_steady_ms() - t0, 900u);
        }
        next_row();
    }
}

TEST_F(LinkRows, PasswordsUnlockOnlyWithTheFirmwaresCounterBlock)
{
    const char *other = "00112233445566778899aabbccddeeff";
    for (const char *proto : {"2", "1"}) {
        for (const char *block : {KAVRI_PASSWORD_COUNTER_BLOCK, other}) {
            SCOPED_TRACE(std::string("protocol ") + proto + ", counter block " + block);
            start_sim(ip_of(proto), {"--protocol", proto, "--password", "secret", "--counter-block", block});
            start_link();
            connect_to(ip_of(proto));
            ASSERT_TRUE(probe.wait_state(LINK_STATE_PASSWORD, 3000));
            link_unlock(link, "secret");
            if (block != other) {
                expect_streaming(640, 360);
                // The next connection sends the stored password without asking.
                link_disconnect(link, true);
                {
                    std::lock_guard<std::mutex> g(probe.m);
                    probe.states.clear();
                }
                link_connect(link);
                EXPECT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 5000));
                EXPECT_FALSE(probe.saw_state(LINK_STATE_PASSWORD));
            } else {
                ASSERT_TRUE(sim_wait_event(&sim, proto[0] == '2' ? "connect" : "unlock", proto[0] == '2' ? 2 : 1, 3000));
                EXPECT_TRUE(probe.wait(3000, [&] {
                    return std::count(probe.states.begin(), probe.states.end(), (int)LINK_STATE_PASSWORD) >= 2;
                }));
                EXPECT_FALSE(probe.saw_state(LINK_STATE_STREAMING));
            }
            next_row();
        }
    }
}

// A stamp another thread stored just after this one read the clock is newer
// than now: it must count as no time elapsed, not as 2^64 ms of silence.
TEST_F(LinkRows, AStampNewerThanNowDoesNotEndTheConnection)
{
    for (const char *proto : {"2", "1"}) {
        SCOPED_TRACE(std::string("protocol ") + proto);
        start_sim(ip_of(proto), {"--protocol", proto});
        start_link();
        connect_to(ip_of(proto));
        ASSERT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 5000));
        sim_command(&sim, "silent");
        ASSERT_TRUE(wait_until(3000, [&] {
            const uint64_t stamp = link->last_traffic_ms.load();
            return clock_elapsed(stamp, clock_steady_ms()) > 100;
        }));
        uint64_t t0 = clock_steady_ms();
        link->last_traffic_ms = t0 + 1000;
        ASSERT_TRUE(probe.wait_state(LINK_STATE_NONE, 8000));
        // Silence counted from the stamp, not ended at once (a wrapped
        // difference ends it within one receive slice), and ended by the
        // 4 s rule.
        EXPECT_GE(clock_steady_ms() - t0, 3000u);
        EXPECT_LE(clock_steady_ms() - t0, 5600u);
        next_row();
    }
}

}  // namespace
