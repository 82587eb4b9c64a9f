// alias.txt as the operator might write it (or a stray file of that name).
// Besides memory safety, short lines are checked against the expression the
// line format is defined by.
#include "fuzz.h"
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "app/alias_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    auto list = alias_parse(text, size);
    for (const auto &e : list) {
        FUZZ_FAIL_IF(!std::memchr(e.key, '\0', sizeof e.key) || !std::memchr(e.alias, '\0', sizeof e.alias));
        FUZZ_FAIL_IF(!e.key[0] || std::strchr(e.alias, ':') || std::strchr(e.alias, '\n'));
        FUZZ_FAIL_IF(alias_lookup(list, e.key) == nullptr);
    }

    // Differential check on inputs that are one short line.
    if (size <= 40 && !std::memchr(data, '\n', size) && !std::memchr(data, '\0', size)) {
        static const std::regex re("^(.*?):(.+?)\\s*$", std::regex::ECMAScript | std::regex::icase);
        std::string line(text, size);
        std::smatch m;
        bool want = std::regex_search(line, m, re);
        FUZZ_FAIL_IF(list.size() != (want ? 1u : 0u));
        FUZZ_FAIL_IF(want && (m[1].str() != list[0].alias || m[2].str() != list[0].key));
    }
    return 0;
}
