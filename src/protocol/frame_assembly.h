// Frame assembly: rebuilds one coded picture out of the video fragments of
// either protocol and keeps the per-fragment bookkeeping that the fragment
// acknowledgements are made from.
//
// Threads and ownership: one FrameAssembly belongs to the receiver thread,
// which alone calls these functions; nothing here locks, sleeps, reads a
// clock or does I/O (the caller passes the times in). The record owns `data`;
// a complete picture is read in place (data, length) and copied by whoever
// keeps it (the decoder copies on submit). The pointer stays valid until the
// next fa_add_* or fa_free.
//
// Memory: `data` grows to the largest fragment count times fragment size seen
// so far and stays allocated between pictures, so a stream of pictures of
// similar size allocates nothing per fragment or per picture. It is bounded
// by the largest picture the wire can describe: 16384 * 1200 bytes
// (protocol 2) or 63 * 49152 bytes (protocol 1).
//
// Untrusted input: every fragment is checked before anything is touched. A
// fragment whose count is 0 or larger than the bitmap holds, whose index is
// not below its count, or whose payload is longer than the fragment size is
// rejected (FA_INVALID) and leaves the record as it was, even when it names a
// newer frame. The first fragment of a picture fixes its shape (count and,
// in protocol 2, the digest flag); a later fragment of the same frame that
// announces another shape is ignored the same way, so a stray packet cannot
// throw away a picture that is half done nor make the stored fragments
// disagree with the count that completion is measured against.
//
// Layout: fragment i is copied to i * fragment size whatever its payload
// length. Only the last fragment may be short; a short fragment anywhere
// else leaves the bytes up to the next fragment as they were (stale bytes of
// an earlier picture). The device never sends that, and the picture is
// handed on as it was laid out: `length` always comes from the last
// fragment, so it never depends on arrival order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/wire_p1.h"
#include "protocol/wire_p2.h"

enum {
    FA_NO_FRAME = 0xFFFFFFFFu, // `frame` when no picture is being assembled
    FA_SLOTS = 512,            // protocol 1: flags per index; protocol 2: groups of 32
    FA_P2_MIN_INTERVAL_US = 4000,
    FA_P1_ACK_COUNT_MAX = 250,
};

// Which protocol the picture in progress came from (`protocol`).
enum {
    FA_PROTOCOL_NONE = 0,
    FA_PROTOCOL_1 = 1,
    FA_PROTOCOL_2 = 2,
};

// Results of fa_add_p1 / fa_add_p2.
enum {
    FA_ACK = 1,       // protocol 2: send a fragment acknowledgement now
    FA_NO_ACK = 0,    // protocol 2: taken (or a duplicate), nothing to send yet
    FA_NEW = 1,       // protocol 1: a new fragment was stored
    FA_REPEAT = 0,    // protocol 1: the index was already there
    FA_INVALID = -1,  // malformed or of another shape than its picture: dropped, record untouched
    FA_STALE = -2,    // protocol 2: older than the picture in progress: dropped, record untouched
    FA_NO_MEMORY = -3 // the buffer could not grow: dropped, record untouched
};

struct FrameAssembly {
    uint8_t *data;        // picture bytes; grows, stays allocated
    int32_t capacity;     // bytes at data
    uint32_t frame;       // picture being assembled, FA_NO_FRAME when none
    uint32_t length;      // picture length; set when the last fragment arrives, else 0
    uint32_t complete;    // every fragment present
    uint32_t fragments;   // distinct fragments stored
    uint32_t count;       // fragment count fixed by the picture's first fragment (0: none yet)
    uint32_t protocol;    // FA_PROTOCOL_* of the picture in progress
    uint32_t has_digest;  // protocol 2: the picture's fragments carry bit 15 of bytes 6-7
    uint32_t digest_stored;  // the last fragment was long enough to hold the digest, now in `digest`
    uint32_t digest_checked; // complete with a stored digest: MD5 compared
    uint32_t digest_ok;      // ... and it matched (a mismatch does not stop delivery)
    uint32_t reserved;
    uint64_t started_ms;   // reset that began this picture
    uint64_t completed_ms; // arrival of the last missing fragment
    uint32_t received[FA_SLOTS]; // p1: flag per index; p2: bitmap per group of 32
    uint64_t ack_time[FA_SLOTS]; // p2: per group, microseconds of its first fragment or last ack
    uint8_t ack_count[FA_SLOTS]; // p1: repeats per index (to 250); p2: per group counter (wraps)
    uint8_t digest[16];          // MD5 trailer of the picture (protocol 2)
};

// A zeroed record with no buffer and no picture (frame FA_NO_FRAME).
void fa_init(FrameAssembly *fa);
// Frees the buffer; the record is as after fa_init and may be used again.
void fa_free(FrameAssembly *fa);
// Forgets the picture: clears everything except data and capacity, sets
// frame to FA_NO_FRAME and started_ms to now_ms.
void fa_reset(FrameAssembly *fa, uint64_t now_ms);

// Protocol 2: one video fragment (from p2_fragment_info) with its payload of
// len bytes. A fragment older than the picture in progress is dropped
// (FA_STALE); one of another frame (or after a protocol-1 picture) resets
// the record first, so started_ms is the first fragment's time.
// Acknowledgements are paced per group of 32 with I = max(interval_us,
// 4000): a duplicate is answered only when at least I/2 passed since the
// group's last acknowledgement (or its first fragment); a new fragment is
// answered when it completes its group (the last group expects only
// count mod 32 fragments) or when I/2 has passed. Returns FA_ACK with
// *ack_counter (may be NULL) set to the group's counter, FA_NO_ACK, or a
// negative FA_* result. The caller then sends
//   p2_build_fragment_ack(header, queue_len, fa_group_bitmap(fa, index / 32), counter, out)
// which sets the inversion for an odd counter. The counter goes up by one
// for every new fragment stored in the group and by one for every
// acknowledgement, so its parity alternates from one acknowledgement to the
// next only when no fragment arrived in between.
// When the last fragment carries the digest flag but is shorter than the 16
// digest bytes, the digest is ignored and the picture's length is the
// payload's (it never underflows). On completion with a stored digest the
// MD5 of the picture is compared (digest_checked, digest_ok).
int fa_add_p2(FrameAssembly *fa, const P2Fragment *f, const uint8_t *payload, size_t len, uint32_t interval_us,
              uint64_t now_us, uint64_t now_ms, unsigned *ack_counter);

// The received bitmap of one protocol-2 group (bit k: fragment 32 * group + k);
// 0 for a group beyond the table.
uint32_t fa_group_bitmap(const FrameAssembly *fa, unsigned group);

// Protocol 1: one video block from p1_next_block. A block of another frame
// (or after a protocol-2 picture) resets the record first. A known index only
// increments its ack_count (at most 250); a new one is copied to i * 49152;
// the last index fixes length; complete when every index is present.
// Returns FA_NEW, FA_REPEAT or a negative FA_* result. Every fragment taken
// (result 0 or more) is acknowledged by the caller with
//   p1_build_fragment_ack(out, cap, b->header, queue_len, fa->received, fa->count)
// Blocks that are not video or fail the block checks (valid false) are
// FA_INVALID and get no acknowledgement.
int fa_add_p1(FrameAssembly *fa, const P1Block *b, uint64_t now_ms);

// True when the complete picture's first NAL unit (the low five bits of byte
// 4, after the 4-byte start code) is an IDR slice (5). Never reads past
// length: an incomplete picture or one shorter than 5 bytes is not IDR.
bool fa_picture_is_idr(const FrameAssembly *fa);
