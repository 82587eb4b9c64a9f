#include "ui/resources.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ui/kavri_version.h"

const uint8_t *resource_get(int id, const char *type, size_t *size)
{
    if (size)
        *size = 0;
    if (!type)
        return nullptr;
    for (size_t i = 0; i < kavri_resource_count; i++) {
        const ResourceEntry &e = kavri_resource_table[i];
        if (e.id != id || strcmp(e.type, type) != 0)
            continue;
        if (e.size == 0)
            return nullptr;
        if (size)
            *size = e.size;
        return e.data;
    }
    return nullptr;
}

char *resource_version_text(void)
{
    // Four 16-bit parts, as a file-version record holds them.
    unsigned short parts[4] = {KAVRI_VERSION_MAJOR, KAVRI_VERSION_MINOR, KAVRI_VERSION_PATCH,
                               KAVRI_VERSION_TWEAK};
    char text[32];
    snprintf(text, sizeof text, "%hu.%hu.%hu.%hu", parts[0], parts[1], parts[2], parts[3]);
    return strdup(text);
}
