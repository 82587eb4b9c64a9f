// Bit blocks: a machine-readable stamp in the corner of every simulated
// picture. Two rows of black and white squares carry the picture's 32-bit
// frame number and its 64-bit send time (wall-clock milliseconds since 1970),
// so that a reader of the decoded picture, or of a screenshot of the viewer's
// window, can tell which picture it sees and how old it is.
//
// Layout (all in units of one block edge `unit`):
//   unit     = min(height / 45, width / 58), a real number (16 at 1280x720,
//              8 at 640x360), so the whole stamp scales with the picture and
//              a reader that knows only the picture's rectangle finds it;
//   origin   = (unit, unit) from the picture's top-left corner;
//   backing  = a black panel half a unit wider than the blocks on each side;
//   row 0    = start marker 1,1,0,1 then payload bits 0..51;
//   row 1    = payload bits 52..103 then stop marker 1,0,1,1;
//   each row holds 56 blocks; block k of row r covers
//   [origin + k*unit, origin + (k+1)*unit) x [origin + r*unit, ...).
// Payload (104 bits, most significant bit first): frame (32), time_ms (64),
// CRC-8 (polynomial 0x07, initial value 0xFF) over those 12 bytes in
// big-endian order. White is luma 235, black luma 16 (limited range); the
// chroma under the stamp is neutral (128).
//
// Readers threshold at mid grey on the average of the central part of each
// block, so H.264 ringing at block edges and a scaled screenshot do not
// matter. A read is valid only when both markers and the CRC match.
//
// All functions are pure and thread-safe; they never touch pixels outside
// the given planes and picture size.
#pragma once

#include <cstdint>

inline constexpr int BITBLOCKS_PER_ROW = 56;
inline constexpr int BITBLOCKS_ROWS = 2;
inline constexpr int BITBLOCKS_PAYLOAD_BITS = 104;
inline constexpr uint8_t BITBLOCKS_WHITE = 235;
inline constexpr uint8_t BITBLOCKS_BLACK = 16;

// Edge of one block in pixels for a picture of this size; below 2 the stamp
// is not drawn and cannot be read.
double bitblocks_unit(int width, int height);

// Draws the stamp into a planar YUV 4:2:0 picture (chroma planes have
// (width + 1) / 2 x (height + 1) / 2 samples). u or v may be null to leave
// chroma alone. Draws nothing when the picture is too small.
void bitblocks_write(uint8_t *y, int y_stride, uint8_t *u, int u_stride, uint8_t *v, int v_stride, int width,
                     int height, uint32_t frame, uint64_t time_ms);

// Reads the stamp from a luma plane. Returns true and fills frame and time_ms
// only for a valid read (markers and CRC match).
bool bitblocks_read(const uint8_t *y, int y_stride, int width, int height, uint32_t *frame, uint64_t *time_ms);

// Reads the stamp from a packed 8-bit RGB image (3 bytes a pixel, `stride`
// bytes a row, img_width x img_height pixels) in which the picture occupies
// the rectangle (pic_x, pic_y, pic_w, pic_h), letterboxed and scaled. Block
// positions are mapped proportionally from the rectangle's size; samples that
// would fall outside the image make the read fail. Brightness is
// (R + G + B) / 3 against a threshold of 128.
bool bitblocks_read_rgb(const uint8_t *rgb, int stride, int img_width, int img_height, int pic_x, int pic_y,
                        int pic_w, int pic_h, uint32_t *frame, uint64_t *time_ms);

// Same, for 4-byte pixels (RGBA, BGRA, RGBX: the brightness test ignores the
// channel order and reads the first three bytes of each pixel).
bool bitblocks_read_rgb32(const uint8_t *rgba, int stride, int img_width, int img_height, int pic_x, int pic_y,
                          int pic_w, int pic_h, uint32_t *frame, uint64_t *time_ms);

// The CRC-8 the stamp uses (exposed for tests).
uint8_t bitblocks_crc8(const uint8_t *data, int len);
