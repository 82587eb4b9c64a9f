// USB detection and the port location text.
#include "link/usb_detect.h"

#include <cstdio>
#include <cstring>

#include "link/link.h"
#include "link/link_context.h"

int usb_location_text(int controller, const uint8_t *ports, int count, char *out, size_t cap)
{
    if (!out || cap == 0)
        return 0;
    out[0] = 0;
    if (!ports || count <= 0 || controller < 0)
        return 0;
    // Built as the hub walk builds it: the device's port on its hub, behind
    // the hub's own location, and the controller in front of the root port.
    char text[128];
    int n = std::snprintf(text, sizeof text, "%d-%d", controller, ports[0]);
    for (int i = 1; i < count && n > 0 && (size_t)n < sizeof text; i++)
        n += std::snprintf(text + n, sizeof text - (size_t)n, "-%d", ports[i]);
    std::snprintf(out, cap, "%s", text);
    return (int)strnlen(out, cap);
}

bool usb_hid_version_supported(uint16_t version) { return version >= USB_HID_MIN_STREAM_VERSION; }

static void fill_text(char *dst, size_t cap, const char *src)
{
    size_t n = strnlen(src, cap - 1);
    std::memcpy(dst, src, n);
    std::memset(dst + n, 0, cap - n);
}

void usb_detect(const UsbBackend *b, void (*report)(void *context, const DeviceRecord *rec), void *context)
{
    if (!b || !report)
        return;
    static const int kMax = 16;
    UsbStreamInfo streams[kMax];
    int n = b->list_stream(b->context, streams, kMax);
    for (int i = 0; i < n && i < kMax; i++) {
        DeviceRecord r;
        std::memset(&r, 0, sizeof r);
        r.usb = 1;
        streams[i].path[USB_PATH_MAX - 1] = 0;
        fill_text(r.id, sizeof r.id, streams[i].path);
        int count = streams[i].port_count;
        if (count > USB_PORTS_MAX)
            count = USB_PORTS_MAX;
        usb_location_text(streams[i].bus - 1, streams[i].ports, count, r.location, sizeof r.location);
        std::memcpy(r.label, r.location, sizeof r.label);
        fill_text(r.name, sizeof r.name, "KAVRI Viewer");
        report(context, &r);
    }

    UsbHidInfo hids[kMax];
    n = b->list_hid(b->context, hids, kMax);
    for (int i = 0; i < n && i < kMax; i++) {
        hids[i].path[USB_PATH_MAX - 1] = 0;
        UsbHid *h = b->hid_open(b->context, hids[i].path, nullptr);
        if (!h)
            continue;
        uint16_t version = 0;
        int rc = b->hid_version(h, &version);
        b->hid_close(h);
        if (rc < 0 || !usb_hid_version_supported(version))
            continue;
        DeviceRecord r;
        std::memset(&r, 0, sizeof r);
        r.usb = 1;
        r.hid_only = 1;
        fill_text(r.id, sizeof r.id, hids[i].path);
        fill_text(r.name, sizeof r.name, "KAVRI Viewer");
        report(context, &r);
    }
}

static void report_to_link(void *context, const DeviceRecord *rec) { link_report_device((LinkContext *)context, rec); }

void usb_detect_run(LinkContext *l) { usb_detect(l->options.usb_backend, report_to_link, l); }
