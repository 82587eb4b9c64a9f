// Protocol 1: the TCP control stream in both directions, the datagram blocks
// (video fragments, audio, input acknowledgements) and the fragment
// acknowledgement.
//
// All functions are pure over caller-owned buffers and may be called from any
// thread. Builders return the number of bytes written or -1 when the output
// capacity or an argument is out of range; they never write past cap.
// Parsers never read outside the (pointer, length) they are given; pointers
// they hand back point into that input and live as long as it does.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/wire_defs.h"

// ---------------------------------------------------------------------------
// Control stream, viewer to device: u16 total length, u8 code, parameters.

// Any message: u16 3 + n, code, n parameter bytes. -1 when it does not fit or
// 3 + n exceeds 65535.
int p1_build_message(uint8_t *out, size_t cap, uint8_t code, const uint8_t *params, size_t n);

// The fixed 3-byte messages; each writes 3 bytes and returns 3.
int p1_build_input(uint8_t out[3], bool on);          // 03 00 14 / 03 00 0B
int p1_build_audio(uint8_t out[3], bool on);          // 03 00 12 / 03 00 09
int p1_build_stream_switch(uint8_t out[3], bool on);  // 03 00 13 / 03 00 0A
int p1_build_stream_go(uint8_t out[3]);               // 03 00 29
int p1_build_key_frame_request(uint8_t out[3]);       // 03 00 50
int p1_build_video_start_ack(uint8_t out[3]);         // 03 00 11
int p1_build_keepalive_answer(uint8_t out[3]);        // 03 00 F0
// The zero setting, 04 00 28 <value> (value is always 0 in practice); returns 4.
int p1_build_zero_setting(uint8_t out[4], uint8_t value);

// The protocol-1 code that does what setting (with value for the three
// switches) does in protocol 2, or -1 for an unknown setting.
int wire_setting_p1_code(uint8_t setting, uint8_t value);
// Device side, the other way: maps a 3-byte message code (or the zero
// setting's code) to the protocol-2 setting and value. For 0x28 *value is
// left for the caller to take from the parameter byte (set to 0 here).
// Returns 0, or -1 for a code that is no setting (key-frame request and stream
// go are settings; keep-alive, video-start ack and unlock are not).
int wire_p1_code_setting(uint8_t code, uint8_t *setting, uint8_t *value);

// Device side: one message framed out of the viewer-to-device byte stream.
struct P1ViewerMsg {
    uint8_t code;
    const uint8_t *params; // points into the buffer
    size_t param_len;
    size_t length;         // whole message, to drop from the stream's front
};

// Looks at the front of the buffered stream. Returns 1 with m filled when a
// whole message is buffered, 0 when more bytes are needed, -1 when the length
// field is below 3 or above P1_VIEWER_MSG_MAX (the stream can never be
// resynchronised; drop the connection).
int p1_viewer_msg_next(const uint8_t *buf, size_t len, P1ViewerMsg *m);

// ---------------------------------------------------------------------------
// Control stream, device to viewer: 26-byte header (type, flag, u32 L1,
// u32 L2, u64 result at 10, 8 unread bytes), L1 payload, L2 trailer.

// Writes one message of 26 + l1 + l2 bytes. A NULL payload or trailer writes
// zeros of its length; bytes 18-25 are zero. -1 when it does not fit cap or
// exceeds INT32_MAX bytes.
int p1_build_device_msg(uint8_t *out, size_t cap, uint8_t type, uint8_t flag, const uint8_t *payload, uint32_t l1,
                        const uint8_t *trailer, uint32_t l2, uint64_t result);

// Auth status (0xF1): result nonzero admits the viewer, zero asks for (or
// refuses) the password. 26 bytes.
int p1_build_auth_status(uint8_t *out, size_t cap, uint64_t result);
// Video start (0x20): the payload is the codec header that opens a stream.
int p1_build_video_start(uint8_t *out, size_t cap, const uint8_t *codec_header, uint32_t len);
// No video (0x10): no HDMI signal. 26 bytes.
int p1_build_no_video(uint8_t *out, size_t cap);
// Keep-alive (0xF0); the viewer answers 03 00 F0. 26 bytes.
int p1_build_keepalive(uint8_t *out, size_t cap);
// The 12-byte audio-format trailer: 4 zero bytes, u32 channels, u32 rate.
// Send it with flag P1_FLAG_AUDIO_FORMAT on a message of any type.
void p1_build_audio_trailer(uint8_t out[P1_AUDIO_TRAILER_SIZE], uint32_t channels, uint32_t rate);

// Viewer side: the first message of the buffered stream.
struct P1ControlMsg {
    uint8_t type;
    uint8_t flag;
    uint32_t l1;
    uint32_t l2;
    uint64_t result;
    const uint8_t *payload; // l1 bytes, points into the buffer
    const uint8_t *trailer; // l2 bytes, points into the buffer
    size_t total;           // 26 + l1 + l2: drop this many from the front
};

// Returns 1 when the whole first message is buffered (m filled), 0 when more
// bytes are needed (fewer than 26, or the header's message is not complete),
// -1 when that message can never fit a buffer of `capacity` bytes: the
// connection must end rather than overflow. The size is computed in 64 bits,
// so L1 + L2 cannot wrap.
int p1_control_next(const uint8_t *buf, size_t len, size_t capacity, P1ControlMsg *m);

// 1 with channels and rate filled when the message's flag is 0x20 and its
// trailer holds at least 12 bytes; 0 otherwise (a shorter trailer is never
// read past its end).
int p1_control_audio_format(const P1ControlMsg *m, uint32_t *channels, uint32_t *rate);

// ---------------------------------------------------------------------------
// Datagram blocks: 8-byte header (kind bits 7-6 | count bits 5-0, index,
// u32 sequence at 2, u16 payload length at 6), then the payload.

struct P1Block {
    uint8_t kind;           // P1_KIND_*
    uint8_t count;          // video: fragment count (bits 5-0 of byte 0)
    uint8_t index;          // video: fragment index (byte 1)
    uint32_t seq;           // frame, packet or batch number
    uint16_t length;        // payload length (0 for an input acknowledgement)
    bool valid;             // video: 1 <= count, index < count, length <= 49152
    const uint8_t *header;  // the block's 8 header bytes inside the datagram
    const uint8_t *payload; // length bytes inside the datagram
};

// Walks the blocks of a datagram from the device; start with *pos = 0.
// Returns 1 with the next block (and *pos moved past it), 0 at the end of the
// walk. A 0xFF byte where a header would start is padding: the header starts
// n + 1 bytes after it, n being the byte after the 0xFF (checked once per
// block; a second 0xFF there reads as kind 11 and ends the walk). The walk
// ends at kind 11, at an audio block of payload length 0, and at a header or
// payload that would run past the datagram (such a block is not returned).
// An input acknowledgement (kind 10) has no payload whatever its length field
// says: 8 bytes. A video block whose count is 0, whose index is not below its
// count or whose payload exceeds the fragment size is returned with valid
// false and skipped by its length; the receiver must not store it.
int p1_next_block(const uint8_t *dgram, size_t len, size_t *pos, P1Block *out);

// Device-side builders. Each returns the bytes written or -1.
// A video fragment block: count 1..63, index < count, len <= 49152.
int p1_build_video_block(uint8_t *out, size_t cap, unsigned count, unsigned index, uint32_t frame,
                         const uint8_t *payload, size_t len);
// An audio block: len 1..65535 (length 0 would end the datagram).
int p1_build_audio_block(uint8_t *out, size_t cap, uint32_t seq, const uint8_t *pcm, size_t len);
// An input acknowledgement echoing the batch number: 80 00 <batch> 00 00. 8 bytes.
int p1_build_input_ack_block(uint8_t out[8], uint32_t batch);
// Padding of total bytes (2..256): FF, total - 1, then zeros; the next header
// starts right after it.
int p1_build_padding(uint8_t *out, size_t cap, size_t total);
// An end marker: C0 and seven zeros. 8 bytes.
int p1_build_end_marker(uint8_t out[8]);

// ---------------------------------------------------------------------------
// Fragment acknowledgement (viewer to device): the fragment's first 6 header
// bytes, u16 decoder queue length, one byte per received index ascending.

// received[i] nonzero means fragment i of this frame has arrived; at most the
// first 63 entries are looked at. Returns 8 + the number of received indices.
int p1_build_fragment_ack(uint8_t *out, size_t cap, const uint8_t frag_header[8], uint16_t queue_len,
                          const uint32_t *received, size_t n);

// Device side: the fragment acknowledgement read back.
struct P1FragmentAck {
    uint32_t frame;
    uint8_t count;     // fragment count echoed from the acknowledged fragment
    uint8_t index;     // index of the fragment that triggered this acknowledgement
    uint16_t queue_len;
    uint64_t received; // bit i set when index i was listed (indices >= 63 ignored)
};
// Returns 0, or -1 when the datagram is shorter than 8 bytes or is not of the
// video kind.
int p1_parse_fragment_ack(const uint8_t *dgram, size_t len, P1FragmentAck *a);

// Device side: an input batch datagram (one 8-byte kind-10 header and the
// records). Returns 0 with the batch number and the records (pointing into
// dgram), or -1 when the header is short, not of kind 10, or its length runs
// past the datagram.
int p1_parse_input_batch(const uint8_t *dgram, size_t len, uint32_t *batch, const uint8_t **records,
                         size_t *records_len);

// ---------------------------------------------------------------------------
// A picture of count fragments whose last fragment carries last_len bytes is
// (count - 1) * 49152 + last_len bytes long. -1 when count is 0 or above 63 or
// last_len exceeds the fragment size.
int64_t p1_frame_length(unsigned count, unsigned last_len);
