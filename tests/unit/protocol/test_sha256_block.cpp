// The firmware block digest: SHA-256 chaining over whole 64-byte blocks with
// no padding block, checked against OpenSSL's bare compression function.
#include <gtest/gtest.h>

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cstring>
#include <random>
#include <vector>

#include "base/bytes.h"
#include "protocol/sha256_block.h"

namespace {

// SHA256_Transform runs only the compression function; SHA256_Init sets the
// standard initial hash value.
std::vector<uint8_t> openssl_chain(const uint8_t *data, size_t len)
{
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    for (size_t off = 0; off + 64 <= len; off += 64)
        SHA256_Transform(&ctx, data + off);
    std::vector<uint8_t> out(32);
    for (int i = 0; i < 8; i++)
        wr_be32(out.data() + 4 * i, ctx.h[i]);
    return out;
}

std::vector<uint8_t> digest(const uint8_t *data, size_t len)
{
    std::vector<uint8_t> out(32);
    sha256_block_digest(data, len, out.data());
    return out;
}

std::vector<uint8_t> random_bytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = (uint8_t)gen();
    return v;
}

// FIPS 180-4 section 5.3.3, written big-endian.
const uint8_t kInitialHashBytes[32] = {
    0x6a, 0x09, 0xe6, 0x67, 0xbb, 0x67, 0xae, 0x85, 0x3c, 0x6e, 0xf3, 0x72, 0xa5, 0x4f, 0xf5, 0x3a,
    0x51, 0x0e, 0x52, 0x7f, 0x9b, 0x05, 0x68, 0x8c, 0x1f, 0x83, 0xd9, 0xab, 0x5b, 0xe0, 0xcd, 0x19,
};

} // namespace

TEST(Sha256BlockDigest, OneBlockIsTheChainingValueNotTheDigest)
{
    std::vector<uint8_t> data = random_bytes(64, 1);
    std::vector<uint8_t> ours = digest(data.data(), 64);
    EXPECT_EQ(ours, openssl_chain(data.data(), 64));
    uint8_t standard[32];
    SHA256(data.data(), 64, standard);
    EXPECT_NE(0, std::memcmp(ours.data(), standard, 32));
}

TEST(Sha256BlockDigest, PaddedAbcBlockGivesTheStandardAbcDigest)
{
    // "abc" with its padding and length is exactly one block, so chaining
    // over that block yields FIPS 180-4's example digest.
    uint8_t block[64] = {0x61, 0x62, 0x63, 0x80};
    block[63] = 0x18;
    const uint8_t expected[32] = {
        0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
        0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad,
    };
    uint8_t out[32];
    sha256_block_digest(block, 64, out);
    EXPECT_EQ(0, std::memcmp(out, expected, 32));
}

TEST(Sha256BlockDigest, TrailingPartIsLeftOut)
{
    std::vector<uint8_t> data = random_bytes(100, 2);
    EXPECT_EQ(digest(data.data(), 100), digest(data.data(), 64));
    EXPECT_EQ(digest(data.data(), 127), digest(data.data(), 64));
    EXPECT_NE(digest(data.data(), 100), digest(data.data(), 0));
}

TEST(Sha256BlockDigest, NoCompleteBlockGivesTheInitialHashValue)
{
    std::vector<uint8_t> data = random_bytes(63, 3);
    std::vector<uint8_t> expected(kInitialHashBytes, kInitialHashBytes + 32);
    EXPECT_EQ(digest(nullptr, 0), expected);
    EXPECT_EQ(digest(data.data(), 63), expected);
}

TEST(Sha256BlockDigest, OneMegabyteMatchesATransformLoop)
{
    std::vector<uint8_t> data = random_bytes(1 << 20, 4);
    EXPECT_EQ(digest(data.data(), data.size()), openssl_chain(data.data(), data.size()));
    EXPECT_EQ(digest(data.data(), data.size() - 1), openssl_chain(data.data(), data.size() - 1));
}

TEST(Sha256Compress, ChainsFromAGivenState)
{
    std::vector<uint8_t> data = random_bytes(128, 5);
    uint32_t state[8];
    for (int i = 0; i < 8; i++)
        state[i] = rd_be32(kInitialHashBytes + 4 * i);
    sha256_compress(state, data.data());
    sha256_compress(state, data.data() + 64);
    std::vector<uint8_t> out(32);
    for (int i = 0; i < 8; i++)
        wr_be32(out.data() + 4 * i, state[i]);
    EXPECT_EQ(out, openssl_chain(data.data(), 128));
}
