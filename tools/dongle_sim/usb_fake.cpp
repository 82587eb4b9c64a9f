// The fake USB layer: dongles on a pretend bus (see usb_fake.h).
#include "dongle_sim/usb_fake.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

#include "base/bytes.h"
#include "base/clock.h"
#include "protocol/usb_message.h"

namespace {

enum Mode { MODE_HID, MODE_SWITCHING, MODE_STREAM, MODE_GONE };

struct Dongle {
    UsbFakeConfig config;
    Mode mode = MODE_STREAM;
    uint64_t switched_ms = 0;
    uint64_t appeared_ms = 0;
    std::deque<uint8_t> in;        // IN pipe bytes waiting
    std::vector<uint8_t> out;      // OUT bytes not yet a whole message
    bool streaming = false;
    uint64_t next_due_ms = 0;
    size_t next_unit = 0;
    std::deque<std::vector<uint8_t>> hid_replies;
    bool flashing = false;
    uint32_t flashed = 0;
    UsbFakeStats stats;
};

}  // namespace

struct UsbFake {
    UsbBackend backend;
    std::mutex lock;
    std::condition_variable cv;
    std::vector<Dongle> dongles;
    int list_stream_calls = 0, list_hid_calls = 0;
};

struct UsbHid {
    UsbFake *fake;
    int dongle;
};

struct UsbStream {
    UsbFake *fake;
    int dongle;
    bool aborted;
};

namespace {

uint64_t now_ms() { return clock_steady_ms(); }

// A dongle that was switched shows up in stream mode once its delay is over.
void settle(Dongle &d)
{
    if (d.mode == MODE_SWITCHING && d.config.reappear_ms >= 0 &&
        now_ms() - d.switched_ms >= (uint64_t)d.config.reappear_ms) {
        d.mode = MODE_STREAM;
        d.appeared_ms = d.switched_ms + (uint64_t)d.config.reappear_ms;
    }
}

// Whether an open is refused for want of access rights.
bool denied(const Dongle &d)
{
    if (d.config.deny_open_ms < 0)
        return true;
    return d.appeared_ms && now_ms() - d.appeared_ms < (uint64_t)d.config.deny_open_ms;
}

void set_error(int *error, int value)
{
    if (error)
        *error = value;
}

void stream_path(const Dongle &d, char *out, size_t cap)
{
    int n = std::snprintf(out, cap, "fake-usb:%d-", d.config.bus);
    for (size_t i = 0; i < d.config.ports.size() && n > 0 && (size_t)n < cap; i++)
        n += std::snprintf(out + n, cap - (size_t)n, i ? ".%d" : "%d", d.config.ports[i]);
}

void hid_path(int index, char *out, size_t cap) { std::snprintf(out, cap, "fake-hid:%d", index); }

void queue_message(Dongle &d, uint8_t cls, uint8_t type, const uint8_t *payload, size_t n)
{
    uint8_t h[USB_MSG_HEADER_SIZE];
    usb_msg_build(h, sizeof h, cls, type, (uint32_t)n);
    d.in.insert(d.in.end(), h, h + sizeof h);
    if (n)
        d.in.insert(d.in.end(), payload, payload + n);
}

void start_streaming(Dongle &d)
{
    std::vector<uint8_t> video;
    video.push_back(d.config.video_present ? 1 : 0);
    size_t n = d.config.video_present ? d.config.codec_header.size() : 0;
    if (n > 255)
        n = 255;
    video.push_back((uint8_t)n);
    video.insert(video.end(), d.config.codec_header.begin(), d.config.codec_header.begin() + (long)n);
    queue_message(d, USB_CLASS_STATUS, USB_TYPE_VIDEO_STATUS, video.data(), video.size());
    uint8_t audio[6] = {(uint8_t)(d.config.audio_present ? 1 : 0), d.config.channels, 0, 0, 0, 0};
    wr_le32(audio + 2, d.config.rate);
    queue_message(d, USB_CLASS_STATUS, USB_TYPE_AUDIO_STATUS, audio, sizeof audio);
    d.streaming = true;
    d.next_due_ms = now_ms();
}

// One frame interval of media.
void generate(Dongle &d)
{
    if (!d.config.units.empty()) {
        const std::vector<uint8_t> &u = d.config.units[d.next_unit % d.config.units.size()];
        d.next_unit++;
        queue_message(d, USB_CLASS_MEDIA, USB_TYPE_VIDEO_DATA, u.data(), u.size());
        d.stats.units_queued++;
    }
    if (d.config.pcm_bytes) {
        std::vector<uint8_t> pcm(d.config.pcm_bytes);
        for (size_t i = 0; i < pcm.size(); i++)
            pcm[i] = (uint8_t)(i * 7);
        queue_message(d, USB_CLASS_MEDIA, USB_TYPE_AUDIO_DATA, pcm.data(), pcm.size());
        d.stats.pcm_queued++;
    }
    d.next_due_ms += (uint64_t)(d.config.frame_interval_ms > 0 ? d.config.frame_interval_ms : 1);
}

bool has_media(const Dongle &d) { return !d.config.units.empty() || d.config.pcm_bytes; }

void reply(Dongle &d, uint8_t code, uint8_t status, const uint8_t *extra, size_t n)
{
    size_t len = d.config.feature_length > 0 ? (size_t)d.config.feature_length : 64;
    std::vector<uint8_t> r(len, 0);
    r[0] = USB_MODE_SWITCH_REPORT_ID;
    if (len > 1)
        r[1] = code;
    if (len > 2)
        r[2] = status;
    for (size_t i = 0; i < n && 3 + i < len; i++)
        r[3 + i] = extra[i];
    d.hid_replies.push_back(r);
}

// The firmware dialogue over feature reports.
void hid_command(Dongle &d, const uint8_t *data, size_t len)
{
    if (len < 2 || data[0] != USB_MODE_SWITCH_REPORT_ID)
        return;
    uint8_t code = data[1];
    switch (code) {
    case 0xC2: {
        char digits[32];
        int n = std::snprintf(digits, sizeof digits, "%llu", (unsigned long long)d.config.build);
        reply(d, code, 0, (const uint8_t *)digits, (size_t)n);
        break;
    }
    case 0xF0:
    case 0xA0:
    case 0xA3:
        reply(d, code, code == d.config.refuse_code ? 1 : 0, nullptr, 0);
        break;
    case 0xA1:
        if (len >= 10) {
            d.stats.firmware_size = rd_le32(data + 6);
            if (d.stats.firmware_size <= (64u << 20))
                d.stats.firmware.assign(d.stats.firmware_size, 0);
        }
        reply(d, code, code == d.config.refuse_code ? 1 : 0, nullptr, 0);
        break;
    case 0xA2:
        if (len > 6) {
            uint32_t offset = rd_le32(data + 2);
            for (size_t i = 6; i < len; i++) {
                uint64_t at = (uint64_t)offset + (i - 6);
                if (at < d.stats.firmware.size())
                    d.stats.firmware[at] = data[i];
            }
        }
        break;
    case 0xA4:
        d.flashing = true;
        d.flashed = 0;
        break;
    default:
        break;
    }
}

// --- backend functions -------------------------------------------------------

int f_list_stream(void *c, UsbStreamInfo *out, int max)
{
    UsbFake *f = (UsbFake *)c;
    std::lock_guard<std::mutex> g(f->lock);
    f->list_stream_calls++;
    int n = 0;
    for (auto &d : f->dongles) {
        settle(d);
        if (d.mode != MODE_STREAM || n >= max)
            continue;
        UsbStreamInfo &i = out[n++];
        std::memset(&i, 0, sizeof i);
        stream_path(d, i.path, sizeof i.path);
        i.bus = d.config.bus;
        i.port_count = (int)std::min(d.config.ports.size(), (size_t)USB_PORTS_MAX);
        for (int k = 0; k < i.port_count; k++)
            i.ports[k] = d.config.ports[(size_t)k];
    }
    f->cv.notify_all();
    return n;
}

int f_list_hid(void *c, UsbHidInfo *out, int max)
{
    UsbFake *f = (UsbFake *)c;
    std::lock_guard<std::mutex> g(f->lock);
    f->list_hid_calls++;
    int n = 0;
    for (size_t k = 0; k < f->dongles.size(); k++) {
        Dongle &d = f->dongles[k];
        settle(d);
        if (d.mode != MODE_HID || n >= max)
            continue;
        UsbHidInfo &i = out[n++];
        std::memset(&i, 0, sizeof i);
        hid_path((int)k, i.path, sizeof i.path);
        i.bus = d.config.bus;
        i.port_count = (int)std::min(d.config.ports.size(), (size_t)USB_PORTS_MAX);
        for (int p = 0; p < i.port_count; p++)
            i.ports[p] = d.config.ports[(size_t)p];
    }
    f->cv.notify_all();
    return n;
}

UsbHid *f_hid_open(void *c, const char *path, int *error)
{
    UsbFake *f = (UsbFake *)c;
    std::lock_guard<std::mutex> g(f->lock);
    set_error(error, USB_ERROR_NOT_FOUND);
    for (size_t k = 0; k < f->dongles.size(); k++) {
        Dongle &d = f->dongles[k];
        char p[USB_PATH_MAX];
        hid_path((int)k, p, sizeof p);
        if (d.mode != MODE_HID || std::strcmp(p, path) != 0)
            continue;
        d.stats.hid_opens++;
        f->cv.notify_all();
        if (denied(d)) {
            set_error(error, USB_ERROR_ACCESS);
            usb_log_open_error(path, USB_ERROR_ACCESS, "Permission denied");
            return nullptr;
        }
        set_error(error, d.config.hid_openable ? USB_ERROR_NONE : USB_ERROR_OTHER);
        if (!d.config.hid_openable)
            return nullptr;
        return new UsbHid{f, (int)k};
    }
    return nullptr;
}

int f_hid_version(UsbHid *h, uint16_t *version)
{
    std::lock_guard<std::mutex> g(h->fake->lock);
    const Dongle &d = h->fake->dongles[(size_t)h->dongle];
    if (!d.config.attributes_readable)
        return -1;
    *version = d.config.hid_version;
    return 0;
}

int f_hid_feature_length(UsbHid *h)
{
    std::lock_guard<std::mutex> g(h->fake->lock);
    return h->fake->dongles[(size_t)h->dongle].config.feature_length;
}

int f_hid_set_feature(UsbHid *h, const uint8_t *data, size_t len)
{
    UsbFake *f = h->fake;
    std::lock_guard<std::mutex> g(f->lock);
    Dongle &d = f->dongles[(size_t)h->dongle];
    if (d.mode != MODE_HID || !data || len == 0)
        return -1;
    d.stats.feature_reports.emplace_back(data, data + len);
    if (len >= 2 && d.config.on_report)
        d.config.on_report(data[1]);
    if (len >= 2 && data[0] == USB_MODE_SWITCH_REPORT_ID && data[1] == USB_MODE_SWITCH_CODE) {
        d.mode = MODE_SWITCHING;
        d.switched_ms = now_ms();
    } else {
        hid_command(d, data, len);
    }
    f->cv.notify_all();
    return (int)len;
}

int f_hid_get_feature(UsbHid *h, uint8_t *data, size_t len)
{
    UsbFake *f = h->fake;
    std::lock_guard<std::mutex> g(f->lock);
    Dongle &d = f->dongles[(size_t)h->dongle];
    if (d.mode != MODE_HID || !data || len == 0)
        return -1;
    std::vector<uint8_t> r;
    if (!d.hid_replies.empty()) {
        r = d.hid_replies.front();
        d.hid_replies.pop_front();
    } else if (d.flashing) {
        uint32_t size = d.stats.firmware_size;
        uint8_t done[4];
        if (d.flashed >= size) {
            reply(d, 0xA5, d.config.refuse_code == 0xA5 ? 0x21 : 0x4F, nullptr, 0);
        } else {
            wr_le32(done, d.flashed);
            reply(d, 0xA5, 0, done, sizeof done);
            d.flashed += size / 4 + 1;
        }
        r = d.hid_replies.front();
        d.hid_replies.pop_front();
    } else {
        return -1;
    }
    std::memset(data, 0, len);
    size_t n = r.size() < len ? r.size() : len;
    std::memcpy(data, r.data(), n);
    return (int)n;
}

void f_hid_close(UsbHid *h) { delete h; }

UsbStream *f_stream_open(void *c, const char *path, int *error)
{
    UsbFake *f = (UsbFake *)c;
    std::lock_guard<std::mutex> g(f->lock);
    set_error(error, USB_ERROR_NOT_FOUND);
    for (size_t k = 0; k < f->dongles.size(); k++) {
        Dongle &d = f->dongles[k];
        settle(d);
        char p[USB_PATH_MAX];
        stream_path(d, p, sizeof p);
        if (d.mode != MODE_STREAM || std::strcmp(p, path) != 0)
            continue;
        d.stats.stream_opens++;
        f->cv.notify_all();
        if (denied(d)) {
            set_error(error, USB_ERROR_ACCESS);
            usb_log_open_error(path, USB_ERROR_ACCESS, "LIBUSB_ERROR_ACCESS");
            return nullptr;
        }
        set_error(error, USB_ERROR_NONE);
        d.out.clear();
        d.streaming = false;
        return new UsbStream{f, (int)k, false};
    }
    return nullptr;
}

int f_stream_endpoints(UsbStream *s, UsbEndpointInfo *out, int max)
{
    std::lock_guard<std::mutex> g(s->fake->lock);
    const Dongle &d = s->fake->dongles[(size_t)s->dongle];
    std::vector<UsbEndpointInfo> eps = d.config.endpoints;
    if (eps.empty())
        eps = {{0x81, 2}, {0x01, 2}};
    int n = 0;
    for (auto &e : eps)
        if (n < max)
            out[n++] = e;
    return n;
}

bool usable(const UsbStream *s, const Dongle &d) { return !s->aborted && d.mode == MODE_STREAM; }

int f_stream_control_out(UsbStream *s, uint8_t type, uint8_t request, uint16_t value, uint16_t index)
{
    std::lock_guard<std::mutex> g(s->fake->lock);
    Dongle &d = s->fake->dongles[(size_t)s->dongle];
    if (!usable(s, d))
        return -1;
    for (uint16_t v : {(uint16_t)type, (uint16_t)request, value, index})
        d.stats.control_requests.push_back(v);
    return 0;
}

int f_stream_clear_halt(UsbStream *s, uint8_t endpoint)
{
    std::lock_guard<std::mutex> g(s->fake->lock);
    Dongle &d = s->fake->dongles[(size_t)s->dongle];
    if (!usable(s, d))
        return -1;
    d.stats.cleared_halts.push_back(endpoint);
    return 0;
}

int f_stream_write(UsbStream *s, uint8_t endpoint, const uint8_t *data, size_t len)
{
    UsbFake *f = s->fake;
    std::lock_guard<std::mutex> g(f->lock);
    Dongle &d = f->dongles[(size_t)s->dongle];
    if (!usable(s, d) || endpoint & 0x80)
        return -1;
    d.stats.writes.emplace_back(data, data + len);
    d.out.insert(d.out.end(), data, data + len);
    for (;;) {
        UsbMsgHeader h;
        const uint8_t *payload = nullptr;
        long used = usb_next_message(d.out.data(), d.out.size(), &h, &payload);
        if (used <= 0)
            break;
        if (h.cls == USB_CLASS_STATUS && h.type == USB_TYPE_START && d.config.auto_stream)
            start_streaming(d);
        d.out.erase(d.out.begin(), d.out.begin() + used);
    }
    f->cv.notify_all();
    return (int)len;
}

int f_stream_read(UsbStream *s, uint8_t endpoint, uint8_t *data, size_t len)
{
    UsbFake *f = s->fake;
    std::unique_lock<std::mutex> g(f->lock);
    Dongle *d = &f->dongles[(size_t)s->dongle];
    if (!(endpoint & 0x80))
        return -1;
    if (d->stats.read_requests.size() < 4096)
        d->stats.read_requests.push_back(len);
    for (;;) {
        d = &f->dongles[(size_t)s->dongle];
        if (!usable(s, *d))
            return -1;
        if (!d->in.empty()) {
            size_t n = d->in.size() < len ? d->in.size() : len;
            if (d->config.max_read && n > d->config.max_read)
                n = d->config.max_read;
            std::copy(d->in.begin(), d->in.begin() + (long)n, data);
            d->in.erase(d->in.begin(), d->in.begin() + (long)n);
            f->cv.notify_all();
            return (int)n;
        }
        uint64_t wait_ms = 100;
        if (d->streaming && has_media(*d)) {
            uint64_t now = now_ms();
            if (now >= d->next_due_ms) {
                generate(*d);
                continue;
            }
            wait_ms = d->next_due_ms - now;
        }
        d->stats.reads_blocked++;
        f->cv.notify_all();
        f->cv.wait_for(g, std::chrono::milliseconds(wait_ms));
        f->dongles[(size_t)s->dongle].stats.reads_blocked--;
    }
}

void f_stream_abort(UsbStream *s)
{
    std::lock_guard<std::mutex> g(s->fake->lock);
    s->aborted = true;
    s->fake->dongles[(size_t)s->dongle].stats.aborts++;
    s->fake->cv.notify_all();
}

void f_stream_close(UsbStream *s)
{
    {
        std::lock_guard<std::mutex> g(s->fake->lock);
        Dongle &d = s->fake->dongles[(size_t)s->dongle];
        d.stats.stream_closes++;
        d.streaming = false;
        d.in.clear();
        s->fake->cv.notify_all();
    }
    delete s;
}

}  // namespace

UsbFake *usb_fake_create(void)
{
    UsbFake *f = new UsbFake();
    f->backend = UsbBackend{f,
                            f_list_stream,
                            f_list_hid,
                            f_hid_open,
                            f_hid_version,
                            f_hid_feature_length,
                            f_hid_set_feature,
                            f_hid_get_feature,
                            f_hid_close,
                            f_stream_open,
                            f_stream_endpoints,
                            f_stream_control_out,
                            f_stream_clear_halt,
                            f_stream_write,
                            f_stream_read,
                            f_stream_abort,
                            f_stream_close};
    return f;
}

void usb_fake_destroy(UsbFake **f)
{
    if (!f || !*f)
        return;
    delete *f;
    *f = nullptr;
}

const UsbBackend *usb_fake_backend(UsbFake *f) { return &f->backend; }

int usb_fake_add(UsbFake *f, const UsbFakeConfig &config)
{
    std::lock_guard<std::mutex> g(f->lock);
    Dongle d;
    d.config = config;
    d.mode = config.hid_mode ? MODE_HID : MODE_STREAM;
    f->dongles.push_back(std::move(d));
    return (int)f->dongles.size() - 1;
}

void usb_fake_unplug(UsbFake *f, int dongle)
{
    std::lock_guard<std::mutex> g(f->lock);
    f->dongles[(size_t)dongle].mode = MODE_GONE;
    f->cv.notify_all();
}

void usb_fake_push_in(UsbFake *f, int dongle, const uint8_t *data, size_t len)
{
    std::lock_guard<std::mutex> g(f->lock);
    Dongle &d = f->dongles[(size_t)dongle];
    d.in.insert(d.in.end(), data, data + len);
    f->cv.notify_all();
}

static UsbFakeStats snapshot(UsbFake *f, int dongle)
{
    UsbFakeStats s = f->dongles[(size_t)dongle].stats;
    s.list_stream_calls = f->list_stream_calls;
    s.list_hid_calls = f->list_hid_calls;
    s.in_pending = f->dongles[(size_t)dongle].in.size();
    return s;
}

UsbFakeStats usb_fake_stats(UsbFake *f, int dongle)
{
    std::lock_guard<std::mutex> g(f->lock);
    return snapshot(f, dongle);
}

bool usb_fake_wait(UsbFake *f, int dongle, int timeout_ms, const std::function<bool(const UsbFakeStats &)> &pred)
{
    std::unique_lock<std::mutex> g(f->lock);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pred(snapshot(f, dongle)))
            return true;
        if (f->cv.wait_until(g, deadline) == std::cv_status::timeout)
            return pred(snapshot(f, dongle));
    }
}
