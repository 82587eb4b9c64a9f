// Settings file: the operator's extra scan networks (the SubnetList).
//
// The list holds /24 networks as 32-bit values whose four bytes in memory are
// a, b, c, 0 (the address a.b.c.0 in network order). On disk it is
// setting.dat, binary, little-endian:
//
//   u32 0x3BC023AF   block magic (AF 23 C0 3B)
//   u32 n            0..100 values
//   n x u32          the values in list order
//   u32 0xFEDCBA09   end marker (09 BA DC FE)
//
// The saver writes one block and the end marker. The loader reads blocks one
// after another until 4 bytes that are not the magic (the end marker is such
// bytes), so several blocks yield the last complete one.
//
// Settings beyond the list follow the end marker as records, each
//
//   u32 tag, u32 length (at most 4096), length bytes
//
// A loader that knows only the list stops at the end marker and never sees
// them, so older viewers read a newer file as before; this loader skips tags
// it does not know and ignores a cut record. The one record so far is the
// target's keyboard layout (tag 0x4C424B54, bytes 54 4B 42 4C "TKBL"; the
// value is the layout's name in ASCII, e.g. "de" or "ch(fr)"), written only
// when the layout is not the default "us", so a file without it is exactly
// the old format.
//
// Threads: settings_load runs on the main thread before other threads exist;
// settings_save and every change of subnet_list() run on the UI thread. The
// link only reads its own copy of the values. Nothing here throws or shows
// anything; failures leave the list or the old file as they were.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t SETTINGS_MAGIC = 0x3BC023AF;
constexpr uint32_t SETTINGS_END = 0xFEDCBA09;
constexpr uint32_t SETTINGS_MAX_COUNT = 100;
constexpr uint32_t SETTINGS_TAG_LAYOUT = 0x4C424B54;
constexpr uint32_t SETTINGS_MAX_RECORD = 4096;
constexpr char SETTINGS_DEFAULT_LAYOUT[] = "us";

// The process-wide SubnetList, created empty on first use and kept until the
// process ends.
std::vector<uint32_t> &subnet_list(void);

// Applies the file's bytes to *list as the loader does: for each block, a
// count above 100 or a short count stops reading and leaves *list as it is;
// otherwise *list is emptied and the values are appended, a short read keeping
// those read. Data that does not start with the magic leaves *list untouched.
// Returns 0 when reading ended at bytes that are not the magic (or at the end
// of the data between blocks), -1 when it ended at a cut block or a count above
// 100. Pure; never reads outside the data.
int settings_parse(const uint8_t *data, size_t len, std::vector<uint32_t> *list);

// One block with every value of `list` (also more than 100) and the end
// marker, then the layout record unless `layout` is the default.
std::vector<uint8_t> settings_serialize(const std::vector<uint32_t> &list,
                                        const std::string &layout = SETTINGS_DEFAULT_LAYOUT);

// The process-wide name of the target's keyboard layout, "us" until loaded
// or changed. Main thread before the other threads start, then the UI thread.
std::string &settings_target_layout(void);

// A layout name as the file may hold it: 1 to 31 characters of a-z, 0-9 and
// '_', optionally followed by a variant in parentheses of the same characters
// and '-' ("ch(fr)").
bool settings_layout_name_valid(const std::string &name);

// Sets *layout from the layout record after the end marker of the file's
// bytes; a missing, cut or invalid record leaves it untouched. Returns 1 when
// it was set. Pure; never reads outside the data.
int settings_parse_layout(const uint8_t *data, size_t len, std::string *layout);

// Full path of the settings file: $XDG_DATA_HOME (when set to an absolute
// path) or ~/.local/share, then /KAVRI/KAVRIViewer/setting.dat. When no home
// folder can be found, "setting.dat" relative to the current directory.
std::string settings_path(void);

// Loads the file at `path` into *list (settings_parse); the file's folder is
// created with its parents first. A missing or unreadable file leaves *list as
// it is. Returns 0 when the file was read, -1 otherwise. When layout is
// given, the layout record is applied to it too (settings_parse_layout).
int settings_load_from(const std::string &path, std::vector<uint32_t> *list, std::string *layout = nullptr);

// Writes `list` to `path`, creating the folder first. The bytes go to a new
// file beside the old one, are flushed to disk and then renamed over it, so a
// failed save leaves the old file (or none) whole. Returns 0, or -1 when the
// file could not be written (nothing changed then).
int settings_save_to(const std::string &path, const std::vector<uint32_t> &list,
                     const std::string &layout = SETTINGS_DEFAULT_LAYOUT);

// settings_load_from / settings_save_to on settings_path(), subnet_list() and
// settings_target_layout().
void settings_load(void);
void settings_save(void);
