// Frame assembly: pictures rebuilt from fragments of both protocols, the
// acknowledgement pacing of protocol 2, the digest check, and the fragments
// that must be dropped without touching anything.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <vector>

#include "protocol/frame_assembly.h"
#include "protocol/wire.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Picture bytes that differ per fragment, so a fragment copied to the wrong
// place shows.
Bytes pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t k = 0; k < n; k++)
        b[k] = (uint8_t)(seed * 31 + k * 7 + (k >> 8));
    return b;
}

P2Fragment frag(uint32_t frame, uint16_t count, uint16_t index, bool digest = false)
{
    P2Fragment f;
    f.frame = frame;
    f.count = count;
    f.index = index;
    f.has_digest = digest;
    return f;
}

// The record lives on the heap: it is several kilobytes.
struct Fa {
    Fa() : p(new FrameAssembly) { fa_init(p.get()); }
    ~Fa() { fa_free(p.get()); }
    FrameAssembly *operator->() { return p.get(); }
    FrameAssembly *get() { return p.get(); }
    std::unique_ptr<FrameAssembly> p;
};

struct Added {
    int rc;
    unsigned counter;
};

Added add2(FrameAssembly *fa, const P2Fragment &f, const Bytes &payload, uint64_t now_us, uint32_t interval = 0)
{
    unsigned c = 12345;
    int rc = fa_add_p2(fa, &f, payload.data(), payload.size(), interval, now_us, now_us / 1000, &c);
    return {rc, rc == FA_ACK ? c : 0u};
}

// The block points at payload: keep the vector alive while the block is used.
P1Block block(uint8_t count, uint8_t index, uint32_t frame, const Bytes &payload, const uint8_t *header = nullptr)
{
    P1Block b;
    b.kind = P1_KIND_VIDEO;
    b.count = count;
    b.index = index;
    b.seq = frame;
    b.length = (uint16_t)payload.size();
    b.valid = count >= 1 && index < count && payload.size() <= P1_FRAGMENT_SIZE;
    b.header = header;
    b.payload = payload.data();
    return b;
}

// A copy of the record and its buffer, to show that a dropped fragment
// changed nothing at all.
struct Snapshot {
    explicit Snapshot(FrameAssembly *fa) : bytes(fa->data, fa->data + fa->capacity) { std::memcpy(&rec, fa, sizeof rec); }
    bool same(FrameAssembly *fa) const
    {
        return std::memcmp(&rec, fa, sizeof rec) == 0 && (size_t)fa->capacity == bytes.size() &&
               (bytes.empty() || std::memcmp(bytes.data(), fa->data, bytes.size()) == 0);
    }
    FrameAssembly rec;
    Bytes bytes;
};

bool all_present_p2(FrameAssembly *fa)
{
    for (unsigned i = 0; i < fa->count; i++)
        if (!(fa->received[i / 32] & (1u << (i % 32))))
            return false;
    return true;
}

} // namespace

// ---------------------------------------------------------------------------
// Protocol 2: pictures.

TEST(P2Assembly, OutOfOrderThreeFragmentsCompleteAfterTheThird)
{
    Fa fa;
    fa_reset(fa.get(), 1);
    Bytes p0 = pattern(1200, 0), p1 = pattern(1200, 1), p2 = pattern(517, 2);

    add2(fa.get(), frag(40, 3, 2), p2, 1000000);
    EXPECT_FALSE(fa->complete);
    EXPECT_EQ(fa->length, 2400u + 517u); // known from the last fragment, even first
    EXPECT_LE(fa->length, (uint32_t)fa->capacity);
    add2(fa.get(), frag(40, 3, 0), p0, 1000100);
    EXPECT_FALSE(fa->complete);
    EXPECT_EQ(fa->fragments, 2u);
    add2(fa.get(), frag(40, 3, 1), p1, 1000200);
    ASSERT_TRUE(fa->complete);
    EXPECT_EQ(fa->frame, 40u);
    EXPECT_EQ(fa->fragments, 3u);
    EXPECT_EQ(fa->length, 2917u);
    EXPECT_EQ(fa->completed_ms, 1000u);
    EXPECT_EQ(fa->started_ms, 1000u); // the first fragment began the picture
    EXPECT_EQ(fa->received[0], 0x7u);
    Bytes want = p0;
    want.insert(want.end(), p1.begin(), p1.end());
    want.insert(want.end(), p2.begin(), p2.end());
    EXPECT_EQ(Bytes(fa->data, fa->data + fa->length), want);
    EXPECT_FALSE(fa->digest_checked);
}

TEST(P2Assembly, FromLiteralDatagram)
{
    // "RHVK" 02, type 2, count 1, index 0, frame 9, 6 payload bytes: an IDR
    // slice behind its start code.
    Bytes d = {0x52, 0x48, 0x56, 0x4B, 0x02, 0x02, 0x01, 0x00, 0x00, 0x00, 0x09, 0x00,
               0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x01, 0x65, 0x88};
    size_t pos = 0;
    P2Packet pk;
    P2Fragment f;
    ASSERT_EQ(p2_next_packet(d.data(), d.size(), &pos, WIRE_FROM_DEVICE, &pk), 1);
    ASSERT_EQ(p2_fragment_info(&pk, &f), 0);
    Fa fa;
    unsigned c = 0;
    EXPECT_EQ(fa_add_p2(fa.get(), &f, pk.payload, pk.length, 0, 5000, 5, &c), FA_ACK);
    ASSERT_TRUE(fa->complete);
    EXPECT_EQ(fa->length, 6u);
    EXPECT_EQ(Bytes(fa->data, fa->data + 6), (Bytes{0x00, 0x00, 0x00, 0x01, 0x65, 0x88}));
    EXPECT_TRUE(fa_picture_is_idr(fa.get()));
}

TEST(P2Assembly, OlderFrameIsIgnoredNewerAbandonsTheUnfinished)
{
    Fa fa;
    add2(fa.get(), frag(10, 3, 0), pattern(1200, 0), 100000);
    add2(fa.get(), frag(10, 3, 1), pattern(1200, 1), 100100);

    Snapshot before(fa.get());
    EXPECT_EQ(add2(fa.get(), frag(9, 3, 2), pattern(100, 2), 100200).rc, FA_STALE);
    EXPECT_TRUE(before.same(fa.get()));

    add2(fa.get(), frag(11, 2, 1), pattern(50, 3), 300000);
    EXPECT_EQ(fa->frame, 11u);
    EXPECT_EQ(fa->fragments, 1u);
    EXPECT_EQ(fa->count, 2u);
    EXPECT_EQ(fa->received[0], 0x2u);
    EXPECT_EQ(fa->length, 1250u);
    EXPECT_EQ(fa->started_ms, 300u);
    EXPECT_FALSE(fa->complete);
}

TEST(P2Assembly, BufferGrowsToThePictureAndStaysAllocated)
{
    Fa fa;
    add2(fa.get(), frag(1, 3, 0), pattern(1200, 0), 1000);
    EXPECT_EQ(fa->capacity, 3600);
    uint8_t *data = fa->data;
    add2(fa.get(), frag(2, 1, 0), pattern(10, 0), 2000);
    EXPECT_EQ(fa->capacity, 3600);
    EXPECT_EQ(fa->data, data);
    fa_reset(fa.get(), 7);
    EXPECT_EQ(fa->capacity, 3600);
    EXPECT_EQ(fa->data, data);
    EXPECT_EQ(fa->frame, FA_NO_FRAME);
    EXPECT_EQ(fa->started_ms, 7u);
    EXPECT_EQ(fa->fragments, 0u);
}

TEST(P2Assembly, LargestPictureIsBounded)
{
    Fa fa;
    Bytes last = pattern(1200, 9);
    add2(fa.get(), frag(1, 16384, 16383), last, 1000);
    EXPECT_EQ(fa->capacity, 16384 * 1200);
    EXPECT_EQ(fa->length, 16384u * 1200u);
    EXPECT_EQ(fa->received[511], 0x80000000u);
    EXPECT_EQ(0, std::memcmp(fa->data + 16383 * 1200, last.data(), 1200));
}

TEST(P2Assembly, ShortNonLastFragmentLeavesItsGapAsItWas)
{
    // The device never sends it; the picture is handed on as laid out, and
    // its length still comes from the last fragment alone.
    Fa fa;
    add2(fa.get(), frag(1, 2, 0), Bytes(1200, 0xAA), 1000);
    add2(fa.get(), frag(1, 2, 1), Bytes(1200, 0xBB), 1100);
    add2(fa.get(), frag(2, 2, 0), Bytes(100, 0x11), 2000);
    add2(fa.get(), frag(2, 2, 1), Bytes(20, 0x22), 2100);
    ASSERT_TRUE(fa->complete);
    EXPECT_EQ(fa->length, 1220u);
    EXPECT_EQ(fa->data[99], 0x11);
    EXPECT_EQ(fa->data[100], 0xAA);
    EXPECT_EQ(fa->data[1200], 0x22);
}

// ---------------------------------------------------------------------------
// Protocol 2: acknowledgement pacing and counter.

TEST(P2Ack, DuplicateWithinHalfIntervalIsNotAckedAfterItIs)
{
    Fa fa;
    Bytes p = pattern(1200, 0);
    // Two of 40 fragments: group 0 is far from complete, so only time acks.
    EXPECT_EQ(add2(fa.get(), frag(5, 40, 0), p, 1000000).rc, FA_NO_ACK);
    // The group's first fragment started its clock: 2000 us later a new
    // fragment is acknowledged (I = 4000 us when the interval is smaller).
    Added a = add2(fa.get(), frag(5, 40, 1), p, 1002000);
    EXPECT_EQ(a.rc, FA_ACK);
    EXPECT_EQ(a.counter, 3u); // two fragments stored, one acknowledgement
    EXPECT_EQ(fa->ack_time[0], 1002000u);

    EXPECT_EQ(add2(fa.get(), frag(5, 40, 1), p, 1003999).rc, FA_NO_ACK);
    EXPECT_EQ(add2(fa.get(), frag(5, 40, 0), p, 1003999).rc, FA_NO_ACK);
    EXPECT_EQ(fa->ack_count[0], 3u);
    a = add2(fa.get(), frag(5, 40, 1), p, 1004000);
    EXPECT_EQ(a.rc, FA_ACK);
    EXPECT_EQ(a.counter, 4u);
    EXPECT_EQ(fa->fragments, 2u);
}

TEST(P2Ack, LongerIntervalIsHonoured)
{
    Fa fa;
    Bytes p = pattern(1200, 0);
    add2(fa.get(), frag(5, 40, 0), p, 1000000, 10000);
    EXPECT_EQ(add2(fa.get(), frag(5, 40, 0), p, 1004999, 10000).rc, FA_NO_ACK);
    EXPECT_EQ(add2(fa.get(), frag(5, 40, 0), p, 1005000, 10000).rc, FA_ACK);
}

TEST(P2Ack, CompletingAGroupAcksAtOnce)
{
    Fa fa;
    Bytes p = pattern(1200, 0);
    for (uint16_t i = 0; i < 31; i++)
        ASSERT_EQ(add2(fa.get(), frag(3, 64, i), p, 5000 + i).rc, FA_NO_ACK) << i;
    Added a = add2(fa.get(), frag(3, 64, 31), p, 5031);
    EXPECT_EQ(a.rc, FA_ACK);
    EXPECT_EQ(a.counter, 33u);
    EXPECT_EQ(fa_group_bitmap(fa.get(), 0), 0xFFFFFFFFu);
    EXPECT_EQ(fa_group_bitmap(fa.get(), 1), 0u);
    EXPECT_FALSE(fa->complete);
    // Group 1 (a full 32 when the count is 64) completes on its own.
    for (uint16_t i = 32; i < 63; i++)
        ASSERT_EQ(add2(fa.get(), frag(3, 64, i), p, 5100).rc, FA_NO_ACK) << i;
    EXPECT_EQ(add2(fa.get(), frag(3, 64, 63), p, 5100).rc, FA_ACK);
    EXPECT_TRUE(fa->complete);
    EXPECT_EQ(fa_group_bitmap(fa.get(), 512), 0u);
}

TEST(P2Ack, LastGroupExpectsCountMod32)
{
    Fa fa;
    Bytes p = pattern(1200, 0);
    // 35 fragments: the last group holds 32, 33 and 34 only.
    EXPECT_EQ(add2(fa.get(), frag(3, 35, 34), pattern(30, 1), 9000).rc, FA_NO_ACK);
    EXPECT_EQ(add2(fa.get(), frag(3, 35, 32), p, 9001).rc, FA_NO_ACK);
    Added a = add2(fa.get(), frag(3, 35, 33), p, 9002);
    EXPECT_EQ(a.rc, FA_ACK);
    EXPECT_EQ(a.counter, 4u);
    EXPECT_EQ(fa_group_bitmap(fa.get(), 1), 0x7u);
    EXPECT_FALSE(fa->complete); // group 0 is still empty

    // One fragment: a mask of one bit.
    Fa one;
    a = add2(one.get(), frag(4, 1, 0), pattern(9, 0), 9000);
    EXPECT_EQ(a.rc, FA_ACK);
    EXPECT_EQ(a.counter, 2u);
}

TEST(P2Ack, SecondAckOfOneFragmentGroupIsInvertedLiteralBytes)
{
    // Header of fragment 0 of 1, frame 7, 3 payload bytes.
    const uint8_t header[16] = {0x52, 0x48, 0x56, 0x4B, 0x02, 0x02, 0x01, 0x00,
                                0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x03, 0x00};
    Fa fa;
    Added a = add2(fa.get(), frag(7, 1, 0), Bytes{1, 2, 3}, 10000);
    ASSERT_EQ(a.rc, FA_ACK);
    EXPECT_EQ(a.counter, 2u);
    uint8_t out[20];
    p2_build_fragment_ack(header, 5, fa_group_bitmap(fa.get(), 0), a.counter, out);
    EXPECT_EQ(Bytes(out, out + 20), (Bytes{0x52, 0x48, 0x56, 0x4B, 0x02, 0x02, 0x05, 0x00, 0x00, 0x00, 0x07, 0x00,
                                           0x00, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00}));

    EXPECT_EQ(add2(fa.get(), frag(7, 1, 0), Bytes{1, 2, 3}, 11999).rc, FA_NO_ACK);
    a = add2(fa.get(), frag(7, 1, 0), Bytes{1, 2, 3}, 12000);
    ASSERT_EQ(a.rc, FA_ACK);
    EXPECT_EQ(a.counter, 3u);
    p2_build_fragment_ack(header, 5, fa_group_bitmap(fa.get(), 0), a.counter, out);
    EXPECT_EQ(Bytes(out, out + 20), (Bytes{0x52, 0x48, 0x56, 0x4B, 0x02, 0x82, 0x05, 0x00, 0x00, 0x00, 0x07, 0x00,
                                           0x00, 0x00, 0x04, 0x00, 0xFE, 0xFF, 0xFF, 0xFF}));
}

TEST(P2Ack, NullCounterIsAllowed)
{
    Fa fa;
    P2Fragment f = frag(1, 1, 0);
    uint8_t b = 0x42;
    EXPECT_EQ(fa_add_p2(fa.get(), &f, &b, 1, 0, 100, 0, nullptr), FA_ACK);
}

// ---------------------------------------------------------------------------
// Protocol 2: digest.

TEST(P2Digest, GoodDigestLiteral)
{
    // MD5("abc") = 900150983cd24fb0d6963f7d28e17f72 (RFC 1321).
    Bytes p = {'a', 'b', 'c', 0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
               0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    Fa fa;
    add2(fa.get(), frag(1, 1, 0, true), p, 1000);
    ASSERT_TRUE(fa->complete);
    EXPECT_EQ(fa->length, 3u);
    EXPECT_TRUE(fa->has_digest);
    EXPECT_TRUE(fa->digest_checked);
    EXPECT_TRUE(fa->digest_ok);
    EXPECT_EQ(fa->digest[0], 0x90);
}

TEST(P2Digest, GoodAndBadDigestOverTwoFragments)
{
    Bytes p0 = pattern(1200, 4), tail = pattern(100, 5);
    Bytes whole = p0;
    whole.insert(whole.end(), tail.begin(), tail.end());
    uint8_t sum[16];
    unsigned sum_len = 0;
    ASSERT_EQ(EVP_Digest(whole.data(), whole.size(), sum, &sum_len, EVP_md5(), nullptr), 1);
    ASSERT_EQ(sum_len, 16u);
    Bytes last = tail;
    last.insert(last.end(), sum, sum + 16);

    Fa fa;
    add2(fa.get(), frag(1, 2, 1, true), last, 1000);
    add2(fa.get(), frag(1, 2, 0, true), p0, 1100);
    ASSERT_TRUE(fa->complete);
    EXPECT_EQ(fa->length, 1300u);
    EXPECT_TRUE(fa->digest_checked);
    EXPECT_TRUE(fa->digest_ok);

    last[5] ^= 1; // a picture byte, not the digest
    add2(fa.get(), frag(2, 2, 0, true), p0, 2000);
    add2(fa.get(), frag(2, 2, 1, true), last, 2100);
    ASSERT_TRUE(fa->complete); // still delivered
    EXPECT_EQ(fa->length, 1300u);
    EXPECT_TRUE(fa->digest_checked);
    EXPECT_FALSE(fa->digest_ok);
}

TEST(P2Digest, LastFragmentShorterThanDigestIsTakenWhole)
{
    Fa fa;
    add2(fa.get(), frag(1, 2, 0, true), pattern(1200, 0), 1000);
    add2(fa.get(), frag(1, 2, 1, true), pattern(10, 1), 1100);
    ASSERT_TRUE(fa->complete);
    EXPECT_EQ(fa->length, 1210u);
    EXPECT_FALSE(fa->digest_stored);
    EXPECT_FALSE(fa->digest_checked);

    Fa one;
    add2(one.get(), frag(1, 1, 0, true), Bytes{0, 0, 0, 1, 0x65}, 1000);
    ASSERT_TRUE(one->complete);
    EXPECT_EQ(one->length, 5u);
    EXPECT_TRUE(fa_picture_is_idr(one.get()));

    // Exactly 16 bytes: all digest, no picture bytes in the last fragment.
    Fa exact;
    add2(exact.get(), frag(1, 2, 1, true), pattern(16, 1), 1000);
    EXPECT_EQ(exact->length, 1200u);
    EXPECT_TRUE(exact->digest_stored);
}

// ---------------------------------------------------------------------------
// Protocol 2: fragments that are dropped without touching the record.

TEST(P2Reject, MalformedFragmentsTouchNothing)
{
    Fa fa;
    add2(fa.get(), frag(10, 3, 0), pattern(1200, 0), 1000);
    Snapshot before(fa.get());
    struct Case {
        P2Fragment f;
        size_t len;
    } cases[] = {
        {frag(10, 3, 3), 100},       // index at its count
        {frag(11, 3, 7), 100},       // index beyond, newer frame: no reset either
        {frag(11, 0, 0), 100},       // count 0
        {frag(11, 16385, 0), 100},   // more than the bitmap holds
        {frag(11, 65535, 65534), 1}, //
        {frag(10, 3, 1), 1201},      // payload longer than a fragment
        {frag(11, 1, 0), 1201},      //
        {frag(10, 4, 1), 1200},      // same frame, another count
        {frag(10, 2, 1), 1200},      //
        {frag(10, 3, 1, true), 1200} // same frame, another digest flag
    };
    Bytes big = pattern(1201, 3);
    for (const Case &c : cases) {
        unsigned counter = 77;
        int rc = fa_add_p2(fa.get(), &c.f, big.data(), c.len, 0, 900000, 900, &counter);
        EXPECT_EQ(rc, FA_INVALID) << c.f.frame << " " << c.f.count << " " << c.f.index << " " << c.len;
        EXPECT_EQ(counter, 77u);
        EXPECT_TRUE(before.same(fa.get()));
    }
    // The picture goes on as if nothing had come.
    add2(fa.get(), frag(10, 3, 1), pattern(1200, 1), 2000);
    add2(fa.get(), frag(10, 3, 2), pattern(8, 2), 2100);
    EXPECT_TRUE(fa->complete);
    EXPECT_EQ(fa->length, 2408u);
}

TEST(P2Reject, NullPayloadWithLength)
{
    Fa fa;
    P2Fragment f = frag(1, 1, 0);
    EXPECT_EQ(fa_add_p2(fa.get(), &f, nullptr, 4, 0, 100, 0, nullptr), FA_INVALID);
    EXPECT_EQ(fa->frame, FA_NO_FRAME);
    EXPECT_EQ(fa_add_p2(fa.get(), &f, nullptr, 0, 0, 100, 0, nullptr), FA_ACK);
    EXPECT_TRUE(fa->complete);
    EXPECT_EQ(fa->length, 0u);
}

// ---------------------------------------------------------------------------
// Protocol 1.

TEST(P1Assembly, ThreeFragmentsOutOfOrderComplete)
{
    Fa fa;
    Bytes p0 = pattern(49152, 0), p1 = pattern(49152, 1), p2 = pattern(777, 2);
    P1Block b2 = block(3, 2, 7, p2);
    EXPECT_EQ(fa_add_p1(fa.get(), &b2, 500), FA_NEW);
    EXPECT_EQ(fa->length, 2u * 49152u + 777u);
    EXPECT_FALSE(fa->complete);
    P1Block b0 = block(3, 0, 7, p0);
    EXPECT_EQ(fa_add_p1(fa.get(), &b0, 501), FA_NEW);
    P1Block b1 = block(3, 1, 7, p1);
    EXPECT_EQ(fa_add_p1(fa.get(), &b1, 502), FA_NEW);
    ASSERT_TRUE(fa->complete);
    EXPECT_EQ(fa->length, 99081u);
    EXPECT_EQ(fa->started_ms, 500u);
    EXPECT_EQ(fa->completed_ms, 502u);
    EXPECT_EQ(fa->capacity, 3 * 49152);
    EXPECT_EQ(0, std::memcmp(fa->data, p0.data(), 49152));
    EXPECT_EQ(0, std::memcmp(fa->data + 49152, p1.data(), 49152));
    EXPECT_EQ(0, std::memcmp(fa->data + 98304, p2.data(), 777));
}

TEST(P1Assembly, RepeatedIndexCountsUpTo250)
{
    Fa fa;
    Bytes p = pattern(100, 0), other = pattern(100, 9);
    P1Block b = block(2, 1, 3, p);
    EXPECT_EQ(fa_add_p1(fa.get(), &b, 1), FA_NEW);
    EXPECT_EQ(fa->ack_count[1], 0u);
    P1Block again = block(2, 1, 3, other);
    EXPECT_EQ(fa_add_p1(fa.get(), &again, 2), FA_REPEAT);
    EXPECT_EQ(fa_add_p1(fa.get(), &again, 3), FA_REPEAT);
    EXPECT_EQ(fa->ack_count[1], 2u);
    EXPECT_EQ(fa->fragments, 1u);
    EXPECT_EQ(0, std::memcmp(fa->data + 49152, p.data(), 100)); // the first copy stays
    for (int k = 0; k < 300; k++)
        fa_add_p1(fa.get(), &again, 4);
    EXPECT_EQ(fa->ack_count[1], 250u);
}

TEST(P1Assembly, AckFromReceivedFlagsLiteral)
{
    // Fragment 2 of 3, frame 7, 4 payload bytes: 43 02 07 00 00 00 04 00.
    const uint8_t h2[8] = {0x43, 0x02, 0x07, 0x00, 0x00, 0x00, 0x04, 0x00};
    const uint8_t h0[8] = {0x43, 0x00, 0x07, 0x00, 0x00, 0x00, 0x04, 0x00};
    Bytes p = {1, 2, 3, 4};
    Fa fa;
    P1Block b2 = block(3, 2, 7, p, h2), b0 = block(3, 0, 7, p, h0);
    ASSERT_GE(fa_add_p1(fa.get(), &b2, 1), 0);
    ASSERT_GE(fa_add_p1(fa.get(), &b0, 2), 0);
    uint8_t out[P1_FRAGMENT_ACK_MAX];
    int n = p1_build_fragment_ack(out, sizeof out, b0.header, 5, fa->received, fa->count);
    ASSERT_EQ(n, 10);
    EXPECT_EQ(Bytes(out, out + n), (Bytes{0x43, 0x00, 0x07, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x02}));
}

TEST(P1Assembly, OtherFrameResetsEvenOlder)
{
    Fa fa;
    Bytes p = pattern(49152, 0);
    P1Block a = block(2, 0, 20, p);
    fa_add_p1(fa.get(), &a, 10);
    Bytes q = pattern(5, 1);
    P1Block b = block(2, 1, 19, q);
    EXPECT_EQ(fa_add_p1(fa.get(), &b, 20), FA_NEW);
    EXPECT_EQ(fa->frame, 19u);
    EXPECT_EQ(fa->fragments, 1u);
    EXPECT_EQ(fa->received[0], 0u);
    EXPECT_EQ(fa->received[1], 1u);
    EXPECT_EQ(fa->started_ms, 20u);
}

TEST(P1Assembly, MaximumPictureIsBounded)
{
    Fa fa;
    Bytes p = pattern(49152, 1);
    P1Block b = block(63, 62, 1, p);
    EXPECT_EQ(fa_add_p1(fa.get(), &b, 1), FA_NEW);
    EXPECT_EQ(fa->capacity, 63 * 49152);
    EXPECT_EQ(fa->length, 63u * 49152u);
}

TEST(P1Reject, MalformedBlocksTouchNothing)
{
    Fa fa;
    Bytes p = pattern(49153, 0);
    Bytes small(p.begin(), p.begin() + 10);
    P1Block first = block(3, 0, 5, small);
    fa_add_p1(fa.get(), &first, 1);
    Snapshot before(fa.get());

    P1Block cases[] = {
        block(3, 3, 5, small), // index at its count
        block(3, 9, 6, small), // newer frame: no reset either
        block(0, 0, 6, small), // count 0
        block(64, 0, 6, small), // more than six bits can say
        block(3, 1, 5, p),     // payload longer than a fragment
        block(4, 1, 5, small), // same frame, another count
    };
    for (P1Block &b : cases) {
        b.valid = true; // the record does its own checks too
        EXPECT_EQ(fa_add_p1(fa.get(), &b, 9), FA_INVALID) << (int)b.count << " " << (int)b.index;
        EXPECT_TRUE(before.same(fa.get()));
    }
    P1Block flagged = block(3, 1, 5, small);
    flagged.valid = false;
    EXPECT_EQ(fa_add_p1(fa.get(), &flagged, 9), FA_INVALID);
    P1Block audio = block(3, 1, 5, small);
    audio.kind = P1_KIND_AUDIO;
    EXPECT_EQ(fa_add_p1(fa.get(), &audio, 9), FA_INVALID);
    EXPECT_TRUE(before.same(fa.get()));
}

// ---------------------------------------------------------------------------
// Both protocols in one record.

TEST(ProtocolSwitch, OtherProtocolStartsAfresh)
{
    Fa fa;
    Bytes p = pattern(1200, 0);
    add2(fa.get(), frag(8, 2, 0), p, 1000);
    Bytes q = pattern(10, 1);
    P1Block b = block(2, 1, 8, q);
    EXPECT_EQ(fa_add_p1(fa.get(), &b, 2), FA_NEW);
    EXPECT_EQ(fa->protocol, (uint32_t)FA_PROTOCOL_1);
    EXPECT_EQ(fa->fragments, 1u);
    EXPECT_EQ(fa->received[0], 0u);
    EXPECT_EQ(fa->length, 49162u);
    // A protocol-2 fragment with a lower frame number is not "older" than a
    // protocol-1 picture: it starts its own.
    EXPECT_EQ(add2(fa.get(), frag(3, 1, 0), pattern(4, 2), 3000).rc, FA_ACK);
    EXPECT_EQ(fa->protocol, (uint32_t)FA_PROTOCOL_2);
    EXPECT_TRUE(fa->complete);
    EXPECT_EQ(fa->length, 4u);
    EXPECT_TRUE(all_present_p2(fa.get()));
}

// ---------------------------------------------------------------------------
// IDR test.

TEST(Idr, FirstNalUnitType)
{
    struct Case {
        Bytes pic;
        bool idr;
    } cases[] = {
        {{0x00, 0x00, 0x00, 0x01, 0x65, 0x88}, true},
        {{0x00, 0x00, 0x00, 0x01, 0x25}, true},  // nal_ref_idc 1, type 5
        {{0x00, 0x00, 0x00, 0x01, 0x41, 0x9A}, false},
        {{0x00, 0x00, 0x00, 0x01, 0x67, 0x42}, false}, // SPS
        {{0x00, 0x00, 0x00, 0x01}, false},
        {{}, false},
    };
    for (const Case &c : cases) {
        Fa fa;
        add2(fa.get(), frag(1, 1, 0), c.pic, 1000);
        ASSERT_TRUE(fa->complete);
        EXPECT_EQ(fa_picture_is_idr(fa.get()), c.idr) << c.pic.size();
    }
}

TEST(Idr, NeverReadsStaleBytesPastLength)
{
    Fa fa;
    add2(fa.get(), frag(1, 1, 0), Bytes{0x00, 0x00, 0x00, 0x01, 0x65}, 1000);
    EXPECT_TRUE(fa_picture_is_idr(fa.get()));
    // Byte 4 of the buffer still says IDR, but this picture ends before it.
    add2(fa.get(), frag(2, 1, 0), Bytes{0x00, 0x00, 0x00, 0x01}, 2000);
    EXPECT_EQ(fa->data[4], 0x65);
    EXPECT_FALSE(fa_picture_is_idr(fa.get()));
}

TEST(Idr, IncompletePictureIsNotIdr)
{
    Fa fa;
    EXPECT_FALSE(fa_picture_is_idr(fa.get()));
    add2(fa.get(), frag(1, 2, 0), Bytes{0x00, 0x00, 0x00, 0x01, 0x65}, 1000);
    EXPECT_FALSE(fa_picture_is_idr(fa.get()));
}
