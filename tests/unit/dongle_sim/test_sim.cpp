// The simulated dongle's picture stamp, which the end-to-end probe reads from
// screenshots.
#include <gtest/gtest.h>

#include "dongle_sim/bitblocks.h"
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
