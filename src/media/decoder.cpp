#include "media/decoder.h"

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include "base/clock.h"
#include "base/queue.h"
#include "base/semaphore.h"
#include "media/sps_pps.h"

namespace {

constexpr int NAL_IDR = 5;
constexpr int NAL_SPS = 7;

// libavcodec's bitstream readers may read this far past the end of a packet
// or of the extradata, so every buffer handed to it ends in this many zero
// bytes.
constexpr size_t PAD = AV_INPUT_BUFFER_PADDING_SIZE;

// Bytes of a packet's copy: the access unit, PAD zero bytes, then the time
// the link started the picture (the element itself has room for one stamp,
// which holds the completion time).
constexpr size_t STARTED_SIZE = sizeof(uint64_t);

} // namespace

struct VideoDecoder {
    VideoSizeListeners *size_listeners = nullptr;
    FrameListeners *frame_listeners = nullptr;
    PacketListeners *packet_listeners = nullptr;

    QueueElement *config = nullptr; // the configuration packet that opened the codec
    Queue *queue = nullptr;         // packets waiting; its own lock is taken inside `lock`
    std::mutex lock;                // guards `waiter`, serialises submissions
    std::thread thread;
    Semaphore *waiter = nullptr;    // the thread's semaphore while it sleeps
    std::atomic<uint32_t> stop{0};

    // Decoder thread only (and destroy, after the thread has ended).
    AVCodecContext *codec_context = nullptr;
    const AVCodec *codec = nullptr;
    SwsContext *scaler = nullptr;
    int scaler_format = AV_PIX_FMT_NONE; // source format the scaler was made for
    AVFrame *picture = nullptr;
    AVFrame *converted = nullptr;  // 4:2:0 copy made by the scaler, reference-counted like a decoded picture
    AVPacket *packet = nullptr;    // reused for every send, never holds a reference between packets
    int announced_width = -1;      // what the size listeners heard last
    int announced_height = -1;
    std::atomic<uint64_t> decoded{0}, decode_us{0};
};

// The picture the frame listeners are being given, on the decoder thread.
static thread_local const FrameTiming *t_picture_timing = nullptr;
static thread_local const AVFrame *t_picture = nullptr;

namespace {

// The header byte of the first NAL unit sits behind the four-byte start
// code. A shorter packet has none and counts as type 0: nothing that
// treats a type differently, and libavcodec rejects it.
int packet_type(const uint8_t *data, uint32_t len)
{
    return len >= 5 ? data[4] & 0x1F : 0;
}

// Copies a packet into a detached queue element whose bytes are followed by
// zeroed padding, so libavcodec may read past the end as it is entitled to.
// The queue's own copy has no padding, so the bytes go to a malloc'd buffer
// of their own; the queue frees such a buffer with free() whenever it frees
// the element (queue_element_free, queue_clear, queue_destroy).
QueueElement *packet_copy(const uint8_t *data, uint32_t len, uint32_t frame, uint64_t first_us, uint64_t last_us)
{
    if (last_us == 0)
        first_us = last_us = clock_steady_us();
    QueueElement *e = queue_element_create(nullptr, 0, frame, last_us);
    if (!e)
        return nullptr;
    auto *bytes = static_cast<uint8_t *>(std::malloc((size_t)len + PAD + STARTED_SIZE));
    if (!bytes) {
        queue_element_free(e);
        return nullptr;
    }
    if (len)
        std::memcpy(bytes, data, len);
    std::memset(bytes + len, 0, PAD);
    std::memcpy(bytes + len + PAD, &first_us, STARTED_SIZE);
    e->data = bytes;
    e->length = len;
    return e;
}

void free_converted(VideoDecoder *d)
{
    av_frame_free(&d->converted);
    sws_freeContext(d->scaler);
    d->scaler = nullptr;
    d->scaler_format = AV_PIX_FMT_NONE;
}

// What an opening made, in reverse.
void release_codec(VideoDecoder *d)
{
    free_converted(d);
    av_frame_free(&d->picture);
    if (d->codec_context) {
        avcodec_flush_buffers(d->codec_context);
        avcodec_free_context(&d->codec_context); // frees the extradata too
    }
}

void announce_size(VideoDecoder *d, int width, int height)
{
    d->announced_width = width;
    d->announced_height = height;
    listeners_call(d->size_listeners, width, height);
}

// Opens the codec from a configuration packet; takes ownership of `e`, which
// becomes `config`.
void decoder_open(VideoDecoder *d, QueueElement *e)
{
    queue_element_free(d->config);
    d->config = e;

    // A failed parse leaves 0 x 0; the first picture then announces its real
    // size (decoder_deliver).
    int width = 0, height = 0;
    h264_config_visible_size(e->data, e->length, &width, &height);

    release_codec(d);

    d->codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext *c = d->codec ? avcodec_alloc_context3(d->codec) : nullptr;
    if (c) {
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        // Without this, the H.264 decoder holds a picture back until it
        // knows the stream has no reordering (an SPS without
        // bitstream_restriction says nothing), and one receive per packet
        // would then always show the previous picture. With it, the picture
        // comes out for the packet that carried it.
        c->flags |= AV_CODEC_FLAG_LOW_DELAY;
        // Slices of one picture are decoded on several cores where the
        // stream has several; that never holds a picture back. Frame
        // threading would hold back one picture per extra thread, so it
        // stays off.
        c->thread_type = FF_THREAD_SLICE;
        c->thread_count = 0;
        // Broken packets from a lossy link are expected; libavcodec's
        // complaints about them go below the default log level (fatal
        // messages still show).
        c->log_level_offset = AV_LOG_VERBOSE - AV_LOG_ERROR;
        if (e->length <= (uint32_t)(INT_MAX - PAD))
            c->extradata = static_cast<uint8_t *>(av_mallocz(e->length + PAD));
        if (c->extradata) {
            std::memcpy(c->extradata, e->data, e->length);
            c->extradata_size = (int)e->length;
        }
        if (!c->extradata || avcodec_open2(c, d->codec, nullptr) < 0)
            avcodec_free_context(&c);
    }
    d->codec_context = c;
    if (c) {
        d->picture = av_frame_alloc();
        if (!d->picture)
            avcodec_free_context(&d->codec_context);
    }

    announce_size(d, width, height);
}

// Makes (or remakes) the 4:2:0 frame and the scaler for pictures of this
// size and format. Returns false when either cannot be had.
bool converter_for(VideoDecoder *d, const AVFrame *pic)
{
    AVFrame *conv = d->converted;
    if (conv && conv->width == pic->width && conv->height == pic->height && d->scaler_format == pic->format)
        return true;
    // A picture of another size (a new stream behind an in-band SPS, a new
    // configuration) would be scaled into a buffer made for the old one.
    free_converted(d);
    conv = av_frame_alloc();
    if (!conv)
        return false;
    conv->width = pic->width;
    conv->height = pic->height;
    conv->format = AV_PIX_FMT_YUV420P;
    if (av_frame_get_buffer(conv, 0) < 0) {
        av_frame_free(&conv);
        return false;
    }
    d->converted = conv;
    d->scaler = sws_getContext(pic->width, pic->height, (AVPixelFormat)pic->format, pic->width, pic->height,
                               AV_PIX_FMT_YUV420P, 0, nullptr, nullptr, nullptr);
    if (!d->scaler) {
        free_converted(d);
        return false;
    }
    d->scaler_format = pic->format;
    return true;
}

void decoder_deliver(VideoDecoder *d, AVFrame *pic, FrameTiming *timing)
{
    // The renderer sizes its planes from the last size it heard; a picture
    // of another size is announced first, so that never outruns a plane.
    if (pic->width != d->announced_width || pic->height != d->announced_height)
        announce_size(d, pic->width, pic->height);

    timing->decoded_us = clock_steady_us();
    d->decoded.fetch_add(1, std::memory_order_relaxed);
    d->decode_us.fetch_add(clock_elapsed(timing->last_us, timing->decoded_us), std::memory_order_relaxed);
    t_picture_timing = timing;
    // YUVJ420P is the same layout in full range.
    if (pic->format == AV_PIX_FMT_YUV420P || pic->format == AV_PIX_FMT_YUVJ420P) {
        t_picture = pic;
        listeners_call(d->frame_listeners, 3, pic->data, pic->linesize, pic->height);
    } else if (converter_for(d, pic)) {
        AVFrame *conv = d->converted;
        // A listener may still hold the last converted picture: the next
        // one goes into a buffer of its own rather than under its feet.
        if (!av_frame_is_writable(conv)) {
            av_frame_unref(conv);
            conv->width = pic->width;
            conv->height = pic->height;
            conv->format = AV_PIX_FMT_YUV420P;
            if (av_frame_get_buffer(conv, 0) < 0) {
                free_converted(d);
                t_picture_timing = nullptr;
                return;
            }
        }
        sws_scale(d->scaler, pic->data, pic->linesize, 0, pic->height, conv->data, conv->linesize);
        t_picture = conv;
        listeners_call(d->frame_listeners, 3, conv->data, conv->linesize, conv->height);
    }
    t_picture = nullptr;
    t_picture_timing = nullptr;
}

// libavcodec drops its last reference to a packet's bytes whenever it is
// done with them; the element goes with them.
void release_element(void *opaque, uint8_t *)
{
    queue_element_free(static_cast<QueueElement *>(opaque));
}

// Decodes one packet and frees it.
void decoder_decode(VideoDecoder *d, QueueElement *e)
{
    AVCodecContext *c = d->codec_context;
    // No codec before the first configuration. An empty packet would put
    // libavcodec into end-of-stream draining, which only a flush ends.
    if (d->stop.load() || !c || e->length == 0 || e->length > (uint32_t)(INT_MAX - PAD)) {
        queue_element_free(e);
        return;
    }
    int type = packet_type(e->data, e->length);
    // libavcodec may free the element as soon as it has the packet.
    FrameTiming timing{};
    timing.frame = e->tag;
    timing.bytes = e->length;
    timing.last_us = e->stamp_ms;
    std::memcpy(&timing.first_us, e->data + e->length + PAD, STARTED_SIZE);

    // The packet is handed over by reference to the element's padded bytes:
    // the copy made at submission is the only one.
    AVBufferRef *ref = av_buffer_create(e->data, e->length + PAD, release_element, e, 0);
    if (!ref) {
        queue_element_free(e);
        return;
    }
    AVPacket *pkt = d->packet;
    pkt->buf = ref;
    pkt->data = e->data;
    pkt->size = (int)e->length;
    pkt->pts = 0;
    pkt->dts = 0;

    if (type == NAL_IDR)
        avcodec_flush_buffers(c);
    avcodec_send_packet(c, pkt); // a refused packet just gives no picture
    av_packet_unref(pkt);        // libavcodec holds its own reference while it needs the bytes

    if (avcodec_receive_frame(c, d->picture) == 0) {
        decoder_deliver(d, d->picture, &timing);
        av_frame_unref(d->picture);
    }
}

void decoder_thread(VideoDecoder *d)
{
    Semaphore wake;
    while (!d->stop.load()) {
        QueueElement *e = queue_pop(d->queue);
        if (e) {
            if (packet_type(e->data, e->length) == NAL_SPS)
                decoder_open(d, e);
            else
                decoder_decode(d, e);
            continue;
        }
        {
            std::lock_guard<std::mutex> guard(d->lock);
            // Submissions push and look for a waiter under this lock. One
            // that came between the empty pop and here found no waiter, so
            // the queue is looked at again before sleeping; and a stop
            // requested before here released nobody.
            if (d->stop.load() || queue_count(d->queue) > 0)
                continue;
            d->waiter = &wake;
        }
        semaphore_wait(&wake, -1);
        std::lock_guard<std::mutex> guard(d->lock);
        d->waiter = nullptr;
    }
    d->stop.store(1);
}

void decoder_free(VideoDecoder *d)
{
    queue_destroy(&d->queue);
    queue_element_free(d->config);
    d->config = nullptr;
    release_codec(d);
    av_packet_free(&d->packet);
    delete d;
}

} // namespace

VideoDecoder *decoder_create(VideoSizeListeners *size_listeners, FrameListeners *frame_listeners,
                             PacketListeners *packet_listeners)
{
    auto *d = new (std::nothrow) VideoDecoder;
    if (!d)
        return nullptr;
    d->size_listeners = size_listeners;
    d->frame_listeners = frame_listeners;
    d->packet_listeners = packet_listeners;
    d->queue = queue_create();
    d->packet = av_packet_alloc();
    if (!d->queue || !d->packet) {
        decoder_free(d);
        return nullptr;
    }
    try {
        d->thread = std::thread(decoder_thread, d);
    } catch (const std::system_error &) {
        decoder_free(d);
        return nullptr;
    }
    return d;
}

void decoder_submit(VideoDecoder *d, const uint8_t *data, uint32_t len, uint32_t frame, uint64_t started_ms,
                    uint64_t completed_ms)
{
    if (!d || !data)
        return;
    if (d->packet_listeners)
        listeners_call(d->packet_listeners, data, len, completed_ms ? completed_ms : clock_steady_us());
    // Copied before the lock is taken, so producers hold it only for the
    // discard, the append and the wake-up.
    QueueElement *e = packet_copy(data, len, frame, started_ms, completed_ms);
    if (!e)
        return;
    std::lock_guard<std::mutex> guard(d->lock);
    // Pictures queued behind an old configuration are useless to the new one.
    if (packet_type(data, len) == NAL_SPS)
        queue_clear(d->queue);
    queue_push_element(d->queue, e);
    if (d->waiter)
        semaphore_release(d->waiter);
}

uint32_t decoder_queue_length(VideoDecoder *d)
{
    return d ? queue_count(d->queue) : 0;
}

void decoder_destroy(VideoDecoder **pd)
{
    if (!pd || !*pd)
        return;
    VideoDecoder *d = *pd;
    d->stop.store(1);
    {
        std::lock_guard<std::mutex> guard(d->lock);
        if (d->waiter)
            semaphore_release(d->waiter);
    }
    if (d->thread.joinable())
        d->thread.join();
    decoder_free(d);
    *pd = nullptr;
}

const FrameTiming *decoder_picture_timing(void) { return t_picture_timing; }

DecodedPicture *decoder_picture_ref(void)
{
    // A picture libavcodec did not count (none of ours) is not handed out.
    if (!t_picture || !t_picture->buf[0])
        return nullptr;
    return reinterpret_cast<DecodedPicture *>(av_frame_clone(t_picture));
}

DecodedPicture *picture_copy(int width, int height, uint8_t *const *data, const int *line_sizes)
{
    if (width < 1 || height < 1 || !data || !line_sizes)
        return nullptr;
    const int cw = width - width / 2;
    const int widths[3] = {width, cw, cw};
    for (int i = 0; i < 3; i++)
        if (!data[i] || line_sizes[i] < widths[i])
            return nullptr;
    AVFrame *f = av_frame_alloc();
    if (!f)
        return nullptr;
    f->width = width;
    f->height = height;
    f->format = AV_PIX_FMT_YUV420P;
    if (av_frame_get_buffer(f, 0) < 0) {
        av_frame_free(&f);
        return nullptr;
    }
    av_image_copy(f->data, f->linesize, const_cast<const uint8_t **>(data), line_sizes, AV_PIX_FMT_YUV420P, width,
                  height);
    return reinterpret_cast<DecodedPicture *>(f);
}

bool picture_planes(const DecodedPicture *p, PicturePlanes *out)
{
    *out = PicturePlanes{};
    if (!p)
        return false;
    const AVFrame *f = reinterpret_cast<const AVFrame *>(p);
    out->width = f->width;
    out->height = f->height;
    for (int i = 0; i < 3; i++) {
        out->data[i] = f->data[i];
        out->line_sizes[i] = f->linesize[i];
    }
    return true;
}

void picture_release(DecodedPicture **p)
{
    if (!p || !*p)
        return;
    AVFrame *f = reinterpret_cast<AVFrame *>(*p);
    av_frame_free(&f);
    *p = nullptr;
}

void decoder_counters(VideoDecoder *d, DecoderCounters *out)
{
    *out = DecoderCounters{};
    if (!d)
        return;
    out->decoded = d->decoded.load(std::memory_order_relaxed);
    out->decode_us = d->decode_us.load(std::memory_order_relaxed);
}
