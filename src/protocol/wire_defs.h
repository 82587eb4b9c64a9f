// Fixed numbers of the dongle's network protocol: ports, sizes, type codes
// and setting numbers shared by the viewer's link and the simulated dongle.
// Header only; no state.
#pragma once

#include <cstddef>
#include <cstdint>

// Ports. Every datagram the viewer sends to a device goes to the stream port
// of the device's address, except acknowledgements, which go back to the
// source address of the datagram they answer.
enum {
    WIRE_PORT_DISCOVERY = 32469,  // UDP: probes go here, answers come from here
    WIRE_PORT_VIEWER = 36549,     // UDP: the viewer's own port (IPv4 and IPv6)
    WIRE_PORT_STREAM = 36459,     // UDP: the device's stream port (protocols 1 and 2)
    WIRE_PORT_CONTROL = 6851,     // TCP: the protocol-1 control stream
    WIRE_PORT_MANAGEMENT = 32465, // TCP: HID mode command, network firmware update
    WIRE_PORT_FIRMWARE = 13579,   // TCP: firmware image data
};

// ---------------------------------------------------------------------------
// Protocol 1.

enum {
    P1_HEADER_SIZE = 8,             // datagram block header
    P1_FRAGMENT_SIZE = 49152,       // video fragment i holds picture bytes i*49152 on
    P1_MAX_FRAGMENTS = 63,          // fragment count lives in 6 bits
    P1_CONTROL_HEADER_SIZE = 26,    // device-to-viewer control message header
    P1_CONTROL_BUFFER_SIZE = 524288, // the viewer's control-stream receive buffer
    P1_AUDIO_TRAILER_SIZE = 12,     // audio-format trailer: 4 unread, channels, rate
    P1_VIEWER_MSG_MAX = 35,         // longest viewer-to-device message (unlock, 16-byte password)
    P1_UNLOCK_FIXED_SIZE = 19,      // unlock: u16 length, code, 16-byte nonce
    P1_FRAGMENT_ACK_MAX = 8 + P1_MAX_FRAGMENTS,
};

// Block kinds (bits 7-6 of a datagram block's first byte).
enum {
    P1_KIND_AUDIO = 0,
    P1_KIND_VIDEO = 1,
    P1_KIND_INPUT = 2, // input batch from the viewer, input acknowledgement from the device
    P1_KIND_END = 3,
};

// Viewer-to-device control codes (byte 2 of each control-stream message).
enum {
    P1_CODE_AUDIO_OFF = 0x09,
    P1_CODE_STREAM_OFF = 0x0A,
    P1_CODE_INPUT_OFF = 0x0B,
    P1_CODE_VIDEO_START_ACK = 0x11,
    P1_CODE_AUDIO_ON = 0x12,
    P1_CODE_STREAM_ON = 0x13,
    P1_CODE_INPUT_ON = 0x14,
    P1_CODE_ZERO_SETTING = 0x28,
    P1_CODE_STREAM_GO = 0x29,
    P1_CODE_KEY_FRAME = 0x50,
    P1_CODE_KEEPALIVE = 0xF0,
    P1_CODE_UNLOCK = 0xF1,
};

// Device-to-viewer control message types (byte 0 of the 26-byte header).
enum {
    P1_MSG_NO_VIDEO = 0x10,
    P1_MSG_VIDEO_START = 0x20,
    P1_MSG_KEEPALIVE = 0xF0,
    P1_MSG_AUTH_STATUS = 0xF1,
};

// Byte 1 of the 26-byte header when the trailer carries the audio format.
enum { P1_FLAG_AUDIO_FORMAT = 0x20 };

// ---------------------------------------------------------------------------
// Protocol 2.

#define P2_MAGIC "RHVK"

enum {
    P2_HEADER_SIZE = 16,
    P2_GENERATION = 2,
    P2_FRAGMENT_SIZE = 1200,
    P2_DIGEST_SIZE = 16,           // MD5 trailer of a picture
    P2_MAX_FRAGMENTS = 16384,      // the receiver's bitmap holds 512 groups of 32
    P2_FRAGMENT_ACK_SIZE = 20,     // header + u32 bitmap
    P2_CONNECT_REQUEST_PAYLOAD = 33,
    P2_CONNECT_REPLY_FIXED = 8,    // connect reply payload before the codec header
    P2_CODEC_HEADER_MAX = 255,     // its length travels in one byte
    P2_SETTING_PAYLOAD = 65,
    P2_STREAM_PARAMS_PAYLOAD = 16,
    P2_AUDIO_FORMAT_PAYLOAD = 8,
    P2_TYPE_INVERTED = 0x80,       // bit 7 of the type byte: payload bytes inverted
};

// Packet types (bits 6-0 of header byte 5). Some numbers mean different
// packets in the two directions.
enum {
    P2_TYPE_AUDIO = 1,
    P2_TYPE_VIDEO = 2,            // device: video fragment
    P2_TYPE_FRAGMENT_ACK = 2,     // viewer: fragment acknowledgement
    P2_TYPE_INPUT = 3,            // viewer: input batch; device: input acknowledgement
    P2_TYPE_CONNECT = 4,          // viewer: connect request; device: connect reply
    P2_TYPE_START = 5,            // connection start and its acknowledgement
    P2_TYPE_STREAM_PARAMS = 6,
    P2_TYPE_DISCONNECT = 7,
    P2_TYPE_SETTING = 8,          // viewer: setting; device: setting acknowledgement
    P2_TYPE_VIDEO_STATE = 20,
    P2_TYPE_AUDIO_FORMAT = 21,
};

// Connect reply results.
enum {
    P2_RESULT_ADMITTED = 0,
    P2_RESULT_PASSWORD = 1, // password needed or wrong
    P2_RESULT_REFUSED = 3,
};

// Settings (byte 0 of a type-8 payload); each has a protocol-1 code that does
// the same (see wire_setting_p1_code).
enum {
    WIRE_SETTING_STREAM_SWITCH = 0,
    WIRE_SETTING_AUDIO = 1,
    WIRE_SETTING_INPUT = 2,
    WIRE_SETTING_ZERO = 4,
    WIRE_SETTING_KEY_FRAME = 5,
    WIRE_SETTING_STREAM_GO = 7,
};

// Which side sent a datagram; the protocol-2 walker needs it because a few
// type numbers carry payloads in one direction only.
enum WireDirection {
    WIRE_FROM_DEVICE = 0,
    WIRE_FROM_VIEWER = 1,
};

// Input records inside input batches.
enum {
    INPUT_RECORD_HEADER_SIZE = 3, // u16 record length, u8 record type
    INPUT_RECORD_TYPE = 0x08,
    INPUT_BATCH_MAX_RECORD_BYTES = 4096, // the sender stops filling a batch at this many
};
