// setting.dat contents, whatever a crash or another program left there.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/settings_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint32_t> list = {0x00010A};
    settings_parse(data, size, &list);
    if (list.size() > SETTINGS_MAX_COUNT)
        std::abort();
    // What is loaded saves and loads back to the same list.
    std::vector<uint8_t> bytes = settings_serialize(list);
    std::vector<uint32_t> again;
    if (settings_parse(bytes.data(), bytes.size(), &again) != 0 || again != list)
        std::abort();
    // The layout record after the end marker: only a valid name is taken,
    // and it saves and loads back.
    std::string layout = SETTINGS_DEFAULT_LAYOUT, back = SETTINGS_DEFAULT_LAYOUT;
    settings_parse_layout(data, size, &layout);
    if (!settings_layout_name_valid(layout))
        std::abort();
    bytes = settings_serialize(list, layout);
    settings_parse_layout(bytes.data(), bytes.size(), &back);
    if (back != layout)
        std::abort();
    return 0;
}
