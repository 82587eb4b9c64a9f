// H.264 parameter sets: the NAL unit locator that finds the SPS and PPS in an
// Annex B configuration packet, the SPS parser (syntax up to the VUI flag) and
// the visible-size rule the decoder reports to the video size listeners.
//
// Every function here is pure (no state between calls, no locks) and may be
// called from any thread; the decoder thread is the one that does. Input bytes
// stay owned by the caller; nothing here keeps a pointer after returning,
// except NalLocation::data, which simply echoes the caller's pointer.
#pragma once

#include <cstddef>
#include <cstdint>

// Result of nal_locate. All offsets are byte offsets into `data`.
//
// sps_start and pps_start are "header byte offset minus 4" (the first byte of
// a four-byte start code). They are computed in 32-bit unsigned arithmetic, so
// a unit behind a three-byte start code at the very start of the packet
// (00 00 01 67 ...) gives a wrapped sps_start (0xFFFFFFFF); sps_start + 4 and
// sps_start + 5, also taken modulo 2^32, are still the header byte and the
// first payload byte. Callers must do that sum in uint32_t before adding it to
// a pointer, and check it against `length` (h264_config_visible_size does).
struct NalLocation {
    const uint8_t *data; // the packet scanned
    uint32_t length;     // its byte count
    uint32_t position;   // where the scan stopped: a slice header byte, or length
    uint32_t sps_start;  // last SPS header byte - 4 (0 when no SPS was seen)
    uint32_t sps_size;   // pps_start - sps_start, set when a PPS is seen; 0 before
    uint32_t pps_start;  // last PPS header byte - 4 (0 when no PPS was seen)
    uint32_t pps_size;   // pps_start to the stopping slice header, or to the end
    uint32_t state;      // scanner state: 0..2 zeros seen, 4/5 header next, 7 searching;
                         // at a stop, the state in which the slice header was read
    uint32_t found;      // 1 when the scan stopped at a slice behind an SPS and PPS
};

// Scans `data` for start codes, one byte per step, and fills *out (cleared
// first). The scan begins as if three zero bytes had been seen, so a packet
// that opens with 00 00 00 01 or 00 00 01 is recognised at once. It stops at
// the first slice (type 1 or 5) header seen while sps_size is non-zero, with
// found = 1 and pps_size = that header's offset - pps_start; otherwise it runs
// to the end, where pps_size becomes length - pps_start if a PPS was seen.
// A packet shorter than a start code simply finds nothing. A null `data` is
// scanned as an empty packet. `out` must not be null. No allocation.
void nal_locate(const uint8_t *data, uint32_t length, NalLocation *out);

// The sequence parameter set fields up to vui_parameters_present_flag, in the
// order they are coded. Zero-filled at the start of every parse.
struct SpsRecord {
    uint32_t profile_idc;
    uint32_t constraint_set0_flag;
    uint32_t constraint_set1_flag;
    uint32_t constraint_set2_flag;
    uint32_t constraint_set3_flag;
    // The four bits after constraint_set3_flag, most significant first:
    // constraint_set4_flag, constraint_set5_flag, reserved_zero_2bits.
    uint32_t reserved_zero_4bits;
    uint32_t level_idc;
    uint32_t seq_parameter_set_id;
    uint32_t chroma_format_idc; // 1 unless coded (High profiles and up)
    uint32_t separate_colour_plane_flag;
    uint32_t bit_depth_luma_minus8;
    uint32_t bit_depth_chroma_minus8;
    uint32_t qpprime_y_zero_transform_bypass_flag;
    uint32_t seq_scaling_matrix_present_flag;
    uint32_t seq_scaling_list_present_flag[12];
    // Set when a list's first delta makes nextScale 0: the decoder is to use
    // the standard's default matrix. The list itself then holds lastScale (8).
    uint32_t UseDefaultScalingMatrix[12];
    int32_t ScalingList4x4[6][16];
    int32_t ScalingList8x8[6][64];
    uint32_t log2_max_frame_num_minus4;
    uint32_t pic_order_cnt_type;
    uint32_t log2_max_pic_order_cnt_lsb_minus4;
    uint32_t delta_pic_order_always_zero_flag;
    int32_t offset_for_non_ref_pic;
    int32_t offset_for_top_to_bottom_field;
    // As coded, even above 255; only the first 255 offsets are stored (the
    // most the standard allows), the rest are read and dropped.
    uint32_t num_ref_frames_in_pic_order_cnt_cycle;
    int32_t offset_for_ref_frame[255];
    uint32_t max_num_ref_frames;
    uint32_t gaps_in_frame_num_value_allowed_flag;
    uint32_t pic_width_in_mbs_minus1;
    uint32_t pic_height_in_map_units_minus1;
    uint32_t frame_mbs_only_flag;
    uint32_t mb_adaptive_frame_field_flag;
    uint32_t direct_8x8_inference_flag;
    uint32_t frame_cropping_flag;
    uint32_t frame_crop_left_offset;
    uint32_t frame_crop_right_offset;
    uint32_t frame_crop_top_offset;
    uint32_t frame_crop_bottom_offset;
    uint32_t vui_parameters_present_flag;
};

// At most this many input bytes are copied into the working buffer. The
// largest SPS the standard can express, up to the VUI flag, is well under
// 9 KiB, so a longer count (a caller whose count runs on through the rest of
// a big packet) never changes the result; it only bounds the allocation.
constexpr uint32_t SPS_MAX_INPUT = 64 * 1024;

// Parses the SPS whose payload (the bytes after the NAL header byte) starts at
// `data` and spans `size` bytes; the count may run past the SPS into whatever
// follows, since the parse ends at vui_parameters_present_flag. The bytes are
// copied to a working buffer with every emulation_prevention_three_byte
// removed, then read MSB first. Reads never leave the buffer: a fixed-length
// read at the end returns only the bits that remain (0 when none do), and a
// ue(v) whose terminating one bit is missing reads as 0. ue(v) values with 32
// or more leading zeros saturate at 0xFFFFFFFF, se(v) at INT32_MAX.
// A short SPS is not an error: the fields keep what was read.
// Returns 0, or -1 with a line on stderr for a null pointer ("ERR null
// pointer") or a failed allocation ("NULL ptr", then "ERR null pointer").
int sps_parse(const uint8_t *data, uint32_t size, SpsRecord *sps);

// The visible picture size in pixels: coded width (pic_width_in_mbs_minus1 + 1)
// x 16 and height (pic_height_in_map_units_minus1 + 1) x (2 - frame_mbs_only)
// x 16, less the crop offsets times CropUnitX (2 for 4:2:0 and 4:2:2, else 1)
// and CropUnitY ((2 - frame_mbs_only) x 2 for 4:2:0, x 1 otherwise) when
// frame_cropping_flag is set. Worked out in 64 bits and clamped to
// 0..INT32_MAX, so garbage fields give a garbage size but no overflow.
// A null `sps` gives 0 x 0; null output pointers are skipped.
void sps_visible_size(const SpsRecord *sps, int *width, int *height);

// What the decoder does with a configuration packet: locate the units and
// parse the SPS from the byte after its header for sps_size bytes. When the
// packet holds an SPS but no PPS behind it (sps_size 0, or a stale sps_size
// left by an earlier SPS/PPS pair), the SPS runs to the end of the packet.
// The count is always clamped to the packet's end, so a wrapped sps_start or
// an SPS header in the last byte reads nothing outside the packet (an SPS
// with no payload parses as all zeros). Returns 0 with *sps filled, or -1
// when the packet holds no SPS, an argument is null or the parse fails. The
// SPS is the last one the locator saw before it stopped; with none seen, a
// packet whose fifth byte has NAL type 7 still counts as opening with one,
// as it does for the decoder.
int h264_config_sps(const uint8_t *packet, uint32_t length, SpsRecord *sps);

// h264_config_sps followed by sps_visible_size. Returns 0 with the size
// written, or -1 (size untouched) as h264_config_sps does.
int h264_config_visible_size(const uint8_t *packet, uint32_t length, int *width, int *height);
