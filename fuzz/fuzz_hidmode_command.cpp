// The HID mode command as the simulated dongle receives it from the network:
// any text either parses to a password of at most 16 bytes and speed 0 or 1,
// or is rejected; what parses must be exactly what the viewer would send.
// The input also drives the builder, whose output must parse back.
#include "fuzz.h"
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/password.h"

static int hex_nibble(char c)
{
    return c <= '9' ? c - '0' : (std::toupper((unsigned char)c) - 'A' + 10);
}

static void check_parse(const uint8_t *data, size_t size)
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

static void check_build(const uint8_t *data, size_t size)
{
    if (size < 17)
        return;
    const uint8_t *r = data;
    int speed = data[16] & 1;
    char pw[17];
    size_t n = 0;
    for (size_t i = 17; i < size && n < 16; i++)
        pw[n++] = data[i] ? (char)data[i] : 'z';
    pw[n] = 0;
    char text[HIDMODE_COMMAND_CAP];
    int len = hidmode_build_command(r, pw, n, speed, text, sizeof text);
    FUZZ_FAIL_IF(len < 0);
    char back[17];
    int back_speed = -1;
    if (hidmode_parse_command(text, (size_t)len, back, &back_speed) != 0 || back_speed != speed ||
        std::strcmp(back, pw) != 0)
        std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check_parse(data, size);
    check_build(data, size);
    return 0;
}
