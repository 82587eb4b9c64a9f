// Frame assembly fed with a sequence of fragments of both protocols decoded
// from the input, each op 10 bytes:
//   0     bit 0: protocol 1; bit 1: digest flag; bit 2: raw count and
//         index (else below 600); bit 3: small count and index (below 41);
//         bit 4: full-size payload; bits 7-5: frame step (0 same,
//         1 next, 2 previous, 3 far ahead, 4 all bits set, else same)
//   1-2   count    3-4 index    5-6 payload length
//   7     time step in 50 us    8 interval in 100 us    9 payload offset
// Each invariant is checked where it can break: a dropped fragment leaves the
// record as it was; a taken one is counted once, within its picture's count
// and buffer, and acknowledged as the pacing says; the length comes from the
// last fragment; a picture that completes holds exactly the bytes its
// fragments brought, every one marked received, and its digest verdict is
// the MD5's.
#include <map>

#include "base/bytes.h"
#include "fuzz.h"
#include "protocol/frame_assembly.h"
#include "protocol/md5.h"
#include "protocol/wire.h"

#define CHECK(c) FUZZ_FAIL_IF(!(c))

namespace {

// Payloads are cut from one pseudo-random pattern, so a misplaced byte shows.
const uint8_t *pattern()
{
    static const std::vector<uint8_t> p = [] {
        std::vector<uint8_t> b(P1_FRAGMENT_SIZE + 255 * 17 + 1); // the furthest a payload reaches
        for (size_t i = 0, x = 0x12345678; i < b.size(); i++, x = x * 1103515245u + 12345u)
            b[i] = (uint8_t)(x >> 23);
        return b;
    }();
    return p.data();
}

struct Piece {
    uint32_t offset; // into the pattern
    uint32_t len;
};
using Pieces = std::map<unsigned, Piece>; // the picture's fragments taken, by index

void check_taken(const FrameAssembly *fa, const Pieces &pieces, bool completed)
{
    const size_t size = fa->protocol == FA_PROTOCOL_1 ? (size_t)P1_FRAGMENT_SIZE : (size_t)P2_FRAGMENT_SIZE;
    CHECK(fa->fragments == pieces.size() && fa->fragments <= fa->count);
    CHECK((size_t)fa->count * size <= (size_t)fa->capacity && fa->length <= (uint32_t)fa->capacity);
    CHECK((bool)fa->complete == (fa->fragments == fa->count));
    auto last = pieces.find(fa->count - 1);
    const bool digest = last != pieces.end() && fa->protocol == FA_PROTOCOL_2 && fa->has_digest &&
                        last->second.len >= P2_DIGEST_SIZE;
    uint64_t want = 0;
    if (last != pieces.end())
        want = (uint64_t)(fa->count - 1) * size + last->second.len - (digest ? P2_DIGEST_SIZE : 0);
    CHECK(fa->length == want && (bool)fa->digest_stored == digest);
    CHECK((bool)fa->digest_checked == (fa->complete && digest));
    if (!completed)
        return;
    for (auto [i, p] : pieces)
        CHECK(std::memcmp(fa->data + (size_t)i * size, pattern() + p.offset, p.len) == 0);
    unsigned present = 0;
    for (unsigned s = 0; s < FA_SLOTS; s++)
        present += fa->protocol == FA_PROTOCOL_1 ? fa->received[s] : (unsigned)__builtin_popcount(fa->received[s]);
    CHECK(present == fa->count);
    if (digest) {
        uint8_t sum[16];
        md5(fa->data, fa->length, sum);
        CHECK((bool)fa->digest_ok == (std::memcmp(sum, fa->digest, 16) == 0));
    }
    if (fa_picture_is_idr(fa))
        CHECK(fa->length >= 5 && (fa->data[4] & 0x1F) == 5);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Pieces pieces;
    pieces.clear();
    FrameAssembly *fa = new FrameAssembly;
    fa_init(fa);
    FrameAssembly *before = new FrameAssembly;
    uint32_t frame = 100;
    uint64_t now_us = 1000000;

    for (size_t at = 0; at + 10 <= size; at += 10) {
        const uint8_t *op = data + at;
        const bool p1 = op[0] & 1;
        unsigned count = rd_le16(op + 1), index = rd_le16(op + 3), len = rd_le16(op + 5);
        if (op[0] & 8) {
            count = count % 40 + 1;
            index = index % (count + 1); // sometimes one past the end
        } else if (!(op[0] & 4)) {
            // Raw counts (bit 2) reach the bounds but make every run
            // allocate megabytes; most ops stay moderate to keep the pace.
            count = count % 600;
            index = index % (count + 1);
        }
        const size_t fsize = p1 ? (size_t)P1_FRAGMENT_SIZE : (size_t)P2_FRAGMENT_SIZE;
        if (op[0] & 0x10)
            len = (unsigned)fsize;
        else if (len > fsize + 1)
            len = len % (unsigned)(fsize + 2); // mostly in range, sometimes one over
        static const uint32_t step[8] = {0, 1, 0xFFFFFFFFu, 1000, 0, 0, 0, 0};
        frame = op[0] >> 5 == 4 ? FA_NO_FRAME : frame + step[op[0] >> 5];
        now_us += (uint64_t)op[7] * 50;
        const uint32_t interval = (uint32_t)op[8] * 100, offset = (uint32_t)op[9] * 17;
        if (p1 && (count > 255 || index > 255))
            continue;

        std::memcpy(before, fa, sizeof *fa);
        int rc;
        unsigned counter = 0;
        uint8_t header[8] = {0};
        if (p1) {
            // Marked valid: the record must not rely on the walker's checks.
            P1Block b{P1_KIND_VIDEO, (uint8_t)count, (uint8_t)index, frame, (uint16_t)len, true, header,
                      pattern() + offset};
            rc = fa_add_p1(fa, &b, now_us / 1000);
        } else {
            P2Fragment f{frame, (uint16_t)count, (uint16_t)index, (bool)(op[0] & 2)};
            rc = fa_add_p2(fa, &f, pattern() + offset, len, interval, now_us, now_us / 1000, &counter);
        }
        if (rc < 0) {
            CHECK(std::memcmp(before, fa, sizeof *fa) == 0);
            continue;
        }
        const bool fresh = before->protocol != fa->protocol || before->frame != fa->frame || before->count == 0;
        if (fresh)
            pieces.clear();
        CHECK(fa->count == count && fa->frame == frame);
        const bool is_new = pieces.emplace(index, Piece{offset, len}).second;
        check_taken(fa, pieces, fa->complete && is_new);
        if (p1) {
            CHECK(rc == (is_new ? FA_NEW : FA_REPEAT));
            uint8_t ack[P1_FRAGMENT_ACK_MAX];
            const int n = p1_build_fragment_ack(ack, sizeof ack, header, 0, fa->received, fa->count);
            CHECK(n == (int)(P1_HEADER_SIZE + fa->fragments));
            continue;
        }
        const unsigned g = index / 32;
        const uint64_t half = (interval > FA_P2_MIN_INTERVAL_US ? interval : FA_P2_MIN_INTERVAL_US) / 2;
        CHECK(fa_group_bitmap(fa, g) & (1u << (index % 32)));
        if (rc == FA_ACK)
            CHECK(counter == fa->ack_count[g] && fa->ack_time[g] == now_us);
        else
            CHECK(rc == FA_NO_ACK);
        if (!is_new)
            CHECK((rc == FA_ACK) == (now_us - before->ack_time[g] >= half));
    }
    delete before;
    fa_free(fa);
    delete fa;
    return 0;
}
