// The connection screen's rules: the forward button, row
// labels, the address editor's outcome and the list pop-up's size.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>

#include "link/link.h"
#include "ui/connect_logic.h"
#include "support/bytes.h"

namespace {

DeviceRecord network_record(const char *name, const char *ip)
{
    DeviceRecord r{};
    std::strncpy(r.name, name, sizeof r.name - 1);
    r.address.in4.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &r.address.in4.sin_addr);
    r.address.in4.sin_port = htons(36459);
    return r;
}

} // namespace

TEST(ConnectForwardButton, EveryModeAndState)
{
    // mode, a target picked, that target the current one, link state -> action.
    const struct {
        int mode;
        bool picked, current;
        int state, action;
    } rows[] = {
        {2, true, true, LINK_STATE_NO_VIDEO, FORWARD_SERVER_LIST}, // the no-video panel's button goes back
        {2, false, false, LINK_STATE_NONE, FORWARD_SERVER_LIST},
        {3, true, false, LINK_STATE_PASSWORD, FORWARD_NOTHING}, // unlock panel: only a password is sent
        {3, false, false, LINK_STATE_PASSWORD, FORWARD_UNLOCK},
        {0, true, false, LINK_STATE_NONE, FORWARD_CONNECT},
        {1, true, false, LINK_STATE_PASSWORD, FORWARD_CONNECT},
        {0, true, false, LINK_STATE_REFUSED, FORWARD_CONNECT},
        {1, true, true, LINK_STATE_PASSWORD, FORWARD_SHOW_UNLOCK},
        {0, true, true, LINK_STATE_NO_VIDEO, FORWARD_SHOW_NO_VIDEO},
        {1, true, true, LINK_STATE_STREAMING, FORWARD_NOTHING},
    };
    for (const auto &r : rows)
        EXPECT_EQ(connect_forward_click(r.mode, r.picked, r.current, r.state), r.action)
            << r.mode << r.picked << r.current << " state " << r.state;
}

TEST(ConnectLabel, NetworkAndUsbFormats)
{
    char out[128];
    DeviceRecord net = network_record("Desk", "192.168.1.20");
    EXPECT_EQ(connect_label(net, out, sizeof out), std::strlen("Desk (192.168.1.20)"));
    EXPECT_STREQ(out, "Desk (192.168.1.20)");

    DeviceRecord v6{};
    std::strcpy(v6.name, "Lab");
    v6.address.in6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "fe80::1", &v6.address.in6.sin6_addr);
    connect_label(v6, out, sizeof out);
    EXPECT_STREQ(out, "Lab (fe80::1)");

    DeviceRecord usb{};
    usb.usb = 1;
    std::strcpy(usb.name, "KAVRI Viewer");
    std::strcpy(usb.label, "Front port");
    connect_label(usb, out, sizeof out);
    EXPECT_STREQ(out, "KAVRI Viewer (USB Front port)");
}

TEST(ConnectLabel, DeviceTextIsCopiedNotFormattedAndCut)
{
    char out[32];
    DeviceRecord r = network_record("%s%n%x", "10.0.0.1");
    connect_label(r, out, sizeof out);
    EXPECT_STREQ(out, "%s%n%x (10.0.0.1)");

    // A name filling its whole field (no terminator) is read only to its end.
    std::memset(r.name, 'A', sizeof r.name);
    EXPECT_EQ(connect_label(r, out, sizeof out), sizeof out - 1);
    EXPECT_EQ(out[sizeof out - 1], 0);
    EXPECT_EQ(std::string(out), std::string(31, 'A'));

    char one[1] = {'x'};
    EXPECT_EQ(connect_label(r, one, 1), 0u);
    EXPECT_EQ(one[0], 0);
}

TEST(ConnectAddressEditor, NonZeroIpv4BecomesAFixedRecordTheRestNothing)
{
    DeviceRecord r;
    std::memset(&r, 0x5A, sizeof r);
    ASSERT_EQ(connect_address_record("127.0.0.2", &r), 0);
    // Literal: family AF_INET, port 36459 = 0x8E6B big-endian, address 7F 00 00 02.
    EXPECT_EQ(r.address.sa.sa_family, AF_INET);
    EXPECT_EQ(hex(r.address.bytes + 2, 6), "8e6b7f000002");
    EXPECT_STREQ(r.id, "fixed_ip");
    EXPECT_STREQ(r.name, "127.0.0.2");
    EXPECT_EQ(r.build + r.usb + r.current + r.version[0] + r.label[0], 0u); // everything else is zero
    EXPECT_EQ(r.id[sizeof "fixed_ip"], 0);
    ASSERT_EQ(connect_address_record("127.1", &r), 0); // short numeric forms are addresses too
    EXPECT_EQ(ntohl(r.address.in4.sin_addr.s_addr), 0x7F000001u);
    DeviceRecord z{};
    for (const char *bad : {"0.0.0.0", "0", "::1", "", "1.2.3.4.5", "12-34", (const char *)nullptr})
        EXPECT_EQ(connect_address_record(bad, &z), -1) << (bad ? bad : "(null)");
    EXPECT_EQ(z.id[0], 0) << "a refused address leaves the record alone";
}


