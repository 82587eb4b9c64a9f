// The program's own resources: files compiled in at build time and found by
// numeric id and type name, and the program's version text.
//
// What is embedded (CMakeLists.txt lists the files, cmake/EmbedResources.cmake
// turns them into the table below):
//   RESOURCE_FONT            "RCDATA"  the UI font, TrueType
//   RESOURCE_BACKGROUND      "JPEG"    the connection screen's photo, 4096 x 3112
//   RESOURCE_ICON_DEVICE     "PNG"     17 x 18, white on transparent
//   RESOURCE_ICON_CHEVRON    "PNG"      8 x 5
//   RESOURCE_ICON_RESCAN     "PNG"     22 x 22
//   RESOURCE_ICON_BACK       "PNG"     16 x 15
//   RESOURCE_ICON_FORWARD    "PNG"     16 x 15
//
// Threads: everything here reads constant data and may be called from any
// thread at any time, also before main().
#pragma once

#include <cstddef>
#include <cstdint>

enum {
    RESOURCE_BACKGROUND = 106,
    RESOURCE_ICON_DEVICE = 109,
    RESOURCE_ICON_CHEVRON = 110,
    RESOURCE_ICON_RESCAN = 111,
    RESOURCE_ICON_BACK = 112,
    RESOURCE_ICON_FORWARD = 113,
    RESOURCE_FONT = 200,
};

// Type names. They match byte for byte (case matters).
#define RESOURCE_TYPE_RAW "RCDATA"
#define RESOURCE_TYPE_JPEG "JPEG"
#define RESOURCE_TYPE_PNG "PNG"

// The bytes of resource (id, type) and their count in *size. The bytes are
// the program's own constant data: never freed, never written, valid for the
// life of the process. Returns null with *size = 0 when type is null, no
// resource has that id and type, or the resource is empty. size may be null.
const uint8_t *resource_get(int id, const char *type, size_t *size);

// The program version as "%hu.%hu.%hu.%hu" (major, minor, patch, tweak of the
// project version), in a new heap string that the caller frees with free().
// Null only when memory runs out.
char *resource_version_text(void);

// The table the build generates: one entry per embedded file, in the order the
// build lists them. Only resources.cpp and the generated source use it.
struct ResourceEntry {
    int id;
    const char *type;
    const unsigned char *data;
    size_t size;
};
extern const ResourceEntry kavri_resource_table[];
extern const size_t kavri_resource_count;
