// MD5: the RFC 1321 test suite, streaming against one-shot, and agreement
// with OpenSSL over sizes that cross every block boundary case.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "protocol/md5.h"

namespace {

std::string hex(const uint8_t *d, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

std::string md5_hex(const std::string &text)
{
    uint8_t out[16];
    md5((const uint8_t *)text.data(), text.size(), out);
    return hex(out, 16);
}

std::vector<uint8_t> openssl_md5(const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> out(16);
    unsigned int n = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_md5(), nullptr), 1);
    EXPECT_EQ(n, 16u);
    return out;
}

std::vector<uint8_t> random_bytes(std::mt19937 &gen, size_t n)
{
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = (uint8_t)gen();
    return v;
}

} // namespace

TEST(Md5Rfc1321, TestSuite)
{
    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5_hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5_hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5_hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5Rfc1321, DigestBytesInStandardOrder)
{
    const uint8_t expected[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                  0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    uint8_t out[16];
    md5((const uint8_t *)"abc", 3, out);
    EXPECT_EQ(0, std::memcmp(out, expected, 16));
}

TEST(Md5Streaming, OddChunksEqualOneShot)
{
    std::mt19937 gen(7);
    std::vector<uint8_t> data = random_bytes(gen, 10007);
    uint8_t whole[16];
    md5(data.data(), data.size(), whole);
    for (size_t chunk : {1, 3, 7, 55, 56, 63, 64, 65, 127, 1000}) {
        Md5 ctx;
        md5_init(&ctx);
        for (size_t off = 0; off < data.size(); off += chunk)
            md5_update(&ctx, data.data() + off, std::min(chunk, data.size() - off));
        uint8_t out[16];
        md5_final(&ctx, out);
        EXPECT_EQ(hex(out, 16), hex(whole, 16)) << "chunk " << chunk;
    }
}

TEST(Md5Streaming, IrregularChunksAndEmptyUpdates)
{
    std::mt19937 gen(11);
    std::vector<uint8_t> data = random_bytes(gen, 5000);
    Md5 ctx;
    md5_init(&ctx);
    size_t off = 0;
    while (off < data.size()) {
        size_t n = std::min<size_t>(gen() % 150, data.size() - off);
        md5_update(&ctx, data.data() + off, n);
        off += n;
    }
    md5_update(&ctx, nullptr, 0);
    uint8_t out[16];
    md5_final(&ctx, out);
    EXPECT_EQ(hex(out, 16), hex(openssl_md5(data).data(), 16));
}

TEST(Md5OpenSsl, PaddingBoundarySizes)
{
    std::mt19937 gen(3);
    for (size_t n = 0; n <= 200; n++) {
        std::vector<uint8_t> data = random_bytes(gen, n);
        uint8_t out[16];
        md5(data.data(), data.size(), out);
        EXPECT_EQ(hex(out, 16), hex(openssl_md5(data).data(), 16)) << "size " << n;
    }
}

TEST(Md5OpenSsl, RandomSizesUpToAFewHundredKilobytes)
{
    std::mt19937 gen(12345);
    for (int round = 0; round < 25; round++) {
        size_t n = gen() % 400000;
        std::vector<uint8_t> data = random_bytes(gen, n);
        uint8_t out[16];
        md5(data.data(), data.size(), out);
        EXPECT_EQ(hex(out, 16), hex(openssl_md5(data).data(), 16)) << "size " << n;
    }
}
