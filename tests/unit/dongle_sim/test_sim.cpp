// The simulated dongle's contract with the tests that use it: the picture
// stamp (the end-to-end probe reads it from screenshots) and the resend
// choice from acknowledgement bitmaps. Pictures that decode back to their
// stamps are the decoder tests' (tests/unit/media), their bars the end-to-end
// probe's.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dongle_sim/bitblocks.h"
#include "dongle_sim/sim_resend.h"
#include "support/bytes.h"

// The stamp reads back from the picture, and a picture with one cell flipped
// does not pass its CRC-8 (poly 0x07, init 0xFF, pinned here by hand).
TEST(SimStamp, ReadsBackAndOneFlippedCellIsRefused)
{
    EXPECT_EQ(bitblocks_crc8(unhex("800000010102030405060708").data(), 12), 0x4A);
    const int w = 1280, h = 720, ys = w + 24, cs = w / 2 + 12;
    Bytes y((size_t)ys * h, 100), u((size_t)cs * h / 2, 128), v = u;
    bitblocks_write(y.data(), ys, u.data(), cs, v.data(), cs, w, h, 0x80000001u, 0x0102030405060708ull);
    uint32_t f = 0;
    uint64_t t = 0;
    ASSERT_TRUE(bitblocks_read(y.data(), ys, w, h, &f, &t));
    EXPECT_EQ(f, 0x80000001u);
    EXPECT_EQ(t, 0x0102030405060708ull);
    // Cell 40 (a time bit) of 16x16 pixels from (16, 16), 235 for 1 and 16 for 0.
    const uint8_t flipped = y[(size_t)16 * ys + 16 + 16 * 40] == 235 ? 16 : 235;
    for (int k = 0; k < 256; k++)
        y[(size_t)(16 + k / 16) * ys + 16 + 16 * 40 + k % 16] = flipped;
    EXPECT_FALSE(bitblocks_read(y.data(), ys, w, h, &f, &t));
}

TEST(SimResend, ResendsWhatTheBitmapLacks)
{
    uint64_t sent[64], t0 = 1000;
    uint8_t resent[64] = {};
    for (auto &s : sent)
        s = t0;
    // 6 fragments, 0 1 _ 3 _ _ received: 2 is a hole and goes again at once;
    // 4 and 5 may still be on their way until they are stale.
    EXPECT_EQ(sim_select_resends(0x3F, 0x0B, sent, resent, t0 + 1, 24000, 12000, 8), 0x04u);
    EXPECT_EQ(sim_select_resends(0x3F, 0x0F, sent, resent, t0 + 23999, 24000, 12000, 8), 0u);
    EXPECT_EQ(sim_select_resends(0x3F, 0x0F, sent, resent, t0 + 24000, 24000, 12000, 8), 0x30u);
    // A resent fragment waits the regap, and is given up after the limit.
    sent[2] = 10000, resent[2] = 1;
    EXPECT_EQ(sim_select_resends(0xF, 0xB, sent, resent, 10005, 100, 50, 8), 0u);
    EXPECT_EQ(sim_select_resends(0xF, 0xB, sent, resent, 10050, 100, 50, 8), 0x4u);
    resent[2] = 8;
    EXPECT_EQ(sim_select_resends(0xF, 0xB, sent, resent, 99999, 100, 50, 8), 0u);
    // Bits beyond the expected fragments are ignored; all 64 of a full window count.
    resent[2] = 0;
    EXPECT_EQ(sim_select_resends(0x3, 0xFFFFFFFFu, sent, resent, 1 << 30, 1, 1, 8), 0u);
    EXPECT_EQ(sim_select_resends(~0ull, 1ull << 63, sent, resent, t0 + 1000, 1000, 1000, 8), ~0ull >> 1);
}
