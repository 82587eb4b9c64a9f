// Protocol 2: every packet is a 16-byte header (magic "RHVK", generation 2,
// type with the inversion bit, u16 at 6, u16 at 8, u32 sequence at 10, u16
// payload length at 14) and its payload; a datagram holds packets back to
// back. This module walks datagrams and builds and reads every packet for
// both sides: the viewer and the simulated dongle.
//
// All functions are pure over caller-owned buffers and may be called from any
// thread. Builders return the bytes written or -1 when cap or an argument is
// out of range, and never write past cap. Parsers never read outside the
// (pointer, length) given; pointers they return point into that input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/wire_defs.h"

// ---------------------------------------------------------------------------
// Header and walk.

// Writes a header. type is the raw byte 5 (callers may pass the inversion bit).
void p2_write_header(uint8_t out[16], uint8_t type, uint16_t w6, uint16_t w8, uint32_t seq, uint16_t len);

struct P2Packet {
    uint8_t type;      // bits 6-0; the walker has already cleared bit 7
    bool inverted;     // the payload arrived inverted (the walker un-inverted it)
    uint8_t generation;
    uint16_t w6;       // bytes 6-7
    uint16_t w8;       // bytes 8-9
    uint32_t seq;
    uint16_t length;   // payload length as taken by the walk (0 for fixed 16-byte packets)
    uint8_t *header;   // the 16 header bytes inside the datagram
    uint8_t *payload;  // length bytes inside the datagram
};

// Walks a datagram; start with *pos = 0. Returns 1 with the next packet and
// *pos moved past it, 0 at the end of the walk. When bit 7 of the type byte
// is set the payload is inverted back and the bit cleared, in place, before
// the packet is returned, so callers (and acknowledgements built from the
// header) see the plain packet. The walk ends at a packet whose magic is not
// "RHVK" (packets before it stay returned) and at a header or payload that
// would run past the datagram, which is then left untouched. From the device
// (WIRE_FROM_DEVICE), types 3, 5 and 8 are 16 bytes long whatever their
// length field says; from the viewer every packet is 16 + its length field
// (input batches and settings carry payloads). Unknown types are returned
// like any other, so the caller skips them by their length.
int p2_next_packet(uint8_t *dgram, size_t len, size_t *pos, WireDirection from, P2Packet *out);

// Any packet: header and len payload bytes (NULL payload writes zeros).
int p2_build_packet(uint8_t *out, size_t cap, uint8_t type, uint16_t w6, uint16_t w8, uint32_t seq,
                    const uint8_t *payload, size_t len);

// The acknowledgement of a type-6, -20 or -21 packet: the received header with
// its payload length set to 0.
void p2_echo_header(const uint8_t in[16], uint8_t out[16]);

// ---------------------------------------------------------------------------
// Viewer to device.

// Connect request: type 4, bytes 6-9 zero, the 33-byte payload (password flag,
// nonce, encrypted password) made by the password module. 49 bytes.
int p2_build_connect_request(uint8_t out[16 + P2_CONNECT_REQUEST_PAYLOAD], uint32_t seq,
                             const uint8_t payload[P2_CONNECT_REQUEST_PAYLOAD]);
// Connection start: type 5, no payload. 16 bytes.
int p2_build_connection_start(uint8_t out[16], uint32_t seq);
// Setting: type 8, payload 65 bytes: setting, value, 63 zeros. 81 bytes.
int p2_build_setting(uint8_t out[16 + P2_SETTING_PAYLOAD], uint32_t seq, uint8_t setting, uint8_t value);
// Disconnect: type 7, sequence 0, no payload. 16 bytes.
int p2_build_disconnect(uint8_t out[16]);

// Fragment acknowledgement (20 bytes): the acknowledged fragment's header with
// bytes 6-7 = queue_len and bytes 14-15 = 4, then the u32 bitmap of the
// fragment's group of 32. When counter is odd the type byte gets bit 7 and the
// bitmap bytes are inverted.
void p2_build_fragment_ack(const uint8_t frag_header[16], uint16_t queue_len, uint32_t bitmap, unsigned counter,
                           uint8_t out[P2_FRAGMENT_ACK_SIZE]);

// ---------------------------------------------------------------------------
// Device side readers of what the viewer sends (packets from p2_next_packet
// with WIRE_FROM_VIEWER, so already un-inverted).

struct P2ConnectRequest {
    uint8_t has_password;
    uint8_t nonce[16];
    uint8_t secret[16]; // encrypted password, zero-padded before encryption
};
// 0, or -1 when the payload is shorter than 33 bytes.
int p2_parse_connect_request(const uint8_t *payload, size_t len, P2ConnectRequest *r);

// 0 with setting and value, or -1 when the payload is not 65 bytes.
int p2_parse_setting(const uint8_t *payload, size_t len, uint8_t *setting, uint8_t *value);

struct P2FragmentAck {
    uint32_t frame;     // sequence of the acknowledged fragment
    uint16_t index;     // the acknowledged fragment's index; its group is index / 32
    uint16_t queue_len;
    uint32_t bitmap;    // bit k: fragment 32 * (index / 32) + k has arrived
};
// 0, or -1 when the packet is not type 2 with a 4-byte payload.
int p2_parse_fragment_ack(const P2Packet *pk, P2FragmentAck *a);

// ---------------------------------------------------------------------------
// Device to viewer.

struct P2ConnectReply {
    uint8_t result;         // P2_RESULT_*
    uint8_t audio_present;
    uint8_t channels;
    uint16_t rate;          // Hz
    uint8_t video_present;
    const uint8_t *codec_header; // NULL when there is none or it was rejected
    size_t codec_len;
    bool codec_rejected;    // its length byte ran past the payload
};

// The reply payload: byte 0 (unread, written 0), result, audio present,
// channels, u16 rate, video present, codec header length, codec header.
// -1 when the codec header exceeds 255 bytes or cap is too small.
int p2_build_connect_reply_payload(uint8_t *out, size_t cap, const P2ConnectReply *r);
// The whole reply packet: type 4 with the answered request's sequence.
int p2_build_connect_reply(uint8_t *out, size_t cap, uint32_t seq, const P2ConnectReply *r);
// Reads a reply payload. -1 when it is shorter than the 8 fixed bytes. When
// the codec header's length byte reaches past the payload, the codec header
// is rejected (NULL, 0, codec_rejected set) and the other fields are kept;
// returns 0 then too.
int p2_parse_connect_reply(const uint8_t *payload, size_t len, P2ConnectReply *r);

// Header-only answers: the setting acknowledgement (type 8), the connection
// start acknowledgement (type 5) and the input acknowledgement (type 3,
// seq = batch number) carry the answered packet's type and sequence. 16 bytes.
int p2_build_ack(uint8_t out[16], uint8_t type, uint32_t seq);

// Stream parameters: type 6, 16-byte payload with the acknowledgement
// interval in microseconds at bytes 12-15, the rest zero. 32 bytes.
int p2_build_stream_params(uint8_t out[16 + P2_STREAM_PARAMS_PAYLOAD], uint32_t seq, uint32_t interval_us);
// The interval from a stream-parameters payload; -1 unless it is 16 bytes.
int p2_parse_stream_params(const uint8_t *payload, size_t len, uint32_t *interval_us);

// Video state: type 20; present: bytes 8-9 = 1 and the codec header as the
// payload; absent: bytes 8-9 = 0 and no payload (codec_header ignored).
int p2_build_video_state(uint8_t *out, size_t cap, uint32_t seq, bool present, const uint8_t *codec_header,
                         size_t len);

// Audio format: type 21, u32 channels (0 = audio off), u32 rate. 24 bytes.
int p2_build_audio_format(uint8_t out[16 + P2_AUDIO_FORMAT_PAYLOAD], uint32_t seq, uint32_t channels,
                          uint32_t rate);
// -1 when the payload is shorter than 8 bytes. The viewer takes channels as a
// signed number: above 0 sets the format, otherwise audio stops.
int p2_parse_audio_format(const uint8_t *payload, size_t len, int32_t *channels, uint32_t *rate);

// Audio: type 1, PCM payload, seq = packet number.
int p2_build_audio(uint8_t *out, size_t cap, uint32_t seq, const uint8_t *pcm, size_t len);

// Video fragment: type 2, w6 = digest << 15 | count, w8 = index, seq = frame.
// count 1..16384, index < count, len <= 1200 (with the digest, the last
// fragment's final 16 bytes are the MD5 of the picture).
int p2_build_video_fragment(uint8_t *out, size_t cap, uint32_t frame, unsigned count, unsigned index,
                            bool digest, const uint8_t *payload, size_t len);

// ---------------------------------------------------------------------------
// Video fragments as the viewer reads them.

struct P2Fragment {
    uint32_t frame;
    uint16_t count;    // bits 14-0 of bytes 6-7
    uint16_t index;    // bytes 8-9
    bool has_digest;   // bit 15 of bytes 6-7
};
// 0 with f filled when the type-2 packet from the device is a usable fragment:
// 1 <= count <= 16384, index < count and payload <= 1200 bytes; -1 otherwise
// (the receiver must drop it: its index or size would fall outside the
// assembly's bitmap or buffer).
int p2_fragment_info(const P2Packet *pk, P2Fragment *f);

// A picture of count fragments whose last fragment carries last_len bytes is
// (count - 1) * 1200 + last_len bytes long, less 16 with the digest. -1 for
// count 0 or above 16384, last_len above 1200, or a digest flag with
// last_len below 16 (the caller then ignores the digest, so the length
// never underflows).
int64_t p2_frame_length(unsigned count, unsigned last_len, bool has_digest);
