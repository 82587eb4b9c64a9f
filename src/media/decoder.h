// VideoDecoder: the decoder thread between the link's receive paths and the
// video renderer.
//
// The receive threads (TCP control stream, UDP receiver, USB stream) hand
// every whole H.264 access unit (Annex B, four-byte start codes) to
// decoder_submit, which copies it into the decoder's queue and wakes the
// decoder thread; they never wait on decoding. The decoder thread owns
// libavcodec's H.264 decoder and, for decoders that put out anything other
// than planar YUV 4:2:0, a libswscale converter. Every picture goes to the
// frame listeners as three planes.
//
// Configuration packets: a packet whose first NAL unit (the header byte at
// offset 4) is an SPS (type 7) carries the SPS and PPS. Submitting one throws
// away everything still queued (pictures of the old configuration are no use
// to the new one); when the thread reaches it, the codec is opened afresh
// with the packet as its extradata and the size listeners hear the visible
// size worked out from the SPS. Packets that reach the thread before the
// first configuration are dropped. An IDR packet (type 5) flushes the codec
// before it is decoded. A packet shorter than five bytes has no header byte
// to look at and counts as type 0; libavcodec rejects it. An empty packet is
// dropped unsent (libavcodec would take it for the end of the stream).
//
// Listeners (both run on the decoder thread, so they take their own locks):
// - size listeners (context, width, height): the visible size, after every
//   configuration; and again, before the picture, whenever a decoded picture
//   has another size than the one last announced (an SPS repeated inside the
//   stream, or one libavcodec reads differently), so that whoever sizes its
//   planes from this call never reads past a plane of the picture it gets.
// - frame listeners (context, 3, planes Y/U/V, line sizes, height): a planar
//   4:2:0 picture; plane 0 has `height` rows, planes 1 and 2 (height + 1) / 2.
//   Line sizes may exceed the width. The pointers are valid only during the
//   call; a listener that wants the picture longer takes a counted reference
//   to it (decoder_picture_ref) instead of copying the planes.
//
// Threads and ownership:
// - decoder_create and decoder_destroy belong to the link's start and stop
//   (one thread, never at the same time as a submit).
// - decoder_submit and decoder_queue_length may be called from any thread,
//   concurrently. Submit copies the bytes; the caller keeps its buffer.
// - The listener lists are the link's; they must outlive the decoder.
// - decoder_destroy must not be called from a listener (it waits for the
//   decoder thread). When the thread is inside a listener, destroy returns
//   once that listener has returned; the rest of the queue is not decoded.
#pragma once

#include <cstdint>

#include "base/listeners.h"

using VideoSizeListeners = ListenerList<int, int>;                           // (ctx, width, height)
using FrameListeners = ListenerList<int, uint8_t *const *, const int *, int>; // (ctx, planes, Y/U/V, line sizes, height)
// (ctx, access unit, length, arrival in microseconds of the steady clock):
// every packet submitted, on the submitting thread, before it is queued.
using PacketListeners = ListenerList<const uint8_t *, uint32_t, uint64_t>;

struct VideoDecoder;

// Allocates the decoder with an empty queue and starts its thread; no codec
// is opened until the first configuration packet. Returns null when memory
// or the thread cannot be had. Either list may be null (nobody listens).
VideoDecoder *decoder_create(VideoSizeListeners *size_listeners, FrameListeners *frame_listeners,
                             PacketListeners *packet_listeners = nullptr);

// Queues a copy of one access unit with its frame number and the times, in
// microseconds of the steady clock, when its first and its last fragment
// arrived (0 for both: the packet arrived whole, now). They travel with the
// packet for the timing of the picture (decoder_picture_timing). A null
// decoder or data pointer is ignored, as is a packet that cannot be copied
// (out of memory). A configuration packet first discards every queued packet.
void decoder_submit(VideoDecoder *d, const uint8_t *data, uint32_t len, uint32_t frame, uint64_t first_us,
                    uint64_t last_us);

// Where a picture's time went, in microseconds of the steady clock.
struct FrameTiming {
    uint32_t frame;      // the link's frame number (0 where the path has none)
    uint32_t bytes;      // coded size
    uint64_t first_us;   // its first fragment arrived
    uint64_t last_us;    // its last fragment arrived: the picture was whole
    uint64_t decoded_us; // libavcodec handed the picture out (queue and decode behind it)
};

// The timing of the picture being handed to the frame listeners, for a
// listener that wants it: valid only on the decoder thread during the call,
// null anywhere else.
const FrameTiming *decoder_picture_timing(void);

// A counted reference to a decoded picture: libavcodec's reference-counted
// frame, so holding one copies nothing. The decoder allocates a new buffer
// for its next picture while a reference is held, and the buffer goes back to
// the decoder's pool when the last reference is released. References may be
// released on any thread, also after the decoder is gone.
struct DecodedPicture;

struct PicturePlanes {
    int width, height;       // visible size; planes 1 and 2 are (width + 1) / 2 x (height + 1) / 2
    const uint8_t *data[3];  // Y, U, V
    int line_sizes[3];       // strides in bytes, at least the plane's width
};

// During a frame listener call, on the decoder thread: a new reference to the
// picture being handed out, or null (outside a listener, or out of memory).
DecodedPicture *decoder_picture_ref(void);

// A new picture holding a copy of planar 4:2:0 planes (plane 0 has `height`
// rows of `width` bytes, planes 1 and 2 half of each rounded up), for callers
// that hold planes but no decoder's picture. Null when a size is below 1, a
// pointer is null, a stride is narrower than its plane, or memory runs out.
DecodedPicture *picture_copy(int width, int height, uint8_t *const *data, const int *line_sizes);

// The planes of a picture; they stay valid while the reference is held.
// Returns false (and zeroes *out) for null.
bool picture_planes(const DecodedPicture *p, PicturePlanes *out);

// Releases a reference and sets *p to null. Null or an already-null pointer
// is fine.
void picture_release(DecodedPicture **p);

// Running totals since the decoder was created (any thread; each value is
// read atomically, the pair not necessarily from the same instant).
struct DecoderCounters {
    uint64_t decoded;    // pictures handed to the frame listeners
    uint64_t decode_us;  // sum over them of decoded_us - last_us
};
void decoder_counters(VideoDecoder *d, DecoderCounters *out);

// Packets waiting to be decoded (the one being decoded is no longer counted).
// 0 for a null decoder.
uint32_t decoder_queue_length(VideoDecoder *d);

// Asks the thread to stop, wakes it if it sleeps, waits for it, then frees
// the queue, the configuration, the codec, the scaler and the frames, and
// sets *d to null. Null or an already-null pointer is fine.
void decoder_destroy(VideoDecoder **d);
