// Frame assembly fed with a sequence of fragments of both protocols decoded
// from the input, each op 10 bytes:
//   0     bit 0: protocol 1; bit 1: digest flag; bit 2: raw count and
//         index (else below 600); bit 3: small count and index (below 41);
//         bit 4: full-size payload; bits 7-5: frame step (0 same,
//         1 next, 2 previous, 3 far ahead, 4 all bits set, else same)
//   1-2   count    3-4 index    5-6 payload length
//   7     time step in 50 us    8 interval in 100 us    9 payload offset
// After every op the record is checked against a shadow of what it was fed:
// nothing outside the buffer, length never above the buffer, complete only
// with every fragment present and the bytes where they belong, dropped
// fragments leave the record as it was, acknowledgements follow the pacing.

#include "base/bytes.h"
#include "fuzz.h"
#include "protocol/frame_assembly.h"
#include "protocol/md5.h"
#include "protocol/wire.h"

#define CHECK FUZZ_FAIL_IF_NOT

namespace {

enum { PATTERN_SIZE = P1_FRAGMENT_SIZE + 256 * 17 + 1 };

const uint8_t *pattern()
{
    static uint8_t *p = [] {
        uint8_t *b = new uint8_t[PATTERN_SIZE];
        uint32_t x = 0x12345678;
        for (size_t i = 0; i < PATTERN_SIZE; i++) {
            x = x * 1103515245u + 12345u;
            b[i] = (uint8_t)(x >> 23);
        }
        return b;
    }();
    return p;
}

struct Piece {
    uint32_t offset; // into the pattern
    uint32_t len;
    bool set;
};

struct Shadow {
    std::vector<Piece> pieces = std::vector<Piece>(P2_MAX_FRAGMENTS);
    std::vector<uint32_t> used;
    uint32_t last_len = 0;
    bool last_seen = false;
    void clear()
    {
        for (uint32_t i : used)
            pieces[i].set = false;
        used.clear();
        last_seen = false;
        last_len = 0;
    }
};

void check_record(const FrameAssembly *fa, const Shadow &sh)
{
    CHECK(fa->capacity >= 0 && fa->capacity <= P2_MAX_FRAGMENTS * P2_FRAGMENT_SIZE);
    CHECK(fa->length <= (uint32_t)fa->capacity);
    CHECK(fa->fragments <= fa->count);
    if (fa->protocol == FA_PROTOCOL_NONE) {
        CHECK(fa->count == 0 && fa->fragments == 0 && !fa->complete);
        return;
    }
    size_t size = fa->protocol == FA_PROTOCOL_1 ? (size_t)P1_FRAGMENT_SIZE : (size_t)P2_FRAGMENT_SIZE;
    CHECK(fa->count >= 1 && (size_t)fa->count * size <= (size_t)fa->capacity);
    unsigned present = 0;
    if (fa->protocol == FA_PROTOCOL_1) {
        CHECK(fa->count <= P1_MAX_FRAGMENTS);
        for (unsigned i = 0; i < FA_SLOTS; i++) {
            CHECK(fa->received[i] <= 1);
            CHECK(i < fa->count || !fa->received[i]);
            present += fa->received[i];
        }
    } else {
        CHECK(fa->count <= P2_MAX_FRAGMENTS);
        for (unsigned g = 0; g < FA_SLOTS; g++) {
            uint32_t w = fa->received[g];
            // Bits at or past the count stay clear.
            if (g * 32 >= fa->count)
                CHECK(w == 0);
            else if (fa->count - g * 32 < 32)
                CHECK((w >> (fa->count - g * 32)) == 0);
            present += (unsigned)__builtin_popcount(w);
        }
    }
    CHECK(present == fa->fragments && present == sh.used.size());
    CHECK((bool)fa->complete == (fa->fragments == fa->count));
    if (sh.last_seen) {
        uint64_t want = (uint64_t)(fa->count - 1) * size + sh.last_len;
        if (fa->digest_stored)
            want -= P2_DIGEST_SIZE;
        CHECK(fa->length == want);
        CHECK((bool)fa->digest_stored == (fa->protocol == FA_PROTOCOL_2 && fa->has_digest && sh.last_len >= 16));
    } else {
        CHECK(fa->length == 0 && !fa->digest_stored);
    }
    CHECK(!fa->digest_checked || (fa->complete && fa->digest_stored));
    if (fa_picture_is_idr(fa))
        CHECK(fa->complete && fa->length >= 5 && (fa->data[4] & 0x1F) == 5);
}

// Every stored fragment sits at its place with the bytes it arrived with.
void check_bytes(const FrameAssembly *fa, const Shadow &sh)
{
    size_t size = fa->protocol == FA_PROTOCOL_1 ? (size_t)P1_FRAGMENT_SIZE : (size_t)P2_FRAGMENT_SIZE;
    for (uint32_t i : sh.used) {
        const Piece &p = sh.pieces[i];
        CHECK(std::memcmp(fa->data + (size_t)i * size, pattern() + p.offset, p.len) == 0);
    }
    if (fa->digest_checked) {
        uint8_t sum[16];
        md5(fa->data, fa->length, sum);
        CHECK((bool)fa->digest_ok == (std::memcmp(sum, fa->digest, 16) == 0));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Shadow sh;
    sh.clear();
    FrameAssembly *fa = new FrameAssembly;
    fa_init(fa);
    FrameAssembly *before = new FrameAssembly;
    uint32_t frame = 100;
    uint64_t now_us = 1000000;

    for (size_t at = 0; at + 10 <= size; at += 10) {
        const uint8_t *op = data + at;
        bool p1 = op[0] & 1;
        bool digest = op[0] & 2;
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
        size_t fsize = p1 ? (size_t)P1_FRAGMENT_SIZE : (size_t)P2_FRAGMENT_SIZE;
        if (op[0] & 0x10)
            len = (unsigned)fsize;
        else if (len > fsize + 1)
            len = len % (unsigned)(fsize + 2); // mostly in range, sometimes one over
        switch (op[0] >> 5) {
        case 1: frame++; break;
        case 2: frame--; break;
        case 3: frame += 1000; break;
        case 4: frame = FA_NO_FRAME; break;
        default: break;
        }
        now_us += (uint64_t)op[7] * 50;
        uint32_t interval = (uint32_t)op[8] * 100;
        uint32_t offset = (uint32_t)op[9] * 17;
        const uint8_t *payload = pattern() + offset;

        std::memcpy(before, fa, sizeof *fa);
        int rc;
        unsigned counter = 0;
        uint8_t header[8] = {0};
        if (p1) {
            P1Block b;
            b.kind = P1_KIND_VIDEO;
            b.count = (uint8_t)count;
            b.index = (uint8_t)index;
            b.seq = frame;
            b.length = (uint16_t)len;
            b.valid = true; // the record must not rely on the walker's checks
            b.header = header;
            b.payload = payload;
            if (count > 255 || index > 255)
                continue;
            rc = fa_add_p1(fa, &b, now_us / 1000);
        } else {
            P2Fragment f;
            f.frame = frame;
            f.count = (uint16_t)count;
            f.index = (uint16_t)index;
            f.has_digest = digest;
            rc = fa_add_p2(fa, &f, payload, len, interval, now_us, now_us / 1000, &counter);
        }

        if (rc < 0) {
            // Dropped: not one field moved.
            CHECK(std::memcmp(before, fa, sizeof *fa) == 0);
            continue;
        }
        bool fresh = before->protocol != fa->protocol || before->frame != fa->frame || before->count == 0;
        if (fresh)
            sh.clear();
        CHECK(fa->count == count && fa->frame == frame);
        bool is_new = fa->fragments != (fresh ? 0 : before->fragments);
        if (is_new) {
            CHECK(fa->fragments == (fresh ? 1 : before->fragments + 1));
            CHECK(!sh.pieces[index].set);
            sh.pieces[index] = {offset, len, true};
            sh.used.push_back(index);
            if (index + 1 == count) {
                sh.last_seen = true;
                sh.last_len = len;
            }
        }
        if (p1) {
            CHECK(rc == (is_new ? FA_NEW : FA_REPEAT));
            uint8_t ack[P1_FRAGMENT_ACK_MAX];
            int n = p1_build_fragment_ack(ack, sizeof ack, header, 0, fa->received, fa->count);
            CHECK(n == (int)(P1_HEADER_SIZE + fa->fragments));
        } else {
            unsigned g = index / 32;
            uint64_t half = (interval > FA_P2_MIN_INTERVAL_US ? interval : FA_P2_MIN_INTERVAL_US) / 2;
            CHECK(fa_group_bitmap(fa, g) & (1u << (index % 32)));
            if (rc == FA_ACK) {
                CHECK(counter == fa->ack_count[g] && fa->ack_time[g] == now_us);
                if (!is_new)
                    CHECK(now_us - before->ack_time[g] >= half);
            } else {
                CHECK(rc == FA_NO_ACK);
                if (!is_new)
                    CHECK(now_us - before->ack_time[g] < half);
            }
        }
        check_record(fa, sh);
        if (fa->complete && (is_new || fresh))
            check_bytes(fa, sh);
    }
    delete before;
    fa_free(fa);
    delete fa;
    return 0;
}
