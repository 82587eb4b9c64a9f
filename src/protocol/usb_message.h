// USB Stream Mode messages, both ways: class u8 (1 status/command, 2 media),
// type u8, payload length u32 little-endian, payload.
//   1/01 out: start streaming        1/50 out: video status acknowledged
//   1/80 in:  video status: [0] 1 = picture present, [1] n, [2..2+n) codec header
//   1/81 in:  audio status: [0] 1 = audio present, [1] channels, [2..6) rate u32 LE
//   2/82 in:  one H.264 access unit  2/83 in: 16-bit interleaved PCM
// Also the mode-switch feature report and the vendor request's values.
// Pure functions over bytes; bytes from the device are untrusted: nothing
// here reads or writes outside the buffers it is given.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint32_t {
    USB_MSG_HEADER_SIZE = 6,
    USB_RECEIVE_BUFFER_SIZE = 4194304,
    USB_MAX_PAYLOAD = USB_RECEIVE_BUFFER_SIZE - USB_MSG_HEADER_SIZE,
    USB_READ_PIECE = 131072,
};

enum : uint8_t {
    USB_CLASS_STATUS = 1,
    USB_CLASS_MEDIA = 2,
    USB_TYPE_START = 0x01,
    USB_TYPE_VIDEO_ACK = 0x50,
    USB_TYPE_VIDEO_STATUS = 0x80,
    USB_TYPE_AUDIO_STATUS = 0x81,
    USB_TYPE_VIDEO_DATA = 0x82,
    USB_TYPE_AUDIO_DATA = 0x83,
};

// The mode-switch feature report and the vendor request after opening.
enum {
    USB_MODE_SWITCH_REPORT_ID = 0x0C,
    USB_MODE_SWITCH_CODE = 0x80,
    USB_FEATURE_DEFAULT_LENGTH = 64,
    USB_VENDOR_REQUEST_TYPE = 0x40,
    USB_VENDOR_REQUEST = 0x51,
    USB_VENDOR_VALUE = 0x0001,
    USB_VENDOR_INDEX = 0x0053,
    USB_SWITCH_POLLS = 10,
    USB_SWITCH_POLL_MS = 500,
};

struct UsbMsgHeader {
    uint8_t cls;
    uint8_t type;
    uint32_t length;  // payload bytes
};

// Writes a 6-byte header with no payload. Returns 6, or -1 when cap < 6.
int usb_msg_build(uint8_t *out, size_t cap, uint8_t cls, uint8_t type, uint32_t length);

// Reads a header from the first 6 bytes. Returns 0; -1 when len < 6; -2 when
// the length exceeds USB_MAX_PAYLOAD (the message cannot be held; *out is
// filled all the same).
int usb_msg_parse_header(const uint8_t *data, size_t len, UsbMsgHeader *out);

// Fills the mode-switch feature report of `len` bytes (0C 80, the rest 0).
// Returns len, or -1 when len < 2.
int usb_mode_switch_report(uint8_t *out, size_t len);

// Pieces a payload is read in: ceil(length / 128 KiB), and the size of
// piece k (0 past the last).
uint32_t usb_piece_count(uint32_t length);
uint32_t usb_piece_size(uint32_t length, uint32_t k);

// Splits a byte block into messages for callers that hold the whole stream
// (the fuzzer, the fake dongle): at data[0..len) finds one message; returns
// the bytes it spans (6 + length), 0 when it is not complete yet, -2 when its
// length cannot be held. *payload points into data.
long usb_next_message(const uint8_t *data, size_t len, UsbMsgHeader *h, const uint8_t **payload);
