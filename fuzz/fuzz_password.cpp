// The password carriers as the simulated dongle receives them: every input
// goes to the unlock-message parser, the connect-payload parser and the HID
// mode command parser. Whatever parses must be consistent with what the
// viewer's builders make; the input also drives the HID mode builder, whose
// output must parse back.
#include <cctype>

#include "fuzz.h"
#include "protocol/password.h"

static void check_unlock(const uint8_t *data, size_t size)
{
    char pw[17];
    std::memset(pw, 'X', sizeof pw);
    int n = password_parse_unlock(data, size, pw);
    if (n < 0) {
        FUZZ_FAIL_IF(pw[0] != 0);
        return;
    }
    FUZZ_FAIL_IF(n < 1 || n > 16 || pw[n] != 0 || (size_t)n + 19 != size);
    // The cipher is deterministic: the same password and nonce rebuild the input.
    uint8_t again[35];
    FUZZ_FAIL_IF(password_build_unlock(pw, (size_t)n, data + 3, again, sizeof again) != (int)size ||
                 std::memcmp(again, data, size) != 0);
}

static void check_connect(const uint8_t *data, size_t size)
{
    char pw[17];
    std::memset(pw, 'X', sizeof pw);
    int rc = password_parse_connect_payload(data, size, pw);
    FUZZ_FAIL_IF(std::memchr(pw, 0, sizeof pw) == nullptr);
    if (rc <= 0) {
        FUZZ_FAIL_IF(pw[0] != 0 || (rc == 0 && data[0] != 0));
        return;
    }
    FUZZ_FAIL_IF(rc != 1 || data[0] != 1 || pw[0] == 0);
    uint8_t again[33];
    password_build_connect_payload(pw, data + 1, again);
    char back[17];
    FUZZ_FAIL_IF(password_parse_connect_payload(again, sizeof again, back) != 1 || std::strcmp(back, pw) != 0);
}

static int hex_nibble(char c) { return c <= '9' ? c - '0' : (std::toupper((unsigned char)c) - 'A' + 10); }

// Any text either parses to a password of at most 16 bytes and speed 0 or 1,
// or is rejected; what parses is exactly what the viewer would send.
static void check_hidmode_parse(const uint8_t *data, size_t size)
{
    char pw[17];
    int speed = -1;
    const char *text = (const char *)data;
    if (hidmode_parse_command(text, size, pw, &speed) != 0) {
        FUZZ_FAIL_IF(pw[0] != 0);
        return;
    }
    size_t n = strnlen(pw, sizeof pw);
    FUZZ_FAIL_IF(n > 16 || (speed != 0 && speed != 1));
    // The random bytes are the first 32 key digits; rebuilding from them and
    // the parsed password must give the input back, apart from hex case.
    uint8_t r[16];
    for (int i = 0; i < 16; i++)
        r[i] = (uint8_t)(hex_nibble(text[19 + 2 * i]) << 4 | hex_nibble(text[20 + 2 * i]));
    char again[HIDMODE_COMMAND_CAP];
    int len = hidmode_build_command(r, pw, n, speed, again, sizeof again);
    FUZZ_FAIL_IF(len < 0 || (size_t)len != size);
    for (size_t i = 0; i < size; i++)
        FUZZ_FAIL_IF(std::toupper((unsigned char)again[i]) != std::toupper((unsigned char)text[i]));
}

static void check_hidmode_build(const uint8_t *data, size_t size)
{
    if (size < 17)
        return;
    int speed = data[16] & 1;
    char pw[17];
    size_t n = 0;
    for (size_t i = 17; i < size && n < 16; i++)
        pw[n++] = data[i] ? (char)data[i] : 'z';
    pw[n] = 0;
    char text[HIDMODE_COMMAND_CAP], back[17];
    int len = hidmode_build_command(data, pw, n, speed, text, sizeof text), back_speed = -1;
    FUZZ_FAIL_IF(len < 0 || hidmode_parse_command(text, (size_t)len, back, &back_speed) != 0 ||
                 back_speed != speed || std::strcmp(back, pw) != 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check_unlock(data, size);
    check_connect(data, size);
    check_hidmode_parse(data, size);
    check_hidmode_build(data, size);
    return 0;
}
