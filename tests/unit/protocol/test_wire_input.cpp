// Input records and batches, both protocols, with the inverted resend of
// protocol 2 and the device's record walk. Expected bytes are written out by
// hand.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/wire.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Exact {
    explicit Exact(const Bytes &v) : n(v.size()), p(new uint8_t[v.size() ? v.size() : 1])
    {
        if (n)
            std::memcpy(p, v.data(), n);
    }
    ~Exact() { delete[] p; }
    Exact(const Exact &) = delete;
    Exact &operator=(const Exact &) = delete;
    size_t n;
    uint8_t *p;
};

// Keyboard report: 0x01, modifiers, reserved, six key codes ('a' = 0x04).
const Bytes kKeyboard = {0x01, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};
// Mouse report: 0x02, buttons, dx, dy, wheel.
const Bytes kMouse = {0x02, 0x01, 0x05, 0xFB, 0x00};

const Bytes kKeyboardRecord = {0x0C, 0x00, 0x08, 0x01, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kMouseRecord = {0x08, 0x00, 0x08, 0x02, 0x01, 0x05, 0xFB, 0x00};

} // namespace

TEST(InputRecord, KeyboardAndMouseLiterals)
{
    uint8_t out[32];
    ASSERT_EQ(input_record_build(out, sizeof out, kKeyboard.data(), kKeyboard.size()), 12);
    EXPECT_EQ(Bytes(out, out + 12), kKeyboardRecord);
    ASSERT_EQ(input_record_build(out, sizeof out, kMouse.data(), kMouse.size()), 8);
    EXPECT_EQ(Bytes(out, out + 8), kMouseRecord);
    EXPECT_EQ(input_record_build(out, 7, kMouse.data(), kMouse.size()), -1);
}

TEST(InputBatch, ProtocolOneHeader)
{
    uint8_t h[8];
    p1_write_batch_header(h, 1, 20);
    EXPECT_EQ(Bytes(h, h + 8), (Bytes{0x80, 0x00, 0x01, 0x00, 0x00, 0x00, 0x14, 0x00}));
    p1_write_batch_header(h, 0x01020304, 0x0102);
    EXPECT_EQ(Bytes(h, h + 8), (Bytes{0x80, 0x00, 0x04, 0x03, 0x02, 0x01, 0x02, 0x01}));
}

TEST(InputBatch, ProtocolTwoHeader)
{
    uint8_t h[16];
    p2_write_batch_header(h, 1, 20);
    EXPECT_EQ(Bytes(h, h + 16), (Bytes{0x52, 0x48, 0x56, 0x4B, 0x02, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,
                                       0x00, 0x00, 0x14, 0x00}));
}

TEST(InputBatch, FirstResendInvertedSecondPlain)
{
    // Batch 1 holding one mouse record.
    const Bytes batch = {0x52, 0x48, 0x56, 0x4B, 0x02, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                         0x08, 0x00, 0x08, 0x00, 0x08, 0x02, 0x01, 0x05, 0xFB, 0x00};
    const Bytes original = batch;
    uint8_t out[64];
    ASSERT_EQ(p2_batch_resend_copy(out, sizeof out, batch.data(), batch.size(), 1), 24);
    EXPECT_EQ(Bytes(out, out + 24), (Bytes{0x52, 0x48, 0x56, 0x4B, 0x02, 0x83, 0x00, 0x00, 0x00, 0x00, 0x01,
                                           0x00, 0x00, 0x00, 0x08, 0x00, 0xF7, 0xFF, 0xF7, 0xFD, 0xFE, 0xFA,
                                           0x04, 0xFF}));
    EXPECT_EQ(batch, original);
    ASSERT_EQ(p2_batch_resend_copy(out, sizeof out, batch.data(), batch.size(), 2), 24);
    EXPECT_EQ(Bytes(out, out + 24), original);
    // The counter wraps from 255 to 0; 255 is odd, 0 even.
    ASSERT_EQ(p2_batch_resend_copy(out, sizeof out, batch.data(), batch.size(), 255), 24);
    EXPECT_EQ(out[5], 0x83);
    ASSERT_EQ(p2_batch_resend_copy(out, sizeof out, batch.data(), batch.size(), 0), 24);
    EXPECT_EQ(out[5], 0x03);
    EXPECT_EQ(p2_batch_resend_copy(out, 23, batch.data(), batch.size(), 1), -1);
    EXPECT_EQ(p2_batch_resend_copy(out, sizeof out, batch.data(), 15, 1), -1);
}

TEST(InputBatch, DeviceReadsInvertedResend)
{
    Exact d(Bytes{0x52, 0x48, 0x56, 0x4B, 0x02, 0x83, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x08, 0x00,
                  0xF7, 0xFF, 0xF7, 0xFD, 0xFE, 0xFA, 0x04, 0xFF});
    size_t pos = 0;
    P2Packet pk;
    ASSERT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_VIEWER, &pk), 1);
    EXPECT_EQ(pk.type, 3);
    EXPECT_EQ(pk.seq, 1u);
    size_t at = 0, n = 0;
    const uint8_t *report = nullptr;
    ASSERT_EQ(input_next_record(pk.payload, pk.length, &at, &report, &n), 1);
    EXPECT_EQ(Bytes(report, report + n), kMouse);
    EXPECT_EQ(input_next_record(pk.payload, pk.length, &at, &report, &n), 0);
}

TEST(InputRecords, WalkTwoRecords)
{
    Bytes v = kKeyboardRecord;
    v.insert(v.end(), kMouseRecord.begin(), kMouseRecord.end());
    Exact d(v);
    size_t at = 0, n = 0;
    const uint8_t *report = nullptr;
    ASSERT_EQ(input_next_record(d.p, d.n, &at, &report, &n), 1);
    EXPECT_EQ(Bytes(report, report + n), kKeyboard);
    ASSERT_EQ(input_next_record(d.p, d.n, &at, &report, &n), 1);
    EXPECT_EQ(Bytes(report, report + n), kMouse);
    EXPECT_EQ(input_next_record(d.p, d.n, &at, &report, &n), 0);
    EXPECT_EQ(input_next_record(d.p, 0, &at, &report, &n), 0);
}

TEST(InputRecords, EmptyReportIsARecord)
{
    Exact d(Bytes{0x03, 0x00, 0x08});
    size_t at = 0, n = 99;
    const uint8_t *report = nullptr;
    ASSERT_EQ(input_next_record(d.p, d.n, &at, &report, &n), 1);
    EXPECT_EQ(n, 0u);
}

TEST(InputRecords, MalformedRecords)
{
    const Bytes bad[] = {
        {0x02, 0x00, 0x08},                         // length below 3
        {0x00, 0x00, 0x08},                         // length 0
        {0x09, 0x00, 0x08, 0x02, 0x01, 0x05, 0xFB, 0x00}, // runs past the payload
        {0x08, 0x00, 0x07, 0x02, 0x01, 0x05, 0xFB, 0x00}, // not an input record
        {0x08},                                     // cut header
        {0x08, 0x00},                               // cut header
    };
    for (const Bytes &b : bad) {
        Exact d(b);
        size_t at = 0, n = 0;
        const uint8_t *report = nullptr;
        EXPECT_EQ(input_next_record(d.p, d.n, &at, &report, &n), -1) << b.size();
        EXPECT_EQ(at, 0u);
    }
    // A good record followed by a cut one: the first is read, then -1.
    Bytes v = kMouseRecord;
    v.push_back(0x05);
    Exact d(v);
    size_t at = 0, n = 0;
    const uint8_t *report = nullptr;
    ASSERT_EQ(input_next_record(d.p, d.n, &at, &report, &n), 1);
    EXPECT_EQ(input_next_record(d.p, d.n, &at, &report, &n), -1);
}
