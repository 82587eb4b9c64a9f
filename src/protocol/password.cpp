#include "protocol/password.h"

#include <cstring>

#include "protocol/aes.h"
#include "base/bytes.h"
#include "base/rng.h"
#include "protocol/wire_defs.h"

static const char kHidPrefix[] = "set hid_speed key=\"";
static const char kHidMiddle[] = "\" speed=\"";
static const char kHidEnd[] = "\" \n";
static const size_t kHidPrefixLen = sizeof kHidPrefix - 1;
static const size_t kHidMiddleLen = sizeof kHidMiddle - 1;
static const size_t kHidEndLen = sizeof kHidEnd - 1;

// Plain memset may be dropped by the compiler for a buffer that dies next.
static void wipe(void *p, size_t n)
{
    volatile uint8_t *v = (volatile uint8_t *)p;
    for (size_t i = 0; i < n; i++)
        v[i] = 0;
}

void password_make_nonce(uint8_t nonce[16])
{
    for (int i = 0; i < 4; i++)
        wr_le32(nonce + 4 * i, (uint32_t)kv_rand());
}

int password_build_unlock(const char *password, size_t n, const uint8_t nonce[16], uint8_t *out, size_t cap)
{
    if (n == 0 || n > PASSWORD_MAX_LEN || password == nullptr || cap < n + P1_UNLOCK_FIXED_SIZE)
        return -1;
    size_t total = n + P1_UNLOCK_FIXED_SIZE;
    wr_le16(out, (uint16_t)total);
    out[2] = P1_CODE_UNLOCK;
    std::memcpy(out + 3, nonce, 16);
    std::memcpy(out + P1_UNLOCK_FIXED_SIZE, password, n);
    aes_encrypt_with_nonce(out + P1_UNLOCK_FIXED_SIZE, n, nonce);
    return (int)total;
}

int password_parse_unlock(const uint8_t *msg, size_t len, char out[17])
{
    out[0] = 0;
    if (len < P1_UNLOCK_FIXED_SIZE + 1 || len > P1_UNLOCK_FIXED_SIZE + PASSWORD_MAX_LEN)
        return -1;
    if (rd_le16(msg) != len || msg[2] != P1_CODE_UNLOCK)
        return -1;
    size_t n = len - P1_UNLOCK_FIXED_SIZE;
    uint8_t plain[PASSWORD_MAX_LEN];
    std::memcpy(plain, msg + P1_UNLOCK_FIXED_SIZE, n);
    aes_encrypt_with_nonce(plain, n, msg + 3);
    std::memcpy(out, plain, n);
    out[n] = 0;
    wipe(plain, sizeof plain);
    return (int)n;
}

void password_build_connect_payload(const char *password, const uint8_t nonce[16], uint8_t out[33])
{
    std::memset(out, 0, P2_CONNECT_REQUEST_PAYLOAD);
    std::memcpy(out + 1, nonce, 16);
    size_t n = password ? strnlen(password, PASSWORD_MAX_LEN) : 0;
    if (n == 0)
        return;
    out[0] = 1;
    // The field is 16 bytes; the zero fill supplies the terminator when the
    // password is shorter, and a 16-byte password fills it with none (copying
    // its terminator too would write one byte past the payload).
    std::memcpy(out + 17, password, n);
    aes_encrypt_with_nonce(out + 17, 16, nonce);
}

int password_parse_connect_payload(const uint8_t *payload, size_t len, char out[17])
{
    out[0] = 0;
    if (len < P2_CONNECT_REQUEST_PAYLOAD)
        return -1;
    if (payload[0] == 0)
        return 0;
    if (payload[0] != 1)
        return -1;
    uint8_t field[16];
    std::memcpy(field, payload + 17, 16);
    aes_encrypt_with_nonce(field, 16, payload + 1);
    // A full 16-byte password carries no terminator; out has room for one.
    size_t n = strnlen((const char *)field, sizeof field);
    std::memcpy(out, field, n);
    out[n] = 0;
    wipe(field, sizeof field);
    if (n == 0)
        return -1;
    return 1;
}

void hidmode_make_random(uint8_t r[16])
{
    for (int i = 0; i < 16; i++)
        r[i] = (uint8_t)(kv_rand() & 0xff);
}

static const char kHexUpper[] = "0123456789ABCDEF";

static char *put_hex(char *p, const uint8_t *bytes, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        *p++ = kHexUpper[bytes[i] >> 4];
        *p++ = kHexUpper[bytes[i] & 15];
    }
    return p;
}

int hidmode_build_command(const uint8_t r[16], const char *password, size_t n, int speed, char *out, size_t cap)
{
    if (n > PASSWORD_MAX_LEN || (n > 0 && password == nullptr) || (speed != 0 && speed != 1))
        return -1;
    if (n > 0 && std::memchr(password, 0, n) != nullptr)
        return -1;
    size_t total = kHidPrefixLen + 32 + 2 * n + kHidMiddleLen + 1 + kHidEndLen;
    if (cap <= total)
        return -1;

    uint8_t key[16];
    uint8_t secret[PASSWORD_MAX_LEN];
    aes_key_from_hid_random(r, key);
    if (n > 0)
        std::memcpy(secret, password, n);
    aes128_ctr(key, secret, n);

    char *p = out;
    std::memcpy(p, kHidPrefix, kHidPrefixLen);
    p += kHidPrefixLen;
    p = put_hex(p, r, 16);
    p = put_hex(p, secret, n);
    std::memcpy(p, kHidMiddle, kHidMiddleLen);
    p += kHidMiddleLen;
    *p++ = (char)('0' + speed);
    std::memcpy(p, kHidEnd, kHidEndLen);
    p += kHidEndLen;
    *p = 0;

    wipe(key, sizeof key);
    wipe(secret, sizeof secret);
    return (int)total;
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

int hidmode_parse_command(const char *text, size_t len, char password_out[17], int *speed)
{
    password_out[0] = 0;
    if (len < kHidPrefixLen || std::memcmp(text, kHidPrefix, kHidPrefixLen) != 0)
        return -1;
    size_t pos = kHidPrefixLen;
    size_t digits = 0;
    while (pos + digits < len && hex_value(text[pos + digits]) >= 0)
        digits++;
    if (digits < 32 || digits > 32 + 2 * PASSWORD_MAX_LEN || digits % 2 != 0)
        return -1;
    size_t key_pos = pos;
    pos += digits;
    // What follows the key has a fixed length, so the total is known here.
    if (len != pos + kHidMiddleLen + 1 + kHidEndLen)
        return -1;
    if (std::memcmp(text + pos, kHidMiddle, kHidMiddleLen) != 0)
        return -1;
    pos += kHidMiddleLen;
    char digit = text[pos++];
    if (digit != '0' && digit != '1')
        return -1;
    if (std::memcmp(text + pos, kHidEnd, kHidEndLen) != 0)
        return -1;

    uint8_t bytes[16 + PASSWORD_MAX_LEN];
    size_t count = digits / 2;
    for (size_t i = 0; i < count; i++)
        bytes[i] = (uint8_t)(hex_value(text[key_pos + 2 * i]) << 4 | hex_value(text[key_pos + 2 * i + 1]));
    size_t n = count - 16;
    uint8_t key[16];
    aes_key_from_hid_random(bytes, key);
    aes128_ctr(key, bytes + 16, n);
    wipe(key, sizeof key);
    int result = -1;
    if (std::memchr(bytes + 16, 0, n) == nullptr) {
        std::memcpy(password_out, bytes + 16, n);
        password_out[n] = 0;
        *speed = digit - '0';
        result = 0;
    }
    wipe(bytes, sizeof bytes);
    return result;
}
