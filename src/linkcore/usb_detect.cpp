// USB detection and the port location text.
#include "linkcore/usb_detect.h"

#include <cstdio>
#include <cstring>

#include "linkcore/link.h"
#include "linkcore/link_context.h"

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

int usb_hid_feature_length(const uint8_t *desc, size_t len, int collection)
{
    if (!desc || collection < 1)
        return 0;
    struct Globals {
        uint32_t report_size, report_count, report_id;
    };
    Globals g{0, 0, 0};
    Globals stack[8];
    int sp = 0;
    int depth = 0;
    int top = 0;  // index of the current top-level collection, from 1
    uint32_t feature_bits[256] = {0};
    bool any = false;

    size_t pos = 0;
    while (pos < len) {
        uint8_t prefix = desc[pos];
        if (prefix == 0xFE) {  // long item: skipped whole
            if (len - pos < 3)
                return 0;
            size_t n = desc[pos + 1];
            if (len - pos - 3 < n)
                return 0;
            pos += 3 + n;
            continue;
        }
        size_t size = prefix & 3;
        if (size == 3)
            size = 4;
        if (len - pos - 1 < size)
            return 0;
        uint32_t value = 0;
        for (size_t i = 0; i < size; i++)
            value |= (uint32_t)desc[pos + 1 + i] << (8 * i);
        int type = (prefix >> 2) & 3;
        int tag = prefix >> 4;
        pos += 1 + size;

        if (type == 0) {  // main
            if (tag == 0xA) {
                if (depth == 0)
                    top++;
                depth++;
            } else if (tag == 0xC) {
                if (depth > 0)
                    depth--;
            } else if (tag == 0xB && depth > 0 && top == collection) {
                uint64_t add = (uint64_t)g.report_size * g.report_count;
                uint32_t id = g.report_id & 0xFF;
                uint64_t sum = feature_bits[id] + add;
                feature_bits[id] = sum > 0xFFFFFFF ? 0xFFFFFFF : (uint32_t)sum;
                any = true;
            }
        } else if (type == 1) {  // global
            if (tag == 7)
                g.report_size = value;
            else if (tag == 9)
                g.report_count = value;
            else if (tag == 8)
                g.report_id = value;
            else if (tag == 0xA) {
                if (sp < 8)
                    stack[sp++] = g;
            } else if (tag == 0xB) {
                if (sp > 0)
                    g = stack[--sp];
            }
        }
    }
    if (!any)
        return 0;
    uint32_t longest = 0;
    for (uint32_t b : feature_bits)
        if (b > longest)
            longest = b;
    uint32_t bytes = (longest + 7) / 8 + 1;
    return bytes > 65536 ? 0 : (int)bytes;
}

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
