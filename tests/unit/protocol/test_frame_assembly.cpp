// Frame assembly: pictures rebuilt from fragments of both protocols, the
// acknowledgement pacing of protocol 2, the digest check, and one fragment per
// rule that must be dropped (fuzz_frame_assembly checks that a dropped
// fragment leaves the record as it was, over all malformed input).
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <string>

#include "protocol/frame_assembly.h"
#include "protocol/wire.h"
#include "support/bytes.h"

namespace {

// Picture bytes that differ per fragment, so a fragment copied to the wrong place shows.
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
    f.frame = frame, f.count = count, f.index = index, f.has_digest = digest;
    return f;
}

struct Fa { // several kilobytes: on the heap
    Fa() : p(new FrameAssembly) { fa_init(p.get()); }
    ~Fa() { fa_free(p.get()); }
    FrameAssembly *operator->() { return p.get(); }
    FrameAssembly *get() { return p.get(); }
    std::unique_ptr<FrameAssembly> p;
};

// The result, and the acknowledgement counter when it says to acknowledge.
std::pair<int, unsigned> add2(Fa &fa, const P2Fragment &f, const Bytes &payload, uint64_t now_us, uint32_t interval = 0)
{
    unsigned c = 12345;
    int rc = fa_add_p2(fa.get(), &f, payload.data(), payload.size(), interval, now_us, now_us / 1000, &c);
    return {rc, rc == FA_ACK ? c : 0u};
}

P1Block block(uint8_t count, uint8_t index, uint32_t frame, const Bytes &payload, const uint8_t *header = nullptr)
{
    P1Block b;
    b.kind = P1_KIND_VIDEO, b.count = count, b.index = index, b.seq = frame;
    b.length = (uint16_t)payload.size();
    b.valid = count >= 1 && index < count && payload.size() <= P1_FRAGMENT_SIZE;
    b.header = header, b.payload = payload.data();
    return b;
}

// Values joined by spaces, to compare several fields at once.
template <typename... T>
std::string str(T... v)
{
    std::string s;
    ((s += (s.empty() ? "" : " ") + std::to_string(v)), ...);
    return s;
}

} // namespace

TEST(P2Assembly, OutOfOrderFragmentsFromLiteralDatagram)
{
    // "RHVK" 02, type 2, count 1, index 0, frame 9, 6 bytes: an IDR slice.
    Exact d(unhex("5248564b02 0201000000090000000600 00000001 6588"));
    size_t pos = 0;
    P2Packet pk;
    P2Fragment f;
    ASSERT_EQ(p2_next_packet(d.p, d.n, &pos, WIRE_FROM_DEVICE, &pk), 1);
    ASSERT_EQ(p2_fragment_info(&pk, &f), 0);
    Fa one;
    EXPECT_EQ(fa_add_p2(one.get(), &f, pk.payload, pk.length, 0, 5000, 5, nullptr), FA_ACK); // null counter allowed
    ASSERT_TRUE(one->complete);
    EXPECT_EQ(hex(one->data, one->length), "000000016588");
    EXPECT_TRUE(fa_picture_is_idr(one.get()));

    Fa fa;
    Bytes p0 = pattern(1200, 0), p1 = pattern(1200, 1), p2 = pattern(517, 2);
    add2(fa, frag(40, 3, 2), p2, 1000000);
    EXPECT_EQ(fa->length, 2917u); // known from the last fragment, even first
    add2(fa, frag(40, 3, 0), p0, 1000100);
    EXPECT_FALSE(fa->complete);
    add2(fa, frag(40, 3, 1), p1, 1000200);
    ASSERT_TRUE(fa->complete);
    EXPECT_EQ(str(fa->started_ms, fa->capacity), "1000 3600");
    EXPECT_EQ(Bytes(fa->data, fa->data + fa->length), cat({p0, p1, p2}));

    // An older frame is ignored; a newer one abandons the unfinished.
    add2(fa, frag(41, 3, 0), p0, 1100000);
    EXPECT_EQ(add2(fa, frag(39, 3, 2), p2, 1100100).first, FA_STALE);
    EXPECT_EQ(str(fa->frame, fa->fragments), "41 1");
    uint8_t *data = fa->data;
    add2(fa, frag(42, 2, 1), pattern(50, 3), 1300000);
    EXPECT_EQ(str(fa->frame, fa->fragments, fa->count, fa->received[0]), "42 1 2 2");
    EXPECT_EQ(fa->data, data); // the buffer stays allocated
    // A short non-last fragment leaves its gap as it was.
    add2(fa, frag(42, 2, 0), Bytes(100, 0x11), 1300100);
    ASSERT_TRUE(fa->complete);
    EXPECT_EQ(fa->length, 1250u);
    EXPECT_EQ(fa->data[100], p0[100]);
}

TEST(P2Assembly, AckPacing)
{
    Fa fa;
    Bytes p = pattern(1200, 0);
    // Group 0 of 40 is far from complete, so only time acknowledges: the group's
    // first fragment starts its clock, I = 4000 us when the interval is smaller.
    EXPECT_EQ(add2(fa, frag(5, 40, 0), p, 1000000).first, FA_NO_ACK);
    EXPECT_EQ(add2(fa, frag(5, 40, 1), p, 1002000), std::make_pair((int)FA_ACK, 3u));
    EXPECT_EQ(add2(fa, frag(5, 40, 1), p, 1003999).first, FA_NO_ACK); // duplicate within I/2 of the ack
    EXPECT_EQ(add2(fa, frag(5, 40, 1), p, 1004000), std::make_pair((int)FA_ACK, 4u));
    Fa slow;
    add2(slow, frag(5, 40, 0), p, 1000000, 10000);
    EXPECT_EQ(add2(slow, frag(5, 40, 0), p, 1004999, 10000).first, FA_NO_ACK);
    EXPECT_EQ(add2(slow, frag(5, 40, 0), p, 1005000, 10000).first, FA_ACK);

    // Completing a group acknowledges at once; the last group expects count mod 32.
    Fa g;
    for (uint16_t i = 0; i < 31; i++)
        ASSERT_EQ(add2(g, frag(3, 35, i), p, 5000).first, FA_NO_ACK) << i;
    EXPECT_EQ(add2(g, frag(3, 35, 31), p, 5000), std::make_pair((int)FA_ACK, 33u));
    EXPECT_EQ(fa_group_bitmap(g.get(), 0), 0xFFFFFFFFu);
    EXPECT_EQ(add2(g, frag(3, 35, 34), pattern(30, 1), 5000).first, FA_NO_ACK);
    EXPECT_EQ(add2(g, frag(3, 35, 32), p, 5000).first, FA_NO_ACK);
    EXPECT_EQ(add2(g, frag(3, 35, 33), p, 5000).first, FA_ACK);
    EXPECT_EQ(str(fa_group_bitmap(g.get(), 1), g->complete), "7 1");

    // A one-fragment group: the repeat's acknowledgement counter is odd (it goes out inverted).
    Fa one;
    EXPECT_EQ(add2(one, frag(7, 1, 0), Bytes{1, 2, 3}, 10000), std::make_pair((int)FA_ACK, 2u));
    EXPECT_EQ(add2(one, frag(7, 1, 0), Bytes{1, 2, 3}, 11999).first, FA_NO_ACK);
    EXPECT_EQ(add2(one, frag(7, 1, 0), Bytes{1, 2, 3}, 12000), std::make_pair((int)FA_ACK, 3u));
}

TEST(P2Assembly, Digest)
{
    Fa fa;
    Bytes p0 = pattern(1200, 4), tail = pattern(100, 5), whole = cat({p0, tail});
    uint8_t sum[16];
    unsigned sum_len = 0;
    ASSERT_EQ(EVP_Digest(whole.data(), whole.size(), sum, &sum_len, EVP_md5(), nullptr), 1);
    Bytes last = cat({tail, Bytes(sum, sum + 16)});
    add2(fa, frag(2, 2, 1, true), last, 2000);
    add2(fa, frag(2, 2, 0, true), p0, 2100);
    ASSERT_TRUE(fa->complete);
    EXPECT_EQ(str(fa->length, fa->digest_checked, fa->digest_ok), "1300 1 1");
    last[5] ^= 1; // a picture byte: still delivered, marked bad
    add2(fa, frag(3, 2, 0, true), p0, 3000);
    add2(fa, frag(3, 2, 1, true), last, 3100);
    ASSERT_TRUE(fa->complete);
    EXPECT_EQ(str(fa->digest_checked, fa->digest_ok), "1 0");
    // A last fragment shorter than a digest is taken whole.
    add2(fa, frag(4, 2, 0, true), pattern(1200, 0), 4000);
    add2(fa, frag(4, 2, 1, true), pattern(10, 1), 4100);
    EXPECT_EQ(fa->length, 1210u);
    EXPECT_FALSE(fa->digest_stored || fa->digest_checked);
}

TEST(FrameAssembly, MalformedFragmentsAreDropped)
{
    Fa fa;
    add2(fa, frag(10, 3, 0), pattern(1200, 0), 1000);
    const std::pair<P2Fragment, size_t> rows[] = {
        {frag(10, 3, 3), 100},        // index at its count
        {frag(11, 3, 7), 100},        // index beyond, newer frame: no reset either
        {frag(11, 0, 0), 100},        // count 0
        {frag(11, 16385, 0), 100},    // more than the bitmap holds
        {frag(10, 3, 1), 1201},       // payload longer than a fragment
        {frag(10, 4, 1), 1200},       // same frame, another count
        {frag(10, 3, 1, true), 1200}, // same frame, another digest flag
    };
    Bytes big = pattern(1201, 3);
    for (auto [f, len] : rows) {
        unsigned counter = 77;
        EXPECT_EQ(fa_add_p2(fa.get(), &f, big.data(), len, 0, 900000, 900, &counter), FA_INVALID)
            << f.frame << " " << f.count << " " << f.index << " " << len;
        EXPECT_EQ(counter, 77u);
    }
    P2Fragment f = frag(1, 1, 0);
    EXPECT_EQ(fa_add_p2(fa.get(), &f, nullptr, 4, 0, 100, 0, nullptr), FA_INVALID);
    add2(fa, frag(10, 3, 1), pattern(1200, 1), 2000);
    add2(fa, frag(10, 3, 2), pattern(8, 2), 2100);
    EXPECT_TRUE(fa->complete); // the picture goes on as if nothing had come
    EXPECT_EQ(fa->data[0], pattern(1, 0)[0]);

    // The same rules for protocol 1, and blocks the walk flagged or of another kind.
    Bytes p = pattern(49153, 0), small(p.begin(), p.begin() + 10);
    P1Block first = block(3, 0, 5, small);
    fa_add_p1(fa.get(), &first, 1);
    P1Block blocks[] = {
        block(3, 3, 5, small),  // index at its count
        block(3, 9, 6, small),  // newer frame: no reset either
        block(0, 0, 6, small),  // count 0
        block(64, 0, 6, small), // more than six bits can say
        block(3, 1, 5, p),      // payload longer than a fragment
        block(4, 1, 5, small),  // same frame, another count
        block(3, 1, 5, small),  // flagged by the walk
        block(3, 1, 5, small),  // not video
    };
    for (P1Block &b : blocks)
        b.valid = true; // the record does its own checks too
    blocks[6].valid = false;
    blocks[7].kind = P1_KIND_AUDIO;
    for (P1Block &b : blocks)
        EXPECT_EQ(fa_add_p1(fa.get(), &b, 9), FA_INVALID) << (int)b.count << " " << (int)b.index;
    EXPECT_EQ(str(fa->frame, fa->fragments), "5 1");
}

TEST(P1Assembly, FragmentsRepeatsAndAck)
{
    Fa fa;
    Bytes p0 = pattern(49152, 0), p1 = pattern(49152, 1), p2 = pattern(777, 2);
    const uint8_t h0[8] = {0x43, 0x00, 0x07, 0x00, 0x00, 0x00, 0x04, 0x00};
    P1Block b2 = block(3, 2, 7, p2), b0 = block(3, 0, 7, p0, h0), b1 = block(3, 1, 7, p1);
    EXPECT_EQ(fa_add_p1(fa.get(), &b2, 500), FA_NEW);
    EXPECT_EQ(fa->length, 99081u);
    EXPECT_EQ(fa_add_p1(fa.get(), &b0, 501), FA_NEW);
    // The acknowledgement lists the received fragments (literal bytes).
    uint8_t out[P1_FRAGMENT_ACK_MAX];
    int n = p1_build_fragment_ack(out, sizeof out, b0.header, 5, fa->received, fa->count);
    EXPECT_EQ(hex(out, n > 0 ? (size_t)n : 0), "43000700000005000002");
    // A repeated index counts (up to 250) and the first copy stays.
    Bytes other = pattern(49152, 9);
    P1Block again = block(3, 0, 7, other);
    for (int k = 0; k < 300; k++)
        EXPECT_EQ(fa_add_p1(fa.get(), &again, 502), FA_REPEAT);
    EXPECT_EQ(fa->ack_count[0], 250u);
    EXPECT_EQ(fa_add_p1(fa.get(), &b1, 503), FA_NEW);
    ASSERT_TRUE(fa->complete);
    EXPECT_EQ(str(fa->started_ms, fa->completed_ms), "500 503");
    EXPECT_EQ(Bytes(fa->data, fa->data + fa->length), cat({p0, p1, p2}));
    // Any other frame number, even older, starts afresh.
    Bytes q = pattern(5, 1);
    P1Block older = block(2, 1, 6, q);
    EXPECT_EQ(fa_add_p1(fa.get(), &older, 600), FA_NEW);
    EXPECT_EQ(str(fa->frame, fa->fragments), "6 1");
}

TEST(FrameAssembly, ProtocolSwitchAndIdr)
{
    Fa fa;
    add2(fa, frag(8, 2, 0), pattern(1200, 0), 1000);
    Bytes q = pattern(10, 1);
    P1Block b = block(2, 1, 8, q);
    EXPECT_EQ(fa_add_p1(fa.get(), &b, 2), FA_NEW);
    EXPECT_EQ(str(fa->protocol, fa->fragments), str(FA_PROTOCOL_1, 1));
    // A protocol-2 fragment with a lower frame number is not "older" than a
    // protocol-1 picture: it starts its own.
    EXPECT_EQ(add2(fa, frag(3, 1, 0), pattern(4, 2), 3000).first, FA_ACK);
    EXPECT_EQ(fa->protocol, (uint32_t)FA_PROTOCOL_2);

    const std::pair<const char *, bool> rows[] = {{"000000016588", true}, {"0000000125", true},
                                                  {"00000001419a", false}, {"000000016742", false},
                                                  {"00000001", false}, {"", false}};
    uint32_t frame = 10;
    for (auto [pic, idr] : rows) {
        add2(fa, frag(frame++, 1, 0), unhex(pic), 4000);
        ASSERT_TRUE(fa->complete);
        EXPECT_EQ(fa_picture_is_idr(fa.get()), idr) << pic;
    }
    // Byte 4 of the buffer still says IDR from before, but this picture ends before it.
    add2(fa, frag(frame++, 1, 0), unhex("0000000165"), 5000);
    add2(fa, frag(frame++, 1, 0), unhex("00000001"), 5000);
    EXPECT_EQ(fa->data[4], 0x65);
    EXPECT_FALSE(fa_picture_is_idr(fa.get()));
    add2(fa, frag(frame++, 2, 0), unhex("0000000165"), 5000);
    EXPECT_FALSE(fa_picture_is_idr(fa.get())); // not complete
}
