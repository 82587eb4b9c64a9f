// Discovery texts: the probe the viewer sends and the answer the simulated
// dongle sends back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "protocol/wire.h"

namespace {

std::string probe(int port, int64_t t, int tz)
{
    char buf[64];
    int n = wire_build_probe(buf, sizeof buf, port, t, tz);
    EXPECT_GT(n, 0);
    return n > 0 ? std::string(buf, (size_t)n) : std::string();
}

} // namespace

TEST(WireProbe, TextForTimeAndZone)
{
    EXPECT_EQ(probe(36549, 1700000000123LL, 20), "mdc[36549]=1700000000123|20");
    EXPECT_EQ(probe(36549, 0, 12), "mdc[36549]=0|12");
    EXPECT_EQ(probe(36549, 1678000000000LL, 7), "mdc[36549]=1678000000000|7");
    EXPECT_EQ(probe(36549, 5, -2), "mdc[36549]=5|-2");
}

TEST(WireProbe, LengthExcludesTerminatorAndCapacityIsChecked)
{
    // "mdc[36549]=1700000000123|20" is 27 characters; the datagram is exactly those.
    char buf[28];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(wire_build_probe(buf, 28, 36549, 1700000000123LL, 20), 27);
    EXPECT_EQ(buf[27], '\0');
    EXPECT_EQ(wire_build_probe(buf, 27, 36549, 1700000000123LL, 20), -1);
    EXPECT_EQ(wire_build_probe(buf, 0, 36549, 1, 12), -1);
}

TEST(WireProbe, ZoneFieldFromOffset)
{
    EXPECT_EQ(wire_tz_field_from_gmtoff(8 * 3600), 20);
    EXPECT_EQ(wire_tz_field_from_gmtoff(0), 12);
    EXPECT_EQ(wire_tz_field_from_gmtoff(-5 * 3600), 7);
    EXPECT_EQ(wire_tz_field_from_gmtoff(14 * 3600), 26);
    EXPECT_EQ(wire_tz_field_from_gmtoff(-12 * 3600), 0);
    // Half and three-quarter hour zones truncate toward zero.
    EXPECT_EQ(wire_tz_field_from_gmtoff(5 * 3600 + 1800), 17);  // UTC+5:30
    EXPECT_EQ(wire_tz_field_from_gmtoff(-(3 * 3600 + 1800)), 9); // UTC-3:30
    EXPECT_EQ(wire_tz_field_from_gmtoff(12 * 3600 + 2700), 24); // UTC+12:45
    EXPECT_EQ(wire_tz_field_from_gmtoff(-(9 * 3600 + 1800)), 3); // UTC-9:30
    EXPECT_EQ(wire_tz_field_from_gmtoff(1800), 12);             // UTC+0:30
    EXPECT_EQ(wire_tz_field_from_gmtoff(-1800), 12);            // UTC-0:30
}

TEST(WireProbe, ZoneFieldFollowsLocalZone)
{
    const char *old = std::getenv("TZ");
    std::string saved = old ? old : "";
    struct Case {
        const char *tz;
        int field;
    } cases[] = {{"UTC0", 12}, {"CST-8", 20}, {"EST5", 7}, {"IST-5:30", 17}};
    for (const Case &c : cases) {
        setenv("TZ", c.tz, 1);
        tzset();
        EXPECT_EQ(wire_tz_field(), c.field) << c.tz;
    }
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(WireProbeParse, ReadsProbe)
{
    const char text[] = "mdc[36549]=1700000000123|20";
    int port = 0, tz = 0;
    int64_t t = 0;
    ASSERT_EQ(wire_parse_probe(text, sizeof text - 1, &port, &t, &tz), 0);
    EXPECT_EQ(port, 36549);
    EXPECT_EQ(t, 1700000000123LL);
    EXPECT_EQ(tz, 20);
    // A trailing zero byte is tolerated.
    ASSERT_EQ(wire_parse_probe(text, sizeof text, &port, &t, &tz), 0);
    EXPECT_EQ(tz, 20);
    const char neg[] = "mdc[1]=5|-2";
    ASSERT_EQ(wire_parse_probe(neg, sizeof neg - 1, &port, &t, &tz), 0);
    EXPECT_EQ(port, 1);
    EXPECT_EQ(t, 5);
    EXPECT_EQ(tz, -2);
}

TEST(WireProbeParse, RejectsOtherTexts)
{
    const char *bad[] = {
        "",
        "mdc[36549]=1|",
        "mdc[36549]=|20",
        "mdc[]=1|20",
        "MDC[36549]=1|20",
        "mdc[36549]=1|20x",
        "mdc[36549]=1|20 ",
        "mdc[36549=1|20",
        "mdc[70000]=1|20",
        "mdc[-1]=1|20",
        "mdc[36549]=99999999999999999999|20",
        "mdc[36549]=9223372036854775808|20",
        "mdc[36549]=1|2147483648",
        "mdc[36549]=1|-",
    };
    for (const char *b : bad) {
        int port = -7, tz = -7;
        int64_t t = -7;
        EXPECT_EQ(wire_parse_probe(b, std::strlen(b), &port, &t, &tz), -1) << b;
        EXPECT_EQ(port, -7) << b;
    }
    int port, tz;
    int64_t t;
    const char edge[] = "mdc[36549]=-9223372036854775808|-2147483648";
    ASSERT_EQ(wire_parse_probe(edge, sizeof edge - 1, &port, &t, &tz), 0);
    EXPECT_EQ(t, INT64_MIN);
    EXPECT_EQ(tz, INT32_MIN);
}

TEST(WireProbeParse, TruncatedTextNeverReadPast)
{
    // Every prefix of a probe, given with its exact length, is rejected.
    const std::string full = "mdc[36549]=1700000000123|20";
    for (size_t n = 0; n < full.size(); n++) {
        std::string prefix = full.substr(0, n);
        char *exact = new char[n ? n : 1];
        std::memcpy(exact, prefix.data(), n);
        int port, tz;
        int64_t t;
        int r = wire_parse_probe(exact, n, &port, &t, &tz);
        // "mdc[36549]=1700000000123|2" is itself a valid probe.
        if (n == full.size() - 1)
            EXPECT_EQ(r, 0);
        else
            EXPECT_EQ(r, -1) << prefix;
        delete[] exact;
    }
}

TEST(WireAnswer, LiteralText)
{
    WireAnswerFields f{};
    f.id = "A1";
    f.mds = "Desk";
    f.model = "KV1";
    f.ip = "192.168.1.50";
    f.apip = "10.10.10.1";
    f.build = 230302190449ULL;
    f.version = "2.1.3.4";
    f.secured = 0;
    f.bridged = 1;
    f.hid_speed = 2;
    char buf[512];
    int n = wire_build_answer(buf, sizeof buf, &f);
    const char expected[] = "id=\"A1\" mds=\"Desk\" model=\"KV1\" ip=\"192.168.1.50\" apip=\"10.10.10.1\" "
                            "build=\"230302190449\" version=\"2.1.3.4\" secured=\"0\" bridged=\"1\" "
                            "hid_speed=\"2\"";
    ASSERT_EQ(n, (int)sizeof expected - 1);
    EXPECT_EQ(std::string(buf, (size_t)n), expected);
}

TEST(WireAnswer, NullTextFieldsAreLeftOut)
{
    WireAnswerFields f{};
    f.id = "X";
    f.secured = 1;
    f.hid_speed = -1;
    char buf[256];
    int n = wire_build_answer(buf, sizeof buf, &f);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, (size_t)n), "id=\"X\" build=\"0\" secured=\"1\" bridged=\"0\" hid_speed=\"-1\"");
}

TEST(WireAnswer, RefusesQuotesAndShortBuffers)
{
    WireAnswerFields f{};
    f.id = "bad\"id";
    char buf[256];
    EXPECT_EQ(wire_build_answer(buf, sizeof buf, &f), -1);
    f.id = "A1";
    int full = wire_build_answer(buf, sizeof buf, &f);
    ASSERT_GT(full, 0);
    for (size_t cap = 0; cap <= (size_t)full; cap++)
        EXPECT_EQ(wire_build_answer(buf, cap, &f), -1) << cap;
    EXPECT_EQ(wire_build_answer(buf, (size_t)full + 1, &f), full);
}
