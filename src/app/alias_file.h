// Alias file: friendly names for the USB ports dongles hang on.
//
// alias.txt is plain 8-bit text written by the operator: one line per port,
// "alias:location", e.g. "Desk PC:0-3-2". Lines end with LF; a CR before the
// LF counts as trailing white space.
//
// Where it is looked for: beside the executable first; when there is no
// readable file there, in the viewer's data folder (the folder of the
// settings file, $XDG_DATA_HOME/KAVRI/KAVRIViewer/). An installed program's
// folder (/usr/bin) is not the operator's to write, the data folder is.
//
// A line is read as the expression ^(.*?):(.+?)\s*$ (ECMAScript, where '.'
// matches neither CR nor LF) would read it, matched here by hand:
// - the alias is everything before the first colon (possibly empty);
// - the key is the text after the first colon without its trailing white
//   space [ \t\n\v\f\r], or, when that text is white space only, its first
//   character;
// - a line without a colon, with nothing after the first colon, or with a CR
//   anywhere but in the trailing white space is skipped.
// Alias and key are each cut to 255 characters (a longer text is cut, the
// line still counts). Letter case is kept; look-ups ignore it.
//
// Threads: loaded once by the user interface at start-up; the list is never
// changed afterwards, so look-ups need no lock.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct AliasEntry {
    char key[256];    // USB port location to match, zero-terminated
    char alias[256];  // name to show, zero-terminated
};

// The loader considers at most this many bytes of the file.
constexpr size_t ALIAS_FILE_MAX = 65535;

// Entries of `text`, in line order. The text ends at `len` or at its first
// zero byte, whichever comes first; nothing past `len` is read. Pure.
std::vector<AliasEntry> alias_parse(const char *text, size_t len);

// Reads at most ALIAS_FILE_MAX bytes of the file at `path` and parses them. A
// missing file, a folder or anything else that is not a regular file, or a
// file that cannot be read gives an empty list.
std::vector<AliasEntry> alias_load_from(const std::string &path);

// Reads at most ALIAS_FILE_MAX bytes of the file at `path` into *out (which
// is cleared first) and parses them. 0 when the file was read; -1 when it is
// missing, not a regular file or cannot be read (*out is then empty).
int alias_read(const std::string &path, std::vector<AliasEntry> *out);

// The places alias.txt is looked for, in order: the folder of the running
// executable, then the viewer's data folder. A place that cannot be worked
// out (no /proc/self/exe, no home folder) is left out.
std::vector<std::string> alias_paths(void);

// Entries of the first file in `paths` that alias_read can read; an empty
// list when none can be. A readable file ends the search even when it holds
// no entries, so the file beside the executable always wins.
std::vector<AliasEntry> alias_load_first(const std::vector<std::string> &paths);

// alias_load_first(alias_paths()).
std::vector<AliasEntry> alias_load(void);

// The alias of the first entry whose key equals `location` without regard to
// ASCII letter case, or null when none does (or location is null). The pointer
// stays valid as long as the list is unchanged.
const char *alias_lookup(const std::vector<AliasEntry> &list, const char *location);
