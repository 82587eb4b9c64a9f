// Discovery answers into DeviceRecords, and the device listener list. Every
// answer is handed over in a heap block of exactly its length with no zero
// byte after it (fuzz_discovery_answer covers the rest).
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/device_record.h"
#include "support/bytes.h"

namespace {

sockaddr_in ipv4_source(const char *addr, uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, addr, &sa.sin_addr);
    return sa;
}

DeviceRecord parse(const std::string &text, const void *src = nullptr, socklen_t src_len = 0)
{
    sockaddr_in v4 = ipv4_source("192.168.1.50", 32469);
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
    EXPECT_EQ(r.build, 240117093015ull);
    EXPECT_EQ(hex(r.version, 4), "02010304");
    EXPECT_EQ(r.secured * 100 + r.bridged * 10 + r.hid_speed, 12);
    // Fields the parser does not fill stay zero; texts are zero-filled.
    EXPECT_EQ(r.label[0] + r.location[0] + r.current + r.usb + r.hid_only + r.last_seen_ms, 0u);
    EXPECT_EQ(Bytes(r.name + 4, r.name + sizeof r.name), Bytes(sizeof r.name - 4, 0));
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
        {"mod=\"X\" model=\"KV\" models=\"Y\"", "", "", "KV"},
        {"id=\"A1\" junk mds=\"Desk\" model=\"M\"", "A1", "", "M"}, // stray text joins the next key
        {"id=\"A1\" id=\"B2\"", "B2", "", ""},                      // later overwrites earlier
        {"id=\"A1\" mds=\"Desk\" model=\"KV", "A1", "Desk", ""},     // missing closing quote ends parsing
        {"id=\"A1\" mds=Desk model=\"KV\"", "A1", "", ""},
        {"id=\"A1\" mds=\"Desk\" version=\"2.1", "A1", "Desk", ""},  // cut answer keeps complete items
    };
    for (const Row &w : rows) {
        DeviceRecord r = parse(w.answer);
        EXPECT_EQ(std::string(r.id) + "|" + r.name + "|" + r.model, std::string(w.id) + "|" + w.name + "|" + w.model)
            << w.answer;
    }
    // Values are cut to 127 characters (model to 63); a key cut to 63 is compared whole.
    const std::string v(200, 'v');
    DeviceRecord r = parse(std::string(70, 'k') + "=\"" + v + "\" id=\"" + v + "\" model=\"" + v + "\"");
    EXPECT_EQ(std::string(r.id), std::string(127, 'v'));
    EXPECT_EQ(std::strlen(r.model), 63u);
    EXPECT_EQ(parse("id" + std::string(68, 'x') + "=\"A1\"").id[0], '\0');
    // The text is bounded by its length, not by a zero byte.
    r = parse(std::string("id=\"A\0B\" mds=\"D\"", 16));
    EXPECT_EQ(std::string(r.id, 3), std::string("A\0B", 3));
    EXPECT_STREQ(r.name, "D");
}

TEST(DiscoveryAnswer, Numbers)
{
    const std::pair<const char *, const char *> versions[] = {
        {"3", "03000000"}, {"1.22", "01160000"}, {"10.20.30.40.50", "0a141e28"},
        {"300.65537", "2c010000"},            // each number keeps its low 8 bits
        {"100000000000000000007", "07000000"}, // 10^20 + 7 mod 256
        {"2..3", "02000000"},                  // the next dot is searched from the second character on
        {".5.6", "00060000"}, {"4.", "04000000"}, {"", "00000000"}};
    for (auto [text, want] : versions)
        EXPECT_EQ(hex(parse(std::string("version=\"") + text + "\"").version, 4), want) << text;

    const uint64_t def = DEVICE_DEFAULT_BUILD, max = UINT64_MAX;
    const std::pair<const char *, uint64_t> builds[] = {
        {"", def}, {"build=\"0\"", def}, {"build=\"-5\"", def}, {"build=\"1\"", 1}, {"build=\"12ab\"", 12},
        {"build=\" 42\"", 42}, {"build=\"18446744073709551615\"", max}, {"build=\"99999999999999999999999\"", max}};
    for (auto [text, want] : builds)
        EXPECT_EQ(parse(text).build, want) << text;
    const std::pair<const char *, int> ints[] = {
        {"secured=\"-1\"", -1}, {"secured=\"abc\"", 0}, {"secured=\"+7x\"", 7},
        {"secured=\"2147483648\"", INT32_MAX}, {"secured=\"-99999999999999999999999\"", INT32_MIN}};
    for (auto [text, want] : ints)
        EXPECT_EQ(parse(text).secured, want) << text;
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
    EXPECT_EQ(r.address.in6.sin6_family, AF_INET6);
    EXPECT_EQ(ntohs(r.address.in6.sin6_port), DEVICE_STREAM_PORT);
    EXPECT_EQ(std::memcmp(&r.address.in6.sin6_addr, &src.sin6_addr, 16), 0);
    EXPECT_EQ(r.address.in6.sin6_scope_id, 3u);
    EXPECT_EQ(r.address.in6.sin6_flowinfo, htonl(0x12345));

    Exact t(unhex("69643d224131 22")); // id="A1"
    device_parse_answer(nullptr, 0, (const char *)t.p, t.n, &r);
    EXPECT_EQ(Bytes(r.address.bytes, r.address.bytes + sizeof r.address), Bytes(sizeof r.address, 0));
    EXPECT_STREQ(r.id, "A1");
}
