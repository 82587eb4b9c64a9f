// The simulated dongle's resend contract, driven by a bare client made of the
// project's own wire functions: a bitmap with a hole is answered by exactly
// the missing fragment (the link's loss tests rely on it). Everything else
// the simulator does is exercised through the real link in test_link.cpp.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "base/clock.h"
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
    int connect(Udp &u, uint32_t seq, const char *password)
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
            return true;
        });
        return result;
    }
};

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

}  // namespace
