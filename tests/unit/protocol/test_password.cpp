// The password encodings on the wire: the protocol-1 unlock message, the
// protocol-2 connect-request payload and the HID mode command, with the
// simulated dongle's parsers. Ciphertext is checked with OpenSSL under keys derived
// by hand, so a fault in our key derivation or cipher shows up here too.
// Truncations and garbled texts beyond one row per rule: fuzz_password_payloads,
// fuzz_hidmode_command.
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
    // The simulated dongle reads "abc" enciphered by OpenSSL rather than our cipher.
    const Bytes literal = cat({unhex("1600f1 000102030405060708090a0b0c0d0e0f"), openssl_ctr(kNonceKey, "abc", 3)});
    char out[17];
    EXPECT_EQ(password_parse_unlock(Exact(literal).p, literal.size(), out), 3);
    EXPECT_STREQ(out, "abc");

    // Nonces: four draws below 32768, different each time.
    uint8_t n1[16], n2[16];
    password_make_nonce(n1);
    password_make_nonce(n2);
    EXPECT_NE(hex(n1, 16), hex(n2, 16));
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(n1[4 * i + 1] < 0x80 && n1[4 * i + 2] == 0 && n1[4 * i + 3] == 0, true) << i;
}

TEST(PasswordConnectPayload, LiteralAndParsed)
{
    uint8_t out[34];
    out[33] = 0x5a; // the byte after the payload must not be touched
    password_build_connect_payload(nullptr, kNonce, out);
    EXPECT_EQ(hex(out, 33), "00" "000102030405060708090a0b0c0d0e0f" "00000000000000000000000000000000");
    char pw[17];
    EXPECT_EQ(password_parse_connect_payload(out, 33, pw), 0);
    EXPECT_STREQ(pw, "");

    password_build_connect_payload("secret", kNonce, out);
    EXPECT_EQ(hex(out, 17), "01" "000102030405060708090a0b0c0d0e0f");
    EXPECT_EQ(openssl_ctr(kNonceKey, out + 17, 16), cat({{'s', 'e', 'c', 'r', 'e', 't'}, Bytes(10, 0)}));
    EXPECT_EQ(password_parse_connect_payload(out, 33, pw), 1);
    EXPECT_STREQ(pw, "secret");
    uint8_t longer[40] = {0};
    password_build_connect_payload("0123456789abcdef", kNonce, out);
    EXPECT_EQ(out[33], 0x5a);
    password_build_connect_payload("0123456789abcdefXYZ", kNonce, longer); // cut to sixteen
    EXPECT_EQ(hex(longer, 33), hex(out, 33));
    EXPECT_EQ(password_parse_connect_payload(longer, sizeof longer, pw), 1); // a longer payload is fine
    EXPECT_STREQ(pw, "0123456789abcdef");

    // Malformed: short, unknown flag, a password announced over a field that
    // decrypts to zeros.
    Bytes flag2(out, out + 33);
    flag2[0] = 2;
    const Bytes zeros = cat({unhex("01 000102030405060708090a0b0c0d0e0f"), openssl_ctr(kNonceKey, Bytes(16, 0).data(), 16)});
    EXPECT_EQ(password_parse_connect_payload(out, 32, pw), -1);
    EXPECT_EQ(password_parse_connect_payload(flag2.data(), 33, pw), -1);
    EXPECT_STREQ(pw, "");
    EXPECT_EQ(password_parse_connect_payload(zeros.data(), 33, pw), -1);
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
    char pw[17];
    int speed = -1; // the simulated dongle reads it back
    EXPECT_EQ(hidmode_parse_command(abc.data(), abc.size(), pw, &speed), 0);
    EXPECT_EQ(pw + std::to_string(speed), "abc1");
    uint8_t r1[16], r2[16];
    hidmode_make_random(r1);
    hidmode_make_random(r2);
    EXPECT_NE(build_hid(r1, "abc", 1), build_hid(r2, "abc", 1));
}
