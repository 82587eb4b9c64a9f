// setting.dat contents, whatever a crash or another program left there.
#include "fuzz.h"
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "app/settings_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint32_t> list = {0x00010A};
    settings_parse(data, size, &list);
    FUZZ_FAIL_IF(list.size() > SETTINGS_MAX_COUNT);
    // What is loaded saves and loads back to the same list.
    std::vector<uint8_t> bytes = settings_serialize(list);
    std::vector<uint32_t> again;
    FUZZ_FAIL_IF(settings_parse(bytes.data(), bytes.size(), &again) != 0 || again != list);
    return 0;
}
