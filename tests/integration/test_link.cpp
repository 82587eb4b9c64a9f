// The device link with its real threads against kavri-dongle-sim, inside the
// private network namespace: discovery, both protocol generations, passwords,
// no signal, silence, loss, input, and stopping at any moment.
#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include "dongle_sim/bitblocks.h"
#include "base/clock.h"
#include "link/link.h"
#include "protocol/wire.h"
#include "input/key_paste.h"
#include "platform/audio_output.h"
#include "platform/fake/audio_output_fake.h"
#include "sim_process.h"

namespace {

// Everything the link reports, kept for the test to wait on.
struct Probe {
    std::mutex m;
    std::condition_variable cv;
    std::vector<int> states, admitted;
    std::vector<DeviceRecord> devices;
    int scans_started = 0, scans_finished = 0;
    int width = 0, height = 0, size_reports = 0;
    uint32_t frames = 0, stamped = 0, last_stamp = 0;
    bool stamps_in_order = true;

    static void on_state(void *c, int s) { auto *p = (Probe *)c; std::lock_guard<std::mutex> g(p->m); p->states.push_back(s); p->cv.notify_all(); }
    static void on_admitted(void *c, int a) { auto *p = (Probe *)c; std::lock_guard<std::mutex> g(p->m); p->admitted.push_back(a); p->cv.notify_all(); }
    static void on_scan_started(void *c) { auto *p = (Probe *)c; std::lock_guard<std::mutex> g(p->m); p->scans_started++; p->cv.notify_all(); }
    static void on_scan_finished(void *c) { auto *p = (Probe *)c; std::lock_guard<std::mutex> g(p->m); p->scans_finished++; p->cv.notify_all(); }
    static void on_device(void *c, const DeviceRecord *r) { auto *p = (Probe *)c; std::lock_guard<std::mutex> g(p->m); p->devices.push_back(*r); p->cv.notify_all(); }
    static void on_size(void *c, int w, int h) { auto *p = (Probe *)c; std::lock_guard<std::mutex> g(p->m); p->width = w; p->height = h; p->size_reports++; p->cv.notify_all(); }
    static void on_frame(void *c, int planes, uint8_t *const *data, const int *linesize, int height)
    {
        auto *p = (Probe *)c;
        std::lock_guard<std::mutex> g(p->m);
        EXPECT_EQ(planes, 3);
        p->frames++;
        uint32_t frame;
        uint64_t t;
        if (p->width > 0 && bitblocks_read(data[0], linesize[0], p->width, height, &frame, &t)) {
            if (p->stamped && frame <= p->last_stamp)
                p->stamps_in_order = false;
            p->last_stamp = frame;
            p->stamped++;
        }
        p->cv.notify_all();
    }

    bool wait(int timeout_ms, const std::function<bool()> &pred)
    {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::milliseconds(timeout_ms), pred);
    }
    bool wait_state(int state, int timeout_ms)
    {
        return wait(timeout_ms, [&] { return !states.empty() && states.back() == state; });
    }
    bool saw_state(int state)
    {
        std::lock_guard<std::mutex> g(m);
        return std::find(states.begin(), states.end(), state) != states.end();
    }
    int last_state()
    {
        std::lock_guard<std::mutex> g(m);
        return states.empty() ? -1 : states.back();
    }
};

int no_adapters(void *, uint32_t *, int) { return 0; }

uint32_t net_of(const char *ip)
{
    in_addr a;
    inet_pton(AF_INET, ip, &a);
    return a.s_addr;
}

class Link : public ::testing::Test {
protected:
    SimProcess sim;
    LinkContext *link = nullptr;
    Probe probe;

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
            std::ofstream out(keep, std::ios::binary);
            out << in.rdbuf();
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
    // Starts the link without a scan; the probe listens to everything.
    void start_link(LinkAdapterSource adapters = no_adapters, void *ctx = nullptr)
    {
        LinkOptions o{};
        o.adapters = adapters;
        o.adapters_context = ctx;
        o.no_initial_scan = 1;
        link = link_start(&o);
        ASSERT_NE(link, nullptr);
        link_on_state(link, &probe, Probe::on_state);
        link_on_admitted(link, &probe, Probe::on_admitted);
        link_on_scan_started(link, &probe, Probe::on_scan_started);
        link_on_scan_finished(link, &probe, Probe::on_scan_finished);
        link_on_device(link, &probe, Probe::on_device);
        link_on_video_size(link, &probe, Probe::on_size);
        link_on_frame(link, &probe, Probe::on_frame);
        link_set_audio(link, 1);
    }
    // Scans 127.0.0.0/24 and returns the record of the simulator at ip.
    DeviceRecord discover(const char *ip)
    {
        uint32_t subnet = net_of("127.0.0.0");
        link_set_subnets(link, &subnet, 1);
        EXPECT_EQ(link_scan(link), 1);
        std::string id = std::string("sim-") + ip;
        DeviceRecord found{};
        EXPECT_TRUE(probe.wait(5000, [&] {
            for (auto &d : probe.devices)
                if (id == d.id) {
                    found = d;
                    return true;
                }
            return false;
        })) << "no answer from " << ip;
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

TEST_F(Link, ScanFindsTheDeviceThroughAnExtraSubnetAndTellsStartAndEnd)
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

TEST_F(Link, ProtocolTwoStreamsPicturesAndSoundThroughSdl)
{
    // The real audio output, on SDL's disk driver: what would be played is
    // written to a file.
    char dir[] = "/tmp/kavri-audio-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string wav = std::string(dir) + "/out.raw";
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", wav.c_str(), 1);
    audio_output_use_fake(false);

    start_sim("127.0.0.3", {"--protocol", "2"});
    start_link();
    connect_to("127.0.0.3");
    expect_streaming(640, 360);
    EXPECT_TRUE(link_connected(link));
    // Half a second of sound has been played: 440 Hz stereo.
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
    link_stop(&link);
    unsetenv("SDL_AUDIODRIVER");
    unsetenv("SDL_DISKAUDIOFILE");
    std::filesystem::remove_all(dir);
}

TEST_F(Link, ProtocolTwoDisconnectTellsTheDevice)
{
    start_sim("127.0.0.3", {"--protocol", "2"});
    start_link();
    connect_to("127.0.0.3");
    ASSERT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 5000));
    // Sound reaches the output while audio is on.
    ASSERT_TRUE(audio_output_fake_wait_frames(48000 / 4, 5000));
    link_disconnect(link, true);
    EXPECT_TRUE(sim_wait_event(&sim, "disconnect", 1, 2000));
    EXPECT_EQ(probe.last_state(), LINK_STATE_NONE);
}

TEST_F(Link, ProtocolOneStreamsPicturesAndSound)
{
    start_sim("127.0.0.2", {"--protocol", "1"});
    start_link();
    connect_to("127.0.0.2");
    expect_streaming(640, 360);
    ASSERT_TRUE(audio_output_fake_wait_frames(48000 / 4, 5000));
    // The keep-alives were answered and the start sequence sent in order.
    auto controls = sim_events(&sim, "control");
    ASSERT_GE(controls.size(), 6u);
    const int order[6] = {0x28, 0x0B, 0x12, 0x13, 0x29, 0x50};
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(json_int(controls[i], "code"), order[i]) << i;
}

TEST_F(Link, ProtocolTwoPasswordWrongThenRight)
{
    start_sim("127.0.0.3", {"--password", "letmein"});
    start_link();
    connect_to("127.0.0.3");
    ASSERT_TRUE(probe.wait_state(LINK_STATE_PASSWORD, 3000));
    link_unlock(link, "nope");
    ASSERT_TRUE(sim_wait_event(&sim, "connect", 2, 3000));
    ASSERT_TRUE(probe.wait(3000, [&] {
        return std::count(probe.states.begin(), probe.states.end(), (int)LINK_STATE_PASSWORD) >= 2;
    }));
    link_unlock(link, "letmein");
    expect_streaming(640, 360);
    auto c = sim_events(&sim, "connect");
    ASSERT_GE(c.size(), 3u);
    EXPECT_EQ(json_field(c.back(), "password"), "letmein");
}

TEST_F(Link, ProtocolOnePasswordIsAskedThenAccepted)
{
    start_sim("127.0.0.2", {"--protocol", "1", "--password", "abc"});
    start_link();
    connect_to("127.0.0.2");
    ASSERT_TRUE(probe.wait_state(LINK_STATE_PASSWORD, 3000));
    link_unlock(link, "wrong");
    ASSERT_TRUE(sim_wait_event(&sim, "unlock", 1, 3000));
    link_unlock(link, "abc");
    expect_streaming(640, 360);
    auto u = sim_events(&sim, "unlock");
    ASSERT_EQ(u.size(), 2u);
    EXPECT_EQ(json_int(u[0], "ok"), 0);
    EXPECT_EQ(json_int(u[1], "ok"), 1);
}

TEST_F(Link, ProtocolOneStoredPasswordIsRetriedOnceOnTheNextConnection)
{
    start_sim("127.0.0.2", {"--protocol", "1", "--password", "abc"});
    start_link();
    connect_to("127.0.0.2");
    ASSERT_TRUE(probe.wait_state(LINK_STATE_PASSWORD, 3000));
    link_unlock(link, "abc");
    expect_streaming(640, 360);
    // Reconnect: the stored password is sent without asking.
    link_disconnect(link, true);
    link_connect(link);
    ASSERT_TRUE(sim_wait_event(&sim, "unlock", 2, 4000));
    EXPECT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 5000));
}

TEST_F(Link, ARefusingDeviceGivesStateThree)
{
    start_sim("127.0.0.3", {"--refuse"});
    start_link();
    connect_to("127.0.0.3");
    EXPECT_TRUE(probe.wait_state(LINK_STATE_REFUSED, 3000));
}

TEST_F(Link, NoSignalThenSignal)
{
    start_sim("127.0.0.3", {"--no-video"});
    start_link();
    connect_to("127.0.0.3");
    ASSERT_TRUE(probe.wait_state(LINK_STATE_NO_VIDEO, 3000));
    sim_command(&sim, "video on");
    expect_streaming(640, 360);
    sim_command(&sim, "video off");
    EXPECT_TRUE(probe.wait_state(LINK_STATE_NO_VIDEO, 3000));
}

TEST_F(Link, ProtocolOneNoSignalThenSignal)
{
    start_sim("127.0.0.2", {"--protocol", "1", "--no-video"});
    start_link();
    connect_to("127.0.0.2");
    ASSERT_TRUE(probe.wait_state(LINK_STATE_NO_VIDEO, 3000));
    sim_command(&sim, "video on");
    expect_streaming(640, 360);
}

TEST_F(Link, ASilentDeviceEndsTheConnectionWithinFourSeconds)
{
    for (const char *proto : {"2", "1"}) {
        SCOPED_TRACE(proto);
        const char *ip = proto[0] == '2' ? "127.0.0.3" : "127.0.0.2";
        start_sim(ip, {"--protocol", proto});
        start_link();
        connect_to(ip);
        ASSERT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 5000));
        sim_command(&sim, "silent");
        ASSERT_TRUE(sim_wait_event(&sim, "command", 1, 1000));
        uint64_t t0 = clock_steady_ms();
        EXPECT_TRUE(probe.wait_state(LINK_STATE_NONE, 5000));
        EXPECT_LE(clock_steady_ms() - t0, 4600u);
        link_stop(&link);
        sim_stop(&sim);
        probe.states.clear();
        probe.devices.clear();
    }
}

TEST_F(Link, AnUnansweredConnectRequestGivesUpAfterFourSeconds)
{
    start_link();
    DeviceRecord r{};
    r.address.in4.sin_family = AF_INET;
    r.address.in4.sin_port = htons(36459);
    r.address.in4.sin_addr.s_addr = net_of("127.0.0.9");  // nobody there
    r.version[0] = 2;
    std::strcpy(r.id, "ghost");
    uint64_t t0 = clock_steady_ms();
    link_select_target(link, &r);
    ASSERT_TRUE(probe.wait_state(LINK_STATE_CONNECTING, 1000));
    ASSERT_TRUE(probe.wait_state(LINK_STATE_NONE, 6000));
    uint64_t took = clock_steady_ms() - t0;
    EXPECT_GE(took, 3900u);
    EXPECT_LE(took, 5000u);
}

TEST_F(Link, ALockedSilentDeviceKeepsThePasswordPanelThenAcceptsThePassword)
{
    start_sim("127.0.0.3", {"--password", "pw", "--no-locked-keepalive"});
    start_link();
    connect_to("127.0.0.3");
    ASSERT_TRUE(probe.wait_state(LINK_STATE_PASSWORD, 3000));
    // Ten seconds of silence while the operator types.
    EXPECT_FALSE(probe.wait(10000, [&] { return probe.states.back() != LINK_STATE_PASSWORD; }));
    link_unlock(link, "pw");
    expect_streaming(640, 360);
}

TEST_F(Link, PicturesCompleteThroughLossDuplicatesAndReordering)
{
    start_sim("127.0.0.3", {"--loss", "5", "--duplicate", "3", "--reorder", "3", "--filler", "5000", "--seed", "7"});
    start_link();
    connect_to("127.0.0.3");
    ASSERT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 5000));
    ASSERT_TRUE(probe.wait(15000, [&] { return probe.stamped >= 90; })) << probe.stamped << " pictures";
    uint32_t last;
    {
        std::lock_guard<std::mutex> g(probe.m);
        last = probe.last_stamp;
        EXPECT_TRUE(probe.stamps_in_order);
    }
    // Share of the pictures sent up to the last one shown that were decoded.
    double share = (double)probe.stamped / (double)last;
    EXPECT_GE(share, 0.9) << probe.stamped << " of " << last;
    EXPECT_GT(sim_events(&sim, "resend").size(), 0u) << "losses were repaired by resends";
}

TEST_F(Link, InputReachesTheDeviceInOrderInAcknowledgedBatches)
{
    start_sim("127.0.0.3", {});
    start_link();
    connect_to("127.0.0.3");
    ASSERT_TRUE(probe.wait_state(LINK_STATE_STREAMING, 5000));
    ASSERT_TRUE(wait_until(1000, [&] { return link_connected(link); }));
    for (uint8_t k = 4; k < 24; k++) {
        const uint8_t report[9] = {0x01, 0, 0, k, 0, 0, 0, 0, 0};
        link_send_input(link, report, sizeof report);
    }
    ASSERT_TRUE(sim_wait_event(&sim, "input", 20, 3000));
    auto in = sim_events(&sim, "input");
    for (int i = 0; i < 20; i++) {
        char hex[32];
        std::snprintf(hex, sizeof hex, "010000%02x0000000000", 4 + i);
        EXPECT_EQ(json_field(in[(size_t)i], "report"), hex) << i;
    }
    for (auto &b : sim_events(&sim, "batch"))
        EXPECT_EQ(json_int(b, "duplicate"), 0) << "acknowledged batches are not resent";
}

TEST_F(Link, AnUnacknowledgedBatchIsResentEveryTenMsThenGivenUp)
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

TEST_F(Link, StopReturnsPromptlyWhileScanningConnectingAndStreaming)
{
    // Scanning.
    start_link();
    uint32_t subnet = net_of("127.0.0.0");
    link_set_subnets(link, &subnet, 1);
    link_scan(link);
    uint64_t t0 = clock_steady_ms();
    link_stop(&link);
    EXPECT_LE(clock_steady_ms() - t0, 1500u);
    // Connecting (protocol 1 to a silent address).
    start_link();
    DeviceRecord r{};
    r.address.in4.sin_family = AF_INET;
    r.address.in4.sin_port = htons(36459);
    r.address.in4.sin_addr.s_addr = net_of("127.0.0.9");
    r.version[0] = 1;
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

}  // namespace

namespace {

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

TEST_F(Link, ControlPacketsGoStopAndWaitAndAnOldAcknowledgementRemovesNothing)
{
    BareDevice dev("127.0.0.5");
    start_link();
    DeviceRecord r{};
    r.address.in4.sin_family = AF_INET;
    r.address.in4.sin_port = htons(WIRE_PORT_STREAM);
    r.address.in4.sin_addr.s_addr = net_of("127.0.0.5");
    r.version[0] = 2;
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

}  // namespace

namespace {

// The default adapter source (getifaddrs) finds a real interface that is up:
// a veth pair to a second private namespace where the simulator lives.
TEST_F(Link, DiscoveryThroughTheAdaptersOfAVethPairToAnotherNamespace)
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

    start_link(nullptr);  // the link's own adapter source
    EXPECT_EQ(link_scan(link), 1);
    DeviceRecord found{};
    EXPECT_TRUE(probe.wait(8000, [&] {
        for (auto &d : probe.devices)
            if (std::string(d.id) == "veth-dongle") {
                found = d;
                return true;
            }
        return false;
    }));
    if (found.id[0]) {
        EXPECT_EQ(found.address.in4.sin_addr.s_addr, net_of("198.18.77.2"));
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
TEST_F(Link, AfterSwitchingTargetsOnlyTheNewTargetsDatagramsCount)
{
    SimProcess other;
    ASSERT_TRUE(sim_start(&other, {"--bind", "127.0.0.4", "--size", "320x240", "--id", "sim-127.0.0.4"}));
    start_sim("127.0.0.3", {});
    start_link();
    uint32_t subnet = net_of("127.0.0.0");
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
        probe.stamped = 0;
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

// ---- Paste Text through the real link ------------------------------------------

TEST_F(Link, APasteReachesTheDeviceInOrderOneReportPerBatch)
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
    // The pace lets no reports pile up: each batch carries one.
    for (auto &b : sim_events(&sim, "batch"))
        EXPECT_EQ(json_int(b, "bytes"), 12) << b;
    std::printf("paste: %zu reports in %llu ms\n", want.size(), (unsigned long long)took);
}
