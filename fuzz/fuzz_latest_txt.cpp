// "/fw/latest.txt" as any server (or anything between) may send it.
#include "fuzz.h"
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "firmware/update_worker.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact-size copy so a read past the end is caught.
    std::vector<uint8_t> text(data, data + size);
    LatestInfo li;
    update_parse_latest(text.data(), text.size(), &li);
    FUZZ_FAIL_IF(li.digest_ok != 0 && li.digest_ok != 1);
    if (li.digest_ok) {
        // A usable digest only ever comes from "|" plus 32 hex digits at the end.
        FUZZ_FAIL_IF(size < 33 || data[size - 33] != '|');
        const uint8_t *bar = (const uint8_t *)memchr(data, '|', size);
        FUZZ_FAIL_IF(bar != data + size - 33);
    } else {
        static const uint8_t zero[16] = {};
        FUZZ_FAIL_IF(memcmp(li.md5, zero, 16) != 0);
    }
    FUZZ_FAIL_IF(size > 0 && (data[0] < '0' || data[0] > '9') && li.build != 0);
    return 0;
}
