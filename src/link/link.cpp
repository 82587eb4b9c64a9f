// Link start and stop, link reset, and the operations the user interface
// calls (connect, disconnect, switches, unlock, input).
#include <arpa/inet.h>

#include <cstring>

#include "base/clock.h"
#include "link/link_context.h"
#include "platform/audio_output.h"
#include "protocol/password.h"
#include "base/rng.h"
#include "link/usb_transport.h"
#include "media/sps_pps.h"
#include "protocol/wire.h"

static std::atomic<LinkContext *> g_link{nullptr};

// The last password given to unlock, for the HID mode switch.
static std::mutex g_password_lock;
static char g_password[17];

uint64_t (*link_test_clock)(void) = nullptr;
uint64_t link_now_ms(void) { return link_test_clock ? link_test_clock() : clock_steady_ms(); }

// How long a typed address has to answer the discovery probe.
static const uint64_t kTypedProbeMs = 1000;

LinkContext *link_global(void) { return g_link.load(); }

void link_note_codec(LinkContext *l, const uint8_t *data, size_t n)
{
    SpsRecord sps;
    if (!data || n > 0xFFFFFFFFu || h264_config_sps(data, (uint32_t)n, &sps) != 0)
        return;
    const uint32_t bits = sps.log2_max_frame_num_minus4 + 4;
    if (bits > 16)
        return;  // no valid SPS says so
    l->frame_num_info = bits | (sps.separate_colour_plane_flag ? 0x100u : 0u) |
                        (sps.gaps_in_frame_num_value_allowed_flag ? 0x200u : 0u);
}

void link_set_state(LinkContext *l, uint32_t state)
{
    l->state = state;
    listeners_call(&l->state_listeners, (int)state);
}

void link_set_admitted(LinkContext *l, uint32_t admitted)
{
    l->admitted = admitted;
    listeners_call(&l->admitted_listeners, (int)admitted);
}

void link_reset(LinkContext *l)
{
    l->stop_control = 1;
    l->active = 0;
    l->video_present = 0;
    l->last_audio = 0;
    l->key_frame_seen = 0;
    l->last_frame = 0;
    l->connected = 0;
    l->input_ack = 0;
    // The session's generation ends with it: a USB target or a protocol-1
    // device connected next must not have its settings queued for protocol 2.
    l->protocol = -1;
    {
        std::lock_guard<std::mutex> g(l->control_lock);
        l->last_acked_control = 0;
        l->control_seq = 0;
        control_queue_clear(l);
    }
    link_set_state(l, LINK_STATE_NONE);
}

// The audio ring plays into the platform's audio output.
const AudioRingOutput *link_audio_ring_output(void)
{
    static const AudioRingOutput out = {
        [](uint32_t rate, uint32_t min_ms, uint32_t max_ms) -> void * {
            return audio_output_create(rate, min_ms, max_ms);
        },
        [](void *o) {
            AudioOutput *a = static_cast<AudioOutput *>(o);
            audio_output_destroy(&a);
        },
        [](void *o, const int16_t *frames, uint32_t count) {
            return audio_output_queue(static_cast<AudioOutput *>(o), frames, count);
        },
        [](void *o) { return audio_output_queued_ms(static_cast<AudioOutput *>(o)); },
    };
    return &out;
}

LinkContext *link_start(const LinkOptions *options)
{
    LinkContext *l = new LinkContext();
    if (options)
        l->options = *options;
    if (!l->options.adapters)
        l->options.adapters = link_default_adapters;
    l->viewer_port = l->options.viewer_port ? l->options.viewer_port : (uint16_t)WIRE_PORT_VIEWER;

    l->udp_ok = net_udp_create(&l->udp, l->viewer_port, NET_UDP_RECEIVE_BUFFER) == 0;
    l->audio = audio_ring_create(link_audio_ring_output(), &l->pcm_listeners);
    l->input_queue = queue_create();
    l->audio_on = 0;
    l->input_on = 0;
    l->stream_switch = 1;
    l->protocol = -1;
    g_link = l;
    kv_srand((uint32_t)(clock_wall_ms() / 1000));

    l->sender_thread = std::thread(sender_thread_main, l);
    l->receiver_thread = std::thread(receiver_thread_main, l);
    l->decoder = decoder_create(&l->video_size_listeners, &l->frame_listeners, &l->packet_listeners);
    if (!l->options.no_initial_scan)
        link_scan(l);
    return l;
}

void link_stop(LinkContext **pl)
{
    if (!pl || !*pl)
        return;
    LinkContext *l = *pl;
    l->stop_all = 1;
    link_disconnect(l, true);  // a select on a link thread now starts nothing
    {
        std::lock_guard<std::mutex> g(l->control_lock);
        if (l->sender_wake)
            semaphore_release(l->sender_wake);
    }
    if (l->sender_thread.joinable())
        l->sender_thread.join();
    if (l->receiver_thread.joinable())
        l->receiver_thread.join();
    // A scan still running sends on the UDP socket: wait for it before the
    // socket goes (it checks stop_all between probes).
    {
        std::lock_guard<std::mutex> g(l->scan_lock);
        if (l->scan_thread.joinable())
            l->scan_thread.join();
    }
    {
        std::lock_guard<std::mutex> g(l->op_lock);
        if (l->stream_thread.joinable())
            l->stream_thread.join();
    }
    net_close(&l->udp);
    audio_ring_destroy(&l->audio);
    decoder_destroy(&l->decoder);
    {
        std::lock_guard<std::mutex> g(l->control_lock);
        control_queue_clear(l);
    }
    queue_destroy(&l->input_queue);
    LinkContext *expected = l;
    g_link.compare_exchange_strong(expected, nullptr);
    delete l;
    *pl = nullptr;
}

void link_on_state(LinkContext *l, void *ctx, void (*fn)(void *, int)) { listeners_register(&l->state_listeners, ctx, fn); }
void link_on_admitted(LinkContext *l, void *ctx, void (*fn)(void *, int))
{
    listeners_register(&l->admitted_listeners, ctx, fn);
}
void link_on_scan_started(LinkContext *l, void *ctx, void (*fn)(void *))
{
    listeners_register(&l->scan_started_listeners, ctx, fn);
}
void link_on_scan_finished(LinkContext *l, void *ctx, void (*fn)(void *))
{
    listeners_register(&l->scan_finished_listeners, ctx, fn);
}
void link_on_device(LinkContext *l, void *ctx, void (*fn)(void *, const DeviceRecord *))
{
    listeners_register(&l->device_listeners, ctx, fn);
}
void link_on_video_size(LinkContext *l, void *ctx, void (*fn)(void *, int, int))
{
    listeners_register(&l->video_size_listeners, ctx, fn);
}
void link_on_frame(LinkContext *l, void *ctx, void (*fn)(void *, int, uint8_t *const *, const int *, int))
{
    listeners_register(&l->frame_listeners, ctx, fn);
}

int link_scan(LinkContext *l)
{
    std::lock_guard<std::mutex> g(l->scan_lock);
    if (l->scanning.load() || l->stop_all.load())
        return 0;
    if (l->scan_thread.joinable())
        l->scan_thread.join();  // the previous scan has finished (scanning is clear)
    l->scanning = 1;
    l->scan_thread = std::thread(scan_thread_main, l);
    return 1;
}

void link_set_subnets(LinkContext *l, const uint32_t *subnets, int count)
{
    std::lock_guard<std::mutex> g(l->subnet_lock);
    if (count < 0)
        count = 0;
    if (count > 128)
        count = 128;
    if (count > 0 && subnets)
        std::memcpy(l->subnets, subnets, sizeof(uint32_t) * (size_t)count);
    else
        count = 0;
    l->subnet_count = count;
}

// Same device address (family and IP; the port does not matter).
static bool same_address(const DeviceAddress &a, const DeviceAddress &b)
{
    if (a.sa.sa_family != b.sa.sa_family)
        return false;
    if (a.sa.sa_family == AF_INET)
        return a.in4.sin_addr.s_addr == b.in4.sin_addr.s_addr;
    if (a.sa.sa_family == AF_INET6)
        return std::memcmp(&a.in6.sin6_addr, &b.in6.sin6_addr, sizeof a.in6.sin6_addr) == 0;
    return false;
}

void link_watch_lost(LinkContext *l)
{
    std::lock_guard<std::mutex> g(l->target_lock);
    if (l->target.usb)
        return;
    l->reprobe_address = l->device_address;
    l->reprobe = 1;
}

// The operations below take op_lock; these are their bodies, for callers
// that hold it already.
static void connect_locked(LinkContext *l);
static void disconnect_locked(LinkContext *l, bool wait);

static void select_locked(LinkContext *l, const DeviceRecord *rec)
{
    l->typed_pending = 0;
    {
        std::lock_guard<std::mutex> g(l->target_lock);
        l->target = *rec;
        l->device_address = rec->address;
        // Connecting again to the lost device keeps it watched: should this
        // attempt fail too, the probes go on.
        if (rec->usb || !same_address(l->reprobe_address, rec->address))
            l->reprobe = 0;
    }
    connect_locked(l);
}

void link_select_target(LinkContext *l, const DeviceRecord *rec)
{
    std::lock_guard<std::mutex> op(l->op_lock);
    select_locked(l, rec);
}

// The discovery probe of a scan, to one address.
static void send_probe(LinkContext *l, const DeviceAddress &address)
{
    if (address.sa.sa_family != AF_INET || !l->udp_ok)
        return;
    sockaddr_in to = address.in4;
    to.sin_port = htons(WIRE_PORT_DISCOVERY);
    char probe[64];
    int len = wire_build_probe(probe, sizeof probe, l->viewer_port, (int64_t)clock_wall_ms(), wire_tz_field());
    if (len > 0)
        net_udp_send_to(&l->udp, (const uint8_t *)probe, (size_t)len, (const sockaddr *)&to);
}

void link_probe_address(LinkContext *l, const DeviceAddress *address) { send_probe(l, *address); }

void link_select_typed(LinkContext *l, const DeviceRecord *rec)
{
    std::lock_guard<std::mutex> op(l->op_lock);
    if (l->stop_all.load())
        return;
    if (rec->usb || rec->address.sa.sa_family != AF_INET || !l->udp_ok) {
        select_locked(l, rec);
        return;
    }
    {
        // The typed record is the target while its probe is out, so that
        // the connection screen names it.
        std::lock_guard<std::mutex> g(l->target_lock);
        l->target = *rec;
        l->device_address = rec->address;
        l->typed_record = *rec;
        if (!same_address(l->reprobe_address, rec->address))
            l->reprobe = 0;
    }
    l->typed_deadline_ms = link_now_ms() + kTypedProbeMs;
    l->typed_pending = 1;
    link_set_state(l, LINK_STATE_CONNECTING);
    send_probe(l, rec->address);
}

bool link_typed_from(LinkContext *l, const sockaddr_storage *from)
{
    if (!l->typed_pending.load() || from->ss_family != AF_INET)
        return false;
    std::lock_guard<std::mutex> g(l->target_lock);
    return reinterpret_cast<const sockaddr_in *>(from)->sin_addr.s_addr == l->typed_record.address.in4.sin_addr.s_addr;
}

void link_typed_answer(LinkContext *l, const DeviceRecord *answer)
{
    std::lock_guard<std::mutex> op(l->op_lock);
    // Another selection (the operator's, or a device listener's with this
    // very answer) may have come first: it stands.
    if (!l->typed_pending.load() || l->stop_all.load())
        return;
    DeviceRecord rec;
    {
        std::lock_guard<std::mutex> g(l->target_lock);
        rec = l->typed_record;
    }
    if (answer) {
        // The answer's record, reached at the address that was typed.
        DeviceRecord typed = rec;
        rec = *answer;
        rec.address = typed.address;
    }
    select_locked(l, &rec);
}

void link_connect(LinkContext *l)
{
    std::lock_guard<std::mutex> op(l->op_lock);
    l->typed_pending = 0;
    connect_locked(l);
}

static void connect_locked(LinkContext *l)
{
    // Once the link is stopping nothing starts a connection: its threads
    // are being waited for.
    if (l->stop_all.load())
        return;
    DeviceRecord target;
    {
        std::lock_guard<std::mutex> g(l->target_lock);
        target = l->target;
    }
    if (target.usb) {
        if (l->active.load())
            disconnect_locked(l, true);
    } else {
        if (!l->udp_ok)
            return;
        l->last_traffic_ms = link_now_ms();
        if (target.version[0] >= 2) {
            // A protocol-1 connection still running must end first: its
            // thread would otherwise miss the stop (cleared again just
            // below) and, ending later, reset the new connection.
            if (l->stream_thread.joinable() && l->stream_thread.get_id() != std::this_thread::get_id()) {
                l->stop_control = 1;
                usb_transport_abort(l);
                l->stream_thread.join();
            }
            link_reset(l);
            link_set_state(l, LINK_STATE_CONNECTING);
            l->protocol = target.version[0];
            l->usb_mode = 0;
            l->stop_control = 0;
            l->active = 1;
            l->connected = 0;
            {
                std::lock_guard<std::mutex> g(l->control_lock);
                l->control_seq = (uint32_t)(kv_rand() % 10000);
            }
            control_queue_connect_request(l);
            return;
        }
        link_set_state(l, LINK_STATE_CONNECTING);
        if (l->active.load())
            disconnect_locked(l, true);
    }
    if (l->stream_thread.joinable())
        l->stream_thread.join();  // ended: disconnect waited for it or it ended on its own
    // Neither a USB target nor protocol 1 uses the protocol-2 control queue:
    // settings made before the connection thread learns the generation must
    // not go there (addressed to a network device no longer in use).
    l->protocol = -1;
    l->p1_key_request = 0;
    l->stop_control = 0;
    l->active = 1;
    l->stream_thread = std::thread(connection_thread_main, l);
}

void link_disconnect(LinkContext *l, bool wait)
{
    std::lock_guard<std::mutex> op(l->op_lock);
    disconnect_locked(l, wait);
}

static void disconnect_locked(LinkContext *l, bool wait)
{
    l->typed_pending = 0;
    l->reprobe = 0;
    l->stop_control = 1;
    // A USB transport blocked in a pipe read ends when its device is aborted.
    usb_transport_abort(l);
    if (l->active.load() && l->udp_ok && l->protocol.load() >= 2) {
        link_send_disconnect_p2(l);
        link_reset(l);
    }
    if (wait && l->stream_thread.joinable() && l->stream_thread.get_id() != std::this_thread::get_id())
        l->stream_thread.join();
    // A connection thread that ended just as we asked may have watched its
    // device; the operator's disconnect ends that too.
    l->reprobe = 0;
}

// The 3-byte switches of protocol 1 travel on the control stream.
static void send_p1_switch(LinkContext *l, uint8_t code)
{
    uint8_t msg[3];
    p1_build_message(msg, sizeof msg, code, nullptr, 0);
    link_tcp_send(l, msg, sizeof msg);
}

void link_set_audio(LinkContext *l, int on)
{
    l->audio_on = on ? 1 : 0;
    if (l->protocol.load() >= 2)
        control_queue_setting(l, WIRE_SETTING_AUDIO, on ? 1 : 0);
    else if (l->connected.load())
        send_p1_switch(l, on ? P1_CODE_AUDIO_ON : P1_CODE_AUDIO_OFF);
}

void link_set_input(LinkContext *l, int on)
{
    l->input_on = on ? 1 : 0;
    if (l->protocol.load() >= 2)
        control_queue_setting(l, WIRE_SETTING_INPUT, on ? 1 : 0);
    else if (l->connected.load())
        send_p1_switch(l, on ? P1_CODE_INPUT_ON : P1_CODE_INPUT_OFF);
}

void link_request_key_frame(LinkContext *l)
{
    l->key_frame_seen = 0;
    l->key_request_ms = link_now_ms();
    if (l->protocol.load() >= 2) {
        control_queue_setting(l, WIRE_SETTING_KEY_FRAME, 0);
    } else if (l->connected.load()) {
        // The control stream's own thread sends it (connection.cpp): a send
        // that stalls there must not stall the receiver, which asks for key
        // frames while it handles fragments and acknowledgements.
        l->p1_key_request = 1;
    }
}

void link_unlock(LinkContext *l, const char *password)
{
    std::lock_guard<std::mutex> op(l->op_lock);
    size_t n = password ? strnlen(password, 17) : 0;
    if (n == 0 || n > 16)
        return;
    {
        std::lock_guard<std::mutex> g(l->password_lock);
        std::memcpy(l->password, password, n);
        l->password[n] = 0;
    }
    {
        std::lock_guard<std::mutex> g(g_password_lock);
        std::memcpy(g_password, password, n);
        g_password[n] = 0;
    }
    // The generation is the session's, or, once a protocol-2 session has
    // ended (the device went quiet, or the request expired while the
    // operator typed), the target's.
    bool p2 = l->protocol.load() >= 2;
    if (!p2) {
        std::lock_guard<std::mutex> g(l->target_lock);
        p2 = !l->target.usb && l->target.version[0] >= 2;
    }
    if (!p2) {
        uint8_t nonce[16], msg[40];
        password_make_nonce(nonce);
        int len = password_build_unlock(password, n, nonce, msg, sizeof msg);
        // Marked before it goes: the device's answer may be handled on the
        // connection thread before the send returns here, and with the mark
        // missing that thread would send the stored password once more.
        if (len > 0) {
            l->password_sent = 1;
            link_tcp_send(l, msg, (size_t)len);
        }
    } else if (l->active.load()) {
        control_queue_connect_request(l);
    } else {
        // The connection ended while the operator typed (the device went
        // quiet, or the request expired): connect again; the request carries
        // the password.
        connect_locked(l);
    }
}

void link_send_input(LinkContext *l, const uint8_t *report, size_t n)
{
    if (!l || !l->connected.load() || n == 0 || n > 255)
        return;
    uint8_t rec[260];
    int len = input_record_build(rec, sizeof rec, report, n);
    if (len <= 0)
        return;
    std::lock_guard<std::mutex> g(l->control_lock);
    queue_push(l->input_queue, rec, (uint32_t)len, 0, link_now_ms());
    sender_wake(l);
}

uint32_t link_input_backlog(LinkContext *l)
{
    return l && l->input_queue ? queue_count(l->input_queue) : 0;
}

int link_state(const LinkContext *l) { return (int)l->state.load(); }
bool link_connected(const LinkContext *l) { return l->connected.load() != 0; }
bool link_usb_mode(const LinkContext *l) { return l->usb_mode.load() != 0; }
bool link_scanning(const LinkContext *l) { return l->scanning.load() != 0; }
bool link_keep_awake(const LinkContext *l) { return l->receiving.load() != 0; }

void link_stream_stats(LinkContext *l, StreamStats *out)
{
    *out = StreamStats{};
    if (!l)
        return;
    out->datagrams = l->stat_datagrams.load(std::memory_order_relaxed);
    out->video_bytes = l->stat_video_bytes.load(std::memory_order_relaxed);
    out->fragments = l->stat_fragments.load(std::memory_order_relaxed);
    out->duplicates = l->stat_duplicates.load(std::memory_order_relaxed);
    out->resent = l->stat_resent.load(std::memory_order_relaxed);
    out->lost = l->stat_lost.load(std::memory_order_relaxed);
    out->pictures = l->stat_pictures.load(std::memory_order_relaxed);
    out->abandoned = l->stat_abandoned.load(std::memory_order_relaxed);
    DecoderCounters dc;
    decoder_counters(l->decoder, &dc);
    out->decoded = dc.decoded;
    out->decode_us = dc.decode_us;
}

DeviceRecord link_target(LinkContext *l)
{
    std::lock_guard<std::mutex> g(l->target_lock);
    return l->target;
}

void link_last_password(char out[17])
{
    std::lock_guard<std::mutex> g(g_password_lock);
    std::memcpy(out, g_password, 17);
}

void link_report_device(LinkContext *l, const DeviceRecord *rec) { device_report(&l->device_listeners, rec); }

int link_tcp_send(LinkContext *l, const uint8_t *data, size_t n)
{
    std::lock_guard<std::mutex> g(l->tcp_lock);
    if (!l->connected.load() || !l->tcp.open)
        return -1;
    return net_tcp_send(&l->tcp, data, n);
}

void link_on_video_packet(LinkContext *l, void *ctx, void (*fn)(void *, const uint8_t *, uint32_t, uint64_t))
{
    listeners_register(&l->packet_listeners, ctx, fn);
}
void link_on_pcm(LinkContext *l, void *ctx, void (*fn)(void *, const uint8_t *, uint32_t, uint32_t, uint32_t))
{
    listeners_register(&l->pcm_listeners, ctx, fn);
}

int link_protocol(const LinkContext *l) { return l ? (int)l->protocol.load() : -1; }
