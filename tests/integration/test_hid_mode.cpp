// The HID mode switch against the simulated dongle's management port.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>

#include "base/clock.h"
#include "link/hid_mode.h"
#include "sim_process.h"

namespace {

DeviceAddress ipv4(const char *ip, uint16_t port)
{
    DeviceAddress a{};
    a.in4.sin_family = AF_INET;
    a.in4.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.in4.sin_addr);
    return a;
}

} // namespace

TEST(HidModeSwitch, ChangesTheDonglesModeWithTheUnlockPassword)
{
    SimProcess sim;
    ASSERT_TRUE(sim_start(&sim, {"--bind", "127.0.0.2", "--password", "pass1", "--hid-speed", "0"}));
    // The stream port in the record is replaced by the management port.
    EXPECT_EQ(hidmode_switch(ipv4("127.0.0.2", 36459), 1, "pass1"), 0);
    ASSERT_TRUE(sim_wait_event(&sim, "hid_speed", 1, 3000));
    auto ev = sim_events(&sim, "hid_speed");
    EXPECT_EQ(json_field(ev[0], "password"), "pass1");
    EXPECT_EQ(json_int(ev[0], "speed"), 1);
    EXPECT_EQ(json_int(ev[0], "ok"), 1);

    EXPECT_EQ(hidmode_switch(ipv4("127.0.0.2", 36459), 0, "pass1"), 0);
    ASSERT_TRUE(sim_wait_event(&sim, "hid_speed", 2, 3000));
    EXPECT_EQ(json_int(sim_events(&sim, "hid_speed")[1], "speed"), 0);
    EXPECT_EQ(sim_stop(&sim), 0);
}

TEST(HidModeSwitch, NoConnectionOrNoIpv4SendsNothingAndFails)
{
    // Nothing listens on this loopback address: refused at once.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(hidmode_switch(ipv4("127.0.0.9", 36459), 1, ""), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));

    DeviceAddress v6{};
    v6.in6.sin6_family = AF_INET6;
    v6.in6.sin6_addr = in6addr_loopback;
    EXPECT_EQ(hidmode_switch(v6, 1, ""), -1);
    EXPECT_EQ(hidmode_switch(ipv4("127.0.0.2", 36459), 2, ""), -1) << "only modes 0 and 1 exist";
    EXPECT_EQ(hidmode_switch(ipv4("127.0.0.2", 36459), 1, "seventeen-chars!!"), -1);
}
