// The password encodings on the wire: the protocol-1 unlock message, the
// protocol-2 connect-request payload and the HID mode command. Ciphertext is
// checked with OpenSSL under keys derived by hand, so a fault in our key
// derivation or cipher shows up here too. The simulated dongle's readers are
// held to the builders by fuzz_password and read them in the integration tests.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "protocol/aes.h"
#include "protocol/password.h"
#include "support/bytes.h"

namespace {

const uint8_t kNonce[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
// kNonce with bytes 2<->11 and 5<->6 exchanged and byte 9 complemented.
const uint8_t kNonceKey[16] = {0x00, 0x01, 0x0b, 0x03, 0x04, 0x06, 0x05, 0x07,
                               0x08, 0xf6, 0x0a, 0x02, 0x0c, 0x0d, 0x0e, 0x0f};
// kNonce used as HID random bytes: 0<->4 and 7<->9 exchanged, byte 11 complemented.
const uint8_t kHidKey[16] = {0x04, 0x01, 0x02, 0x03, 0x00, 0x05, 0x06, 0x09,
                             0x08, 0x07, 0x0a, 0xf4, 0x0c, 0x0d, 0x0e, 0x0f};

Bytes openssl_ctr(const uint8_t key[16], const void *in, size_t len)
{
    Bytes out(len + 16);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_128_ctr(), nullptr, key, AES_CTR_INITIAL_BLOCK), 1);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &n, (const uint8_t *)in, (int)len), 1);
    EVP_CIPHER_CTX_free(ctx);
    out.resize((size_t)n);
    return out;
}

std::string build_hid(const uint8_t r[16], const std::string &pw, int speed)
{
    char buf[HIDMODE_COMMAND_CAP];
    int n = hidmode_build_command(r, pw.data(), pw.size(), speed, buf, sizeof buf);
    return n > 0 ? std::string(buf, (size_t)n) : std::string("refused");
}

} // namespace

TEST(PasswordUnlock, LiteralLayoutAndCipher)
{
    uint8_t msg[64];
    ASSERT_EQ(password_build_unlock("abc", 3, kNonce, msg, sizeof msg), 22);
    EXPECT_EQ(hex(msg, 19), "1600f1" "000102030405060708090a0b0c0d0e0f");
    EXPECT_EQ(openssl_ctr(kNonceKey, msg + 19, 3), (Bytes{'a', 'b', 'c'}));
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
    EXPECT_EQ(openssl_ctr(kNonceKey, out + 17, 16), cat({{'s', 'e', 'c', 'r', 'e', 't'}, Bytes(10, 0)}));
    uint8_t longer[34];
    password_build_connect_payload("0123456789abcdef", kNonce, out);
    password_build_connect_payload("0123456789abcdefXYZ", kNonce, longer); // cut to sixteen
    EXPECT_EQ(hex(longer, 33), hex(out, 33));
    EXPECT_EQ(out[33], 0x5a);
}

TEST(HidModeCommand, LiteralTextAndCipher)
{
    EXPECT_EQ(build_hid(kNonce, "", 0), "set hid_speed key=\"000102030405060708090A0B0C0D0E0F\" speed=\"0\" \n");
    std::string cipher = hex(openssl_ctr(kHidKey, "abc", 3));
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
