// The receiver thread: owns the viewer's UDP port. Discovery answers go to the
// device listeners; stream datagrams of both protocols are walked packet by
// packet: pictures are reassembled and acknowledged, sound goes to the audio
// ring, acknowledgements of input batches and control packets are taken, the
// protocol-2 handshake runs here, and a connection that has gone silent for
// more than 4 s is reset.
#include <algorithm>
#include <cstring>

#include "base/clock.h"
#include "protocol/frame_assembly.h"
#include "link/link_context.h"
#include "link/receiver.h"
#include "media/sps_pps.h"
#include "protocol/wire.h"

static const uint64_t kSilenceMs = 4000;
static const size_t kReceiveBuffer = 131072;
// Datagrams read per system call, and the room for each (the largest UDP
// payload).
static const int kBatchDatagrams = 32;
static const size_t kReceiveSlot = 65536;
// The wait for a datagram is short so that a stop is seen at once.
static const int kReceiveSliceMs = 100;
// A key frame asked for and not come (its request or its fragments lost) is
// asked for again after this long.
static const uint64_t kKeyFrameRetryMs = 200;
// A lost device's address is probed this often.
static const uint64_t kReprobeMs = 1000;
// A picture still incomplete this long after its first fragment is given up.
static const uint64_t kPictureGiveUpMs = 1000;

struct Receiver {
    LinkContext *l;
    FrameAssembly fa;
    uint8_t *buf;
    sockaddr_storage from;
    uint32_t delivered_frame;  // the picture already handed over (duplicates must not repeat it)
    bool delivered;
    // The picture in progress, for the statistics and its timing.
    uint64_t first_us, last_us;  // its first fragment, the one that completed it
    uint32_t highest;            // highest fragment index stored
    uint64_t last_reprobe_ms;
    // A picture was given up (left incomplete for a newer one, or out of
    // time): the decoder lacks it, and the pictures after it refer to it.
    bool gave_up;
    // frame_num of the last reference picture handed to the decoder.
    bool have_reference;
    uint32_t reference_frame_num;
    SpsRecord slice_sps;  // the fields of frame_num_info, for h264_first_slice
};

// What the record looked like before a fragment was added.
struct FaBefore {
    uint32_t frame, fragments, count, complete;
};

static FaBefore fa_before(const FrameAssembly *fa) { return {fa->frame, fa->fragments, fa->count, fa->complete}; }

// Counts what one fragment did to the picture in progress and keeps its
// times: a picture left unfinished for a newer one, a new fragment or a
// duplicate, one that filled a gap below the highest index (the device's
// resend of what an acknowledgement lacked, or reordering), completion.
static void count_fragment(Receiver *r, const FaBefore &b, int rc, uint32_t index, size_t len)
{
    LinkContext *l = r->l;
    const FrameAssembly *fa = &r->fa;
    const uint64_t now = clock_steady_us();
    uint32_t stored_before = b.fragments;
    if (fa->frame != b.frame) {
        if (b.frame != FA_NO_FRAME && !b.complete && b.count > 0) {
            r->gave_up = true;
            l->stat_abandoned.fetch_add(1, std::memory_order_relaxed);
            l->stat_lost.fetch_add(b.count - std::min(b.fragments, b.count), std::memory_order_relaxed);
        }
        stored_before = 0;
        r->first_us = now;
        r->last_us = 0;
        r->highest = 0;
    }
    if (rc < 0)
        return;
    if (fa->fragments > stored_before) {
        l->stat_fragments.fetch_add(1, std::memory_order_relaxed);
        l->stat_video_bytes.fetch_add(len, std::memory_order_relaxed);
        if (stored_before > 0 && index < r->highest)
            l->stat_resent.fetch_add(1, std::memory_order_relaxed);
        r->highest = std::max(r->highest, index);
    } else {
        l->stat_duplicates.fetch_add(1, std::memory_order_relaxed);
    }
    if (fa->complete && (fa->frame != b.frame || !b.complete)) {
        l->stat_pictures.fetch_add(1, std::memory_order_relaxed);
        r->last_us = now;
    }
}

static void send_back(Receiver *r, const uint8_t *data, size_t n)
{
    net_udp_send_to(&r->l->udp, data, n, (const sockaddr *)&r->from);
}

static void echo(Receiver *r, const P2Packet *pk)
{
    uint8_t out[16];
    p2_echo_header(pk->header, out);
    send_back(r, out, sizeof out);
}

static void push_audio(LinkContext *l, uint32_t seq, const uint8_t *pcm, size_t n)
{
    if (seq <= l->last_audio.load())
        return;
    if (l->connected.load())
        l->last_audio = seq;
    std::lock_guard<std::mutex> g(l->audio_lock);
    if (l->audio_on.load())
        audio_ring_push(l->audio, pcm, (uint32_t)n);
}

// Hands a complete picture to the decoder once (step shared by both protocols).
static void deliver(Receiver *r)
{
    LinkContext *l = r->l;
    FrameAssembly *fa = &r->fa;
    if (!fa->complete || fa->frame <= l->last_frame.load())
        return;
    if (r->delivered && r->delivered_frame == fa->frame)
        return;
    r->delivered = true;
    r->delivered_frame = fa->frame;
    const bool idr = fa_picture_is_idr(fa);
    if (idr)
        link_note_codec(l, fa->data, fa->length);  // the SPS may travel with the key frame
    const uint32_t info = l->frame_num_info.load();
    SliceStart slice{};
    bool numbered = false;
    if ((info & 0x1Fu) != 0) {
        r->slice_sps.log2_max_frame_num_minus4 = (info & 0x1Fu) - 4;
        r->slice_sps.separate_colour_plane_flag = (info >> 8) & 1u;
        numbered = h264_first_slice(fa->data, fa->length, &r->slice_sps, &slice) == 0;
    }
    if (idr) {
        l->key_frame_seen = 1;
    } else if (!l->key_frame_seen.load()) {
        // Pictures wait for the key frame asked for; one asked for that has
        // not come (its request or its fragments lost) is asked for again.
        const uint64_t asked = l->key_request_ms.load();
        if (clock_elapsed(asked, link_now_ms()) > kKeyFrameRetryMs)
            link_request_key_frame(l);
    } else if (numbered && r->have_reference && !(info & 0x200u)) {
        // A picture lost whole (not one fragment of it came) leaves no
        // trace in the assembly; the coded stream tells: reference pictures
        // carry frame_num one after another, whatever numbers the device
        // gives the pictures themselves.
        const uint32_t next = (r->reference_frame_num + 1) & ((1u << (info & 0x1Fu)) - 1);
        if (slice.frame_num != r->reference_frame_num && slice.frame_num != next)
            link_request_key_frame(l);
    }
    if (l->key_frame_seen.load()) {
        decoder_submit(l->decoder, fa->data, fa->length, fa->frame, r->first_us, r->last_us);
        if (numbered && (slice.ref_idc != 0 || idr)) {
            r->have_reference = true;
            r->reference_frame_num = slice.frame_num;
        }
    }
    if (l->connected.load())
        l->last_frame = fa->frame;
}

// Called after each fragment: a picture given up means the decoder lacks it,
// and so every picture up to the next key frame (seconds away) would refer
// to what it lacks. The pictures wait for a key frame asked for now. Gaps in
// the frame numbers say nothing: a device may number by more than one, or
// skip numbers for captures it dropped itself.
static void after_give_up(Receiver *r)
{
    if (!r->gave_up)
        return;
    r->gave_up = false;
    if (r->l->key_frame_seen.load())
        link_request_key_frame(r->l);
}

// A picture still incomplete long after its first fragment will not be
// completed (the device gave up its resends): give it up.
static void picture_time_out(Receiver *r, uint64_t now_ms)
{
    FrameAssembly *fa = &r->fa;
    if (fa->frame == FA_NO_FRAME || fa->complete || fa->count == 0 ||
        clock_elapsed(fa->started_ms, now_ms) <= kPictureGiveUpMs)
        return;
    LinkContext *l = r->l;
    l->stat_abandoned.fetch_add(1, std::memory_order_relaxed);
    l->stat_lost.fetch_add(fa->count - std::min(fa->fragments, fa->count), std::memory_order_relaxed);
    fa_reset(fa, now_ms);
    r->delivered = false;
    r->gave_up = true;
    after_give_up(r);
}

static void submit_codec_header(LinkContext *l, const uint8_t *data, size_t n)
{
    // A codec header must at least hold a start code and a NAL header; an
    // empty one would be taken for a picture.
    if (n >= 5) {
        link_note_codec(l, data, n);
        decoder_submit(l->decoder, data, (uint32_t)n, 0, 0, 0);
    }
}

static void connect_reply(Receiver *r, const P2Packet *pk)
{
    LinkContext *l = r->l;
    if (l->connected.load())
        return;
    P2ConnectReply rep;
    if (p2_parse_connect_reply(pk->payload, pk->length, &rep) != 0)
        return;
    if (rep.result == P2_RESULT_ADMITTED) {
        // A new session numbers its pictures afresh, maybe below a picture
        // of the last one still in the assembly: that one goes.
        fa_reset(&r->fa, link_now_ms());
        r->delivered = false;
        l->key_frame_seen = 0;
        l->last_frame = 0;
        l->video_present = 0;
        l->last_device_control = 0;
        // Video present without a codec header cannot show a picture yet:
        // the device's video-state packet will bring the header.
        if (rep.video_present && rep.codec_header && rep.codec_len >= 5) {
            submit_codec_header(l, rep.codec_header, rep.codec_len);
            l->video_present = 1;
            link_set_state(l, LINK_STATE_STREAMING);
        } else {
            link_set_state(l, LINK_STATE_NO_VIDEO);
        }
        {
            std::lock_guard<std::mutex> g(l->audio_lock);
            if (rep.audio_present && rep.channels != 0)
                audio_ring_set_format(l->audio, rep.channels, rep.rate);
            else if (!rep.audio_present)
                audio_ring_stop_output(l->audio);
        }
        l->connected = 1;
        uint8_t start[16];
        p2_build_connection_start(start, 0);
        control_queue_packet(l, start, sizeof start);
        link_set_admitted(l, 1);
    } else if (rep.result == P2_RESULT_PASSWORD || rep.result == P2_RESULT_REFUSED) {
        link_set_admitted(l, 0);
        link_set_state(l, rep.result == P2_RESULT_PASSWORD ? LINK_STATE_PASSWORD : LINK_STATE_REFUSED);
    }
}

static void p2_video(Receiver *r, const P2Packet *pk)
{
    LinkContext *l = r->l;
    P2Fragment f;
    if (p2_fragment_info(pk, &f) != 0)
        return;
    uint32_t interval = l->ack_interval_us.load();
    unsigned counter = 0;
    uint32_t before = r->fa.frame;
    const FaBefore was = fa_before(&r->fa);
    int rc = fa_add_p2(&r->fa, &f, pk->payload, pk->length, interval, clock_steady_us(), link_now_ms(), &counter);
    count_fragment(r, was, rc, f.index, pk->length);
    if (r->fa.frame != before)
        r->delivered = false;
    if (rc == FA_ACK) {
        uint8_t ack[20];
        uint16_t queued = (uint16_t)std::min<uint32_t>(decoder_queue_length(l->decoder), 0xffff);
        p2_build_fragment_ack(pk->header, queued, fa_group_bitmap(&r->fa, f.index / 32), counter, ack);
        send_back(r, ack, sizeof ack);
    }
    // Before delivery: a picture after the one given up waits for the key frame.
    after_give_up(r);
    if (rc >= 0 && r->fa.frame == f.frame)
        deliver(r);
}

static void walk_p2(Receiver *r, uint8_t *d, size_t n)
{
    LinkContext *l = r->l;
    size_t pos = 0;
    P2Packet pk;
    while (p2_next_packet(d, n, &pos, WIRE_FROM_DEVICE, &pk) == 1) {
        switch (pk.type) {
        case P2_TYPE_AUDIO:
            push_audio(l, pk.seq, pk.payload, pk.length);
            break;
        case P2_TYPE_VIDEO:
            p2_video(r, &pk);
            break;
        case P2_TYPE_INPUT:
            l->input_ack = pk.seq;
            break;
        case P2_TYPE_CONNECT:
            if (control_ack_check(l, pk.type, pk.seq))
                connect_reply(r, &pk);
            break;
        case P2_TYPE_START:
            if (control_ack_check(l, pk.type, pk.seq)) {
                fa_reset(&r->fa, link_now_ms());
                r->delivered = false;
                control_queue_setting(l, WIRE_SETTING_AUDIO, l->audio_on.load() ? 1 : 0);
                control_queue_setting(l, WIRE_SETTING_INPUT, l->input_on.load() ? 1 : 0);
                control_queue_setting(l, WIRE_SETTING_KEY_FRAME, 0);
            }
            break;
        case P2_TYPE_STREAM_PARAMS: {
            echo(r, &pk);
            uint32_t interval;
            if (p2_parse_stream_params(pk.payload, pk.length, &interval) == 0) {
                std::memcpy(l->stream_params, pk.payload, 16);
                l->ack_interval_us = interval;
            }
            break;
        }
        case P2_TYPE_SETTING:
            control_ack_check(l, pk.type, pk.seq);
            break;
        case P2_TYPE_VIDEO_STATE:
            echo(r, &pk);
            if (pk.seq > l->last_device_control.load()) {
                l->last_device_control = pk.seq;
                if (pk.w8 == 1) {
                    // A new stream (signal back, another picture size): its
                    // numbering may start again, below the picture in
                    // progress, whose fragments would then all be "older".
                    fa_reset(&r->fa, link_now_ms());
                    r->delivered = false;
                    l->key_frame_seen = 0;
                    l->last_frame = 0;
                    l->video_present = 1;
                    submit_codec_header(l, pk.payload, pk.length);
                    link_request_key_frame(l);
                    link_set_state(l, LINK_STATE_STREAMING);
                } else {
                    l->video_present = 0;
                    link_set_state(l, LINK_STATE_NO_VIDEO);
                }
            }
            break;
        case P2_TYPE_AUDIO_FORMAT:
            echo(r, &pk);
            if (pk.seq > l->last_device_control.load()) {
                l->last_device_control = pk.seq;
                int32_t channels;
                uint32_t rate;
                if (p2_parse_audio_format(pk.payload, pk.length, &channels, &rate) == 0) {
                    std::lock_guard<std::mutex> g(l->audio_lock);
                    if (channels > 0)
                        audio_ring_set_format(l->audio, (uint32_t)channels, rate);
                    else
                        audio_ring_stop_output(l->audio);
                }
            }
            break;
        default:
            break;
        }
    }
}

static void walk_p1(Receiver *r, const uint8_t *d, size_t n)
{
    LinkContext *l = r->l;
    size_t pos = 0;
    P1Block b;
    while (p1_next_block(d, n, &pos, &b) == 1) {
        if (b.kind == P1_KIND_INPUT) {
            l->input_ack = b.seq;
        } else if (b.kind == P1_KIND_VIDEO) {
            if (!b.valid)
                continue;  // its index or size would fall outside the picture
            uint32_t before = r->fa.frame;
            const FaBefore was = fa_before(&r->fa);
            int rc = fa_add_p1(&r->fa, &b, link_now_ms());
            count_fragment(r, was, rc, b.index, b.length);
            if (r->fa.frame != before)
                r->delivered = false;
            after_give_up(r);
            if (rc < 0)
                continue;
            uint8_t ack[P1_FRAGMENT_ACK_MAX];
            uint16_t queued = (uint16_t)std::min<uint32_t>(decoder_queue_length(l->decoder), 0xffff);
            int len = p1_build_fragment_ack(ack, sizeof ack, b.header, queued, r->fa.received, b.count);
            if (len > 0)
                send_back(r, ack, (size_t)len);
            deliver(r);
        } else if (b.kind == P1_KIND_AUDIO && b.length) {
            push_audio(l, b.seq, b.payload, b.length);
        }
    }
}

// Whether a datagram comes from the target's address (the port may differ).
static bool from_target(LinkContext *l, const sockaddr_storage *from)
{
    DeviceAddress target;
    {
        std::lock_guard<std::mutex> g(l->target_lock);
        target = l->device_address;
    }
    if (from->ss_family != target.sa.sa_family)
        return false;
    if (from->ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in *>(from)->sin_addr.s_addr == target.in4.sin_addr.s_addr;
    if (from->ss_family == AF_INET6)
        return std::memcmp(&reinterpret_cast<const sockaddr_in6 *>(from)->sin6_addr, &target.in6.sin6_addr,
                           sizeof target.in6.sin6_addr) == 0;
    return false;
}

// The discovery probe a scan sends, to the lost device's address only: its
// answer comes to the device listeners like any other.
static void reprobe(LinkContext *l)
{
    DeviceAddress to;
    {
        std::lock_guard<std::mutex> g(l->target_lock);
        to = l->reprobe_address;
    }
    link_probe_address(l, &to);
}

Receiver *receiver_create(LinkContext *l)
{
    Receiver *r = new Receiver();
    r->l = l;
    r->buf = new uint8_t[kReceiveBuffer];
    fa_init(&r->fa);
    fa_reset(&r->fa, link_now_ms());
    return r;
}

void receiver_destroy(Receiver **pr)
{
    if (!pr || !*pr)
        return;
    Receiver *r = *pr;
    fa_free(&r->fa);
    delete[] r->buf;
    delete r;
    *pr = nullptr;
}

void receiver_datagram(Receiver *r, uint8_t *data, size_t len, const sockaddr_storage *from)
{
    LinkContext *l = r->l;
    if (!data || !from)
        len = 0;
    if (len > 0 && from != &r->from)
        r->from = *from;  // acknowledgements go back where the datagram came from
    int n = (int)std::min(len, kReceiveBuffer);
    if (n >= 1 && net_port_of((const sockaddr *)&r->from) == WIRE_PORT_DISCOVERY) {
        DeviceRecord rec;
        device_parse_answer(&r->from, sizeof(sockaddr_in6), (const char *)data, (size_t)n, &rec);
        device_report(&l->device_listeners, &rec);
        // The answer of an address the operator typed (unless a listener
        // selected it already).
        if (link_typed_from(l, &r->from))
            link_typed_answer(l, &rec);
        return;
    }
    int32_t protocol = l->protocol.load();
    if (l->stop_control.load() || protocol < 0 || l->usb_mode.load())
        return;
    // The silence rule does not run while the operator is asked for a
    // password: the device owes us no traffic then.
    const uint64_t last_traffic = l->last_traffic_ms.load();
    if (l->active.load() && l->state.load() != LINK_STATE_PASSWORD &&
        clock_elapsed(last_traffic, link_now_ms()) > kSilenceMs) {
        bool was_connected = l->connected.load() != 0;
        link_reset(l);
        if (was_connected)
            link_watch_lost(l);
        return;
    }
    // Only the target's datagrams are its stream. A dongle the link just
    // left (or one answering a request that was already on its way when
    // the target changed) must not be taken for the new one.
    if (n >= 1 && !from_target(l, &r->from))
        return;
    picture_time_out(r, link_now_ms());
    size_t header = protocol >= 2 ? 16 : 8;
    if (n >= (int)header) {
        l->last_traffic_ms = link_now_ms();
        l->stat_datagrams.fetch_add(1, std::memory_order_relaxed);
        if (protocol >= 2)
            walk_p2(r, data, (size_t)n);
        else
            walk_p1(r, data, (size_t)n);
    }
}

void receiver_tick(Receiver *r) { receiver_datagram(r, nullptr, 0, nullptr); }

void receiver_thread_main(LinkContext *l)
{
    Receiver *r = receiver_create(l);
    // Datagrams are read in batches, one system call for all that a burst
    // left queued. The slots take the largest datagram (a protocol-1
    // fragment); only the pages a datagram touches become resident.
    NetBatch batch;
    const bool batched = net_batch_init(&batch, kBatchDatagrams, kReceiveSlot) == 0;
    l->receiving = 1;  // the screen should stay awake while we receive

    while (!l->stop_all.load()) {
        if (l->reprobe.load() && l->udp_ok && !l->active.load() && l->state.load() == LINK_STATE_NONE &&
            clock_elapsed(r->last_reprobe_ms, link_now_ms()) >= kReprobeMs) {
            r->last_reprobe_ms = link_now_ms();
            reprobe(l);
        }
        // A typed address that did not answer its probe in time is
        // connected as it was typed.
        if (l->typed_pending.load() && link_now_ms() >= l->typed_deadline_ms.load())
            link_typed_answer(l, nullptr);
        if (!l->udp_ok) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        int n;
        if (batched) {
            n = net_udp_receive_batch(&l->udp, &batch, kReceiveSliceMs);
            for (int i = 0; i < n && !l->stop_all.load(std::memory_order_relaxed); i++)
                receiver_datagram(r, net_batch_data(&batch, i), net_batch_length(&batch, i), net_batch_from(&batch, i));
        } else {
            n = net_udp_receive(&l->udp, r->buf, kReceiveBuffer, &r->from, kReceiveSliceMs);
            if (n > 0)
                receiver_datagram(r, r->buf, (size_t)n, &r->from);
        }
        // A wait that brought nothing still runs the silence rule.
        if (n <= 0)
            receiver_tick(r);
    }
    net_batch_free(&batch);

    if (l->active.load() && l->udp_ok && l->protocol.load() >= 2) {
        link_send_disconnect_p2(l);
        link_reset(l);
    }
    l->receiving = 0;
    receiver_destroy(&r);
}
