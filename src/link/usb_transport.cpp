// USB Stream Mode transport: framing and dispatch helpers, and the
// connection that drives them over the USB layer.
#include "link/usb_transport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "base/bytes.h"
#include "link/link_context.h"

int usb_pick_pipes(const UsbEndpointInfo *endpoints, int count, uint8_t *in, uint8_t *out)
{
    bool have_in = false, have_out = false;
    for (int i = 0; endpoints && i < count; i++) {
        if ((endpoints[i].attributes & 3) != 2)
            continue;  // not bulk
        if (endpoints[i].address & 0x80) {
            *in = endpoints[i].address;
            have_in = true;
        } else {
            *out = endpoints[i].address;
            have_out = true;
        }
    }
    return have_in && have_out ? 0 : -1;
}

int usb_read_full(const UsbReader *r, uint8_t *dst, size_t n)
{
    size_t got = 0;
    while (got < n) {
        int k = r->read(r->context, dst + got, n - got);
        if (k < 0 || (size_t)k > n - got)
            return -1;
        got += (size_t)k;
    }
    return 0;
}

int usb_read_message(const UsbReader *r, uint8_t *buf, size_t cap, UsbMsgHeader *h)
{
    if (cap < USB_MSG_HEADER_SIZE)
        return -2;
    if (usb_read_full(r, buf, USB_MSG_HEADER_SIZE) != 0)
        return -1;
    if (usb_msg_parse_header(buf, USB_MSG_HEADER_SIZE, h) != 0 || h->length > cap - USB_MSG_HEADER_SIZE)
        return -2;
    uint32_t pieces = usb_piece_count(h->length);
    for (uint32_t k = 0; k < pieces; k++) {
        if (usb_read_full(r, buf + USB_MSG_HEADER_SIZE + (size_t)k * USB_READ_PIECE, usb_piece_size(h->length, k)) != 0)
            return -1;
    }
    return 0;
}

int usb_dispatch(const UsbSink *s, const UsbMsgHeader *h, const uint8_t *p)
{
    uint32_t len = h->length;
    if (h->cls == USB_CLASS_STATUS && h->type == USB_TYPE_VIDEO_STATUS) {
        bool present = len >= 1 && p[0] == 1;
        s->set_video_present(s->context, present);
        if (!present) {
            s->set_state(s->context, LINK_STATE_NO_VIDEO);
            return 0;
        }
        // The header length is the device's word: never reach past the payload.
        uint32_t n = len >= 2 ? p[1] : 0;
        uint32_t avail = len >= 2 ? len - 2 : 0;
        if (n > avail)
            n = avail;
        if (n > 0)
            s->video_submit(s->context, p + 2, n);
        if (s->write_ack(s->context) < 0)
            return -1;
        s->set_state(s->context, LINK_STATE_STREAMING);
    } else if (h->cls == USB_CLASS_STATUS && h->type == USB_TYPE_AUDIO_STATUS) {
        if (len >= 1 && p[0] == 1) {
            if (len >= 6 && p[1] != 0)
                s->audio_set_format(s->context, p[1], rd_le32(p + 2));
        } else {
            s->audio_stop(s->context);
        }
    } else if (h->cls == USB_CLASS_MEDIA && h->type == USB_TYPE_VIDEO_DATA) {
        if (len > 0 && s->video_present(s->context))
            s->video_submit(s->context, p, len);
    } else if (h->cls == USB_CLASS_MEDIA && h->type == USB_TYPE_AUDIO_DATA) {
        if (len > 0 && s->audio_on(s->context))
            s->audio_push(s->context, p, len);
    }
    return 0;
}


// ---------------------------------------------------------------------------
// The connection.

namespace {

struct Conn {
    LinkContext *l;
    const UsbBackend *b;
    UsbStream *s;
    uint8_t in, out;
};

bool ended(const LinkContext *l) { return l->stop_control.load() || l->stop_all.load(); }

// Waits ms, in slices, so that a disconnect is not held up by the pause.
// Returns false when the connection is to end.
bool pause(const LinkContext *l, int ms)
{
    for (int waited = 0; waited < ms; waited += 20) {
        if (ended(l))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(ms - waited < 20 ? ms - waited : 20));
    }
    return !ended(l);
}

int conn_read(void *c, uint8_t *dst, size_t n)
{
    Conn *k = (Conn *)c;
    return k->b->stream_read(k->s, k->in, dst, n);
}

int conn_write_msg(Conn *k, uint8_t type)
{
    uint8_t msg[USB_MSG_HEADER_SIZE];
    usb_msg_build(msg, sizeof msg, USB_CLASS_STATUS, type, 0);
    return k->b->stream_write(k->s, k->out, msg, sizeof msg) == (int)sizeof msg ? 0 : -1;
}

bool sink_video_present(void *c) { return ((Conn *)c)->l->video_present.load() != 0; }
void sink_set_video_present(void *c, bool v) { ((Conn *)c)->l->video_present = v ? 1 : 0; }
bool sink_audio_on(void *c) { return ((Conn *)c)->l->audio_on.load() != 0; }
void sink_video_submit(void *c, const uint8_t *d, uint32_t n) { decoder_submit(((Conn *)c)->l->decoder, d, n, 0, 0, 0); }
int sink_write_ack(void *c) { return conn_write_msg((Conn *)c, USB_TYPE_VIDEO_ACK); }
void sink_set_state(void *c, uint32_t state) { link_set_state(((Conn *)c)->l, state); }
void sink_audio_set_format(void *c, uint32_t channels, uint32_t rate)
{
    LinkContext *l = ((Conn *)c)->l;
    std::lock_guard<std::mutex> g(l->audio_lock);
    audio_ring_set_format(l->audio, channels, rate);
}
void sink_audio_stop(void *c)
{
    LinkContext *l = ((Conn *)c)->l;
    std::lock_guard<std::mutex> g(l->audio_lock);
    audio_ring_stop_output(l->audio);
}
void sink_audio_push(void *c, const uint8_t *d, uint32_t n)
{
    LinkContext *l = ((Conn *)c)->l;
    std::lock_guard<std::mutex> g(l->audio_lock);
    audio_ring_push(l->audio, d, n);
}

bool same_port(int bus, int count, const uint8_t *ports, const UsbStreamInfo &s)
{
    return count > 0 && s.bus == bus && s.port_count == count && std::memcmp(s.ports, ports, (size_t)count) == 0;
}

// Sends the mode-switch report to a HID-mode dongle and opens it once it is
// back as the stream-mode device. Polls every 500 ms, ten times at most:
// first for the device at the port the HID-mode dongle hung on (another
// dongle elsewhere is never taken), then, for the polls that remain, to open
// it: udev may apply the access rights a moment after the device appears.
UsbStream *switch_to_stream_mode(LinkContext *l, const UsbBackend *b, const char *hid_path)
{
    // Where the dongle sits. Without a known port, take only a device that
    // was not there before the switch.
    int bus = 0, count = 0;
    uint8_t ports[USB_PORTS_MAX] = {};
    UsbHidInfo hids[16];
    int nh = b->list_hid(b->context, hids, 16);
    for (int i = 0; i < nh && i < 16; i++) {
        if (std::strncmp(hids[i].path, hid_path, USB_PATH_MAX) == 0 && hids[i].port_count > 0 &&
            hids[i].port_count <= USB_PORTS_MAX) {
            bus = hids[i].bus;
            count = hids[i].port_count;
            std::memcpy(ports, hids[i].ports, (size_t)count);
        }
    }
    UsbStreamInfo found[16];
    int before_n = count ? 0 : b->list_stream(b->context, found, 16);
    std::vector<std::string> before;
    for (int i = 0; i < before_n && i < 16; i++)
        before.emplace_back(found[i].path, strnlen(found[i].path, USB_PATH_MAX));

    UsbHid *h = b->hid_open(b->context, hid_path, nullptr);
    if (!h)
        return nullptr;
    int len = b->hid_feature_length(h);
    if (len <= 1 || len > 65536)
        len = USB_FEATURE_DEFAULT_LENGTH;
    std::vector<uint8_t> report((size_t)len);
    usb_mode_switch_report(report.data(), report.size());
    int rc = b->hid_set_feature(h, report.data(), report.size());
    b->hid_close(h);
    if (rc < 0)
        return nullptr;

    std::string path;
    for (int poll = 0; poll < USB_SWITCH_POLLS; poll++) {
        if (!pause(l, USB_SWITCH_POLL_MS))
            return nullptr;
        if (path.empty()) {
            int n = b->list_stream(b->context, found, 16);
            for (int i = 0; i < n && i < 16 && path.empty(); i++) {
                std::string p(found[i].path, strnlen(found[i].path, USB_PATH_MAX));
                bool match = count ? same_port(bus, count, ports, found[i])
                                   : std::find(before.begin(), before.end(), p) == before.end();
                if (match)
                    path = p;
            }
            if (path.empty())
                continue;
            std::fprintf(stderr, "usb: dongle in stream mode at %s\n", path.c_str());
        }
        int error = 0;
        if (UsbStream *s = b->stream_open(b->context, path.c_str(), &error))
            return s;
        if (error == USB_ERROR_NOT_FOUND)
            path.clear();  // gone again: look for it anew
    }
    return nullptr;
}

}  // namespace

void usb_transport_run(LinkContext *l)
{
    DeviceRecord target;
    {
        std::lock_guard<std::mutex> g(l->target_lock);
        target = l->target;
    }
    const UsbBackend *b = l->options.usb_backend;
    uint8_t *buf = new (std::nothrow) uint8_t[USB_RECEIVE_BUFFER_SIZE]();
    Conn k{l, b, nullptr, 0, 0};
    char path[sizeof target.id];
    std::memcpy(path, target.id, sizeof path);
    path[sizeof path - 1] = 0;

    if (!b || !buf)
        goto end;
    k.s = target.hid_only ? switch_to_stream_mode(l, b, path) : b->stream_open(b->context, path, nullptr);
    if (!k.s)
        goto end;
    {
        std::lock_guard<std::mutex> g(l->tcp_lock);
        l->usb_handle = k.s;
    }
    {
        UsbEndpointInfo eps[32];
        int n = b->stream_endpoints(k.s, eps, 32);
        if (usb_pick_pipes(eps, n < 0 ? 0 : (n > 32 ? 32 : n), &k.in, &k.out) != 0)
            goto end;
    }
    b->stream_control_out(k.s, USB_VENDOR_REQUEST_TYPE, USB_VENDOR_REQUEST, USB_VENDOR_VALUE, USB_VENDOR_INDEX);
    if (!pause(l, 100))
        goto end;
    b->stream_clear_halt(k.s, k.in);
    b->stream_clear_halt(k.s, k.out);
    if (conn_write_msg(&k, USB_TYPE_START) != 0)
        goto end;

    link_set_admitted(l, 1);
    link_set_state(l, LINK_STATE_CONNECTING);

    {
        UsbReader reader{&k, conn_read};
        UsbSink sink{&k,           sink_video_present, sink_set_video_present, sink_audio_on,
                     sink_video_submit, sink_write_ack, sink_set_state, sink_audio_set_format,
                     sink_audio_stop, sink_audio_push};
        while (!ended(l)) {
            UsbMsgHeader h;
            if (usb_read_message(&reader, buf, USB_RECEIVE_BUFFER_SIZE, &h) != 0)
                break;
            if (usb_dispatch(&sink, &h, buf + USB_MSG_HEADER_SIZE) != 0)
                break;
        }
    }

end:
    {
        // Abort runs under the same lock, so it never touches a closed device.
        std::lock_guard<std::mutex> g(l->tcp_lock);
        l->usb_handle = nullptr;
        if (k.s)
            b->stream_close(k.s);
    }
    delete[] buf;
    l->video_present = 0;
    link_set_admitted(l, 0);
    l->stop_control = 1;
    l->active = 0;
    link_set_state(l, LINK_STATE_NONE);
}

void usb_transport_abort(LinkContext *l)
{
    std::lock_guard<std::mutex> g(l->tcp_lock);
    if (l->usb_handle && l->options.usb_backend)
        l->options.usb_backend->stream_abort(l->usb_handle);
}
