// The firmware dialogue with a dongle in plain HID mode, over vendor feature
// reports of its HID interface: the build query, and the upload (two opening
// steps, the size and block digest, the image in pieces of L - 6 bytes, end of
// data, start flashing, then a status poll that reports the flashing). Every
// report carries id 0x0C and a command code; a reply is good when it repeats
// both and its status byte is 0.
//
// Threads: the update worker's thread; the HID handle is used by it alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/usb.h"

struct UpdateState;
struct UpdateUsbOps;

enum : uint8_t {
    HID_FW_REPORT_ID = 0x0C,
    HID_FW_BUILD = 0xC2,
    HID_FW_BUILD_FAILED = 0x83,
    HID_FW_OPEN = 0xF0,
    HID_FW_PREPARE = 0xA0,
    HID_FW_SIZE = 0xA1,
    HID_FW_PIECE = 0xA2,
    HID_FW_END = 0xA3,
    HID_FW_FLASH = 0xA4,
    HID_FW_STATUS = 0xA5,
    HID_FW_FINISHED = 0x4F,
};

// The shortest feature report that carries the size step's digest.
constexpr int HID_FW_MIN_FEATURE_LENGTH = 42;
// The message of an upload that failed or was refused.
constexpr char HID_FW_FAILED_TEXT[] = "Failed to update firmware, please try again!";
// hid_fw_upload's result when the update state's cancel ended it.
constexpr int HID_FW_CANCELLED = -2;

// A zeroed report of length L with the id and the code. -1 when L < 2.
int hid_fw_report(uint8_t *out, int feature_len, uint8_t code);
// The size step: bytes 6-9 the image size (little-endian), 10-41 the block
// digest of its complete 64-byte blocks. -1 when L < 42.
int hid_fw_size_report(uint8_t *out, int feature_len, const uint8_t *image, size_t size);
// Whether a reply of length L repeats the id and code with status 0.
bool hid_fw_reply_good(const uint8_t *reply, int feature_len, uint8_t code);
// The build number in a build-query reply: decimal digits from byte 3 (up to
// the first non-digit or the reply's end, saturating). -1 when byte 2 says the
// query failed or no byte 3 exists.
int hid_fw_parse_build(const uint8_t *reply, int feature_len, uint64_t *build);
// Pieces of L - 6 bytes: their count, and the length of piece i. 0 when L <= 6.
uint32_t hid_fw_piece_count(size_t size, int feature_len);
size_t hid_fw_piece_len(size_t size, int feature_len, uint32_t i);

// The build query: 0 with *build, -1 on a failed send, read or answer.
int hid_fw_query_build(const UsbBackend *b, UsbHid *h, int feature_len, uint64_t *build);
// The upload; writes the update state's message and progress. Returns 0 when
// the dongle reported the flashing finished ("Succeded to update firmware!!").
// Returns -1 with HID_FW_FAILED_TEXT when the upload was refused (a feature
// report shorter than 42 bytes), a step failed, or the flashing poll ended on
// anything but the finished status (a failing status, no answer, or ten
// minutes without an end). A cancel request of the state ends it at once with
// HID_FW_CANCELLED and the message untouched: before "end of data" nothing
// more is sent (the dongle keeps its firmware); after "start flashing" only
// the polling stops.
int hid_fw_upload(const UsbBackend *b, UsbHid *h, int feature_len, const uint8_t *image, size_t size,
                  UpdateState *st);

// The update worker's USB operations on a USB backend.
void hid_fw_usb_ops(const UsbBackend *b, UpdateUsbOps *out);
