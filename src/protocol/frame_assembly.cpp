#include "protocol/frame_assembly.h"

#include <cstdlib>
#include <cstring>

#include "protocol/md5.h"

void fa_init(FrameAssembly *fa)
{
    std::memset(fa, 0, sizeof *fa);
    fa->frame = FA_NO_FRAME;
}

void fa_free(FrameAssembly *fa)
{
    std::free(fa->data);
    fa_init(fa);
}

void fa_reset(FrameAssembly *fa, uint64_t now_ms)
{
    uint8_t *data = fa->data;
    int32_t capacity = fa->capacity;
    std::memset(fa, 0, sizeof *fa);
    fa->data = data;
    fa->capacity = capacity;
    fa->frame = FA_NO_FRAME;
    fa->started_ms = now_ms;
}

// Makes data hold at least need bytes, keeping what it holds. Grows to
// exactly need: the callers bound need by the largest picture the wire can
// describe, and a stream of pictures settles at its largest one.
static int fa_reserve(FrameAssembly *fa, size_t need)
{
    if (need <= (size_t)fa->capacity)
        return 0;
    uint8_t *p = (uint8_t *)std::realloc(fa->data, need);
    if (!p)
        return FA_NO_MEMORY;
    fa->data = p;
    fa->capacity = (int32_t)need;
    return 0;
}

static void fa_finish(FrameAssembly *fa, uint64_t now_ms)
{
    fa->complete = 1;
    fa->completed_ms = now_ms;
    if (fa->digest_stored) {
        uint8_t sum[16];
        md5(fa->data, fa->length, sum);
        fa->digest_checked = 1;
        fa->digest_ok = std::memcmp(sum, fa->digest, sizeof sum) == 0;
    }
}

// ---------------------------------------------------------------------------
// Protocol 2.

static bool p2_shape_ok(const P2Fragment *f, const uint8_t *payload, size_t len)
{
    return f->count >= 1 && f->count <= P2_MAX_FRAGMENTS && f->index < f->count && len <= P2_FRAGMENT_SIZE &&
           (payload || len == 0);
}

int fa_add_p2(FrameAssembly *fa, const P2Fragment *f, const uint8_t *payload, size_t len, uint32_t interval_us,
              uint64_t now_us, uint64_t now_ms, unsigned *ack_counter)
{
    if (!p2_shape_ok(f, payload, len))
        return FA_INVALID;

    if (fa->protocol == FA_PROTOCOL_2 && fa->frame != FA_NO_FRAME && fa->frame > f->frame)
        return FA_STALE;
    if (fa->protocol != FA_PROTOCOL_2 || fa->frame != f->frame) {
        // A new picture. The buffer grows before the reset so that a picture
        // we cannot hold never costs the one in progress.
        if (fa_reserve(fa, (size_t)f->count * P2_FRAGMENT_SIZE) < 0)
            return FA_NO_MEMORY;
        fa_reset(fa, now_ms);
        fa->protocol = FA_PROTOCOL_2;
        fa->frame = f->frame;
        fa->count = f->count;
        fa->has_digest = f->has_digest;
    } else if (fa->count != f->count || fa->has_digest != (uint32_t)f->has_digest) {
        return FA_INVALID;
    }

    const unsigned n = f->count;
    const unsigned i = f->index;
    const unsigned g = i / 32;
    const uint32_t bit = 1u << (i % 32);
    const uint32_t mask = (g == n / 32) ? ((1u << (n % 32)) - 1) : 0xFFFFFFFFu;
    const uint64_t half = (interval_us > FA_P2_MIN_INTERVAL_US ? interval_us : FA_P2_MIN_INTERVAL_US) / 2;

    if (fa->received[g] & bit) {
        // A resend: the device did not see our acknowledgement, or sent
        // before it arrived. Answer at most once per half interval.
        if (now_us >= fa->ack_time[g] && now_us - fa->ack_time[g] >= half) {
            fa->ack_count[g]++;
            fa->ack_time[g] = now_us;
            if (ack_counter)
                *ack_counter = fa->ack_count[g];
            return FA_ACK;
        }
        return FA_NO_ACK;
    }

    if (fa->ack_time[g] == 0)
        fa->ack_time[g] = now_us;
    fa->received[g] |= bit;
    fa->ack_count[g]++;

    if (i + 1 == n) {
        int64_t total = p2_frame_length(n, (unsigned)len, f->has_digest);
        if (total >= 0 && f->has_digest) {
            std::memcpy(fa->digest, payload + len - P2_DIGEST_SIZE, P2_DIGEST_SIZE);
            fa->digest_stored = 1;
        } else if (total < 0) {
            // The digest flag with fewer than 16 bytes: no digest to take;
            // the picture is what the payload holds.
            total = p2_frame_length(n, (unsigned)len, false);
        }
        fa->length = (uint32_t)total;
    }
    if (len)
        std::memcpy(fa->data + (size_t)i * P2_FRAGMENT_SIZE, payload, len);
    fa->fragments++;
    if (fa->fragments == n)
        fa_finish(fa, now_ms);

    if ((fa->received[g] & mask) == mask || (now_us >= fa->ack_time[g] && now_us - fa->ack_time[g] >= half)) {
        fa->ack_count[g]++;
        fa->ack_time[g] = now_us;
        if (ack_counter)
            *ack_counter = fa->ack_count[g];
        return FA_ACK;
    }
    return FA_NO_ACK;
}

uint32_t fa_group_bitmap(const FrameAssembly *fa, unsigned group)
{
    return group < FA_SLOTS ? fa->received[group] : 0;
}

// ---------------------------------------------------------------------------
// Protocol 1.

int fa_add_p1(FrameAssembly *fa, const P1Block *b, uint64_t now_ms)
{
    if (b->kind != P1_KIND_VIDEO || !b->valid || b->count < 1 || b->count > P1_MAX_FRAGMENTS ||
        b->index >= b->count || b->length > P1_FRAGMENT_SIZE || (!b->payload && b->length))
        return FA_INVALID;

    if (fa->protocol != FA_PROTOCOL_1 || fa->frame != b->seq) {
        if (fa_reserve(fa, (size_t)b->count * P1_FRAGMENT_SIZE) < 0)
            return FA_NO_MEMORY;
        fa_reset(fa, now_ms);
        fa->protocol = FA_PROTOCOL_1;
        fa->frame = b->seq;
        fa->count = b->count;
    } else if (fa->count != b->count) {
        return FA_INVALID;
    }

    const unsigned i = b->index;
    if (fa->received[i]) {
        if (fa->ack_count[i] < FA_P1_ACK_COUNT_MAX)
            fa->ack_count[i]++;
        return FA_REPEAT;
    }
    fa->received[i] = 1;
    if (b->length)
        std::memcpy(fa->data + (size_t)i * P1_FRAGMENT_SIZE, b->payload, b->length);
    if (i + 1u == fa->count)
        fa->length = (uint32_t)p1_frame_length(fa->count, b->length);
    fa->fragments++;
    if (fa->fragments == fa->count)
        fa_finish(fa, now_ms);
    return FA_NEW;
}

// ---------------------------------------------------------------------------

bool fa_picture_is_idr(const FrameAssembly *fa)
{
    return fa->complete && fa->data && fa->length >= 5 && (uint32_t)fa->capacity >= fa->length &&
           (fa->data[4] & 0x1F) == 5;
}
