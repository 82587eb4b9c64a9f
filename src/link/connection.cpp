// The connection thread: the protocol-1 control stream on TCP port 6851 of the
// device (media and input of the same connection travel as protocol-1
// datagrams through the receiver and the sender), or the USB transport for a
// USB-attached target.
#include <cstring>

#include "base/clock.h"
#include "link/link_context.h"
#include "protocol/password.h"
#include "protocol/wire.h"

static const uint64_t kSilenceMs = 4000;
static const int kConnectLimitMs = 2000;
// Reads wait no longer than this, so that a stop is seen at once.
static const int kReadSliceMs = 100;

static void send3(LinkContext *l, uint8_t code)
{
    uint8_t msg[3];
    p1_build_message(msg, sizeof msg, code, nullptr, 0);
    link_tcp_send(l, msg, sizeof msg);
}

static void send_unlock(LinkContext *l)
{
    char password[17];
    {
        std::lock_guard<std::mutex> g(l->password_lock);
        std::memcpy(password, l->password, sizeof password);
    }
    uint8_t nonce[16], msg[40];
    password_make_nonce(nonce);
    int n = password_build_unlock(password, strnlen(password, 16), nonce, msg, sizeof msg);
    if (n > 0)
        link_tcp_send(l, msg, (size_t)n);
    std::memset(password, 0, sizeof password);
}

// One whole control message from the device.
static void handle(LinkContext *l, const P1ControlMsg *m)
{
    if (m->type == P1_MSG_AUTH_STATUS && m->result != 0) {
        if (l->protocol.load() == -1)
            l->protocol = 0;
        uint8_t zero[4];
        p1_build_zero_setting(zero, (uint8_t)l->zero_setting);
        link_tcp_send(l, zero, sizeof zero);
        send3(l, l->input_on.load() ? P1_CODE_INPUT_ON : P1_CODE_INPUT_OFF);
        send3(l, l->audio_on.load() ? P1_CODE_AUDIO_ON : P1_CODE_AUDIO_OFF);
        l->stream_switch = 1;
        send3(l, P1_CODE_STREAM_ON);
        send3(l, P1_CODE_STREAM_GO);
        l->key_frame_seen = 0;
        send3(l, P1_CODE_KEY_FRAME);
        link_set_admitted(l, 1);
    } else if (m->type == P1_MSG_AUTH_STATUS) {
        bool have_password;
        {
            std::lock_guard<std::mutex> g(l->password_lock);
            have_password = l->password[0] != 0;
        }
        // The stored password is tried once per connection, whether it went
        // out by itself or from the operator's unlock.
        if (!l->password_sent.load() && have_password) {
            send_unlock(l);
            l->password_sent = 1;
        } else {
            link_set_admitted(l, 0);
            link_set_state(l, LINK_STATE_PASSWORD);
        }
    }
    if (m->type == P1_MSG_VIDEO_START) {
        l->key_frame_seen = 0;
        l->last_frame = 0;
        l->video_present = 1;
        if (m->l1 >= 5) {
            link_note_codec(l, m->payload, m->l1);
            decoder_submit(l->decoder, m->payload, m->l1, 0, 0, 0);
        }
        send3(l, P1_CODE_VIDEO_START_ACK);
        link_set_state(l, LINK_STATE_STREAMING);
    }
    if (m->type == P1_MSG_NO_VIDEO) {
        l->video_present = 0;
        link_set_state(l, LINK_STATE_NO_VIDEO);
    }
    if (m->type == P1_MSG_KEEPALIVE)
        send3(l, P1_CODE_KEEPALIVE);
    uint32_t channels, rate;
    if (p1_control_audio_format(m, &channels, &rate) == 1) {
        std::lock_guard<std::mutex> g(l->audio_lock);
        if (channels != 0)
            audio_ring_set_format(l->audio, channels, rate);
    }
}

static void control_stream(LinkContext *l)
{
    DeviceAddress to;
    {
        std::lock_guard<std::mutex> g(l->target_lock);
        to = l->target.address;
    }
    l->admitted = 1;
    l->protocol = -1;
    uint8_t *buf = new uint8_t[P1_CONTROL_BUFFER_SIZE];
    size_t fill = 0;
    l->password_sent = 0;

    NetSocket s;
    int rc = -1;
    if (to.sa.sa_family == AF_INET && net_tcp_create(&s) == 0) {
        sockaddr_in a = to.in4;
        a.sin_port = htons(WIRE_PORT_CONTROL);
        rc = net_connect_timeout(&s, &a, kConnectLimitMs);
    } else {
        s = NetSocket{AF_INET, SOCK_STREAM, -1, -1, 0, 0};
    }
    {
        std::lock_guard<std::mutex> g(l->tcp_lock);
        l->tcp = s;
        l->connected = rc == 0 ? 1 : 0;
    }
    l->last_traffic_ms = link_now_ms();

    while (!l->stop_all.load() && !l->stop_control.load() && l->connected.load()) {
        int n = net_tcp_receive(&l->tcp, buf + fill, P1_CONTROL_BUFFER_SIZE - fill, kReadSliceMs);
        if (n < 0 && n != -2)
            break;
        const uint64_t stamp = l->last_traffic_ms.load();
        if (clock_elapsed(stamp, link_now_ms()) > kSilenceMs)
            break;
        if (n > 0)
            fill += (size_t)n;
        // Key frames the receiver asked for go out from here, the stream's
        // one writer besides the operator's switches.
        if (l->p1_key_request.exchange(0))
            send3(l, P1_CODE_KEY_FRAME);
        bool broken = false;
        size_t off = 0;
        while (fill - off >= P1_CONTROL_HEADER_SIZE) {
            l->last_traffic_ms = link_now_ms();
            P1ControlMsg m;
            int got = p1_control_next(buf + off, fill - off, P1_CONTROL_BUFFER_SIZE, &m);
            if (got == 0)
                break;
            if (got < 0) {
                // A message longer than the receive buffer can never be held.
                broken = true;
                break;
            }
            handle(l, &m);
            off += m.total;
        }
        if (off) {
            std::memmove(buf, buf + off, fill - off);
            fill -= off;
        }
        if (broken)
            break;
    }

    // Lost rather than ended: the device went quiet or broke the stream.
    bool lost = rc == 0 && !l->stop_all.load() && !l->stop_control.load();
    l->video_present = 0;
    l->connected = 0;
    {
        std::lock_guard<std::mutex> g(l->tcp_lock);
        net_close(&l->tcp);
    }
    if (lost)
        link_watch_lost(l);
    l->protocol = -1;
    l->last_frame = 0;
    l->last_audio = 0;
    link_set_admitted(l, 0);
    link_set_state(l, LINK_STATE_NONE);
    delete[] buf;
}

void connection_thread_main(LinkContext *l)
{
    DeviceRecord target;
    {
        std::lock_guard<std::mutex> g(l->target_lock);
        target = l->target;
    }
    l->usb_mode = target.usb ? 1 : 0;
    if (l->usb_mode.load()) {
        if (l->options.usb_transport) {
            l->options.usb_transport(l);
        } else {
            link_set_state(l, LINK_STATE_NONE);
        }
    } else {
        control_stream(l);
    }
    l->stop_control = 1;
    l->active = 0;
}
