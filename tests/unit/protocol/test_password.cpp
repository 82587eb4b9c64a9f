// The password encodings on the wire: the protocol-1 unlock message, the
// protocol-2 connect-request payload and the HID mode command, with the
// device-side parsers. Ciphertext is checked with OpenSSL under keys derived
// by hand, so a fault in our key derivation or cipher shows up here too.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/aes.h"
#include "protocol/password.h"

namespace {

const uint8_t kNonce[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                            0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
// kNonce with bytes 2<->11 and 5<->6 exchanged and byte 9 complemented.
const uint8_t kNonceKey[16] = {0x00, 0x01, 0x0b, 0x03, 0x04, 0x06, 0x05, 0x07,
                               0x08, 0xf6, 0x0a, 0x02, 0x0c, 0x0d, 0x0e, 0x0f};
// kNonce used as HID random bytes: 0<->4 and 7<->9 exchanged, byte 11 complemented.
const uint8_t kHidKey[16] = {0x04, 0x01, 0x02, 0x03, 0x00, 0x05, 0x06, 0x09,
                             0x08, 0x07, 0x0a, 0xf4, 0x0c, 0x0d, 0x0e, 0x0f};

std::vector<uint8_t> openssl_ctr(const uint8_t key[16], const uint8_t *in, size_t len)
{
    std::vector<uint8_t> out(len + 16);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_128_ctr(), nullptr, key, AES_CTR_INITIAL_BLOCK), 1);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &n, in, (int)len), 1);
    EVP_CIPHER_CTX_free(ctx);
    out.resize((size_t)n);
    return out;
}

std::string build_hid(const uint8_t r[16], const std::string &pw, int speed)
{
    char buf[HIDMODE_COMMAND_CAP];
    int n = hidmode_build_command(r, pw.data(), pw.size(), speed, buf, sizeof buf);
    EXPECT_GT(n, 0);
    return n > 0 ? std::string(buf, (size_t)n) : std::string();
}

int parse_hid(const std::string &text, std::string *pw, int *speed)
{
    // A copy of exactly the text's size, so a read past its end is caught.
    std::vector<char> exact(text.begin(), text.end());
    char out[17];
    std::memset(out, 'X', sizeof out);
    int rc = hidmode_parse_command(exact.data(), exact.size(), out, speed);
    EXPECT_NE(std::memchr(out, 0, sizeof out), nullptr);
    *pw = out;
    return rc;
}

} // namespace

// ---------------------------------------------------------------------------
// Protocol-1 unlock message

TEST(PasswordUnlock, ThreeCharactersGiveTwentyTwoBytes)
{
    uint8_t msg[64];
    ASSERT_EQ(password_build_unlock("abc", 3, kNonce, msg, sizeof msg), 22);
    const uint8_t head[3] = {0x16, 0x00, 0xf1};
    EXPECT_EQ(0, std::memcmp(msg, head, 3));
    EXPECT_EQ(0, std::memcmp(msg + 3, kNonce, 16));
    std::vector<uint8_t> plain = openssl_ctr(kNonceKey, msg + 19, 3);
    EXPECT_EQ(std::string(plain.begin(), plain.end()), "abc");
    EXPECT_NE(0, std::memcmp(msg + 19, "abc", 3));
}

TEST(PasswordUnlock, LengthLimits)
{
    uint8_t msg[64];
    const char *sixteen = "0123456789abcdef";
    ASSERT_EQ(password_build_unlock(sixteen, 16, kNonce, msg, sizeof msg), 35);
    EXPECT_EQ(msg[0], 0x23);
    EXPECT_EQ(msg[1], 0x00);
    EXPECT_EQ(password_build_unlock("0123456789abcdefg", 17, kNonce, msg, sizeof msg), -1);
    EXPECT_EQ(password_build_unlock("", 0, kNonce, msg, sizeof msg), -1);
    EXPECT_EQ(password_build_unlock("abc", 3, kNonce, msg, 21), -1);
    EXPECT_EQ(password_build_unlock("abc", 3, kNonce, msg, 22), 22);
}

TEST(PasswordUnlock, TwoNoncesGiveDifferentMessages)
{
    uint8_t n1[16], n2[16];
    password_make_nonce(n1);
    password_make_nonce(n2);
    EXPECT_NE(0, std::memcmp(n1, n2, 16));
    uint8_t m1[32], m2[32];
    ASSERT_EQ(password_build_unlock("hunter2", 7, n1, m1, sizeof m1), 26);
    ASSERT_EQ(password_build_unlock("hunter2", 7, n2, m2, sizeof m2), 26);
    EXPECT_NE(0, std::memcmp(m1 + 3, m2 + 3, 16));
    EXPECT_NE(0, std::memcmp(m1 + 19, m2 + 19, 7));
}

TEST(PasswordUnlock, NonceHoldsFourDrawsBelow32768)
{
    for (int round = 0; round < 100; round++) {
        uint8_t nonce[16];
        password_make_nonce(nonce);
        for (int i = 0; i < 4; i++) {
            EXPECT_LT(nonce[4 * i + 1], 0x80);
            EXPECT_EQ(nonce[4 * i + 2], 0);
            EXPECT_EQ(nonce[4 * i + 3], 0);
        }
    }
}

TEST(PasswordUnlock, DeviceParsesWhatTheViewerBuilds)
{
    for (const std::string pw : {"a", "abc", "0123456789abcdef"}) {
        uint8_t msg[64];
        int len = password_build_unlock(pw.data(), pw.size(), kNonce, msg, sizeof msg);
        ASSERT_GT(len, 0);
        char out[17];
        EXPECT_EQ(password_parse_unlock(msg, (size_t)len, out), (int)pw.size());
        EXPECT_EQ(std::string(out), pw);
    }
}

TEST(PasswordUnlock, DeviceParsesLiteralMessage)
{
    // "abc" under kNonceKey, built here with OpenSSL rather than our cipher.
    std::vector<uint8_t> cipher = openssl_ctr(kNonceKey, (const uint8_t *)"abc", 3);
    std::vector<uint8_t> msg = {0x16, 0x00, 0xf1, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
    msg.insert(msg.end(), cipher.begin(), cipher.end());
    char out[17];
    EXPECT_EQ(password_parse_unlock(msg.data(), msg.size(), out), 3);
    EXPECT_STREQ(out, "abc");
}

TEST(PasswordUnlock, DeviceRejectsMalformedMessages)
{
    uint8_t msg[64];
    int len = password_build_unlock("abc", 3, kNonce, msg, sizeof msg);
    ASSERT_EQ(len, 22);
    char out[17];

    uint8_t bad[64];
    std::memcpy(bad, msg, 22);
    bad[0] = 0x17; // length field says 23, 22 bytes given
    EXPECT_EQ(password_parse_unlock(bad, 22, out), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(password_parse_unlock(msg, 21, out), -1); // truncated
    std::memcpy(bad, msg, 22);
    bad[2] = 0xf0;
    EXPECT_EQ(password_parse_unlock(bad, 22, out), -1);

    // No password at all (n = 0) and a 17-byte one.
    uint8_t empty[19] = {0x13, 0x00, 0xf1};
    EXPECT_EQ(password_parse_unlock(empty, sizeof empty, out), -1);
    uint8_t long_msg[36] = {0x24, 0x00, 0xf1};
    EXPECT_EQ(password_parse_unlock(long_msg, sizeof long_msg, out), -1);
    EXPECT_EQ(password_parse_unlock(msg, 0, out), -1);
    EXPECT_EQ(password_parse_unlock(msg, 2, out), -1);
}

// ---------------------------------------------------------------------------
// Protocol-2 connect-request payload

TEST(PasswordConnectPayload, WithoutPasswordLiteralBytes)
{
    const uint8_t expected[33] = {
        0x00,                                                                                           //
        0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, //
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    };
    uint8_t out[33];
    std::memset(out, 0xaa, sizeof out);
    password_build_connect_payload("", kNonce, out);
    EXPECT_EQ(0, std::memcmp(out, expected, 33));
    std::memset(out, 0xaa, sizeof out);
    password_build_connect_payload(nullptr, kNonce, out);
    EXPECT_EQ(0, std::memcmp(out, expected, 33));

    char pw[17];
    EXPECT_EQ(password_parse_connect_payload(expected, 33, pw), 0);
    EXPECT_STREQ(pw, "");
}

TEST(PasswordConnectPayload, WithPasswordEncryptsTheZeroPaddedField)
{
    uint8_t out[33];
    password_build_connect_payload("secret", kNonce, out);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(0, std::memcmp(out + 1, kNonce, 16));
    const uint8_t field[16] = {'s', 'e', 'c', 'r', 'e', 't', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_NE(0, std::memcmp(out + 17, field, 16));
    std::vector<uint8_t> plain = openssl_ctr(kNonceKey, out + 17, 16);
    EXPECT_EQ(0, std::memcmp(plain.data(), field, 16));

    char pw[17];
    EXPECT_EQ(password_parse_connect_payload(out, 33, pw), 1);
    EXPECT_STREQ(pw, "secret");
}

TEST(PasswordConnectPayload, SixteenBytePasswordStaysInsideThePayloadAndLongerIsCut)
{
    uint8_t buf[34];
    buf[33] = 0x5a; // the byte after the payload must not be touched
    password_build_connect_payload("0123456789abcdef", kNonce, buf);
    EXPECT_EQ(buf[33], 0x5a);
    std::vector<uint8_t> plain = openssl_ctr(kNonceKey, buf + 17, 16);
    EXPECT_EQ(0, std::memcmp(plain.data(), "0123456789abcdef", 16));

    char pw[17];
    std::memset(pw, 'X', sizeof pw);
    EXPECT_EQ(password_parse_connect_payload(buf, 33, pw), 1);
    EXPECT_STREQ(pw, "0123456789abcdef");

    // A longer password is cut to sixteen.
    uint8_t longer[33];
    password_build_connect_payload("0123456789abcdefXYZ", kNonce, longer);
    EXPECT_EQ(0, std::memcmp(longer, buf, 33));
}

TEST(PasswordConnectPayload, DeviceRejectsMalformedPayloads)
{
    uint8_t out[33];
    password_build_connect_payload("secret", kNonce, out);
    char pw[17];
    EXPECT_EQ(password_parse_connect_payload(out, 32, pw), -1);
    EXPECT_EQ(password_parse_connect_payload(out, 0, pw), -1);
    uint8_t bad[33];
    std::memcpy(bad, out, 33);
    bad[0] = 2;
    EXPECT_EQ(password_parse_connect_payload(bad, 33, pw), -1);
    EXPECT_STREQ(pw, "");

    // Flag 1 over a field that decrypts to all zeros: a password announced, none given.
    uint8_t empty[33] = {0x01, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                         0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
    uint8_t zeros[16] = {0};
    std::vector<uint8_t> stream = openssl_ctr(kNonceKey, zeros, 16);
    std::memcpy(empty + 17, stream.data(), 16);
    EXPECT_EQ(password_parse_connect_payload(empty, 33, pw), -1);
}

TEST(PasswordConnectPayload, LongerPayloadIsAccepted)
{
    uint8_t buf[40] = {0};
    password_build_connect_payload("pw", kNonce, buf);
    char pw[17];
    EXPECT_EQ(password_parse_connect_payload(buf, sizeof buf, pw), 1);
    EXPECT_STREQ(pw, "pw");
}

// ---------------------------------------------------------------------------
// HID mode command

TEST(HidModeCommand, ThreeCharacterPasswordLayout)
{
    std::string text = build_hid(kNonce, "abc", 1);
    const std::string prefix = "set hid_speed key=\"";
    const std::string suffix = "\" speed=\"1\" \n";
    ASSERT_EQ(text.size(), prefix.size() + 38 + suffix.size());
    EXPECT_EQ(text.substr(0, prefix.size()), prefix);
    EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix);
    std::string key = text.substr(prefix.size(), 38);
    EXPECT_EQ(key.substr(0, 32), "000102030405060708090A0B0C0D0E0F");

    std::vector<uint8_t> cipher = openssl_ctr(kHidKey, (const uint8_t *)"abc", 3);
    char expected[7];
    std::snprintf(expected, sizeof expected, "%02X%02X%02X", cipher[0], cipher[1], cipher[2]);
    EXPECT_EQ(key.substr(32), expected);
}

TEST(HidModeCommand, EmptyPasswordLiteralText)
{
    EXPECT_EQ(build_hid(kNonce, "", 0), "set hid_speed key=\"000102030405060708090A0B0C0D0E0F\" speed=\"0\" \n");
    char buf[HIDMODE_COMMAND_CAP];
    EXPECT_EQ(hidmode_build_command(kNonce, nullptr, 0, 1, buf, sizeof buf), 64);
}

TEST(HidModeCommand, BuilderLimits)
{
    char buf[HIDMODE_COMMAND_CAP];
    EXPECT_EQ(hidmode_build_command(kNonce, "0123456789abcdef", 16, 1, buf, sizeof buf), 96);
    EXPECT_EQ(hidmode_build_command(kNonce, "0123456789abcdefg", 17, 1, buf, sizeof buf), -1);
    EXPECT_EQ(hidmode_build_command(kNonce, "abc", 3, 2, buf, sizeof buf), -1);
    EXPECT_EQ(hidmode_build_command(kNonce, "abc", 3, -1, buf, sizeof buf), -1);
    EXPECT_EQ(hidmode_build_command(kNonce, "a\0c", 3, 1, buf, sizeof buf), -1);
    EXPECT_EQ(hidmode_build_command(kNonce, "abc", 3, 1, buf, 70), -1); // no room for the zero
    EXPECT_EQ(hidmode_build_command(kNonce, "abc", 3, 1, buf, 71), 70);
    EXPECT_EQ(buf[70], 0);
}

TEST(HidModeCommand, DifferentRandomBytesGiveDifferentKeys)
{
    uint8_t r1[16], r2[16];
    hidmode_make_random(r1);
    hidmode_make_random(r2);
    EXPECT_NE(0, std::memcmp(r1, r2, 16));
    EXPECT_NE(build_hid(r1, "abc", 1), build_hid(r2, "abc", 1));
}

TEST(HidModeCommand, DeviceParsesWhatTheViewerBuilds)
{
    for (const std::string pw : {"", "a", "abc", "0123456789abcdef"}) {
        for (int speed : {0, 1}) {
            uint8_t r[16];
            hidmode_make_random(r);
            std::string got;
            int got_speed = -1;
            EXPECT_EQ(parse_hid(build_hid(r, pw, speed), &got, &got_speed), 0);
            EXPECT_EQ(got, pw);
            EXPECT_EQ(got_speed, speed);
        }
    }
}

TEST(HidModeCommand, DeviceAcceptsLowerCaseHex)
{
    std::string text = build_hid(kNonce, "abc", 1);
    for (size_t i = 19; i < 19 + 38; i++)
        text[i] = (char)std::tolower((unsigned char)text[i]);
    std::string pw;
    int speed = -1;
    EXPECT_EQ(parse_hid(text, &pw, &speed), 0);
    EXPECT_EQ(pw, "abc");
}

TEST(HidModeCommand, DeviceRejectsEveryTruncation)
{
    std::string text = build_hid(kNonce, "abc", 1);
    for (size_t n = 0; n < text.size(); n++) {
        std::string pw;
        int speed = 7;
        EXPECT_EQ(parse_hid(text.substr(0, n), &pw, &speed), -1) << "length " << n;
        EXPECT_EQ(speed, 7);
        EXPECT_EQ(pw, "");
    }
}

TEST(HidModeCommand, DeviceRejectsAGarbledCharacterAnywhere)
{
    std::string text = build_hid(kNonce, "abc", 0);
    for (size_t i = 0; i < text.size(); i++) {
        std::string bad = text;
        bad[i] = 'G';
        std::string pw;
        int speed = 7;
        EXPECT_EQ(parse_hid(bad, &pw, &speed), -1) << "position " << i;
    }
}

TEST(HidModeCommand, DeviceRejectsMalformedTexts)
{
    const std::string r = "000102030405060708090A0B0C0D0E0F";
    auto cmd = [](const std::string &key, const std::string &speed, const std::string &end) {
        return "set hid_speed key=\"" + key + "\" speed=\"" + speed + "\"" + end;
    };
    std::string pw;
    int speed = 0;
    EXPECT_EQ(parse_hid(cmd(r, "1", " \n"), &pw, &speed), 0);
    EXPECT_EQ(parse_hid(cmd(r, "1", " \n") + "x", &pw, &speed), -1);   // trailing byte
    EXPECT_EQ(parse_hid(cmd(r, "1", "\n"), &pw, &speed), -1);          // no blank before LF
    EXPECT_EQ(parse_hid(cmd(r, "2", " \n"), &pw, &speed), -1);         // unknown speed
    EXPECT_EQ(parse_hid(cmd(r, "10", " \n"), &pw, &speed), -1);        // two digits
    EXPECT_EQ(parse_hid(cmd(r, "", " \n"), &pw, &speed), -1);          // no speed
    EXPECT_EQ(parse_hid(cmd(r.substr(2), "1", " \n"), &pw, &speed), -1); // 30 digits
    EXPECT_EQ(parse_hid(cmd(r + "A", "1", " \n"), &pw, &speed), -1);   // odd digit count
    EXPECT_EQ(parse_hid(cmd(r + std::string(34, 'A'), "1", " \n"), &pw, &speed), -1); // 17 bytes
    EXPECT_EQ(parse_hid(cmd(r + std::string(2000, 'A'), "1", " \n"), &pw, &speed), -1);
    EXPECT_EQ(parse_hid("SET hid_speed key=\"" + r + "\" speed=\"1\" \n", &pw, &speed), -1);
    EXPECT_EQ(parse_hid("", &pw, &speed), -1);

    // A password byte that decrypts to zero: R followed by the keystream's first byte.
    const uint8_t zero = 0;
    std::vector<uint8_t> ks = openssl_ctr(kHidKey, &zero, 1);
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", ks[0]);
    EXPECT_EQ(parse_hid(cmd(r + hex, "1", " \n"), &pw, &speed), -1);
}
