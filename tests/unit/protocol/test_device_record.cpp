// Discovery answers into DeviceRecords, and the device listener list.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "protocol/device_record.h"

namespace {

// The answer is handed over in a heap block of exactly its length with no zero
// byte after it, so the address sanitizer reports any read past its end.
struct ExactText {
    explicit ExactText(const std::string &s) : n(s.size()), p(new char[s.size() ? s.size() : 1])
    {
        std::memcpy(p.get(), s.data(), s.size());
    }
    size_t n;
    std::unique_ptr<char[]> p;
};

sockaddr_in ipv4_source(const char *addr, uint16_t port)
{
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, addr, &sa.sin_addr);
    return sa;
}

DeviceRecord parse(const std::string &text)
{
    sockaddr_in src = ipv4_source("192.168.1.50", 32469);
    ExactText t(text);
    DeviceRecord rec;
    std::memset(&rec, 0xAB, sizeof rec); // the parser must not rely on a clean record
    device_parse_answer(&src, sizeof src, t.p.get(), t.n, &rec);
    return rec;
}

bool all_zero(const void *p, size_t n)
{
    const uint8_t *b = static_cast<const uint8_t *>(p);
    for (size_t i = 0; i < n; i++)
        if (b[i])
            return false;
    return true;
}

} // namespace

TEST(DeviceRecordLayout, FixedSizesAndOrder)
{
    EXPECT_EQ(sizeof(DeviceAddress), 28u);
    EXPECT_EQ(offsetof(DeviceRecord, address), 0u);
    EXPECT_EQ(offsetof(DeviceRecord, id), 28u);
    EXPECT_EQ(offsetof(DeviceRecord, name), 28u + 512u);
    EXPECT_LT(offsetof(DeviceRecord, apip), offsetof(DeviceRecord, build));
    EXPECT_LT(offsetof(DeviceRecord, location), offsetof(DeviceRecord, secured));
    EXPECT_LT(offsetof(DeviceRecord, hid_speed), offsetof(DeviceRecord, version));
    EXPECT_LT(offsetof(DeviceRecord, version), offsetof(DeviceRecord, last_seen_ms));
    EXPECT_EQ(DEVICE_DEFAULT_BUILD, 230302190449ull);
    EXPECT_EQ(DEVICE_STREAM_PORT, 36459);
}

TEST(DiscoveryAnswer, FullAnswer)
{
    DeviceRecord r = parse("id=\"A1\" mds=\"Desk\" model=\"KV-2\" ip=\"192.168.1.50\" "
                           "apip=\"10.10.10.1\" build=\"240117093015\" version=\"2.1.3.4\" "
                           "secured=\"0\" bridged=\"1\" hid_speed=\"2\"");
    EXPECT_STREQ(r.id, "A1");
    EXPECT_STREQ(r.name, "Desk");
    EXPECT_STREQ(r.model, "KV-2");
    EXPECT_STREQ(r.ip, "192.168.1.50");
    EXPECT_STREQ(r.apip, "10.10.10.1");
    EXPECT_EQ(r.build, 240117093015ull);
    EXPECT_EQ(r.version[0], 2);
    EXPECT_EQ(r.version[1], 1);
    EXPECT_EQ(r.version[2], 3);
    EXPECT_EQ(r.version[3], 4);
    EXPECT_EQ(r.secured, 0);
    EXPECT_EQ(r.bridged, 1);
    EXPECT_EQ(r.hid_speed, 2);
    // Fields the parser does not fill stay zero.
    EXPECT_EQ(r.label[0], '\0');
    EXPECT_EQ(r.location[0], '\0');
    EXPECT_EQ(r.current, 0u);
    EXPECT_EQ(r.usb, 0u);
    EXPECT_EQ(r.hid_only, 0u);
    EXPECT_EQ(r.last_seen_ms, 0u);
    // Text fields are zero-filled behind their text.
    EXPECT_TRUE(all_zero(r.id + 2, sizeof r.id - 2));
    EXPECT_TRUE(all_zero(r.name + 4, sizeof r.name - 4));
}

TEST(DiscoveryAnswer, KeysMatchWholeAndCaseSensitive)
{
    DeviceRecord r = parse("mod=\"X\" models=\"Y\" ID=\"Z\" Mds=\"W\"");
    EXPECT_EQ(r.model[0], '\0');
    EXPECT_EQ(r.id[0], '\0');
    EXPECT_EQ(r.name[0], '\0');

    r = parse("mod=\"X\" model=\"KV\" models=\"Y\"");
    EXPECT_STREQ(r.model, "KV");
}

TEST(DiscoveryAnswer, KeyIsEverythingFromThePosition)
{
    // After an item the position moves over white space only; stray text
    // becomes part of the next key, which then matches nothing.
    DeviceRecord r = parse("id=\"A1\" junk mds=\"Desk\" model=\"M\"");
    EXPECT_STREQ(r.id, "A1");
    EXPECT_EQ(r.name[0], '\0');
    EXPECT_STREQ(r.model, "M");
}

TEST(DiscoveryAnswer, LaterItemOverwritesEarlier)
{
    DeviceRecord r = parse("id=\"A1\" id=\"B2\"");
    EXPECT_STREQ(r.id, "B2");
}

TEST(DiscoveryAnswer, VersionNumbers)
{
    struct Case {
        const char *answer;
        uint8_t v[4];
    } const cases[] = {
        {"version=\"3\"", {3, 0, 0, 0}},
        {"version=\"1.22\"", {1, 22, 0, 0}},
        {"version=\"10.20.30.40.50\"", {10, 20, 30, 40}},
        // Each number keeps its low 8 bits: 300 = 0x12C, 65537 = 0x10001.
        {"version=\"300.65537\"", {0x2C, 0x01, 0, 0}},
        // Overlong digit runs still keep the low 8 bits of the number written:
        // 10^20 + 7 = ...07 mod 256 -> (10^20 mod 256 = 0) + 7.
        {"version=\"100000000000000000007\"", {7, 0, 0, 0}},
        // The next dot is searched from the second character after the
        // previous one: in "2..3" the second dot is skipped, so the 3 is never read.
        {"version=\"2..3\"", {2, 0, 0, 0}},
        // The first search starts at the value's second character: a leading
        // dot is not a separator.
        {"version=\".5.6\"", {0, 6, 0, 0}},
        // A dot as the last character: the search stays inside the value.
        {"version=\"4.\"", {4, 0, 0, 0}},
        {"version=\"4.5.\" id=\"9.9.9\"", {4, 5, 0, 0}},
        {"version=\"\"", {0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.answer);
        DeviceRecord r = parse(c.answer);
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(r.version[i], c.v[i]) << i;
    }
}

TEST(DiscoveryAnswer, MissingClosingQuoteEndsParsing)
{
    DeviceRecord r = parse("id=\"A1\" mds=\"Desk\" model=\"KV");
    EXPECT_STREQ(r.id, "A1");
    EXPECT_STREQ(r.name, "Desk");
    EXPECT_EQ(r.model[0], '\0');

    // No `="` at all after the last item.
    r = parse("id=\"A1\" mds=Desk model=\"KV\"");
    EXPECT_STREQ(r.id, "A1");
    // The key of the next item runs from "mds=Desk " to the next `="`.
    EXPECT_EQ(r.name[0], '\0');
    EXPECT_EQ(r.model[0], '\0');
}

TEST(DiscoveryAnswer, BuildDefaults)
{
    EXPECT_EQ(parse("id=\"A1\"").build, 230302190449ull);
    EXPECT_EQ(parse("id=\"A1\" build=\"0\"").build, 230302190449ull);
    EXPECT_EQ(parse("build=\"\"").build, 230302190449ull);
    EXPECT_EQ(parse("").build, 230302190449ull);
    EXPECT_EQ(parse("build=\"1\"").build, 1u);
}

TEST(DiscoveryAnswer, NumbersStopAtFirstNonDigitAndSaturate)
{
    EXPECT_EQ(parse("build=\"12ab\"").build, 12u);
    EXPECT_EQ(parse("build=\" 42\"").build, 42u);
    EXPECT_EQ(parse("build=\"18446744073709551615\"").build, 18446744073709551615ull);
    EXPECT_EQ(parse("build=\"18446744073709551616\"").build, 18446744073709551615ull);
    EXPECT_EQ(parse("build=\"99999999999999999999999999\"").build, 18446744073709551615ull);
    // A negative build number reads as 0 and so gets the default.
    EXPECT_EQ(parse("build=\"-5\"").build, 230302190449ull);

    EXPECT_EQ(parse("secured=\"1\"").secured, 1);
    EXPECT_EQ(parse("secured=\"-1\"").secured, -1);
    EXPECT_EQ(parse("secured=\"abc\"").secured, 0);
    EXPECT_EQ(parse("secured=\"+7x\"").secured, 7);
    EXPECT_EQ(parse("bridged=\"2147483647\"").bridged, 2147483647);
    EXPECT_EQ(parse("bridged=\"2147483648\"").bridged, 2147483647);
    EXPECT_EQ(parse("bridged=\"-2147483648\"").bridged, -2147483647 - 1);
    EXPECT_EQ(parse("hid_speed=\"-99999999999999999999999\"").hid_speed, -2147483647 - 1);
    EXPECT_EQ(parse("hid_speed=\"99999999999999999999999\"").hid_speed, 2147483647);
}

TEST(DiscoveryAnswer, LongKeyAndValueAreCut)
{
    std::string long_key(70, 'k');
    std::string long_value(200, 'v');
    DeviceRecord r = parse(long_key + "=\"" + long_value + "\" id=\"" + long_value + "\" mds=\"" +
                           long_value + "\" model=\"" + long_value + "\"");
    // id has room for 511 characters but values are cut to 127 first.
    EXPECT_EQ(std::strlen(r.id), 127u);
    EXPECT_EQ(std::string(r.id), std::string(127, 'v'));
    EXPECT_EQ(std::strlen(r.name), 127u);
    EXPECT_EQ(std::strlen(r.model), 63u);

    // A key cut to 63 characters is compared whole: "id" followed by 68 more
    // characters is not "id".
    r = parse("id" + std::string(68, 'x') + "=\"A1\"");
    EXPECT_EQ(r.id[0], '\0');
}

TEST(DiscoveryAnswer, AllFourWhiteSpaceKindsBetweenItems)
{
    DeviceRecord r = parse("id=\"A1\" \t\r\nmds=\"Desk\"\r\n\tmodel=\"M\"\n\n\n ip=\"1.2.3.4\"\t");
    EXPECT_STREQ(r.id, "A1");
    EXPECT_STREQ(r.name, "Desk");
    EXPECT_STREQ(r.model, "M");
    EXPECT_STREQ(r.ip, "1.2.3.4");

    // No separator at all is fine too.
    r = parse("id=\"A1\"mds=\"Desk\"");
    EXPECT_STREQ(r.name, "Desk");
}

TEST(DiscoveryAnswer, AddressFromIpv4Source)
{
    sockaddr_in src = ipv4_source("192.168.1.50", 32469);
    ExactText t("id=\"A1\"");
    DeviceRecord r;
    device_parse_answer(&src, sizeof src, t.p.get(), t.n, &r);

    // Family AF_INET (2, host order), port 36459 = 0x8E6B in network order,
    // address C0 A8 01 32, the rest zero.
    const uint8_t *b = r.address.bytes;
    sa_family_t fam;
    std::memcpy(&fam, b, sizeof fam);
    EXPECT_EQ(fam, AF_INET);
    EXPECT_EQ(b[2], 0x8E);
    EXPECT_EQ(b[3], 0x6B);
    EXPECT_EQ(b[4], 0xC0);
    EXPECT_EQ(b[5], 0xA8);
    EXPECT_EQ(b[6], 0x01);
    EXPECT_EQ(b[7], 0x32);
    EXPECT_TRUE(all_zero(b + 8, 20));
}

TEST(DiscoveryAnswer, AddressFromIpv6Source)
{
    sockaddr_in6 src;
    std::memset(&src, 0, sizeof src);
    src.sin6_family = AF_INET6;
    src.sin6_port = htons(32469);
    src.sin6_flowinfo = htonl(0x12345);
    src.sin6_scope_id = 3;
    inet_pton(AF_INET6, "fe80::1234:5678", &src.sin6_addr);

    ExactText t("id=\"B7\" version=\"2.0.0.1\"");
    DeviceRecord r;
    device_parse_answer(&src, sizeof src, t.p.get(), t.n, &r);
    EXPECT_EQ(r.address.in6.sin6_family, AF_INET6);
    EXPECT_EQ(ntohs(r.address.in6.sin6_port), 36459);
    EXPECT_EQ(std::memcmp(&r.address.in6.sin6_addr, &src.sin6_addr, 16), 0);
    EXPECT_EQ(r.address.in6.sin6_scope_id, 3u);
    EXPECT_EQ(r.address.in6.sin6_flowinfo, htonl(0x12345));
    EXPECT_STREQ(r.id, "B7");
}

TEST(DiscoveryAnswer, NoSourceGivesZeroAddress)
{
    ExactText t("id=\"A1\"");
    DeviceRecord r;
    device_parse_answer(nullptr, 0, t.p.get(), t.n, &r);
    EXPECT_TRUE(all_zero(&r.address, sizeof r.address));
    EXPECT_STREQ(r.id, "A1");
}

TEST(DiscoveryAnswer, UnterminatedTextEveryPrefix)
{
    // Every cut of a full answer, each in an exact-size block: nothing past the
    // end may be read, and complete items before the cut stay stored.
    const std::string full = "id=\"A1\" mds=\"Desk\" version=\"2.1.3.4\" build=\"230415120000\"";
    const size_t id_end = std::string("id=\"A1\"").size();
    for (size_t n = 0; n <= full.size(); n++) {
        DeviceRecord r = parse(full.substr(0, n));
        if (n >= id_end)
            EXPECT_STREQ(r.id, "A1") << "cut at " << n;
        else
            EXPECT_EQ(r.id[0], '\0') << "cut at " << n;
        if (n < full.size())
            EXPECT_EQ(r.build, 230302190449ull) << "cut at " << n;
        else
            EXPECT_EQ(r.build, 230415120000ull);
    }
}

TEST(DiscoveryAnswer, ZeroBytesInsideTheText)
{
    // The text is bounded by its length, not by a zero byte.
    std::string s("id=\"A\0B\" mds=\"D\"", 16);
    DeviceRecord r = parse(s);
    EXPECT_EQ(r.id[0], 'A');
    EXPECT_EQ(r.id[1], '\0');
    EXPECT_EQ(r.id[2], 'B');
    EXPECT_STREQ(r.name, "D");
}

namespace {
struct Seen {
    int calls = 0;
    DeviceRecord last;
};
void on_device(void *ctx, const DeviceRecord *rec)
{
    auto *s = static_cast<Seen *>(ctx);
    s->calls++;
    s->last = *rec;
}
} // namespace

TEST(DeviceListeners, AnswerReportedToEveryListener)
{
    DeviceListenerList list;
    Seen a, b;
    EXPECT_EQ(listeners_register(&list, &a, on_device), 1);
    EXPECT_EQ(listeners_register(&list, &b, on_device), 1);
    EXPECT_EQ(listeners_register(&list, &a, on_device), 0);

    sockaddr_in src = ipv4_source("10.0.0.9", 32469);
    ExactText t("id=\"A1\" mds=\"Desk\"");
    device_handle_answer(&list, &src, sizeof src, t.p.get(), t.n);
    device_handle_answer(&list, &src, sizeof src, t.p.get(), t.n);
    EXPECT_EQ(a.calls, 2);
    EXPECT_EQ(b.calls, 2);
    EXPECT_STREQ(a.last.name, "Desk");
    EXPECT_EQ(ntohs(a.last.address.in4.sin_port), 36459);
    EXPECT_EQ(a.last.build, 230302190449ull);
}
