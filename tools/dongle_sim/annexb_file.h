// H.264 Annex B byte streams for the simulated dongle: the splitter that
// turns a recorded stream into the codec header and access units the device
// sends, the NAL unit walker it is built on, and a loader for `--video FILE`.
//
// What comes out has the shape the viewer relies on: every NAL unit behind a
// four-byte start code 00 00 00 01; the codec header holds the parameter sets
// (every distinct SPS, then every distinct PPS); an access unit holds only
// slice NAL units (types 1 to 5) and begins with its first slice, so its
// fifth byte is a slice header byte. SEI, access unit delimiters, parameter
// sets and every other non-slice NAL unit are left out of access units.
//
// Access units are cut at a slice whose first_mb_in_slice is 0 (the first bit
// after the NAL header byte is 1) and at the first slice behind a non-slice
// NAL unit. Units before the first IDR unit are kept in `units` but the
// looping reader skips them, since the viewer drops pictures before an IDR.
//
// Every function here except annexb_file_load is pure over its input bytes,
// never reads outside them, and may run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct AnnexbStream {
    std::vector<uint8_t> codec_header;         // SPS..., PPS...; empty unless the input has both kinds
    std::vector<std::vector<uint8_t>> units;   // access units in stream order
    std::vector<uint8_t> idr;                  // idr[i] is 1 when units[i] begins with an IDR slice (type 5)
    size_t first_idr = 0;                      // index of the first IDR unit; units.size() when there is none
    size_t sps_count = 0, pps_count = 0;       // distinct parameter sets kept (at most ANNEXB_MAX_PARAM_SETS each)
};

inline constexpr size_t ANNEXB_MAX_PARAM_SETS = 32;
inline constexpr int ANNEXB_NAL_SLICE = 1;
inline constexpr int ANNEXB_NAL_IDR = 5;
inline constexpr int ANNEXB_NAL_SEI = 6;
inline constexpr int ANNEXB_NAL_SPS = 7;
inline constexpr int ANNEXB_NAL_PPS = 8;
inline constexpr int ANNEXB_NAL_AUD = 9;

// Finds the next NAL unit at or after *pos: on success stores the offset and
// length of its bytes (header byte first, start code and trailing zero bytes
// excluded), moves *pos past it and returns 1; returns 0 when no further
// non-empty NAL unit exists. Both 3- and 4-byte start codes are accepted;
// bytes before the first start code are ignored.
int annexb_next_nal(const uint8_t *data, size_t len, size_t *pos, size_t *nal_offset, size_t *nal_len);

// Appends 00 00 00 01 and the NAL unit's bytes to out.
void annexb_append_nal(std::vector<uint8_t> *out, const uint8_t *nal, size_t nal_len);

// Splits a whole Annex B stream (replacing what `out` held). Returns the
// number of access units, or -1 when data is null while len is not 0.
int annexb_split(const uint8_t *data, size_t len, AnnexbStream *out);

// Reads and splits a file. Returns the number of access units, or -1 when
// the file cannot be read, -2 when it is larger than max_bytes, -3 when it
// holds no SPS or no PPS, -4 when it holds no IDR access unit.
int annexb_file_load(const char *path, size_t max_bytes, AnnexbStream *out);

// The looping reader: *cursor starts at 0 and is owned by the caller. Returns
// the next access unit to send, from the first IDR unit to the end and then
// again from the first IDR unit, and tells whether it is an IDR unit; returns
// null when the stream has no IDR unit.
const std::vector<uint8_t> *annexb_stream_next(const AnnexbStream *s, size_t *cursor, bool *is_idr);
