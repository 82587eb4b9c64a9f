// AES-128 and counter mode: the standard's own vector, agreement with
// OpenSSL's AES-128-CTR, the counter arithmetic and the two key derivations.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <vector>

#include "protocol/aes.h"

namespace {

std::vector<uint8_t> openssl_ctr(const uint8_t key[16], const uint8_t iv[16], const std::vector<uint8_t> &in)
{
    std::vector<uint8_t> out(in.size() + 16);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0, total = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_128_ctr(), nullptr, key, iv), 1);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), (int)in.size()), 1);
    total = n;
    EXPECT_EQ(EVP_EncryptFinal_ex(ctx, out.data() + total, &n), 1);
    total += n;
    EVP_CIPHER_CTX_free(ctx);
    out.resize((size_t)total);
    return out;
}

std::vector<uint8_t> openssl_ecb_block(const uint8_t key[16], const uint8_t in[16])
{
    std::vector<uint8_t> out(32);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &n, in, 16), 1);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(16);
    return out;
}

const uint8_t kKey[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                          0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (uint8_t)(i * 37 + 11);
    return v;
}

} // namespace

TEST(AesBlock, Fips197AppendixC1)
{
    const uint8_t key[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                             0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
    const uint8_t plain[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                               0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    const uint8_t cipher[16] = {0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30,
                                0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};
    Aes128 aes;
    aes128_init(&aes, key);
    uint8_t out[16];
    aes128_encrypt_block(&aes, plain, out);
    EXPECT_EQ(0, std::memcmp(out, cipher, 16));
}

TEST(AesBlock, LastRoundKeyMatchesFips197KeyExpansion)
{
    // FIPS-197 appendix A.1: key 2b7e1516..., w[40..43] = d014f9a8 c9ee2589 e13f0cc8 b6630ca6.
    const uint8_t last[16] = {0xd0, 0x14, 0xf9, 0xa8, 0xc9, 0xee, 0x25, 0x89,
                              0xe1, 0x3f, 0x0c, 0xc8, 0xb6, 0x63, 0x0c, 0xa6};
    Aes128 aes;
    aes128_init(&aes, kKey);
    EXPECT_EQ(0, std::memcmp(aes.round_keys, kKey, 16));
    EXPECT_EQ(0, std::memcmp(aes.round_keys + 160, last, 16));
}

TEST(AesBlock, InPlaceEncryptionMatchesOpenSsl)
{
    uint8_t block[16];
    for (int i = 0; i < 16; i++)
        block[i] = (uint8_t)(0xf0 - i);
    std::vector<uint8_t> expected = openssl_ecb_block(kKey, block);
    Aes128 aes;
    aes128_init(&aes, kKey);
    aes128_encrypt_block(&aes, block, block);
    EXPECT_EQ(0, std::memcmp(block, expected.data(), 16));
}

TEST(AesCtr, MatchesOpenSslFromTheSharedInitialBlock)
{
    for (size_t len : {0, 1, 15, 16, 17, 20, 31, 32, 33, 1000}) {
        std::vector<uint8_t> data = pattern(len);
        std::vector<uint8_t> expected = openssl_ctr(kKey, AES_CTR_INITIAL_BLOCK, data);
        aes128_ctr(kKey, data.data(), data.size());
        EXPECT_EQ(data, expected) << "length " << len;
    }
}

TEST(AesCtr, TwentyBytesUseTheCounterAndTheCounterPlusOne)
{
    std::vector<uint8_t> zeros(20, 0);
    aes128_ctr(kKey, zeros.data(), zeros.size()); // keystream itself

    std::vector<uint8_t> first = openssl_ecb_block(kKey, AES_CTR_INITIAL_BLOCK);
    // The shared initial block ends in 0x72, so plus one touches only the last byte.
    uint8_t next[16];
    std::memcpy(next, AES_CTR_INITIAL_BLOCK, 16);
    ASSERT_EQ(next[15], 0x72);
    next[15] = 0x73;
    std::vector<uint8_t> second = openssl_ecb_block(kKey, next);

    EXPECT_EQ(0, std::memcmp(zeros.data(), first.data(), 16));
    EXPECT_EQ(0, std::memcmp(zeros.data() + 16, second.data(), 4));
}

TEST(AesCtr, CounterCarriesIntoEarlierBytes)
{
    const uint8_t counter[16] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80,
                                 0x90, 0xa0, 0xb0, 0xc0, 0xd0, 0x07, 0xff, 0xff};
    const uint8_t carried[16] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80,
                                 0x90, 0xa0, 0xb0, 0xc0, 0xd0, 0x08, 0x00, 0x00};
    std::vector<uint8_t> data(32, 0);
    aes128_ctr_from_counter(kKey, counter, data.data(), data.size());
    std::vector<uint8_t> second = openssl_ecb_block(kKey, carried);
    EXPECT_EQ(0, std::memcmp(data.data() + 16, second.data(), 16));

    std::vector<uint8_t> expected = openssl_ctr(kKey, counter, std::vector<uint8_t>(32, 0));
    EXPECT_EQ(data, expected);
}

TEST(AesCtr, CounterWrapsAroundAtAllOnes)
{
    uint8_t counter[16];
    std::memset(counter, 0xff, 16);
    const uint8_t zero_block[16] = {0};
    std::vector<uint8_t> data(32, 0);
    aes128_ctr_from_counter(kKey, counter, data.data(), data.size());
    std::vector<uint8_t> second = openssl_ecb_block(kKey, zero_block);
    EXPECT_EQ(0, std::memcmp(data.data() + 16, second.data(), 16));
}

TEST(AesCtr, EncryptingTwiceGivesBackThePlaintext)
{
    std::vector<uint8_t> original = pattern(77);
    std::vector<uint8_t> data = original;
    aes128_ctr(kKey, data.data(), data.size());
    EXPECT_NE(data, original);
    aes128_ctr(kKey, data.data(), data.size());
    EXPECT_EQ(data, original);
}

TEST(AesKeyDerivation, FromNonce)
{
    const uint8_t nonce[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                               0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
    // 2<->11, 5<->6, byte 9 complemented.
    const uint8_t expected[16] = {0x00, 0x01, 0x0b, 0x03, 0x04, 0x06, 0x05, 0x07,
                                  0x08, 0xf6, 0x0a, 0x02, 0x0c, 0x0d, 0x0e, 0x0f};
    uint8_t key[16];
    aes_key_from_nonce(nonce, key);
    EXPECT_EQ(0, std::memcmp(key, expected, 16));
}

TEST(AesKeyDerivation, FromHidRandom)
{
    const uint8_t r[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                           0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
    // 0<->4, 7<->9, byte 11 complemented.
    const uint8_t expected[16] = {0x04, 0x01, 0x02, 0x03, 0x00, 0x05, 0x06, 0x09,
                                  0x08, 0x07, 0x0a, 0xf4, 0x0c, 0x0d, 0x0e, 0x0f};
    uint8_t key[16];
    aes_key_from_hid_random(r, key);
    EXPECT_EQ(0, std::memcmp(key, expected, 16));
}

TEST(AesKeyDerivation, KeyMayOverwriteItsSource)
{
    uint8_t buf[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                       0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
    const uint8_t expected[16] = {0x00, 0x01, 0x0b, 0x03, 0x04, 0x06, 0x05, 0x07,
                                  0x08, 0xf6, 0x0a, 0x02, 0x0c, 0x0d, 0x0e, 0x0f};
    aes_key_from_nonce(buf, buf);
    EXPECT_EQ(0, std::memcmp(buf, expected, 16));
}

TEST(AesKeyDerivation, EncryptWithNonceUsesTheNonceKey)
{
    const uint8_t nonce[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                               0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
    const uint8_t key[16] = {0x00, 0x01, 0x0b, 0x03, 0x04, 0x06, 0x05, 0x07,
                             0x08, 0xf6, 0x0a, 0x02, 0x0c, 0x0d, 0x0e, 0x0f};
    std::vector<uint8_t> data = pattern(40);
    std::vector<uint8_t> expected = openssl_ctr(key, AES_CTR_INITIAL_BLOCK, data);
    aes_encrypt_with_nonce(data.data(), data.size(), nonce);
    EXPECT_EQ(data, expected);
}
