// AES-128 (and its counter mode), MD5 and the firmware's SHA-256 block
// chaining: published known answers, then agreement with OpenSSL. Then the
// password encodings on the wire (the protocol-1 unlock message, the
// protocol-2 connect-request payload and the HID mode command), their
// ciphertext checked with OpenSSL under keys derived by hand, so a fault in our
// key derivation or cipher shows up too. The simulated dongle's readers are
// held to the builders by fuzz_password and read them in the integration tests.
#include <gtest/gtest.h>

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <random>
#include <string>

#include "base/bytes.h"
#include "protocol/aes.h"
#include "protocol/md5.h"
#include "protocol/password.h"
#include "protocol/sha256_block.h"
#include "support/bytes.h"

namespace {

Bytes random_bytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    Bytes v(n);
    for (auto &b : v)
        b = (uint8_t)gen();
    return v;
}

// With a cipher: its output for in; without: in's MD5.
Bytes openssl(const EVP_CIPHER *cipher, const uint8_t *key, const uint8_t *iv, const Bytes &in)
{
    Bytes out(in.size() + 16);
    if (!cipher) {
        EVP_Digest(in.data(), in.size(), out.data(), nullptr, EVP_md5(), nullptr);
        return Bytes(out.begin(), out.begin() + 16);
    }
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, cipher, nullptr, key, iv), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), (int)in.size()), 1);
    EVP_CIPHER_CTX_free(ctx);
    out.resize((size_t)n);
    return out;
}

// The password payloads' counter mode, as OpenSSL computes it.
Bytes ctr(const uint8_t key[16], const void *in, size_t len)
{
    const uint8_t *p = (const uint8_t *)in;
    return openssl(EVP_aes_128_ctr(), key, AES_CTR_INITIAL_BLOCK, Bytes(p, p + len));
}

const Bytes kKey = unhex("2b7e151628aed2a6abf7158809cf4f3c");
const uint8_t kNonce[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
// kNonce with bytes 2<->11 and 5<->6 exchanged and byte 9 complemented.
const uint8_t kNonceKey[16] = {0x00, 0x01, 0x0b, 0x03, 0x04, 0x06, 0x05, 0x07,
                               0x08, 0xf6, 0x0a, 0x02, 0x0c, 0x0d, 0x0e, 0x0f};
// kNonce used as HID random bytes: 0<->4 and 7<->9 exchanged, byte 11 complemented.
const uint8_t kHidKey[16] = {0x04, 0x01, 0x02, 0x03, 0x00, 0x05, 0x06, 0x09,
                             0x08, 0x07, 0x0a, 0xf4, 0x0c, 0x0d, 0x0e, 0x0f};

std::string build_hid(const uint8_t r[16], const std::string &pw, int speed)
{
    char buf[HIDMODE_COMMAND_CAP];
    int n = hidmode_build_command(r, pw.data(), pw.size(), speed, buf, sizeof buf);
    return n > 0 ? std::string(buf, (size_t)n) : std::string("refused");
}

} // namespace

TEST(Aes, KnownAnswersAndOpenSsl)
{
    // FIPS-197 appendix C.1.
    Aes128 aes;
    aes128_init(&aes, unhex("000102030405060708090a0b0c0d0e0f").data());
    uint8_t out[16];
    aes128_encrypt_block(&aes, unhex("00112233445566778899aabbccddeeff").data(), out);
    EXPECT_EQ(hex(out, 16), "69c4e0d86a7b0430d8cdb78070b4c55a");
    aes128_init(&aes, kKey.data());
    Bytes block = random_bytes(16, 9);
    const Bytes ecb = openssl(EVP_aes_128_ecb(), kKey.data(), nullptr, block);
    aes128_encrypt_block(&aes, block.data(), block.data()); // in place
    EXPECT_EQ(block, ecb);

    // Counter mode from the shared initial block, over every block boundary case.
    for (size_t len : {0, 1, 15, 16, 17, 33, 1000}) {
        Bytes data = random_bytes(len, (unsigned)len);
        const Bytes want = openssl(EVP_aes_128_ctr(), kKey.data(), AES_CTR_INITIAL_BLOCK, data);
        aes128_ctr(kKey.data(), data.data(), data.size());
        EXPECT_EQ(data, want) << len;
    }
    // The counter carries into earlier bytes and wraps around at all ones.
    for (const char *ctr : {"102030405060708090a0b0c0d007ffff", "ffffffffffffffffffffffffffffffff"}) {
        Bytes data(32, 0);
        aes128_ctr_from_counter(kKey.data(), unhex(ctr).data(), data.data(), data.size());
        EXPECT_EQ(data, openssl(EVP_aes_128_ctr(), kKey.data(), unhex(ctr).data(), Bytes(32, 0))) << ctr;
    }
}

TEST(Md5, Rfc1321SuiteAndOpenSsl)
{
    const std::pair<std::string, const char *> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"}};
    uint8_t out[16];
    for (const auto &[text, want] : suite) {
        md5((const uint8_t *)text.data(), text.size(), out);
        EXPECT_EQ(hex(out, 16), want) << text;
    }
    for (size_t n : {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 300007}) { // the padding boundary cases, a long one
        Bytes data = random_bytes(n, (unsigned)n);
        md5(data.data(), data.size(), out);
        EXPECT_EQ(Bytes(out, out + 16), openssl(nullptr, nullptr, nullptr, data)) << n;
    }
}

TEST(Sha256Block, ChainsWholeBlocksWithoutPadding)
{
    // "abc" with its padding and length is one block: chaining over it gives
    // FIPS 180-4's example digest; no complete block gives the initial value.
    Bytes abc(64, 0), out(32);
    abc[0] = 'a', abc[1] = 'b', abc[2] = 'c', abc[3] = 0x80, abc[63] = 0x18;
    sha256_block_digest(abc.data(), 64, out.data());
    EXPECT_EQ(hex(out), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    sha256_block_digest(abc.data(), 63, out.data());
    EXPECT_EQ(hex(out), "6a09e667bb67ae853c6ef372a54ff53a510e527f9b05688c1f83d9ab5be0cd19");
    // Against OpenSSL's compression function alone, the trailing part left out.
    Bytes data = random_bytes(1 << 20, 4), want(32);
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    for (size_t off = 0; off + 64 < data.size(); off += 64)
        SHA256_Transform(&ctx, data.data() + off);
    for (int i = 0; i < 8; i++)
        wr_be32(want.data() + 4 * i, ctx.h[i]);
    sha256_block_digest(data.data(), data.size() - 1, out.data());
    EXPECT_EQ(out, want);
}

TEST(PasswordUnlock, LiteralLayoutAndCipher)
{
    uint8_t msg[64];
    ASSERT_EQ(password_build_unlock("abc", 3, kNonce, msg, sizeof msg), 22);
    EXPECT_EQ(hex(msg, 19), "1600f1" "000102030405060708090a0b0c0d0e0f");
    EXPECT_EQ(ctr(kNonceKey, msg + 19, 3), (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(password_build_unlock("0123456789abcdef", 16, kNonce, msg, sizeof msg), 35);
    EXPECT_EQ(msg[0], 0x23);
    EXPECT_EQ(password_build_unlock("0123456789abcdefg", 17, kNonce, msg, sizeof msg), -1);
    EXPECT_EQ(password_build_unlock("", 0, kNonce, msg, sizeof msg), -1);
    EXPECT_EQ(password_build_unlock("abc", 3, kNonce, msg, 21), -1);

    // Nonces: four draws below 32768, different each time.
    uint8_t n1[16], n2[16];
    password_make_nonce(n1);
    password_make_nonce(n2);
    EXPECT_NE(hex(n1, 16), hex(n2, 16));
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(n1[4 * i + 1] < 0x80 && n1[4 * i + 2] == 0 && n1[4 * i + 3] == 0, true) << i;
}

TEST(PasswordConnectPayload, Literal)
{
    uint8_t out[34];
    out[33] = 0x5a; // the byte after the payload must not be touched
    password_build_connect_payload(nullptr, kNonce, out);
    EXPECT_EQ(hex(out, 33), "00" "000102030405060708090a0b0c0d0e0f" "00000000000000000000000000000000");
    password_build_connect_payload("secret", kNonce, out);
    EXPECT_EQ(hex(out, 17), "01" "000102030405060708090a0b0c0d0e0f");
    EXPECT_EQ(ctr(kNonceKey, out + 17, 16), cat({{'s', 'e', 'c', 'r', 'e', 't'}, Bytes(10, 0)}));
    uint8_t longer[34];
    password_build_connect_payload("0123456789abcdef", kNonce, out);
    password_build_connect_payload("0123456789abcdefXYZ", kNonce, longer); // cut to sixteen
    EXPECT_EQ(hex(longer, 33), hex(out, 33));
    EXPECT_EQ(out[33], 0x5a);
}

TEST(HidModeCommand, LiteralTextAndCipher)
{
    EXPECT_EQ(build_hid(kNonce, "", 0), "set hid_speed key=\"000102030405060708090A0B0C0D0E0F\" speed=\"0\" \n");
    std::string cipher = hex(ctr(kHidKey, "abc", 3));
    std::transform(cipher.begin(), cipher.end(), cipher.begin(), ::toupper);
    const std::string abc = build_hid(kNonce, "abc", 1);
    EXPECT_EQ(abc, "set hid_speed key=\"000102030405060708090A0B0C0D0E0F" + cipher + "\" speed=\"1\" \n");
    char buf[HIDMODE_COMMAND_CAP];
    EXPECT_EQ(hidmode_build_command(kNonce, "0123456789abcdef", 16, 1, buf, sizeof buf), 96);
    const std::pair<std::string, int> refused[] = {{"0123456789abcdefg", 1}, {"abc", 2}, {"abc", -1}, {std::string("a\0c", 3), 1}};
    for (const auto &[pw, speed] : refused)
        EXPECT_EQ(hidmode_build_command(kNonce, pw.data(), pw.size(), speed, buf, sizeof buf), -1) << pw << speed;
    EXPECT_EQ(hidmode_build_command(kNonce, "abc", 3, 1, buf, 70), -1); // no room for the zero
    EXPECT_EQ(hidmode_build_command(kNonce, "abc", 3, 1, buf, 71), 70);
    uint8_t r1[16], r2[16];
    hidmode_make_random(r1);
    hidmode_make_random(r2);
    EXPECT_NE(build_hid(r1, "abc", 1), build_hid(r2, "abc", 1));
}
