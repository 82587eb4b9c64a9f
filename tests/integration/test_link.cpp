// The device link with its real threads against kavri-dongle-sim in the
// private network namespace (loss is the soak's, broken handshakes the stress tests').
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "input/key_paste.h"
#include "link/hid_mode.h"
#include "platform/audio_output.h"
#include "platform/fake/audio_output_fake.h"
#include "protocol/wire.h"
#include "sim_process.h"
#include "stress/stress_util.h"
#include "support/bytes.h"
#include "support/link_probe.h"

namespace {

const char *ip_of(const char *proto) { return proto[0] == '2' ? "127.0.0.3" : "127.0.0.2"; }

class Link : public ::testing::Test {
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
        sim_stop(&sim);
        audio_output_use_fake(false);
    }
    void start_sim(const char *proto, std::vector<std::string> args = {})
    {
        ASSERT_TRUE(sim_start(&sim, stress::sim_args(ip_of(proto), proto, args)));
    }
    void start_link(LinkOptions o = {})
    {
        link = start_probed_link(&probe, o);
        ASSERT_NE(link, nullptr);
    }
    DeviceRecord discover(const char *ip)
    {
        DeviceRecord found = stress::discover(link, &probe, std::string("sim-") + ip);
        EXPECT_TRUE(found.id[0]) << "no answer from " << ip;
        return found;
    }
    void open(const char *proto, std::vector<std::string> args = {})
    {
        start_sim(proto, args);
        start_link();
        DeviceRecord r = discover(ip_of(proto));
        link_select_target(link, &r);
    }
    void expect_streaming()
    {
        ASSERT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 5000)) << "last state " << probe.last_state();
        EXPECT_GT(probe.count_state(LINK_STATE_CONNECTING), 0);
        ASSERT_TRUE(probe.wait(5000, [&] { return probe.stamped >= 15; })) << probe.frames << " frames";
        std::lock_guard<std::mutex> g(probe.m);
        EXPECT_EQ(probe.width * 1000 + probe.height, 640360);
        EXPECT_TRUE(probe.stamps_in_order);
    }
    // The state is told just before the link counts as connected.
    void wait_connected()
    {
        ASSERT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 5000)) << "last state " << probe.last_state();
        ASSERT_TRUE(wait_until(1000, [&] { return link_connected(link); }));
    }
    void next_row()
    {
        link_stop(&link);
        sim_stop(&sim);
        probe.reset();
    }
};

class LinkP : public Link, public ::testing::WithParamInterface<const char *> {};

INSTANTIATE_TEST_SUITE_P(Protocol, LinkP, ::testing::Values("1", "2"),
                         [](const ::testing::TestParamInfo<const char *> &i) { return std::string("P") + i.param; });

// The real audio output on SDL's disk driver plays the simulator's 440 Hz tone.
TEST_P(LinkP, StreamsPicturesAndSoundAndTheDisconnectIsTold)
{
    const std::string wav = "/tmp/kavri-audio-" + std::to_string(getpid()) + ".raw";
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", wav.c_str(), 1);
    audio_output_use_fake(false);
    open(GetParam());
    expect_streaming();
    // Zero crossings of the left channel over 200 ms after the silent start.
    std::vector<int16_t> pcm(2 * 48000 / 2 + 2 * 9600);
    ASSERT_TRUE(wait_until(5000, [&] {
        std::error_code ec;
        return std::filesystem::file_size(wav, ec) >= pcm.size() * 2 && !ec;
    }));
    std::ifstream(wav, std::ios::binary).read((char *)pcm.data(), (std::streamsize)(pcm.size() * 2));
    size_t first = 0;
    while (first < pcm.size() && std::abs(pcm[first]) < 1000)
        first += 2;
    ASSERT_LT(first + 2 * 9600, pcm.size()) << "no sound reached the output";
    int crossings = 0;
    for (size_t i = first + 2; i < first + 2 * 9600; i += 2)
        crossings += (pcm[i - 2] < 0) != (pcm[i] < 0);
    EXPECT_NEAR(crossings, 176, 6) << "440 Hz over 200 ms";
    // Protocol 1 sent its start sequence in order; protocol 2 tells the end.
    auto controls = sim_events(&sim, "control");
    const int order[6] = {0x28, 0x0B, 0x12, 0x13, 0x29, 0x50};
    for (size_t i = 0; i < 6 && GetParam()[0] == '1'; i++)
        EXPECT_EQ(i < controls.size() ? json_int(controls[i], "code") : -1, order[i]) << i;
    link_disconnect(link, true);
    EXPECT_TRUE(GetParam()[0] == '1' || sim_wait_event(&sim, "disconnect", 1, 2000));
    EXPECT_TRUE(probe.wait_state(LINK_STATE_NONE, 2000));
    link_stop(&link);
    unsetenv("SDL_AUDIODRIVER");
    std::filesystem::remove(wav);
}

TEST_F(Link, ARefusingDeviceGivesStateThreeThenStopEndsAScanPromptly)
{
    open("2", {"--refuse"});
    EXPECT_TRUE(probe.wait_state(LINK_STATE_REFUSED, 3000));
    EXPECT_EQ(link_scan(link), 1);
    uint64_t t0 = clock_steady_ms();
    link_stop(&link);
    EXPECT_LE(clock_steady_ms() - t0, 1500u);
}

TEST_F(Link, AnUnacknowledgedBatchIsResentEveryTenMsThenGivenUp)
{
    open("2", {"--no-input-ack"});
    wait_connected();
    const uint8_t report[5] = {0x02, 0, 1, 1, 0};
    link_send_input(link, report, sizeof report);
    ASSERT_TRUE(sim_wait_event(&sim, "batch", 10, 2000)) << "resent about every 10 ms";
    EXPECT_FALSE(sim_wait_event(&sim, "batch", 23, 600)) << "given up after 200 ms";
    auto b = sim_events(&sim, "batch");
    EXPECT_EQ(json_int(b[0], "inverted"), 0);
    EXPECT_EQ(json_int(b[1], "inverted"), 1) << "the first resend goes out inverted (type byte 0x83)";
    EXPECT_EQ(json_int(b[2], "inverted"), 0);
    EXPECT_LE(json_int(b.back(), "t") - json_int(b.front(), "t"), 260);
    EXPECT_EQ(sim_events(&sim, "input").size(), 1u);
}

// A device of one UDP socket on the stream port, answering by hand.
struct BareDevice {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in viewer{};
    explicit BareDevice(const char *ip)
    {
        DeviceRecord r = record_at(ip, 2);
        EXPECT_EQ(bind(fd, &r.address.sa, sizeof r.address.in4), 0);
    }
    ~BareDevice() { close(fd); }
    void send(const uint8_t *p, size_t n) { sendto(fd, p, n, 0, (sockaddr *)&viewer, sizeof viewer); }
    void ack(uint8_t type, uint32_t seq)
    {
        uint8_t a[16];
        p2_build_ack(a, type, seq);
        send(a, sizeof a);
    }
    // The (type, seq) of the packets the viewer sends for ms milliseconds, or up to the first.
    std::vector<std::pair<int, uint32_t>> listen(int ms, bool first = false)
    {
        std::vector<std::pair<int, uint32_t>> got;
        uint8_t buf[2048];
        P2Packet pk;
        for (uint64_t end = clock_steady_ms() + (uint64_t)ms; clock_steady_ms() < end && !(first && !got.empty());) {
            pollfd p{fd, POLLIN, 0};
            socklen_t len = sizeof viewer;
            size_t pos = 0;
            ssize_t n = poll(&p, 1, (int)(end - clock_steady_ms()) + 1) > 0
                            ? recvfrom(fd, buf, sizeof buf, 0, (sockaddr *)&viewer, &len)
                            : 0;
            if (n > 0 && p2_next_packet(buf, (size_t)n, &pos, WIRE_FROM_VIEWER, &pk) == 1)
                got.push_back({pk.type, pk.seq});
        }
        return got;
    }
};

TEST_F(Link, ControlPacketsGoStopAndWaitAndAnOldAcknowledgementRemovesNothing)
{
    BareDevice dev("127.0.0.5");
    start_link();
    DeviceRecord r = record_at("127.0.0.5", 2);
    link_select_target(link, &r);
    auto got = dev.listen(2000, true);
    ASSERT_FALSE(got.empty());
    ASSERT_EQ(got[0].first, P2_TYPE_CONNECT);
    uint32_t s = got[0].second;
    EXPECT_LT(s, 10001u) << "the control sequence starts below 10000";
    P2ConnectReply rep{};
    rep.result = P2_RESULT_ADMITTED;
    uint8_t reply[64];
    dev.send(reply, (size_t)p2_build_connect_reply(reply, sizeof reply, s, &rep));
    ASSERT_TRUE(probe.wait_state(LINK_STATE_NO_VIDEO, 2000));

    // The unanswered connection start alone is resent (with the request that crossed our reply); an older
    // acknowledgement removes nothing; the right one lets the settings come, one at a time.
    auto n = [&](int t, uint32_t q) { return (size_t)std::count(got.begin(), got.end(), std::make_pair(t, q)); };
    got = dev.listen(250);
    EXPECT_GE(n(P2_TYPE_START, s + 1), 2u);
    EXPECT_EQ(n(P2_TYPE_START, s + 1) + n(P2_TYPE_CONNECT, s), got.size());
    dev.ack(P2_TYPE_CONNECT, s);
    got = dev.listen(200);
    EXPECT_EQ(n(P2_TYPE_START, s + 1), got.size());
    dev.ack(P2_TYPE_START, s + 1);
    got = dev.listen(250);
    EXPECT_GT(n(P2_TYPE_SETTING, s + 2), 0u);
    EXPECT_EQ(n(P2_TYPE_START, s + 1) + n(P2_TYPE_SETTING, s + 2), got.size()) << "the second setting waits";
    dev.ack(P2_TYPE_SETTING, s + 2);
    got = dev.listen(150);
    EXPECT_GT(n(P2_TYPE_SETTING, s + 3), 0u);
    EXPECT_EQ(n(P2_TYPE_SETTING, s + 4), 0u);
}

// The default adapter source finds a real interface: a veth pair to the simulator's own namespace.
TEST_F(Link, DiscoveryThroughTheAdaptersOfAVethPairToAnotherNamespace)
{
    char dir[] = "/tmp/kavri-veth-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string script = std::string(KAVRI_SOURCE_DIR) + "/tests/integration/veth-sim";
    std::string pidfile = std::string(dir) + "/pid";
    sim.log_path = std::string(dir) + "/sim.log";
    std::string cmd = script + " start " + KAVRI_SIM_PATH + " " + sim.log_path + " " + pidfile +
                      " --size 640x360 --id veth-dongle";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << "cannot make the veth pair (needs CAP_NET_ADMIN in the namespace)";
    ASSERT_TRUE(sim_wait_event(&sim, "ready", 1, 10000));
    LinkOptions own{};  // the link's own adapter source
    own.no_initial_scan = 1;
    link = link_start(&own);
    probe.attach(link);
    EXPECT_EQ(link_scan(link), 1);
    DeviceRecord found = probe.wait_device("veth-dongle", 8000);
    EXPECT_EQ(found.address.in4.sin_addr.s_addr, ipv4("198.18.77.2"));
    if (found.id[0]) {
        link_select_target(link, &found);
        expect_streaming();
    }
    link_stop(&link);
    EXPECT_EQ(std::system((script + " stop " + pidfile).c_str()), 0);
    sim.log_path.clear();
    std::filesystem::remove_all(dir);
}

// After a switch only the new target's datagrams make the stream, though the old dongle, never told, keeps
// sending. The scan before tells its start and end; a second can start once it has let go of its flag.
TEST_F(Link, ScanThenAfterSwitchingTargetsOnlyTheNewTargetsDatagramsCount)
{
    SimProcess other;
    ASSERT_TRUE(sim_start(&other, {"--bind", "127.0.0.4", "--size", "320x240", "--id", "sim-127.0.0.4"}));
    start_sim("2");
    start_link();
    DeviceRecord first = discover("127.0.0.4"), second = probe.wait_device("sim-127.0.0.3", 5000);
    EXPECT_TRUE(probe.wait(5000, [&] { return probe.scans_finished == 1; }));
    EXPECT_EQ(probe.scans_started, 1);
    ASSERT_TRUE(wait_until(1000, [&] { return !link_scanning(link); }));
    EXPECT_EQ(link_scan(link), 1);
    EXPECT_TRUE(probe.wait(5000, [&] { return probe.scans_finished == 2; }));
    EXPECT_EQ(sim_events(&sim, "probe").size(), 2u);

    link_select_target(link, &first);
    ASSERT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 5000));
    ASSERT_TRUE(probe.wait(5000, [&] { return probe.stamped >= 5; }));
    link_select_target(link, &second);
    ASSERT_TRUE(probe.wait(5000, [&] { return probe.width == 640; }));
    probe.restart_numbers();
    int sizes_before = probe.get(&LinkProbe::size_reports);
    ASSERT_TRUE(probe.wait(5000, [&] { return probe.stamped >= 30; })) << probe.stamped << " pictures";
    EXPECT_GT(sim_events(&other, "picture").size(), 0u);
    std::lock_guard<std::mutex> g(probe.m);
    EXPECT_EQ(probe.width, 640);
    EXPECT_EQ(probe.size_reports, sizes_before) << "the old dongle's picture size came back";
    EXPECT_TRUE(probe.stamps_in_order);
    EXPECT_STREQ(link_target(link).id, "sim-127.0.0.3");
}

// Datagrams the kernel dropped for want of receive buffer; -1 unreadable.
long long rcvbuf_errors()
{
    std::ifstream in("/proc/net/snmp");
    std::string names, values;
    while (std::getline(in, names) && names.rfind("Udp:", 0) != 0)
        continue;
    std::getline(in, values);
    std::istringstream n(names), v(values);
    std::string name, value;
    while (n >> name && v >> value)
        if (name == "RcvbufErrors")
            return std::stoll(value);
    return -1;
}

// A dongle on a fast network sends each picture back to back at line rate.
TEST_F(Link, FullHdKeyFramesEverySecondAtLineRateLoseNoFragment)
{
    const long long drops = rcvbuf_errors();
    ASSERT_GE(drops, 0);
    open("2", {"--size", "1920x1080", "--fps", "60", "--bitrate", "20000", "--noise", "--idr-seconds", "1", "--burst"});
    ASSERT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 5000));
    // Three seconds: three key frames at least, each sent in one go, the largest over 150 fragments.
    ASSERT_TRUE(probe.wait(30000, [&] { return probe.stamped >= 180; })) << probe.stamped << " pictures";
    StreamStats st;
    link_stream_stats(link, &st);
    EXPECT_EQ(rcvbuf_errors() - drops, 0) << "datagrams dropped by the kernel";
    EXPECT_EQ(st.lost, 0u);
    EXPECT_EQ(st.abandoned, 0u);
    std::vector<int64_t> keys;  // fragments of each key frame
    for (const std::string &e : sim_events(&sim, "picture"))
        if (json_int(e, "idr") == 1)
            keys.push_back(json_int(e, "fragments"));
    ASSERT_GE(keys.size(), 3u);
    EXPECT_GE(*std::max_element(keys.begin(), keys.end()), 150);
}

TEST_F(Link, APasteReachesTheDeviceInOrderOneReportPerBatch)
{
    open("2");
    wait_connected();
    KeyLayout us;
    ASSERT_EQ(key_layout_build("us", &us), 0);
    const std::string line = "Paste 42, then: \"KAVRI\"!\n", text = line + line + line + line;
    PastePlan plan;
    paste_plan_text(us, text.data(), text.size(), &plan);
    std::vector<std::string> want;
    for (const KeyReport &r : plan.reports)
        want.push_back(hex(r.data(), 4) + "0000000000");
    want.push_back("010000000000000000");  // everything released at the end
    KeyPaster paster;
    paster.hooks = PasteHooks{link, [](void *l) { return link_connected((LinkContext *)l); },
                              [](void *l, const uint8_t *r, size_t n) { link_send_input((LinkContext *)l, r, n); },
                              [](void *l) { return link_input_backlog((LinkContext *)l); }};
    ASSERT_TRUE(paster_start(&paster, plan));
    ASSERT_TRUE(wait_until(20000, [&] { return !paster_active(&paster); }));
    paster_stop(&paster);
    EXPECT_EQ(paster.outcome.load(), PASTE_FINISHED);
    ASSERT_TRUE(sim_wait_event(&sim, "input", want.size(), 3000));
    std::vector<std::string> got;
    for (auto &line : sim_events(&sim, "input"))
        got.push_back(json_field(line, "report"));
    EXPECT_EQ(got, want);
    // The pace lets no reports pile up; acknowledged batches are not resent.
    for (auto &b : sim_events(&sim, "batch")) {
        EXPECT_EQ(json_int(b, "bytes"), 12) << b;
        EXPECT_EQ(json_int(b, "duplicate"), 0) << b;
    }
}

int key_frame_requests(const SimProcess *sim)
{
    int n = 0;
    for (const std::string &e : sim_events(sim, "setting"))
        n += json_int(e, "setting") == WIRE_SETTING_KEY_FRAME;
    for (const std::string &e : sim_events(sim, "control"))
        n += json_int(e, "code") == P1_CODE_KEY_FRAME;
    return n;
}

// Real dongles skip picture numbers, and a new stream after the signal comes back numbers from 1 again:
// neither may freeze the picture, and skips alone ask for no key frames.
TEST_P(LinkP, NoSignalThenPicturesWhoseNumbersSkipOrStartAgainFromOne)
{
    open(GetParam(), {"--frame-step", "3", "--frame-jumps", "25", "--no-video", "--restart-numbering"});
    ASSERT_TRUE(probe.wait_state(LINK_STATE_NO_VIDEO, 3000));
    sim_command(&sim, "video on");
    expect_streaming();
    ASSERT_TRUE(probe.wait(5000, [&] { return probe.stamped >= 45; })) << probe.stamped << " pictures";
    EXPECT_TRUE(probe.get(&LinkProbe::stamps_in_order));
    EXPECT_LE(key_frame_requests(&sim), 3) << "those of the start of the stream only";
    sim_command(&sim, "video off");
    ASSERT_TRUE(probe.wait_state(LINK_STATE_NO_VIDEO, 3000));
    uint32_t before = probe.get(&LinkProbe::frames);
    sim_command(&sim, "video on");
    ASSERT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 3000));
    EXPECT_TRUE(probe.wait(5000, [&] { return probe.frames >= before + 15; })) << probe.frames - before;
}

// What the connection screen makes of a typed address: probed first, then
// connected in the generation that answered, or after about a second as typed.
TEST_F(Link, ATypedAddressIsProbedThenConnectedInItsGeneration)
{
    const std::pair<const char *, bool> rows[] = {{"2", true}, {"1", true}, {"1", false}};
    for (const auto &[proto, answers] : rows) {
        SCOPED_TRACE(std::string("protocol ") + proto + (answers ? ", answers" : ", silent to probes"));
        start_sim(proto, answers ? std::vector<std::string>{} : std::vector<std::string>{"--no-discovery"});
        start_link();
        DeviceRecord typed = record_at(ip_of(proto), 0);
        std::snprintf(typed.id, sizeof typed.id, "fixed_ip");
        std::snprintf(typed.name, sizeof typed.name, "%s", ip_of(proto));
        uint64_t t0 = clock_steady_ms();
        link_select_typed(link, &typed);
        expect_streaming();
        EXPECT_EQ(sim_events(&sim, "probe").size(), 1u);
        EXPECT_EQ(link_target(link).version[0], answers ? proto[0] - '0' : 0);
        EXPECT_GE(clock_steady_ms() - t0, answers ? 0u : 900u);
        next_row();
    }
}

// Another firmware's counter block: a refused password asks again (and is
// not taken as streaming); an accepted one is kept for the next connection.
TEST_P(LinkP, PasswordsUnlockOnlyWithTheFirmwaresCounterBlock)
{
    const char *proto = GetParam(), *other = "00112233445566778899aabbccddeeff";
    for (const char *block : {KAVRI_PASSWORD_COUNTER_BLOCK, other}) {
        SCOPED_TRACE(block);
        open(proto, {"--password", "secret", "--counter-block", block, "--no-locked-keepalive"});
        ASSERT_TRUE(probe.wait_state(LINK_STATE_PASSWORD, 3000));
        if (block != other) {
            // A silent locked protocol-2 device keeps the panel past the 4 s silence rule while the
            // operator types (protocol 1 keeps its control stream alive while locked).
            EXPECT_TRUE(proto[0] == '1' ||
                        !probe.wait(6000, [&] { return probe.states.back() != LINK_STATE_PASSWORD; }));
            link_unlock(link, "secret");
            expect_streaming();
            link_disconnect(link, true);
            probe.reset();
            link_connect(link);
            EXPECT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 5000));
            EXPECT_EQ(probe.count_state(LINK_STATE_PASSWORD), 0) << "the stored password is sent without asking";
        } else {
            link_unlock(link, "secret");
            ASSERT_TRUE(sim_wait_event(&sim, proto[0] == '2' ? "connect" : "unlock", proto[0] == '2' ? 2 : 1, 3000));
            EXPECT_TRUE(wait_until(3000, [&] { return probe.count_state(LINK_STATE_PASSWORD) >= 2; }));
            EXPECT_EQ(probe.count_state(LINK_STATE_STREAMING), 0);
        }
        next_row();
    }
}

TEST_F(Link, HidModeSwitchTakesTheUnlockPasswordOrFails)
{
    ASSERT_TRUE(sim_start(&sim, {"--bind", "127.0.0.2", "--password", "pass1", "--hid-speed", "0"}));
    // The stream port in the record is replaced by the management port.
    const DeviceAddress dongle = record_at("127.0.0.2", 2).address;
    for (int speed : {1, 0}) {
        EXPECT_EQ(hidmode_switch(dongle, speed, "pass1"), 0);
        ASSERT_TRUE(sim_wait_event(&sim, "hid_speed", speed ? 1 : 2, 3000));
        auto ev = sim_events(&sim, "hid_speed").back();
        EXPECT_EQ(json_field(ev, "password"), "pass1");
        EXPECT_EQ(json_int(ev, "speed"), speed);
        EXPECT_EQ(json_int(ev, "ok"), 1);
    }
    EXPECT_EQ(hidmode_switch(dongle, 2, ""), -1) << "only modes 0 and 1 exist";
    uint64_t t0 = clock_steady_ms();  // nobody listens at 127.0.0.9: refused at once
    EXPECT_EQ(hidmode_switch(record_at("127.0.0.9", 2).address, 1, ""), -1);
    EXPECT_LT(clock_steady_ms() - t0, 1500u);
}

}  // namespace
