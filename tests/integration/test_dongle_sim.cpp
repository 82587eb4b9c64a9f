// The simulated dongle driven by a bare client made of the project's own wire
// functions: discovery, the protocol-2 handshake with and without password,
// settings, resends from a bitmap with a hole, input batches; the protocol-1
// control stream. Runs inside the private network namespace of scripts/test.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "base/bytes.h"
#include "base/clock.h"
#include "protocol/device_record.h"
#include "protocol/md5.h"
#include "protocol/password.h"
#include "protocol/wire.h"
#include "sim_process.h"

namespace {

sockaddr_in addr(const char *ip, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// A UDP socket of the bare client, bound like the viewer's to port 36549.
struct Udp {
    int fd = -1;
    explicit Udp(uint16_t port = WIRE_PORT_VIEWER)
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        int one = 1, big = 8 << 20;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        sockaddr_in a = addr("127.0.0.1", port);
        EXPECT_EQ(bind(fd, (sockaddr *)&a, sizeof a), 0) << strerror(errno);
    }
    ~Udp() { close(fd); }
    void send(const sockaddr_in &to, const uint8_t *p, size_t n)
    {
        ASSERT_EQ(sendto(fd, p, n, 0, (const sockaddr *)&to, sizeof to), (ssize_t)n);
    }
    // Receives one datagram within timeout_ms; empty when none came.
    std::vector<uint8_t> recv(int timeout_ms, sockaddr_in *from = nullptr)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return {};
        std::vector<uint8_t> buf(65536);
        sockaddr_in f{};
        socklen_t len = sizeof f;
        ssize_t n = recvfrom(fd, buf.data(), buf.size(), 0, (sockaddr *)&f, &len);
        if (n < 0)
            return {};
        buf.resize((size_t)n);
        if (from)
            *from = f;
        return buf;
    }
};

// Receives protocol-2 packets until pred accepts one (returns true) or the
// deadline passes. The packet's bytes stay valid during pred.
bool p2_wait(Udp &u, int timeout_ms, const std::function<bool(const P2Packet &)> &pred)
{
    uint64_t end = clock_steady_ms() + (uint64_t)timeout_ms;
    while (clock_steady_ms() < end) {
        std::vector<uint8_t> d = u.recv((int)(end - clock_steady_ms()) + 1);
        size_t pos = 0;
        P2Packet pk;
        while (!d.empty() && p2_next_packet(d.data(), d.size(), &pos, WIRE_FROM_DEVICE, &pk) == 1)
            if (pred(pk))
                return true;
    }
    return false;
}

const sockaddr_in kSim2 = addr("127.0.0.3", WIRE_PORT_STREAM);

class SimP2 : public ::testing::Test {
protected:
    SimProcess sim;
    void TearDown() override { sim_stop(&sim); }
    void start(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"--bind", "127.0.0.3", "--protocol", "2", "--size", "1280x720"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(sim_start(&sim, args));
    }
    // Sends a connect request and returns the reply's result (-1: none).
    int connect(Udp &u, uint32_t seq, const char *password, P2ConnectReply *out_reply = nullptr,
                std::vector<uint8_t> *codec = nullptr)
    {
        uint8_t nonce[16], payload[33], pkt[16 + 33];
        password_make_nonce(nonce);
        password_build_connect_payload(password, nonce, payload);
        p2_build_connect_request(pkt, seq, payload);
        u.send(kSim2, pkt, sizeof pkt);
        int result = -1;
        p2_wait(u, 2000, [&](const P2Packet &pk) {
            if (pk.type != P2_TYPE_CONNECT)
                return false;
            EXPECT_EQ(pk.seq, seq) << "the reply carries the request's sequence";
            P2ConnectReply r;
            EXPECT_EQ(p2_parse_connect_reply(pk.payload, pk.length, &r), 0);
            result = r.result;
            if (out_reply)
                *out_reply = r;
            if (codec && r.codec_header)
                codec->assign(r.codec_header, r.codec_header + r.codec_len);
            return true;
        });
        return result;
    }
};

TEST(SimDiscovery, TwoInstancesAnswerProbesWithTheirIdentity)
{
    SimProcess a, b;
    ASSERT_TRUE(sim_start(&a, {"--bind", "127.0.0.2", "--protocol", "1", "--id", "dev-one", "--build",
                               "230101010101", "--hid-speed", "1"}));
    ASSERT_TRUE(sim_start(&b, {"--bind", "127.0.0.3", "--version", "2.1.3.4", "--id", "dev-two", "--password",
                               "pw"}));
    Udp u;
    std::map<std::string, DeviceRecord> seen;
    for (const char *ip : {"127.0.0.2", "127.0.0.3"}) {
        char probe[64];
        int n = wire_build_probe(probe, sizeof probe, WIRE_PORT_VIEWER, (int64_t)clock_wall_ms(), 12);
        u.send(addr(ip, WIRE_PORT_DISCOVERY), (const uint8_t *)probe, (size_t)n);
    }
    uint64_t end = clock_steady_ms() + 3000;
    while (seen.size() < 2 && clock_steady_ms() < end) {
        sockaddr_in from{};
        std::vector<uint8_t> d = u.recv(500, &from);
        if (d.empty())
            continue;
        EXPECT_EQ(ntohs(from.sin_port), WIRE_PORT_DISCOVERY);
        DeviceRecord r;
        device_parse_answer(&from, sizeof from, (const char *)d.data(), d.size(), &r);
        seen[r.id] = r;
    }
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen["dev-one"].version[0], 1);
    EXPECT_EQ(seen["dev-one"].build, 230101010101ull);
    EXPECT_EQ(seen["dev-one"].hid_speed, 1);
    EXPECT_EQ(seen["dev-one"].secured, 0);
    const uint8_t v2[4] = {2, 1, 3, 4};
    EXPECT_EQ(std::memcmp(seen["dev-two"].version, v2, 4), 0);
    EXPECT_EQ(seen["dev-two"].secured, 1);
    EXPECT_EQ(std::string(seen["dev-two"].ip), "127.0.0.3");
    EXPECT_TRUE(sim_wait_event(&a, "probe", 1, 1000));
    auto probes = sim_events(&b, "probe");
    ASSERT_FALSE(probes.empty());
    EXPECT_EQ(json_int(probes[0], "port"), WIRE_PORT_VIEWER);
    EXPECT_EQ(json_int(probes[0], "tz"), 12);
    EXPECT_EQ(sim_stop(&a), 0);
    EXPECT_EQ(sim_stop(&b), 0);
}

TEST_F(SimP2, AdmitsAcknowledgesSettingsOneByOneAndStreamsFromAnIdr)
{
    start();
    Udp u;
    P2ConnectReply reply{};
    std::vector<uint8_t> codec;
    ASSERT_EQ(connect(u, 500, "", &reply, &codec), P2_RESULT_ADMITTED);
    EXPECT_EQ(reply.audio_present, 1);
    EXPECT_EQ(reply.channels, 2);
    EXPECT_EQ(reply.rate, 48000);
    EXPECT_EQ(reply.video_present, 1);
    ASSERT_GE(codec.size(), 8u);
    EXPECT_EQ(codec[4] & 0x1f, 7) << "the codec header starts with an SPS";

    // Connection start and each setting are answered with their own type and
    // sequence, one at a time.
    uint8_t start_pkt[16];
    p2_build_connection_start(start_pkt, 501);
    u.send(kSim2, start_pkt, sizeof start_pkt);
    EXPECT_TRUE(p2_wait(u, 2000, [](const P2Packet &pk) { return pk.type == P2_TYPE_START && pk.seq == 501; }));
    const uint8_t settings[3][2] = {{WIRE_SETTING_AUDIO, 1}, {WIRE_SETTING_INPUT, 1}, {WIRE_SETTING_KEY_FRAME, 0}};
    for (int i = 0; i < 3; i++) {
        uint8_t pkt[16 + P2_SETTING_PAYLOAD];
        p2_build_setting(pkt, 502 + i, settings[i][0], settings[i][1]);
        u.send(kSim2, pkt, sizeof pkt);
        EXPECT_TRUE(p2_wait(u, 2000, [&](const P2Packet &pk) {
            return pk.type == P2_TYPE_SETTING && pk.seq == (uint32_t)(502 + i);
        })) << "setting " << i;
    }
    auto logged = sim_events(&sim, "setting");
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(json_int(logged[0], "setting"), 1);
    EXPECT_EQ(json_int(logged[0], "value"), 1);
    EXPECT_EQ(json_int(logged[2], "setting"), 5);

    // Stream parameters come, carry the acknowledgement interval, and our
    // echo is logged. Every picture starts with a slice; the key-frame
    // request brings an IDR picture.
    bool params = false, audio = false, idr = false;
    int pictures = 0;
    std::map<uint32_t, std::map<unsigned, std::vector<uint8_t>>> frames;
    p2_wait(u, 5000, [&](const P2Packet &pk) {
        if (pk.type == P2_TYPE_STREAM_PARAMS && !params) {
            uint32_t interval = 0;
            EXPECT_EQ(p2_parse_stream_params(pk.payload, pk.length, &interval), 0);
            EXPECT_EQ(interval, 8000u);
            uint8_t echo[16];
            p2_echo_header(pk.header, echo);
            u.send(kSim2, echo, sizeof echo);
            params = true;
        } else if (pk.type == P2_TYPE_AUDIO) {
            EXPECT_EQ(pk.length, 1920);
            audio = true;
        } else if (pk.type == P2_TYPE_VIDEO) {
            P2Fragment f;
            if (p2_fragment_info(&pk, &f) != 0)
                return false;
            auto &fr = frames[f.frame];
            fr[f.index].assign(pk.payload, pk.payload + pk.length);
            if (fr.size() == f.count && f.index == fr.rbegin()->first) {
                std::vector<uint8_t> picture;
                for (auto &kv : fr)
                    picture.insert(picture.end(), kv.second.begin(), kv.second.end());
                if (f.has_digest) {
                    uint8_t digest[16];
                    md5(picture.data(), picture.size() - 16, digest);
                    EXPECT_EQ(std::memcmp(digest, picture.data() + picture.size() - 16, 16), 0);
                    picture.resize(picture.size() - 16);
                }
                EXPECT_GE(picture.size(), 5u);
                EXPECT_EQ(rd_be32(picture.data()), 1u) << "four-byte start code";
                int type = picture[4] & 0x1f;
                EXPECT_TRUE(type == 1 || type == 5) << "pictures start with their first slice";
                idr |= type == 5;
                pictures++;
            }
        }
        return params && audio && idr && pictures >= 10;
    });
    EXPECT_TRUE(params);
    EXPECT_TRUE(audio);
    EXPECT_TRUE(idr);
    EXPECT_GE(pictures, 10);
    EXPECT_TRUE(sim_wait_event(&sim, "echo", 1, 2000));

    uint8_t bye[16];
    p2_build_disconnect(bye);
    u.send(kSim2, bye, sizeof bye);
    EXPECT_TRUE(sim_wait_event(&sim, "disconnect", 1, 2000));
}

TEST_F(SimP2, PasswordIsCheckedAfterDecryptionAndTheLockedViewerKeepsHearingFromIt)
{
    start({"--password", "s3cret"});
    Udp u;
    EXPECT_EQ(connect(u, 10, ""), P2_RESULT_PASSWORD);
    // While the operator types, stream parameters keep arriving.
    EXPECT_TRUE(p2_wait(u, 2500, [](const P2Packet &pk) { return pk.type == P2_TYPE_STREAM_PARAMS; }));
    EXPECT_EQ(connect(u, 20, "wrong"), P2_RESULT_PASSWORD);
    EXPECT_EQ(connect(u, 30, "s3cret"), P2_RESULT_ADMITTED);
    auto c = sim_events(&sim, "connect");
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(json_int(c[0], "has_password"), 0);
    EXPECT_EQ(json_field(c[1], "password"), "wrong");
    EXPECT_EQ(json_int(c[1], "result"), 1);
    EXPECT_EQ(json_field(c[2], "password"), "s3cret");
    EXPECT_EQ(json_int(c[2], "result"), 0);
}

TEST_F(SimP2, RefusesWhenToldTo)
{
    start({"--refuse"});
    Udp u;
    EXPECT_EQ(connect(u, 7, ""), P2_RESULT_REFUSED);
}

TEST_F(SimP2, ABitmapWithAHoleIsAnsweredByExactlyTheMissingFragment)
{
    // A long acknowledgement interval keeps the device's own stale-fragment
    // resends out of the way; only the hole may come back.
    start({"--ack-interval", "400000", "--md5-every", "0", "--filler", "6000"});
    Udp u;
    ASSERT_EQ(connect(u, 100, ""), P2_RESULT_ADMITTED);
    uint8_t start_pkt[16];
    p2_build_connection_start(start_pkt, 101);
    u.send(kSim2, start_pkt, sizeof start_pkt);

    // Collect the first picture of at least 4 fragments.
    std::map<unsigned, std::vector<uint8_t>> headers;
    uint32_t frame = 0;
    unsigned count = 0;
    ASSERT_TRUE(p2_wait(u, 5000, [&](const P2Packet &pk) {
        P2Fragment f;
        if (pk.type != P2_TYPE_VIDEO || p2_fragment_info(&pk, &f) != 0)
            return false;
        if (frame == 0 && f.count >= 4)
            frame = f.frame, count = f.count;
        if (f.frame == frame)
            headers[f.index].assign(pk.header, pk.header + 16);
        return frame && headers.size() == count;
    }));
    // Acknowledge every group whole, except fragment 2 of group 0.
    for (unsigned g = 0; g * 32 < count; g++) {
        unsigned n = std::min(32u, count - g * 32);
        uint32_t bitmap = n == 32 ? 0xffffffffu : ((1u << n) - 1);
        if (g == 0)
            bitmap &= ~(1u << 2);
        uint8_t ack[20];
        p2_build_fragment_ack(headers[g * 32].data(), 0, bitmap, g == 0 ? 1 : 0, ack);
        u.send(kSim2, ack, sizeof ack);
    }
    std::vector<unsigned> resent;
    p2_wait(u, 300, [&](const P2Packet &pk) {
        P2Fragment f;
        if (pk.type == P2_TYPE_VIDEO && p2_fragment_info(&pk, &f) == 0 && f.frame == frame)
            resent.push_back(f.index);
        return false;
    });
    ASSERT_EQ(resent.size(), 1u);
    EXPECT_EQ(resent[0], 2u);
    std::vector<std::string> r;
    for (auto &l : sim_events(&sim, "resend"))
        if (json_int(l, "frame") == frame)
            r.push_back(l);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(json_int(r[0], "index"), 2);
}

TEST_F(SimP2, InputBatchesAreAcknowledgedByNumberAndLoggedOnce)
{
    start();
    Udp u;
    ASSERT_EQ(connect(u, 40, ""), P2_RESULT_ADMITTED);
    const uint8_t key[9] = {0x01, 0x00, 0x00, 0x04, 0, 0, 0, 0, 0};
    const uint8_t mouse[5] = {0x02, 0x01, 0x05, 0xFB, 0x00};
    std::vector<uint8_t> batch(16);
    uint8_t rec[32];
    int n = input_record_build(rec, sizeof rec, key, sizeof key);
    batch.insert(batch.end(), rec, rec + n);
    n = input_record_build(rec, sizeof rec, mouse, sizeof mouse);
    batch.insert(batch.end(), rec, rec + n);
    p2_write_batch_header(batch.data(), 9, (uint16_t)(batch.size() - 16));
    u.send(kSim2, batch.data(), batch.size());
    // The resend goes out inverted; it is acknowledged again but not logged twice.
    std::vector<uint8_t> again(batch.size());
    p2_batch_resend_copy(again.data(), again.size(), batch.data(), batch.size(), 1);
    u.send(kSim2, again.data(), again.size());
    int acks = 0;
    p2_wait(u, 1000, [&](const P2Packet &pk) {
        if (pk.type == P2_TYPE_INPUT) {
            EXPECT_EQ(pk.seq, 9u);
            acks++;
        }
        return acks == 2;
    });
    EXPECT_EQ(acks, 2);
    ASSERT_TRUE(sim_wait_event(&sim, "batch", 2, 1000));
    auto b = sim_events(&sim, "batch");
    EXPECT_EQ(json_int(b[1], "inverted"), 1);
    EXPECT_EQ(json_int(b[1], "duplicate"), 1);
    auto in = sim_events(&sim, "input");
    ASSERT_EQ(in.size(), 2u);
    EXPECT_EQ(json_field(in[0], "report"), "010000040000000000");
    EXPECT_EQ(json_field(in[1], "report"), "020105fb00");
}

// --- Protocol 1 -------------------------------------------------------------

struct Tcp {
    int fd = -1;
    std::vector<uint8_t> in;
    bool connect_to(const char *ip)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = addr(ip, WIRE_PORT_CONTROL);
        return ::connect(fd, (sockaddr *)&a, sizeof a) == 0;
    }
    ~Tcp()
    {
        if (fd >= 0)
            close(fd);
    }
    void send(const uint8_t *p, size_t n) { ASSERT_EQ(::send(fd, p, n, MSG_NOSIGNAL), (ssize_t)n); }
    // Waits for the next whole control message.
    bool next(P1ControlMsg *m, std::vector<uint8_t> *copy, int timeout_ms)
    {
        uint64_t end = clock_steady_ms() + (uint64_t)timeout_ms;
        for (;;) {
            if (p1_control_next(in.data(), in.size(), P1_CONTROL_BUFFER_SIZE, m) == 1) {
                copy->assign(in.begin(), in.begin() + (long)m->total);
                in.erase(in.begin(), in.begin() + (long)m->total);
                p1_control_next(copy->data(), copy->size(), P1_CONTROL_BUFFER_SIZE, m);
                return true;
            }
            uint64_t now = clock_steady_ms();
            if (now >= end)
                return false;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, (int)(end - now)) <= 0)
                return false;
            uint8_t buf[65536];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            in.insert(in.end(), buf, buf + n);
        }
    }
};

TEST(SimP1, AuthUnlockStartSequenceVideoStartAndKeepAlive)
{
    SimProcess sim;
    ASSERT_TRUE(sim_start(&sim, {"--bind", "127.0.0.2", "--protocol", "1", "--password", "abc"}));
    Udp u;  // media goes to the viewer's port
    Tcp t;
    ASSERT_TRUE(t.connect_to("127.0.0.2"));
    P1ControlMsg m;
    std::vector<uint8_t> msg;
    ASSERT_TRUE(t.next(&m, &msg, 2000));
    EXPECT_EQ(m.type, P1_MSG_AUTH_STATUS);
    EXPECT_EQ(m.result, 0u) << "a password is needed";

    uint8_t nonce[16], unlock[40];
    password_make_nonce(nonce);
    int n = password_build_unlock("abc", 3, nonce, unlock, sizeof unlock);
    ASSERT_EQ(n, 22);
    t.send(unlock, (size_t)n);
    ASSERT_TRUE(t.next(&m, &msg, 2000));
    EXPECT_EQ(m.type, P1_MSG_AUTH_STATUS);
    EXPECT_NE(m.result, 0u);
    uint32_t channels = 0, rate = 0;
    EXPECT_EQ(p1_control_audio_format(&m, &channels, &rate), 1);
    EXPECT_EQ(channels, 2u);
    EXPECT_EQ(rate, 48000u);

    // The viewer's start sequence.
    uint8_t b[4];
    p1_build_zero_setting(b, 0);
    t.send(b, 4);
    p1_build_input(b, true);
    t.send(b, 3);
    p1_build_audio(b, true);
    t.send(b, 3);
    p1_build_stream_switch(b, true);
    t.send(b, 3);
    p1_build_stream_go(b);
    t.send(b, 3);
    p1_build_key_frame_request(b);
    t.send(b, 3);

    bool video_start = false, keepalive = false;
    uint64_t end = clock_steady_ms() + 3000;
    while (!(video_start && keepalive) && clock_steady_ms() < end) {
        if (!t.next(&m, &msg, 500))
            continue;
        if (m.type == P1_MSG_VIDEO_START) {
            ASSERT_GE(m.l1, 8u);
            EXPECT_EQ(m.payload[4] & 0x1f, 7) << "the payload is the codec header";
            p1_build_video_start_ack(b);
            t.send(b, 3);
            video_start = true;
        } else if (m.type == P1_MSG_KEEPALIVE) {
            p1_build_keepalive_answer(b);
            t.send(b, 3);
            keepalive = true;
        }
    }
    EXPECT_TRUE(video_start);
    EXPECT_TRUE(keepalive);

    // Video fragments arrive as protocol-1 blocks on the viewer's port.
    bool fragment = false;
    end = clock_steady_ms() + 3000;
    while (!fragment && clock_steady_ms() < end) {
        std::vector<uint8_t> d = u.recv(200);
        size_t pos = 0;
        P1Block blk;
        while (!d.empty() && p1_next_block(d.data(), d.size(), &pos, &blk) == 1)
            if (blk.kind == P1_KIND_VIDEO && blk.valid && blk.index == 0) {
                EXPECT_EQ(blk.payload[4] & 0x1f, 5) << "the stream starts with an IDR picture";
                fragment = true;
            }
    }
    EXPECT_TRUE(fragment);

    auto unlocks = sim_events(&sim, "unlock");
    ASSERT_EQ(unlocks.size(), 1u);
    EXPECT_EQ(json_field(unlocks[0], "password"), "abc");
    EXPECT_EQ(json_int(unlocks[0], "ok"), 1);
    EXPECT_TRUE(sim_wait(&sim, 1000, [](const std::vector<std::string> &lines) {
        for (auto &l : lines)
            if (l.find("\"ev\":\"control\"") != std::string::npos && json_int(l, "code") == 0xF0)
                return true;
        return false;
    })) << "the keep-alive answer reached the device";
    EXPECT_EQ(sim_stop(&sim), 0);
}

// --- Management port ----------------------------------------------------------

int tcp_to(const char *ip, uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = addr(ip, port);
    if (::connect(fd, (sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Probes the simulator and returns its answer's record (zeroed when none came).
DeviceRecord discover(Udp &u, const char *ip, int timeout_ms)
{
    DeviceRecord r{};
    char probe[64];
    int n = wire_build_probe(probe, sizeof probe, WIRE_PORT_VIEWER, (int64_t)clock_wall_ms(), 12);
    u.send(addr(ip, WIRE_PORT_DISCOVERY), (const uint8_t *)probe, (size_t)n);
    sockaddr_in from{};
    std::vector<uint8_t> d = u.recv(timeout_ms, &from);
    if (!d.empty())
        device_parse_answer(&from, sizeof from, (const char *)d.data(), d.size(), &r);
    return r;
}

TEST(SimManagement, HidModeCommandWithTheRightKeyChangesTheAnnouncedMode)
{
    SimProcess sim;
    ASSERT_TRUE(sim_start(&sim, {"--bind", "127.0.0.2", "--password", "pass1", "--hid-speed", "0"}));
    uint8_t r[16];
    hidmode_make_random(r);
    char cmd[HIDMODE_COMMAND_CAP];
    // A wrong key first: refused; then the right one.
    int n = hidmode_build_command(r, "nope", 4, 1, cmd, sizeof cmd);
    int fd = tcp_to("127.0.0.2", WIRE_PORT_MANAGEMENT);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, cmd, (size_t)n, MSG_NOSIGNAL), n);
    n = hidmode_build_command(r, "pass1", 5, 1, cmd, sizeof cmd);
    ASSERT_EQ(send(fd, cmd, (size_t)n, MSG_NOSIGNAL), n);
    ASSERT_TRUE(sim_wait_event(&sim, "hid_speed", 2, 2000));
    close(fd);
    auto ev = sim_events(&sim, "hid_speed");
    EXPECT_EQ(json_int(ev[0], "ok"), 0);
    EXPECT_EQ(json_field(ev[1], "password"), "pass1");
    EXPECT_EQ(json_int(ev[1], "speed"), 1);
    EXPECT_EQ(json_int(ev[1], "ok"), 1);
    Udp u;
    EXPECT_EQ(discover(u, "127.0.0.2", 1000).hid_speed, 1);
}

TEST(SimManagement, FirmwareImageIsCheckedThenTheDeviceRestartsWithTheNewBuild)
{
    SimProcess sim;
    ASSERT_TRUE(sim_start(&sim, {"--bind", "127.0.0.2", "--build", "240101000000", "--new-build", "250101000000",
                                 "--restart-silence", "700"}));
    std::vector<uint8_t> image(300000);
    for (size_t i = 0; i < image.size(); i++)
        image[i] = (uint8_t)(i * 7 + (i >> 8));
    uint8_t header[20];
    wr_le32(header, (uint32_t)image.size());
    md5(image.data(), image.size(), header + 4);

    int m = tcp_to("127.0.0.2", WIRE_PORT_MANAGEMENT);
    ASSERT_GE(m, 0);
    ASSERT_EQ(send(m, "update_firmware \n", 17, MSG_NOSIGNAL), 17);
    ASSERT_TRUE(sim_wait_event(&sim, "update_firmware", 1, 2000));
    close(m);
    int fd = tcp_to("127.0.0.2", WIRE_PORT_FIRMWARE);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, header, sizeof header, MSG_NOSIGNAL), 20);
    size_t off = 0;
    while (off < image.size()) {
        size_t piece = std::min<size_t>(131072, image.size() - off);
        ASSERT_EQ(send(fd, image.data() + off, piece, MSG_NOSIGNAL), (ssize_t)piece);
        off += piece;
    }
    ASSERT_TRUE(sim_wait_event(&sim, "firmware", 1, 3000));
    close(fd);
    auto fw = sim_events(&sim, "firmware");
    EXPECT_EQ(json_int(fw[0], "size"), 300000);
    EXPECT_EQ(json_int(fw[0], "md5_ok"), 1);

    // Restarting: silent, then back with the new build.
    Udp u;
    EXPECT_EQ(discover(u, "127.0.0.2", 200).build, 0u) << "no answer while restarting";
    ASSERT_TRUE(sim_wait_event(&sim, "restarted", 1, 3000));
    EXPECT_EQ(discover(u, "127.0.0.2", 1000).build, 250101000000ull);
}

}  // namespace
