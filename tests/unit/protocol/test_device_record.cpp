// Discovery answers into DeviceRecords. Every
// answer is handed over in a heap block of exactly its length with no zero
// byte after it (fuzz_discovery_answer covers the rest).
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/device_record.h"
#include "support/bytes.h"

namespace {

// The answer as from 192.168.1.50:32469 unless another source is given.
DeviceRecord parse(const std::string &text, const void *src = nullptr, socklen_t src_len = 0)
{
    sockaddr_in v4{};
    v4.sin_family = AF_INET, v4.sin_port = htons(32469);
    inet_pton(AF_INET, "192.168.1.50", &v4.sin_addr);
    Exact t(Bytes(text.begin(), text.end()));
    DeviceRecord rec;
    std::memset(&rec, 0xAB, sizeof rec); // the parser must not rely on a clean record
    device_parse_answer(src ? src : &v4, src ? src_len : sizeof v4, (const char *)t.p, t.n, &rec);
    return rec;
}

} // namespace

TEST(DiscoveryAnswer, FullAnswerAndIpv4Address)
{
    DeviceRecord r = parse("id=\"A1\" mds=\"Desk\" model=\"KV-2\" ip=\"192.168.1.50\" \t\r\n"
                           "apip=\"10.10.10.1\" build=\"240117093015\" version=\"2.1.3.4\"\n"
                           "secured=\"0\"bridged=\"1\" hid_speed=\"2\"");
    EXPECT_EQ(std::string(r.id) + "|" + r.name + "|" + r.model + "|" + r.ip + "|" + r.apip,
              "A1|Desk|KV-2|192.168.1.50|10.10.10.1");
    EXPECT_EQ(hex(r.version, 4) + " " + std::to_string(r.build), "02010304 240117093015");
    EXPECT_EQ(r.secured * 100 + r.bridged * 10 + r.hid_speed, 12);
    // Fields the parser does not fill stay zero.
    EXPECT_EQ(r.label[0] + r.location[0] + r.current + r.usb + r.hid_only + r.last_seen_ms, 0u);
    // Family AF_INET (host order), port 36459 in network order, C0 A8 01 32, the rest zero.
    sa_family_t fam;
    std::memcpy(&fam, r.address.bytes, sizeof fam);
    EXPECT_EQ(fam, AF_INET);
    EXPECT_EQ(hex(r.address.bytes + 2, 26), "8e6bc0a80132" + std::string(40, '0'));
}

TEST(DiscoveryAnswer, ItemRules)
{
    struct Row {
        const char *answer, *id, *name, *model;
    } const rows[] = {
        {"mod=\"X\" models=\"Y\" ID=\"Z\" Mds=\"W\"", "", "", ""}, // keys whole and case-sensitive
        {"id=\"A1\" junk mds=\"Desk\" model=\"M\"", "A1", "", "M"}, // stray text joins the next key
        {"id=\"A1\" id=\"B2\"", "B2", "", ""},                      // later overwrites earlier
        {"id=\"A1\" mds=\"Desk\" model=\"KV", "A1", "Desk", ""},     // missing closing quote ends parsing
        {"id=\"A1\" mds=\"Desk\" version=\"2.1", "A1", "Desk", ""},  // cut answer keeps complete items
    };
    for (const Row &w : rows) {
        DeviceRecord r = parse(w.answer);
        EXPECT_EQ(std::string(r.id) + "|" + r.name + "|" + r.model, std::string(w.id) + "|" + w.name + "|" + w.model)
            << w.answer;
    }
    // Values are cut to 127 characters; a key cut to 63 is compared whole.
    DeviceRecord r = parse("id=\"" + std::string(200, 'v') + "\"");
    EXPECT_EQ(std::string(r.id), std::string(127, 'v'));
    EXPECT_EQ(parse("id" + std::string(68, 'x') + "=\"A1\"").id[0], '\0');
    // The text is bounded by its length, not by a zero byte.
    r = parse(std::string("id=\"A\0B\" mds=\"D\"", 16));
    EXPECT_EQ(std::string(r.id, 3), std::string("A\0B", 3));
    EXPECT_STREQ(r.name, "D");
}

TEST(DiscoveryAnswer, Numbers)
{
    // Version numbers keep their low 8 bits; the next dot is searched from
    // the second character on. Builds and integers saturate; a build that is
    // not positive is the default.
    const std::string def = std::to_string(DEVICE_DEFAULT_BUILD);
    const std::pair<const char *, std::string> rows[] = {
        {"version=\"10.20.30.40.50\" build=\"0\" secured=\"abc\"", "0a141e28 " + def + " 0"},
        {"version=\"300.65537\" build=\"12ab\" secured=\"2147483648\"", "2c010000 12 2147483647"},
        {"version=\"2..3\" build=\"-5\" secured=\"-1\"", "02000000 " + def + " -1"},
        {"version=\"4.\" build=\"99999999999999999999999\"", "04000000 18446744073709551615 0"},
    };
    for (const auto &[text, want] : rows) {
        DeviceRecord r = parse(text);
        EXPECT_EQ(hex(r.version, 4) + " " + std::to_string(r.build) + " " + std::to_string(r.secured), want) << text;
    }
}

TEST(DiscoveryAnswer, Ipv6AndNoSource)
{
    sockaddr_in6 src{};
    src.sin6_family = AF_INET6;
    src.sin6_port = htons(32469);
    src.sin6_flowinfo = htonl(0x12345);
    src.sin6_scope_id = 3;
    inet_pton(AF_INET6, "fe80::1234:5678", &src.sin6_addr);
    DeviceRecord r = parse("id=\"B7\"", &src, sizeof src);
    src.sin6_port = htons(DEVICE_STREAM_PORT); // the answer's source port is replaced
    EXPECT_EQ(std::memcmp(&r.address.in6, &src, sizeof src), 0);

    Exact t(unhex("69643d224131 22")); // id="A1"
    device_parse_answer(nullptr, 0, (const char *)t.p, t.n, &r);
    EXPECT_EQ(Bytes(r.address.bytes, r.address.bytes + sizeof r.address), Bytes(sizeof r.address, 0));
    EXPECT_STREQ(r.id, "A1");
}
