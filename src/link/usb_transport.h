// USB Stream Mode transport: the connection for a dongle attached by USB.
//
// It runs on the link's connection thread for a target whose `usb` flag is
// set. A dongle found in plain HID mode (`hid_only`) is first switched with
// one feature report (0C 80 00 ...) and comes back on the bus as the
// stream-mode device in the same port; the transport polls for the device in
// that port every 500 ms, ten times at most, and keeps trying to open it for
// the polls that remain (its access rights may come a moment after it). Then it claims interface 0, finds the bulk pipes, sends the vendor
// request 40/51/0001/0053, clears both pipes, writes the start message and
// reads framed messages until the pipe fails, the device sends a length that
// cannot be held, or the connection is asked to end.
//
// Message (both ways): class u8 (1 status/command, 2 media), type u8,
// payload length u32 little-endian, payload.
//   1/01 out: start streaming        1/50 out: video status acknowledged
//   1/80 in:  video status: [0] 1 = picture present, [1] n, [2..2+n) codec header
//   1/81 in:  audio status: [0] 1 = audio present, [1] channels, [2..6) rate u32 LE
//   2/82 in:  one H.264 access unit  2/83 in: 16-bit interleaved PCM
//
// Reads: the header is read to the start of one 4 MiB receive buffer and the
// payload right behind it, in pieces of at most 128 KiB. A pipe read that
// returns fewer bytes than asked is continued until the piece is whole (or
// the pipe fails), so a message is never taken from a partly filled buffer.
//
// The framing and dispatch helpers below are pure (no I/O, no link state):
// the transport wires them to the USB layer and the LinkContext, tests and
// the fuzzer drive them directly. Bytes from the device are untrusted: no
// helper reads or writes outside the buffers it is given.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/usb.h"
#include "protocol/usb_message.h"

struct LinkContext;

// Picks the pipes among interface 0's endpoints: a bulk endpoint with bit 7
// set is the IN pipe, another bulk endpoint the OUT pipe; the last of each
// kind wins. Returns 0 with both, -1 when either is missing.
int usb_pick_pipes(const UsbEndpointInfo *endpoints, int count, uint8_t *in, uint8_t *out);

// Where message bytes come from: read returns the bytes transferred (0 to n,
// fewer than asked is fine) or a negative value on failure.
struct UsbReader {
    void *context;
    int (*read)(void *context, uint8_t *dst, size_t n);
};

// Reads exactly n bytes, continuing short reads. 0, or -1 on a failed read.
int usb_read_full(const UsbReader *r, uint8_t *dst, size_t n);

// Reads one message into buf: header at 0, payload at 6, in 128 KiB pieces.
// Returns 0 with *h filled; -1 when a read fails; -2 when the length cannot
// be held (more than USB_MAX_PAYLOAD, or more than cap - 6); the payload is
// then not read.
int usb_read_message(const UsbReader *r, uint8_t *buf, size_t cap, UsbMsgHeader *h);

// Where dispatched messages go. Every function is called on the thread that
// dispatches; the link's sink takes audio_lock inside the audio functions.
struct UsbSink {
    void *context;
    bool (*video_present)(void *context);
    void (*set_video_present)(void *context, bool present);
    bool (*audio_on)(void *context);
    void (*video_submit)(void *context, const uint8_t *data, uint32_t len);
    // Writes the video-status acknowledgement; negative on failure.
    int (*write_ack)(void *context);
    void (*set_state)(void *context, uint32_t state);
    void (*audio_set_format)(void *context, uint32_t channels, uint32_t rate);
    void (*audio_stop)(void *context);
    void (*audio_push)(void *context, const uint8_t *data, uint32_t len);
};

// Acts on one message (payload of h->length bytes):
// - 1/80: picture present when byte 0 is 1 (a missing byte 0 counts as no
//   picture). Present: submit the codec header (n = byte 1, cut to the bytes
//   there are; nothing when empty), write the acknowledgement, state 5. Not
//   present: state 4, no acknowledgement.
// - 1/81: byte 0 is 1 and byte 1 (channels) is not 0: set format with the
//   rate from bytes 2-5 (a status too short to hold the rate changes
//   nothing); byte 0 not 1 (or missing): stop output.
// - 2/82: submitted while a picture is present. 2/83: pushed while audio is
//   on. Empty media payloads are dropped. Anything else is ignored.
// Returns 0, or -1 when the acknowledgement could not be written (the
// connection ends).
int usb_dispatch(const UsbSink *s, const UsbMsgHeader *h, const uint8_t *payload);

// The transport: LinkOptions.usb_transport. Runs on the connection thread,
// returns when the connection has ended (state 0 told). Uses
// l->options.usb_backend; without one it ends at once.
void usb_transport_run(LinkContext *l);

// Ends a running transport from another thread (disconnect, link stop): the
// caller has set stop_control; under tcp_lock the open device, if any, is
// aborted so a blocking read fails. The transport itself closes it.
void usb_transport_abort(LinkContext *l);
