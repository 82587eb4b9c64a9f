// The password carriers as the simulated dongle receives them: every input
// goes to both the unlock-message parser and the connect-payload parser.
// Whatever parses must be consistent with what the viewer's builders make.
#include "fuzz.h"
#include <cstdint>
#include <cstdlib>
#include <cstring>

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
    if (password_build_unlock(pw, (size_t)n, data + 3, again, sizeof again) != (int)size ||
        std::memcmp(again, data, size) != 0)
        std::abort();
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check_unlock(data, size);
    check_connect(data, size);
    return 0;
}
