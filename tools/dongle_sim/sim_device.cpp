#include "dongle_sim/sim_device.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dongle_sim/annexb_file.h"
#include "dongle_sim/sim_audio.h"
#include "dongle_sim/sim_net.h"
#include "dongle_sim/sim_resend.h"
#include "dongle_sim/sim_video.h"
#include "base/bytes.h"
#include "base/clock.h"
#include "protocol/md5.h"
#include "protocol/password.h"
#include "protocol/wire.h"

namespace {

const size_t kKeptFrames = 32;          // pictures kept for resends
const unsigned kMaxResends = 8;         // per fragment
const uint64_t kEchoResendMs = 200;     // device control packets not yet echoed
const uint64_t kEchoGiveUpMs = 3000;
const uint64_t kKeepaliveMs = 1000;     // protocol 1 keep-alives; protocol 2 stream parameters
const size_t kFirmwareMax = 64u << 20;  // largest firmware image taken

struct SentFrame {
    uint32_t frame = 0;
    int proto = 2;
    unsigned count = 0;
    std::vector<std::vector<uint8_t>> datagrams;  // one per fragment, as first sent
    std::vector<uint64_t> sent_us;
    std::vector<uint8_t> resent;
    std::vector<uint8_t> acked;  // protocol 2: per group, an acknowledgement came
    uint64_t last_us = 0;        // last send of any of its fragments
    unsigned sweeps = 0;         // unacknowledged-group resend rounds
};

// A packet of type 6, 20 or 21 that the viewer is to echo.
struct PendingEcho {
    uint8_t type;
    uint32_t seq;
    std::vector<uint8_t> bytes;
    uint64_t first_ms, last_ms;
};

struct DueResend {
    uint64_t due_ms;
    std::vector<uint8_t> bytes;
};

struct Session {
    bool active = false;
    int proto = 0;
    sockaddr_in viewer{};     // where media and device packets go
    bool admitted = false;
    bool locked = false;      // waiting for the viewer's password
    bool started = false;     // protocol 2 connection start / protocol 1 stream go seen
    bool video_ack_wait = false;  // protocol 1: video start sent, its acknowledgement not yet in
    bool audio_on = false, input_on = false;
    bool want_idr = true;
    uint32_t frame = 0, audio_seq = 0, dev_seq = 0;
    uint32_t last_setting_seq = 0;
    bool any_setting = false;
    uint32_t connect_seq = 0;  // the connect request answered last
    uint64_t admitted_ms = 0, last_keepalive_ms = 0;
    std::deque<uint32_t> batches;  // recent input batch numbers, for duplicates
    std::vector<PendingEcho> echoes;
    // protocol 1
    int tcp = -1;
    std::vector<uint8_t> tcp_in;
    uint32_t keepalives_sent = 0, keepalive_answers = 0;
};

}  // namespace

struct SimDevice {
    SimOptions o;
    SimLog *log = nullptr;
    in_addr bind_addr{};

    int udp_disc = -1, udp_stream = -1;
    int tcp_ctrl = -1, tcp_mgmt = -1, tcp_fw = -1;
    int mgmt_conn = -1, fw_conn = -1;
    std::vector<uint8_t> mgmt_in;
    std::vector<uint8_t> fw_in;
    bool fw_armed = false;
    int wake[2] = {-1, -1};

    std::atomic<bool> quit{false};
    std::atomic<bool> video_on{true};
    std::atomic<bool> silent{false};      // "silent" command or --silent-after
    std::atomic<uint64_t> restart_until{0};  // firmware restart: silent until this steady time
    std::atomic<int> hid_speed{0};
    std::atomic<uint64_t> build{0};

    std::mutex m;  // guards everything below
    Session s;
    std::deque<SentFrame> frames;
    std::vector<DueResend> due;
    std::mt19937 rng;
    std::vector<uint8_t> codec_header;
    uint64_t stat_fragments = 0, stat_dropped = 0, stat_resent = 0;
    // Handshake faults: how many of the first packets were lost so far.
    int connect_replies_dropped = 0, starts_ignored = 0, settings_ignored = 0;
    int p1_streams = 0, p1_messages = 0;  // control streams accepted; messages on the first
    bool in_burst = false;                // a loss burst is on (for its log lines)

    // media (media thread only)
    SimVideo *video = nullptr;
    AnnexbStream file;
    size_t file_cursor = 0;
    SimAudio audio{};
};

// ---------------------------------------------------------------------------
// Helpers

static bool muted(SimDevice *d)
{
    return d->silent.load() || clock_steady_ms() < d->restart_until.load();
}

static bool chance(SimDevice *d, double percent)
{
    if (percent <= 0)
        return false;
    return std::uniform_real_distribution<double>(0, 100)(d->rng) < percent;
}

// Whether a loss burst is on now (under m): the last loss_burst_ms of every
// period, counted from the session's admission.
static bool loss_burst_now(SimDevice *d)
{
    if (d->o.loss_burst_ms <= 0 || !d->s.active || !d->s.admitted)
        return false;
    uint64_t period = (uint64_t)d->o.loss_burst_period_ms;
    uint64_t phase = (clock_steady_ms() - d->s.admitted_ms) % period;
    return phase >= period - (uint64_t)d->o.loss_burst_ms;
}

static void send_to_viewer(SimDevice *d, const uint8_t *p, size_t n)
{
    sim_sendto(d->udp_stream, p, n, d->s.viewer);
}

static std::string text_of(const sockaddr_in &a) { return sim_addr_text(a); }

static void log_simple(SimDevice *d, const char *ev)
{
    SimLogLine l = sim_log_begin(d->log, ev);
    sim_log_end(&l);
}

// Ends the session (under m). The control stream, if any, is closed.
static void end_session(SimDevice *d, const char *why)
{
    if (!d->s.active)
        return;
    SimLogLine l = sim_log_begin(d->log, "session_end");
    sim_log_str(&l, "why", why);
    sim_log_int(&l, "proto", d->s.proto);
    sim_log_end(&l);
    if (d->s.tcp >= 0)
        close(d->s.tcp);
    d->s = Session{};
    d->frames.clear();
    d->due.clear();
}

// ---------------------------------------------------------------------------
// Discovery

static void handle_probe(SimDevice *d, const uint8_t *buf, size_t n, const sockaddr_in &from)
{
    int port = 0, tz = 0;
    int64_t t = 0;
    int ok = wire_parse_probe((const char *)buf, n, &port, &t, &tz);
    SimLogLine l = sim_log_begin(d->log, "probe");
    sim_log_str(&l, "from", text_of(from));
    sim_log_int(&l, "ok", ok == 0);
    if (ok == 0) {
        sim_log_int(&l, "port", port);
        sim_log_int(&l, "time", t);
        sim_log_int(&l, "tz", tz);
    }
    sim_log_end(&l);
    if (ok != 0 || muted(d))
        return;
    WireAnswerFields f{};
    f.id = d->o.id.c_str();
    f.mds = d->o.name.c_str();
    f.model = d->o.model.c_str();
    f.ip = d->o.ip.c_str();
    f.apip = d->o.apip.c_str();
    f.build = d->build.load();
    f.version = d->o.version.c_str();
    f.secured = d->o.password.empty() ? 0 : 1;
    f.bridged = d->o.bridged;
    f.hid_speed = d->hid_speed.load();
    char text[2048];
    int len = wire_build_answer(text, sizeof text, &f);
    if (len > 0)
        sim_sendto(d->udp_disc, text, (size_t)len, from);
}

// ---------------------------------------------------------------------------
// Protocol 2, device control packets that the viewer echoes

static void send_echoed(SimDevice *d, uint8_t type, const uint8_t *p, size_t n, uint32_t seq)
{
    PendingEcho e{type, seq, std::vector<uint8_t>(p, p + n), clock_steady_ms(), clock_steady_ms()};
    d->s.echoes.push_back(std::move(e));
    send_to_viewer(d, p, n);
}

static void p2_send_stream_params(SimDevice *d)
{
    uint8_t pkt[16 + P2_STREAM_PARAMS_PAYLOAD];
    uint32_t seq = ++d->s.dev_seq;
    p2_build_stream_params(pkt, seq, d->o.ack_interval_us);
    send_echoed(d, P2_TYPE_STREAM_PARAMS, pkt, sizeof pkt, seq);
}

static void p2_send_video_state(SimDevice *d, bool present)
{
    std::vector<uint8_t> pkt(16 + d->codec_header.size() + 16);
    uint32_t seq = ++d->s.dev_seq;
    int n = p2_build_video_state(pkt.data(), pkt.size(), seq, present, d->codec_header.data(),
                                 d->codec_header.size());
    if (n > 0)
        send_echoed(d, P2_TYPE_VIDEO_STATE, pkt.data(), (size_t)n, seq);
    SimLogLine l = sim_log_begin(d->log, "video_state");
    sim_log_int(&l, "present", present);
    sim_log_uint(&l, "seq", seq);
    sim_log_end(&l);
}

static void p2_send_audio_format(SimDevice *d, uint32_t channels)
{
    uint8_t pkt[16 + P2_AUDIO_FORMAT_PAYLOAD];
    uint32_t seq = ++d->s.dev_seq;
    p2_build_audio_format(pkt, seq, channels, SIM_AUDIO_RATE);
    send_echoed(d, P2_TYPE_AUDIO_FORMAT, pkt, sizeof pkt, seq);
}

static void p2_echo_received(SimDevice *d, uint8_t type, uint32_t seq)
{
    for (size_t i = 0; i < d->s.echoes.size(); i++) {
        if (d->s.echoes[i].type == type && d->s.echoes[i].seq == seq) {
            SimLogLine l = sim_log_begin(d->log, "echo");
            sim_log_int(&l, "type", type);
            sim_log_uint(&l, "seq", seq);
            sim_log_end(&l);
            d->s.echoes.erase(d->s.echoes.begin() + (long)i);
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// Input

static bool batch_seen(SimDevice *d, uint32_t batch)
{
    for (uint32_t b : d->s.batches)
        if (b == batch)
            return true;
    d->s.batches.push_back(batch);
    if (d->s.batches.size() > 256)
        d->s.batches.pop_front();
    return false;
}

static void log_batch(SimDevice *d, uint32_t batch, const uint8_t *records, size_t len, bool inverted)
{
    bool dup = batch_seen(d, batch);
    SimLogLine l = sim_log_begin(d->log, "batch");
    sim_log_uint(&l, "batch", batch);
    sim_log_uint(&l, "bytes", len);
    sim_log_int(&l, "inverted", inverted);
    sim_log_int(&l, "duplicate", dup);
    sim_log_end(&l);
    if (dup)
        return;
    size_t pos = 0;
    const uint8_t *report;
    size_t n;
    int rc;
    while ((rc = input_next_record(records, len, &pos, &report, &n)) == 1) {
        SimLogLine r = sim_log_begin(d->log, "input");
        sim_log_uint(&r, "batch", batch);
        sim_log_hex(&r, "report", report, n);
        sim_log_int(&r, "accepted", d->s.input_on);
        sim_log_end(&r);
    }
    if (rc < 0) {
        SimLogLine r = sim_log_begin(d->log, "bad_record");
        sim_log_uint(&r, "batch", batch);
        sim_log_uint(&r, "at", pos);
        sim_log_end(&r);
    }
}

// ---------------------------------------------------------------------------
// Resends

static SentFrame *find_frame(SimDevice *d, uint32_t frame)
{
    for (auto &f : d->frames)
        if (f.frame == frame)
            return &f;
    return nullptr;
}

static void resend(SimDevice *d, SentFrame *f, unsigned index, uint64_t now_us)
{
    f->sent_us[index] = now_us;
    f->last_us = now_us;
    if (f->resent[index] < 255)
        f->resent[index]++;
    d->stat_resent++;
    SimLogLine l = sim_log_begin(d->log, "resend");
    sim_log_uint(&l, "frame", f->frame);
    sim_log_uint(&l, "index", index);
    sim_log_end(&l);
    if (loss_burst_now(d))
        return;
    if (d->o.late_resend_ms > 0)
        d->due.push_back({clock_steady_ms() + (uint64_t)d->o.late_resend_ms, f->datagrams[index]});
    else
        send_to_viewer(d, f->datagrams[index].data(), f->datagrams[index].size());
}

static uint64_t stale_us(SimDevice *d)
{
    uint64_t i = d->o.ack_interval_us < 4000 ? 4000 : d->o.ack_interval_us;
    return 3 * i;
}

static void resend_window(SimDevice *d, SentFrame *f, unsigned base, unsigned size, uint64_t received)
{
    uint64_t now = clock_steady_us();
    unsigned avail = f->count > base ? f->count - base : 0;
    if (size > avail)
        size = avail;
    if (size == 0)
        return;
    uint64_t expected = size >= 64 ? ~0ull : ((1ull << size) - 1);
    uint64_t pick = sim_select_resends(expected, received, f->sent_us.data() + base, f->resent.data() + base, now,
                                       stale_us(d), stale_us(d) / 2, kMaxResends);
    for (unsigned k = 0; k < size; k++)
        if (pick >> k & 1)
            resend(d, f, base + k, now);
}

static void handle_p2_fragment_ack(SimDevice *d, const P2Packet *pk)
{
    P2FragmentAck a;
    if (p2_parse_fragment_ack(pk, &a) != 0)
        return;
    SentFrame *f = find_frame(d, a.frame);
    if (!f || f->proto != 2)
        return;
    unsigned g = a.index / 32;
    if (g < f->acked.size())
        f->acked[g] = 1;
    resend_window(d, f, g * 32, 32, a.bitmap);
}

static void handle_p1_fragment_ack(SimDevice *d, const uint8_t *buf, size_t n)
{
    P1FragmentAck a;
    if (p1_parse_fragment_ack(buf, n, &a) != 0)
        return;
    SentFrame *f = find_frame(d, a.frame);
    if (!f || f->proto != 1)
        return;
    if (!f->acked.empty())
        f->acked[0] = 1;
    resend_window(d, f, 0, f->count, a.received);
}

// A group that no acknowledgement has covered yet (the viewer acknowledges a
// group when it completes, or on a fragment arriving half an interval after
// its last acknowledgement) gets its last fragment sent again half an
// interval on: the viewer then answers with a bitmap, and the holes it shows
// are sent again.
static void sweep_frame(SimDevice *d, SentFrame &f, uint64_t now)
{
    uint64_t interval = d->o.ack_interval_us < 4000 ? 4000 : d->o.ack_interval_us;
    if (f.sweeps >= 6 || now - f.last_us < interval / 2 + 1000)
        return;
    bool any = false;
    unsigned group = f.proto == 2 ? 32 : 64;
    for (size_t g = 0; g < f.acked.size(); g++) {
        if (f.acked[g])
            continue;
        unsigned end = (unsigned)(g + 1) * group < f.count ? (unsigned)(g + 1) * group : f.count;
        resend(d, &f, end - 1, now);
        any = true;
    }
    if (any)
        f.sweeps++;
}

static void sweep_unacked(SimDevice *d)
{
    // The viewer abandons a picture when the next one starts, so only the
    // newest two are worth repairing.
    uint64_t now = clock_steady_us();
    size_t n = d->frames.size();
    for (size_t i = n > 2 ? n - 2 : 0; i < n; i++)
        sweep_frame(d, d->frames[i], now);
}

// ---------------------------------------------------------------------------
// Protocol 2 from the viewer

static void p2_connect(SimDevice *d, const P2Packet *pk, const sockaddr_in &from)
{
    char password[17] = {0};
    int has = password_parse_connect_payload(pk->payload, pk->length, password);
    // A resend of the request already answered gets the same answer again.
    bool same = d->s.active && d->s.proto == 2 && d->s.viewer.sin_addr.s_addr == from.sin_addr.s_addr &&
                d->s.viewer.sin_port == from.sin_port && d->s.connect_seq == pk->seq;
    uint8_t result;
    if (d->o.refuse)
        result = P2_RESULT_REFUSED;
    else if (!d->o.password.empty() && (has != 1 || d->o.password != password))
        result = P2_RESULT_PASSWORD;
    else
        result = P2_RESULT_ADMITTED;

    if (!same) {
        SimLogLine l = sim_log_begin(d->log, "connect");
        sim_log_int(&l, "proto", 2);
        sim_log_str(&l, "from", text_of(from));
        sim_log_uint(&l, "seq", pk->seq);
        sim_log_int(&l, "has_password", has == 1);
        sim_log_str(&l, "password", password, strlen(password));
        sim_log_int(&l, "result", result);
        sim_log_end(&l);
        end_session(d, "new connect request");
        d->s.active = true;
        d->s.proto = 2;
        d->s.viewer = from;
        d->s.connect_seq = pk->seq;
        d->s.last_keepalive_ms = clock_steady_ms();
    }

    bool video = d->video_on.load();
    bool header_fits = d->codec_header.size() <= P2_CODEC_HEADER_MAX;
    P2ConnectReply r{};
    r.result = result;
    r.audio_present = d->o.no_audio ? 0 : 1;
    r.channels = SIM_AUDIO_CHANNELS;
    r.rate = SIM_AUDIO_RATE;
    r.video_present = video && header_fits;
    r.codec_header = r.video_present ? d->codec_header.data() : nullptr;
    r.codec_len = r.video_present ? d->codec_header.size() : 0;
    std::vector<uint8_t> pkt(16 + P2_CONNECT_REPLY_FIXED + P2_CODEC_HEADER_MAX);
    int n = p2_build_connect_reply(pkt.data(), pkt.size(), pk->seq, &r);
    if (d->connect_replies_dropped < d->o.drop_connect_replies) {
        d->connect_replies_dropped++;
        SimLogLine l = sim_log_begin(d->log, "connect_reply_dropped");
        sim_log_uint(&l, "seq", pk->seq);
        sim_log_end(&l);
    } else if (n > 0 && !muted(d)) {
        send_to_viewer(d, pkt.data(), (size_t)n);
    }

    if (same)
        return;
    if (result == P2_RESULT_ADMITTED) {
        d->s.admitted = true;
        d->s.locked = false;
        d->s.admitted_ms = clock_steady_ms();
        d->s.want_idr = true;
        p2_send_stream_params(d);
        // A codec header too long for the reply's length byte travels in a
        // video-state packet instead.
        if (video && !header_fits)
            p2_send_video_state(d, true);
    } else if (result == P2_RESULT_PASSWORD) {
        d->s.locked = true;
    } else {
        end_session(d, "refused");
    }
}

static void p2_setting(SimDevice *d, const P2Packet *pk)
{
    uint8_t ack[16];
    p2_build_ack(ack, P2_TYPE_SETTING, pk->seq);
    uint8_t setting = 0, value = 0;
    int ok = p2_parse_setting(pk->payload, pk->length, &setting, &value);
    bool fresh = !d->s.any_setting || pk->seq > d->s.last_setting_seq;
    if (!fresh || ok != 0) {
        if (!muted(d))
            send_to_viewer(d, ack, sizeof ack);
        return;
    }
    d->s.any_setting = true;
    d->s.last_setting_seq = pk->seq;
    SimLogLine l = sim_log_begin(d->log, "setting");
    sim_log_int(&l, "proto", 2);
    sim_log_uint(&l, "seq", pk->seq);
    sim_log_int(&l, "setting", setting);
    sim_log_int(&l, "value", value);
    sim_log_end(&l);
    switch (setting) {
    case WIRE_SETTING_AUDIO:
        // Sound switched on is announced with its format, as after a change of source.
        if (value && !d->s.audio_on && !d->o.no_audio && d->s.admitted)
            p2_send_audio_format(d, SIM_AUDIO_CHANNELS);
        d->s.audio_on = value != 0;
        break;
    case WIRE_SETTING_INPUT: d->s.input_on = value != 0; break;
    case WIRE_SETTING_KEY_FRAME: d->s.want_idr = true; break;
    default: break;
    }
    // Logged before the answer goes out, so a peer that has the answer finds the line.
    if (!muted(d))
        send_to_viewer(d, ack, sizeof ack);
}

static void p2_datagram(SimDevice *d, uint8_t *buf, size_t n, const sockaddr_in &from)
{
    size_t pos = 0;
    P2Packet pk;
    bool from_viewer = d->s.active && d->s.proto == 2 && d->s.viewer.sin_addr.s_addr == from.sin_addr.s_addr &&
                       d->s.viewer.sin_port == from.sin_port;
    while (p2_next_packet(buf, n, &pos, WIRE_FROM_VIEWER, &pk) == 1) {
        if (pk.type == P2_TYPE_CONNECT) {
            p2_connect(d, &pk, from);
            from_viewer = d->s.active;
            continue;
        }
        if (!from_viewer)
            continue;
        switch (pk.type) {
        case P2_TYPE_START: {
            if (d->starts_ignored < d->o.ignore_starts) {
                d->starts_ignored++;
                SimLogLine l = sim_log_begin(d->log, "start_ignored");
                sim_log_uint(&l, "seq", pk.seq);
                sim_log_end(&l);
                break;
            }
            uint8_t ack[16];
            p2_build_ack(ack, P2_TYPE_START, pk.seq);
            if (!muted(d))
                send_to_viewer(d, ack, sizeof ack);
            if (!d->s.started && d->s.admitted) {
                d->s.started = true;
                d->s.want_idr = true;
                SimLogLine l = sim_log_begin(d->log, "start");
                sim_log_uint(&l, "seq", pk.seq);
                sim_log_end(&l);
            }
            break;
        }
        case P2_TYPE_SETTING:
            if (d->settings_ignored < d->o.unacked_settings) {
                d->settings_ignored++;
                SimLogLine l = sim_log_begin(d->log, "setting_ignored");
                sim_log_uint(&l, "seq", pk.seq);
                sim_log_end(&l);
                break;
            }
            p2_setting(d, &pk);
            break;
        case P2_TYPE_INPUT: {
            log_batch(d, pk.seq, pk.payload, pk.length, pk.inverted);
            if (!d->o.no_input_ack && !muted(d)) {
                uint8_t ack[16];
                p2_build_ack(ack, P2_TYPE_INPUT, pk.seq);
                send_to_viewer(d, ack, sizeof ack);
            }
            break;
        }
        case P2_TYPE_FRAGMENT_ACK:
            handle_p2_fragment_ack(d, &pk);
            break;
        case P2_TYPE_STREAM_PARAMS:
        case P2_TYPE_VIDEO_STATE:
        case P2_TYPE_AUDIO_FORMAT:
            p2_echo_received(d, pk.type, pk.seq);
            break;
        case P2_TYPE_DISCONNECT:
            log_simple(d, "disconnect");
            end_session(d, "disconnect");
            return;
        default:
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// Protocol 1

static void p1_send_control(SimDevice *d, const uint8_t *p, size_t n)
{
    if (d->s.tcp < 0 || muted(d))
        return;
    if (d->o.cut_control > 0 && d->p1_streams == 1 && ++d->p1_messages == d->o.cut_control) {
        // The stream breaks in the middle of this message.
        sim_send_all(d->s.tcp, p, n / 2, 1000);
        SimLogLine l = sim_log_begin(d->log, "control_cut");
        sim_log_uint(&l, "message", (uint64_t)d->p1_messages);
        sim_log_uint(&l, "sent", n / 2);
        sim_log_uint(&l, "bytes", n);
        sim_log_end(&l);
        end_session(d, "control stream cut");
        return;
    }
    if (sim_send_all(d->s.tcp, p, n, 1000) != 0)
        end_session(d, "control stream send failed");
}

static void p1_send_auth(SimDevice *d, bool admitted)
{
    uint8_t msg[64];
    int n;
    if (admitted && !d->o.no_audio) {
        uint8_t trailer[P1_AUDIO_TRAILER_SIZE];
        p1_build_audio_trailer(trailer, SIM_AUDIO_CHANNELS, SIM_AUDIO_RATE);
        n = p1_build_device_msg(msg, sizeof msg, P1_MSG_AUTH_STATUS, P1_FLAG_AUDIO_FORMAT, nullptr, 0, trailer,
                                sizeof trailer, 1);
    } else {
        n = p1_build_auth_status(msg, sizeof msg, admitted ? 1 : 0);
    }
    SimLogLine l = sim_log_begin(d->log, "auth");
    sim_log_int(&l, "result", admitted);
    sim_log_end(&l);
    if (n > 0)
        p1_send_control(d, msg, (size_t)n);
    if (admitted) {
        d->s.admitted = true;
        d->s.locked = false;
        d->s.admitted_ms = clock_steady_ms();
    } else {
        d->s.locked = true;
    }
}

static void p1_send_video_message(SimDevice *d)
{
    if (d->video_on.load()) {
        std::vector<uint8_t> msg(26 + d->codec_header.size());
        int n = p1_build_video_start(msg.data(), msg.size(), d->codec_header.data(),
                                     (uint32_t)d->codec_header.size());
        if (n > 0)
            p1_send_control(d, msg.data(), (size_t)n);
        // Pictures follow once the viewer has acknowledged the new stream, so
        // the first one it gets is the key frame that opens it.
        d->s.video_ack_wait = true;
        d->s.want_idr = true;
    } else {
        uint8_t msg[26];
        p1_build_no_video(msg, sizeof msg);
        p1_send_control(d, msg, sizeof msg);
    }
    SimLogLine l = sim_log_begin(d->log, "video_state");
    sim_log_int(&l, "present", d->video_on.load());
    sim_log_end(&l);
}

static void p1_accept(SimDevice *d)
{
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = accept4(d->tcp_ctrl, (sockaddr *)&peer, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (muted(d) || d->o.protocol >= 2) {
        close(fd);
        return;
    }
    end_session(d, "replaced");
    SimLogLine l = sim_log_begin(d->log, "connect");
    sim_log_int(&l, "proto", 1);
    sim_log_str(&l, "from", text_of(peer));
    sim_log_end(&l);
    if (d->o.refuse) {
        close(fd);
        log_simple(d, "refused");
        return;
    }
    d->p1_streams++;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // control messages go out at once
    d->s.active = true;
    d->s.proto = 1;
    d->s.tcp = fd;
    d->s.viewer = peer;
    d->s.viewer.sin_port = htons(WIRE_PORT_VIEWER);
    d->s.last_keepalive_ms = clock_steady_ms();
    p1_send_auth(d, d->o.password.empty());
}

static void p1_viewer_message(SimDevice *d, const P1ViewerMsg *m, const uint8_t *raw)
{
    SimLogLine l = sim_log_begin(d->log, "control");
    sim_log_int(&l, "code", m->code);
    sim_log_hex(&l, "bytes", raw, m->length);
    sim_log_end(&l);
    switch (m->code) {
    case P1_CODE_UNLOCK: {
        char password[17];
        int n = password_parse_unlock(raw, m->length, password);
        bool ok = n > 0 && d->o.password == password;
        SimLogLine u = sim_log_begin(d->log, "unlock");
        sim_log_str(&u, "password", password, n > 0 ? (size_t)n : 0);
        sim_log_int(&u, "ok", ok);
        sim_log_end(&u);
        p1_send_auth(d, ok);
        break;
    }
    case P1_CODE_INPUT_ON: d->s.input_on = true; break;
    case P1_CODE_INPUT_OFF: d->s.input_on = false; break;
    case P1_CODE_AUDIO_ON: d->s.audio_on = true; break;
    case P1_CODE_AUDIO_OFF: d->s.audio_on = false; break;
    case P1_CODE_KEY_FRAME: d->s.want_idr = true; break;
    case P1_CODE_STREAM_GO:
        if (d->s.admitted && !d->s.started) {
            d->s.started = true;
            p1_send_video_message(d);
        }
        break;
    case P1_CODE_KEEPALIVE:
        d->s.keepalive_answers++;
        break;
    case P1_CODE_VIDEO_START_ACK:
        d->s.video_ack_wait = false;
        d->s.want_idr = true;
        break;
    default:
        break;
    }
}

static void p1_control_readable(SimDevice *d)
{
    uint8_t buf[4096];
    ssize_t n = recv(d->s.tcp, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        end_session(d, "control stream closed");
        return;
    }
    if (n < 0)
        return;
    d->s.tcp_in.insert(d->s.tcp_in.end(), buf, buf + n);
    size_t off = 0;
    for (;;) {
        P1ViewerMsg m;
        int rc = p1_viewer_msg_next(d->s.tcp_in.data() + off, d->s.tcp_in.size() - off, &m);
        if (rc == 0)
            break;
        if (rc < 0) {
            end_session(d, "malformed control message");
            return;
        }
        p1_viewer_message(d, &m, d->s.tcp_in.data() + off);
        if (!d->s.active)
            return;
        off += m.length;
    }
    d->s.tcp_in.erase(d->s.tcp_in.begin(), d->s.tcp_in.begin() + (long)off);
}

static void p1_datagram(SimDevice *d, const uint8_t *buf, size_t n, const sockaddr_in &from)
{
    if (!d->s.active || d->s.proto != 1 || from.sin_addr.s_addr != d->s.viewer.sin_addr.s_addr || n < 8)
        return;
    unsigned kind = buf[0] >> 6;
    if (kind == P1_KIND_INPUT) {
        uint32_t batch;
        const uint8_t *records;
        size_t len;
        if (p1_parse_input_batch(buf, n, &batch, &records, &len) != 0)
            return;
        log_batch(d, batch, records, len, false);
        if (!d->o.no_input_ack && !muted(d)) {
            uint8_t ack[8];
            p1_build_input_ack_block(ack, batch);
            sim_sendto(d->udp_stream, ack, sizeof ack, from);
        }
    } else if (kind == P1_KIND_VIDEO) {
        handle_p1_fragment_ack(d, buf, n);
    }
}

// ---------------------------------------------------------------------------
// Management port: HID mode and firmware

static void mgmt_command(SimDevice *d, const std::string &cmd)
{
    if (cmd == "update_firmware \n") {
        log_simple(d, "update_firmware");
        d->fw_armed = true;
        return;
    }
    char password[17];
    int speed = -1;
    if (hidmode_parse_command(cmd.data(), cmd.size(), password, &speed) == 0) {
        bool ok = d->o.password.empty() || d->o.password == password;
        SimLogLine l = sim_log_begin(d->log, "hid_speed");
        sim_log_str(&l, "password", password, strlen(password));
        sim_log_int(&l, "speed", speed);
        sim_log_int(&l, "ok", ok);
        sim_log_end(&l);
        if (ok)
            d->hid_speed = speed;
        return;
    }
    SimLogLine l = sim_log_begin(d->log, "bad_command");
    sim_log_str(&l, "text", cmd);
    sim_log_end(&l);
}

static void mgmt_readable(SimDevice *d)
{
    uint8_t buf[1024];
    ssize_t n = recv(d->mgmt_conn, buf, sizeof buf, 0);
    if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            close(d->mgmt_conn);
            d->mgmt_conn = -1;
            d->mgmt_in.clear();
        }
        return;
    }
    d->mgmt_in.insert(d->mgmt_in.end(), buf, buf + n);
    for (;;) {
        auto it = std::find(d->mgmt_in.begin(), d->mgmt_in.end(), (uint8_t)'\n');
        if (it == d->mgmt_in.end())
            break;
        std::string cmd(d->mgmt_in.begin(), it + 1);
        d->mgmt_in.erase(d->mgmt_in.begin(), it + 1);
        mgmt_command(d, cmd);
    }
    if (d->mgmt_in.size() > 4096) {  // no command is this long
        close(d->mgmt_conn);
        d->mgmt_conn = -1;
        d->mgmt_in.clear();
    }
}

static void firmware_done(SimDevice *d)
{
    bool complete = d->fw_in.size() >= 20;
    uint32_t size = complete ? rd_le32(d->fw_in.data()) : 0;
    complete = complete && d->fw_in.size() == 20 + (size_t)size;
    uint8_t digest[16] = {0};
    bool ok = false;
    if (complete) {
        md5(d->fw_in.data() + 20, size, digest);
        ok = std::memcmp(digest, d->fw_in.data() + 4, 16) == 0;
    }
    SimLogLine l = sim_log_begin(d->log, "firmware");
    sim_log_uint(&l, "received", d->fw_in.size() >= 20 ? d->fw_in.size() - 20 : 0);
    sim_log_uint(&l, "size", size);
    sim_log_int(&l, "complete", complete);
    sim_log_int(&l, "md5_ok", ok);
    sim_log_hex(&l, "md5", digest, 16);
    sim_log_end(&l);
    close(d->fw_conn);
    d->fw_conn = -1;
    d->fw_in.clear();
    d->fw_armed = false;
    if (ok) {
        // The device flashes and restarts: silent for a while, then back with
        // the new build number.
        std::lock_guard<std::mutex> g(d->m);
        end_session(d, "firmware restart");
        d->build = d->o.new_build;
        d->restart_until = clock_steady_ms() + (uint64_t)d->o.restart_silence_ms;
    }
}

static void fw_readable(SimDevice *d)
{
    uint8_t buf[65536];
    ssize_t n = recv(d->fw_conn, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        firmware_done(d);
        return;
    }
    d->fw_in.insert(d->fw_in.end(), buf, buf + n);
    if (d->fw_in.size() >= 20) {
        uint32_t size = rd_le32(d->fw_in.data());
        if (size > kFirmwareMax || d->fw_in.size() >= 20 + (size_t)size)
            firmware_done(d);
    }
}

// ---------------------------------------------------------------------------
// Timers of the network loop

static void timers(SimDevice *d)
{
    uint64_t now = clock_steady_ms();
    std::lock_guard<std::mutex> g(d->m);

    if (d->restart_until.load() && now >= d->restart_until.load()) {
        d->restart_until = 0;
        SimLogLine l = sim_log_begin(d->log, "restarted");
        sim_log_uint(&l, "build", d->build.load());
        sim_log_end(&l);
    }
    if (d->s.active && d->s.admitted && d->o.silent_after > 0 && !d->silent.load() &&
        now - d->s.admitted_ms >= (uint64_t)(d->o.silent_after * 1000)) {
        d->silent = true;
        log_simple(d, "silent");
    }

    bool burst = loss_burst_now(d);
    if (burst != d->in_burst) {
        d->in_burst = burst;
        SimLogLine l = sim_log_begin(d->log, "loss_burst");
        sim_log_int(&l, "on", burst);
        sim_log_end(&l);
    }
    for (size_t i = 0; i < d->due.size();) {
        if (d->due[i].due_ms <= now) {
            if (d->s.active && !muted(d) && !burst)
                send_to_viewer(d, d->due[i].bytes.data(), d->due[i].bytes.size());
            d->due.erase(d->due.begin() + (long)i);
        } else {
            i++;
        }
    }
    if (!d->s.active || muted(d))
        return;

    for (size_t i = 0; i < d->s.echoes.size();) {
        PendingEcho &e = d->s.echoes[i];
        if (now - e.first_ms > kEchoGiveUpMs) {
            SimLogLine l = sim_log_begin(d->log, "echo_missing");
            sim_log_int(&l, "type", e.type);
            sim_log_uint(&l, "seq", e.seq);
            sim_log_end(&l);
            d->s.echoes.erase(d->s.echoes.begin() + (long)i);
            continue;
        }
        if (now - e.last_ms >= kEchoResendMs) {
            e.last_ms = now;
            send_to_viewer(d, e.bytes.data(), e.bytes.size());
        }
        i++;
    }

    if (now - d->s.last_keepalive_ms >= kKeepaliveMs) {
        d->s.last_keepalive_ms = now;
        if (d->s.proto == 1) {
            // Keep-alives flow also while the viewer is asked for a password.
            if (!(d->s.locked && d->o.no_locked_keepalive)) {
                uint8_t msg[26];
                p1_build_keepalive(msg, sizeof msg);
                d->s.keepalives_sent++;
                p1_send_control(d, msg, sizeof msg);
            }
        } else if (d->s.admitted || (d->s.locked && !d->o.no_locked_keepalive)) {
            // Stream parameters every second: the viewer hears from us while an
            // operator is still typing the password.
            p2_send_stream_params(d);
        }
    }
    sweep_unacked(d);
}

// ---------------------------------------------------------------------------
// Media thread

static void send_picture(SimDevice *d, const std::vector<uint8_t> &au, uint32_t frame)
{
    const int proto = d->s.proto;
    const unsigned fsize = proto == 2 ? (unsigned)P2_FRAGMENT_SIZE : (unsigned)P1_FRAGMENT_SIZE;
    std::vector<uint8_t> data = au;
    bool digest = false;
    if (proto == 2 && d->o.md5_every > 0 && frame % (uint32_t)d->o.md5_every == 0) {
        // The trailer flag is set only when the last fragment holds all 16
        // digest bytes.
        size_t total = au.size() + 16;
        size_t last = total % fsize == 0 ? fsize : total % fsize;
        if (last >= 16) {
            uint8_t dg[16];
            md5(au.data(), au.size(), dg);
            data.insert(data.end(), dg, dg + 16);
            digest = true;
        }
    }
    unsigned count = (unsigned)((data.size() + fsize - 1) / fsize);
    if (count == 0 || (proto == 1 && count > P1_MAX_FRAGMENTS) || (proto == 2 && count > P2_MAX_FRAGMENTS))
        return;

    SentFrame f;
    f.frame = frame;
    f.proto = proto;
    f.count = count;
    f.sent_us.assign(count, 0);
    f.resent.assign(count, 0);
    f.acked.assign(proto == 2 ? (count + 31) / 32 : 1, 0);
    f.last_us = clock_steady_us();  // not stale before it has even gone out
    for (unsigned i = 0; i < count; i++) {
        size_t off = (size_t)i * fsize;
        size_t len = std::min<size_t>(fsize, data.size() - off);
        std::vector<uint8_t> pkt(16 + len);
        int n = proto == 2 ? p2_build_video_fragment(pkt.data(), pkt.size(), frame, count, i, digest,
                                                     data.data() + off, len)
                           : p1_build_video_block(pkt.data(), pkt.size(), count, i, frame, data.data() + off, len);
        if (n <= 0)
            return;
        pkt.resize((size_t)n);
        f.datagrams.push_back(std::move(pkt));
    }
    d->frames.push_back(std::move(f));
    SimLogLine l = sim_log_begin(d->log, "picture");
    sim_log_uint(&l, "frame", frame);
    sim_log_uint(&l, "bytes", au.size());
    sim_log_int(&l, "idr", (au.size() > 4 && (au[4] & 0x1f) == 5));
    sim_log_uint(&l, "fragments", count);
    sim_log_int(&l, "digest", digest);
    sim_log_end(&l);
    while (d->frames.size() > kKeptFrames)
        d->frames.pop_front();
}

// Sends the datagrams of the newest picture with pacing and the configured
// faults. Called without m held; takes it per burst.
static void transmit_newest(SimDevice *d, uint32_t frame, unsigned frame_interval_us)
{
    unsigned count = 0, fsize = 0;
    {
        std::lock_guard<std::mutex> g(d->m);
        SentFrame *f = find_frame(d, frame);
        if (!f)
            return;
        count = f->count;
        fsize = (unsigned)f->datagrams[0].size();
    }
    unsigned gap_us = 0;
    // Line rate: the whole picture in one go, as a dongle on a fast network
    // may send it.
    unsigned burst = d->o.burst ? count : sim_pacing(count, fsize, frame_interval_us, &gap_us);
    std::vector<uint8_t> held;  // a fragment held back behind the next (reorder)
    for (unsigned start = 0; start < count; start += burst) {
        {
            std::lock_guard<std::mutex> g(d->m);
            SentFrame *f = find_frame(d, frame);
            if (!f || !d->s.active || muted(d))
                return;
            uint64_t now = clock_steady_us();
            for (unsigned i = start; i < count && i < start + burst; i++) {
                f->sent_us[i] = now;
                f->last_us = now;
                const std::vector<uint8_t> &p = f->datagrams[i];
                d->stat_fragments++;
                if (loss_burst_now(d) || chance(d, d->o.loss)) {
                    d->stat_dropped++;
                    continue;
                }
                if (held.empty() && chance(d, d->o.reorder)) {
                    held = p;
                    continue;
                }
                send_to_viewer(d, p.data(), p.size());
                if (!held.empty()) {
                    send_to_viewer(d, held.data(), held.size());
                    held.clear();
                }
                if (chance(d, d->o.duplicate))
                    send_to_viewer(d, p.data(), p.size());
                if (chance(d, d->o.garbage)) {
                    std::vector<uint8_t> junk(1 + d->rng() % 1400);
                    for (auto &b : junk)
                        b = (uint8_t)d->rng();
                    send_to_viewer(d, junk.data(), junk.size());
                }
            }
            if (!held.empty() && start + burst >= count) {
                send_to_viewer(d, held.data(), held.size());
                held.clear();
            }
        }
        if (gap_us && start + burst < count)
            std::this_thread::sleep_for(std::chrono::microseconds(gap_us));
    }
}

static void send_audio(SimDevice *d)
{
    uint8_t pcm[SIM_AUDIO_PACKET_BYTES];
    sim_audio_next(&d->audio, pcm);
    std::lock_guard<std::mutex> g(d->m);
    if (!d->s.active || !d->s.admitted || !d->s.audio_on || d->o.no_audio || muted(d))
        return;
    uint32_t seq = ++d->s.audio_seq;
    uint8_t pkt[16 + SIM_AUDIO_PACKET_BYTES + 8];
    int n;
    if (d->s.proto == 2) {
        n = p2_build_audio(pkt, sizeof pkt, seq, pcm, sizeof pcm);
    } else if (seq % 7 == 0) {
        // Now and then a protocol-1 datagram starts with padding, as the
        // device's own framing may.
        int pad = p1_build_padding(pkt, sizeof pkt, 4);
        n = p1_build_audio_block(pkt + pad, sizeof pkt - (size_t)pad, seq, pcm, sizeof pcm);
        n = n > 0 ? n + pad : n;
    } else {
        n = p1_build_audio_block(pkt, sizeof pkt, seq, pcm, sizeof pcm);
    }
    if (n > 0)
        send_to_viewer(d, pkt, (size_t)n);
}

static void media_thread(SimDevice *d)
{
    const uint64_t frame_us = 1000000ull / (uint64_t)d->o.fps;
    uint64_t next_frame = clock_steady_us(), next_audio = next_frame;
    std::vector<uint8_t> au;
    FILE *record = d->o.record_file.empty() ? nullptr : std::fopen(d->o.record_file.c_str(), "wb");
    if (record)
        std::fwrite(d->codec_header.data(), 1, d->codec_header.size(), record);

    while (!d->quit.load()) {
        uint64_t now = clock_steady_us();
        if (now >= next_audio) {
            send_audio(d);
            next_audio += 10000;
            if (now > next_audio + 100000)
                next_audio = now;  // fell far behind: do not burst to catch up
        }
        if (now >= next_frame) {
            next_frame += frame_us;
            if (now > next_frame + 10 * frame_us)
                next_frame = now + frame_us;
            bool streaming, idr;
            uint32_t frame;
            {
                std::lock_guard<std::mutex> g(d->m);
                streaming = d->s.active && d->s.admitted && d->s.started && !d->s.video_ack_wait &&
                            d->video_on.load() && !muted(d);
                idr = d->s.want_idr;
                frame = d->s.frame + 1;
            }
            if (streaming) {
                bool is_idr = false;
                int rc;
                if (d->video) {
                    rc = sim_video_encode(d->video, frame, clock_wall_ms(), idr, &au, &is_idr);
                } else {
                    if (idr)
                        d->file_cursor = 0;
                    const std::vector<uint8_t> *u = annexb_stream_next(&d->file, &d->file_cursor, &is_idr);
                    rc = u ? 0 : 1;
                    if (u)
                        au = *u;
                }
                if (rc == 0 && !au.empty()) {
                    if (d->o.filler > 0) {
                        // Filler data (NAL type 12): decoders skip it; it only makes
                        // the picture bigger.
                        static const uint8_t start[5] = {0, 0, 0, 1, 12};
                        au.insert(au.end(), start, start + 5);
                        au.insert(au.end(), (size_t)d->o.filler, 0xFF);
                        au.push_back(0x80);
                    }
                    if (record)
                        std::fwrite(au.data(), 1, au.size(), record);
                    {
                        std::lock_guard<std::mutex> g(d->m);
                        if (d->s.active && d->s.admitted && d->s.started) {
                            if (is_idr)
                                d->s.want_idr = false;
                            d->s.frame = frame;
                            send_picture(d, au, frame);
                        }
                    }
                    transmit_newest(d, frame, (unsigned)frame_us);
                }
            }
        }
        uint64_t wake = std::min(next_audio, next_frame);
        now = clock_steady_us();
        if (wake > now)
            std::this_thread::sleep_for(std::chrono::microseconds(std::min<uint64_t>(wake - now, 5000)));
    }
    if (record)
        std::fclose(record);
}

// ---------------------------------------------------------------------------
// Commands

static void set_video(SimDevice *d, bool on)
{
    std::lock_guard<std::mutex> g(d->m);
    if (d->video_on.load() == on)
        return;
    d->video_on = on;
    if (!d->s.active || !d->s.admitted)
        return;
    if (d->s.proto == 2)
        p2_send_video_state(d, on);
    else if (d->s.started)
        p1_send_video_message(d);
    if (on)
        d->s.want_idr = true;
}

void sim_device_command(SimDevice *d, const char *line)
{
    std::string c(line);
    while (!c.empty() && (c.back() == '\n' || c.back() == '\r' || c.back() == ' '))
        c.pop_back();
    SimLogLine l = sim_log_begin(d->log, "command");
    sim_log_str(&l, "text", c);
    sim_log_end(&l);
    if (c == "video on")
        set_video(d, true);
    else if (c == "video off")
        set_video(d, false);
    else if (c == "idr") {
        std::lock_guard<std::mutex> g(d->m);
        d->s.want_idr = true;
    } else if (c == "silent")
        d->silent = true;
    else if (c == "resume")
        d->silent = false;
    else if (c == "quit")
        sim_device_quit(d);
}

// ---------------------------------------------------------------------------
// Network loop

static void wake_loop(SimDevice *d, char c)
{
    ssize_t r = write(d->wake[1], &c, 1);
    (void)r;
}

void sim_device_quit(SimDevice *d) { sim_device_quit_async(d); }
void sim_device_quit_async(SimDevice *d)
{
    d->quit = true;
    wake_loop(d, 'q');
}
void sim_device_toggle_video_async(SimDevice *d) { wake_loop(d, 'v'); }

static void udp_readable(SimDevice *d, int fd, bool discovery)
{
    uint8_t buf[65536];
    for (int i = 0; i < 64; i++) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, 0, (sockaddr *)&from, &len);
        if (n <= 0)
            return;
        if (clock_steady_ms() < d->restart_until.load())
            continue;  // restarting: deaf and dumb
        std::lock_guard<std::mutex> g(d->m);
        if (discovery)
            handle_probe(d, buf, (size_t)n, from);
        else if (d->o.protocol >= 2)
            p2_datagram(d, buf, (size_t)n, from);
        else
            p1_datagram(d, buf, (size_t)n, from);
    }
}

static void accept_one(int listen_fd, int *conn)
{
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (*conn >= 0)
        close(*conn);
    *conn = fd;
}

int sim_device_run(SimDevice *d)
{
    std::thread media(media_thread, d);
    {
        SimLogLine l = sim_log_begin(d->log, "ready");
        sim_log_str(&l, "bind", d->o.bind);
        sim_log_int(&l, "protocol", d->o.protocol);
        sim_log_end(&l);
    }
    std::string stdin_buf;
    bool stdin_open = true;
    while (!d->quit.load()) {
        pollfd p[9];
        int np = 0;
        int i_disc = np; p[np++] = {d->udp_disc, POLLIN, 0};
        int i_stream = np; p[np++] = {d->udp_stream, POLLIN, 0};
        int i_ctrl = np; p[np++] = {d->tcp_ctrl, POLLIN, 0};
        int i_mgmt = np; p[np++] = {d->tcp_mgmt, POLLIN, 0};
        int i_fwl = np; p[np++] = {d->tcp_fw, POLLIN, 0};
        int i_wake = np; p[np++] = {d->wake[0], POLLIN, 0};
        int i_stdin = -1, i_tcp = -1, i_mconn = -1, i_fconn = -1;
        int tcp_fd;
        {
            std::lock_guard<std::mutex> g(d->m);
            tcp_fd = d->s.tcp;
        }
        pollfd extra[4];
        int ne = 0;
        if (stdin_open) { i_stdin = ne; extra[ne++] = {0, POLLIN, 0}; }
        if (tcp_fd >= 0) { i_tcp = ne; extra[ne++] = {tcp_fd, POLLIN, 0}; }
        if (d->mgmt_conn >= 0) { i_mconn = ne; extra[ne++] = {d->mgmt_conn, POLLIN, 0}; }
        if (d->fw_conn >= 0) { i_fconn = ne; extra[ne++] = {d->fw_conn, POLLIN, 0}; }
        std::vector<pollfd> all(p, p + np);
        all.insert(all.end(), extra, extra + ne);
        poll(all.data(), all.size(), 5);

        if (all[i_wake].revents & POLLIN) {
            char c[16];
            ssize_t n = read(d->wake[0], c, sizeof c);
            for (ssize_t i = 0; i < n; i++)
                if (c[i] == 'v')
                    set_video(d, !d->video_on.load());
        }
        if (all[i_disc].revents & POLLIN)
            udp_readable(d, d->udp_disc, true);
        if (all[i_stream].revents & POLLIN)
            udp_readable(d, d->udp_stream, false);
        if (all[i_ctrl].revents & POLLIN) {
            std::lock_guard<std::mutex> g(d->m);
            p1_accept(d);
        }
        if (all[i_mgmt].revents & POLLIN)
            accept_one(d->tcp_mgmt, &d->mgmt_conn);
        if (all[i_fwl].revents & POLLIN) {
            accept_one(d->tcp_fw, &d->fw_conn);
            d->fw_in.clear();
            if (!d->fw_armed) {  // image data without the management command first
                close(d->fw_conn);
                d->fw_conn = -1;
            }
        }
        if (i_stdin >= 0 && (all[np + i_stdin].revents & (POLLIN | POLLHUP))) {
            char buf[512];
            ssize_t n = read(0, buf, sizeof buf);
            if (n <= 0) {
                stdin_open = false;
            } else {
                stdin_buf.append(buf, (size_t)n);
                size_t nl;
                while ((nl = stdin_buf.find('\n')) != std::string::npos) {
                    std::string line = stdin_buf.substr(0, nl);
                    stdin_buf.erase(0, nl + 1);
                    sim_device_command(d, line.c_str());
                }
                if (stdin_buf.size() > 4096)
                    stdin_buf.clear();
            }
        }
        if (i_tcp >= 0 && (all[np + i_tcp].revents & (POLLIN | POLLHUP | POLLERR))) {
            std::lock_guard<std::mutex> g(d->m);
            if (d->s.tcp == tcp_fd)
                p1_control_readable(d);
        }
        if (i_mconn >= 0 && (all[np + i_mconn].revents & (POLLIN | POLLHUP | POLLERR)))
            mgmt_readable(d);
        if (i_fconn >= 0 && (all[np + i_fconn].revents & (POLLIN | POLLHUP | POLLERR)))
            fw_readable(d);
        timers(d);
    }
    media.join();
    {
        std::lock_guard<std::mutex> g(d->m);
        end_session(d, "quit");
        SimLogLine l = sim_log_begin(d->log, "stats");
        sim_log_uint(&l, "fragments", d->stat_fragments);
        sim_log_uint(&l, "dropped", d->stat_dropped);
        sim_log_uint(&l, "resent", d->stat_resent);
        sim_log_end(&l);
    }
    log_simple(d, "closed");
    return 0;
}

// ---------------------------------------------------------------------------
// Creation

int sim_device_create(const SimOptions *options, SimLog *log, SimDevice **out)
{
    SimDevice *d = new SimDevice;
    d->o = *options;
    d->log = log;
    d->rng.seed(options->seed);
    d->video_on = !options->no_video;
    d->hid_speed = options->hid_speed;
    d->build = options->build;
    auto fail = [&](const std::string &what) {
        std::fprintf(stderr, "kavri-dongle-sim: %s\n", what.c_str());
        sim_device_destroy(&d);
        return -1;
    };
    if (!sim_parse_ipv4(d->o.bind, &d->bind_addr))
        return fail("--bind needs an IPv4 address: " + d->o.bind);
    if (pipe2(d->wake, O_NONBLOCK | O_CLOEXEC) != 0)
        return fail("pipe failed");
    d->udp_disc = sim_udp_bind(d->o.bind, WIRE_PORT_DISCOVERY);
    d->udp_stream = sim_udp_bind(d->o.bind, WIRE_PORT_STREAM);
    d->tcp_ctrl = sim_tcp_listen(d->o.bind, WIRE_PORT_CONTROL);
    d->tcp_mgmt = sim_tcp_listen(d->o.bind, WIRE_PORT_MANAGEMENT);
    d->tcp_fw = sim_tcp_listen(d->o.bind, WIRE_PORT_FIRMWARE);
    if (d->udp_disc < 0 || d->udp_stream < 0 || d->tcp_ctrl < 0 || d->tcp_mgmt < 0 || d->tcp_fw < 0)
        return fail("cannot bind the device's ports on " + d->o.bind + ": " + std::strerror(errno));

    if (!d->o.video_file.empty()) {
        int rc = annexb_file_load(d->o.video_file.c_str(), 512u << 20, &d->file);
        if (rc <= 0)
            return fail("cannot stream " + d->o.video_file + " (unreadable, or no SPS, PPS or IDR picture)");
        d->codec_header = d->file.codec_header;
    } else {
        SimVideoConfig vc;
        vc.width = d->o.width;
        vc.height = d->o.height;
        vc.fps = d->o.fps;
        vc.bitrate_kbps = d->o.bitrate_kbps;
        vc.idr_interval_s = d->o.idr_seconds;
        vc.noise = d->o.noise;
        vc.threads = d->o.slices;
        int rc = sim_video_create(&vc, &d->video);
        if (rc != 0)
            return fail("cannot open the H.264 encoder (error " + std::to_string(rc) + ")");
        size_t len = 0;
        const uint8_t *h = sim_video_codec_header(d->video, &len);
        d->codec_header.assign(h, h + len);
    }
    sim_audio_init(&d->audio);
    *out = d;
    return 0;
}

void sim_device_destroy(SimDevice **pd)
{
    if (!pd || !*pd)
        return;
    SimDevice *d = *pd;
    for (int fd : {d->udp_disc, d->udp_stream, d->tcp_ctrl, d->tcp_mgmt, d->tcp_fw, d->mgmt_conn, d->fw_conn,
                   d->wake[0], d->wake[1], d->s.tcp})
        if (fd >= 0)
            close(fd);
    sim_video_destroy(&d->video);
    delete d;
    *pd = nullptr;
}
