// The USB layer on libusb-1.0 (stream-mode devices: enumeration, port path,
// interface 0, bulk pipes, vendor request, clear halt) and hidapi on hidraw
// (HID-mode interfaces: release number, feature reports; the report
// descriptor through the hidraw node).
//
// Stream-mode paths are "usb:BUS-P1.P2..." (the kernel's own name for the
// port), so a dongle keeps its path while it stays in the same port, also
// across a mode switch. HID paths are hidapi's (the /dev/hidrawN node).
//
// Pipe reads run in slices of 100 ms so that an abort from another thread
// is seen without cancelling transfers across threads.
//
// hidapi's enumeration, open and close must not run on two threads at once
// (they share the library's device list and error state): detection on the
// scan thread, the mode switch on the connection thread and the update
// worker all use them, so one lock here serialises them.
#include <errno.h>
#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <libusb-1.0/libusb.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/hid_descriptor.h"
#include "platform/usb.h"

struct UsbHid {
    hid_device *dev;
    char path[USB_PATH_MAX];
};

// Reads go through `staged`: the host must ask for whole packets, and what a
// packet brings beyond the caller's request is kept for the next read, so a
// 6-byte header read never overflows on a packet that also holds payload.
struct UsbStream {
    libusb_device_handle *handle;
    std::atomic<bool> aborted;
    uint8_t staged[131072];
    size_t staged_at, staged_len;
};

namespace {

const unsigned kSliceMs = 100;
const unsigned kWriteLimitMs = 2000;

std::once_flag g_once;
libusb_context *g_usb = nullptr;
bool g_hid_ok = false;
std::mutex g_hid_lock;  // hid_init, hid_enumerate, hid_open_path, hid_close, hid_error(NULL), hid_get_device_info

void init_once()
{
    std::call_once(g_once, [] {
        if (libusb_init(&g_usb) != 0)
            g_usb = nullptr;
        std::lock_guard<std::mutex> g(g_hid_lock);
        g_hid_ok = hid_init() == 0;
    });
}

int usb_error_of(int libusb_rc)
{
    switch (libusb_rc) {
    case LIBUSB_ERROR_ACCESS: return USB_ERROR_ACCESS;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND: return USB_ERROR_NOT_FOUND;
    case LIBUSB_ERROR_BUSY: return USB_ERROR_BUSY;
    default: return USB_ERROR_OTHER;
    }
}

void set_error(int *error, int value)
{
    if (error)
        *error = value;
}

// The port of a hidraw node's USB device, from its sysfs path: the
// interface directory is named "BUS-P1.P2...:CONFIG.INTERFACE".
void hid_port(const char *node, UsbHidInfo *out)
{
    const char *name = std::strrchr(node, '/');
    if (!name || std::strncmp(node, "/dev/hidraw", 11) != 0)
        return;
    char link[128], real[PATH_MAX];
    std::snprintf(link, sizeof link, "/sys/class/hidraw/%s/device", name + 1);
    if (!realpath(link, real))
        return;
    char *save = nullptr;
    for (char *part = strtok_r(real, "/", &save); part; part = strtok_r(nullptr, "/", &save)) {
        const char *colon = std::strchr(part, ':');
        const char *dash = std::strchr(part, '-');
        if (!colon || !dash || dash > colon || part[0] < '1' || part[0] > '9')
            continue;
        int bus = std::atoi(part);
        int n = 0;
        uint8_t ports[USB_PORTS_MAX];
        const char *p = dash + 1;
        while (p < colon && n < USB_PORTS_MAX) {
            char *end = nullptr;
            long v = std::strtol(p, &end, 10);
            if (end == p || v <= 0 || v > 255)
                break;
            ports[n++] = (uint8_t)v;
            p = *end == '.' ? end + 1 : end;
        }
        if (p == colon && n > 0) {
            out->bus = bus;
            out->port_count = n;
            std::memcpy(out->ports, ports, (size_t)n);
            return;
        }
    }
}

void port_name(libusb_device *dev, char *out, size_t cap)
{
    uint8_t ports[USB_PORTS_MAX];
    int n = libusb_get_port_numbers(dev, ports, USB_PORTS_MAX);
    int w = std::snprintf(out, cap, "usb:%d-", libusb_get_bus_number(dev));
    for (int i = 0; i < n && w > 0 && (size_t)w < cap; i++)
        w += std::snprintf(out + w, cap - (size_t)w, i ? ".%d" : "%d", ports[i]);
}

bool is_stream_device(libusb_device *dev)
{
    libusb_device_descriptor d;
    return libusb_get_device_descriptor(dev, &d) == 0 && d.idVendor == USB_VENDOR_ID &&
           d.idProduct == USB_PRODUCT_STREAM;
}

int l_list_stream(void *, UsbStreamInfo *out, int max)
{
    init_once();
    if (!g_usb)
        return 0;
    libusb_device **list = nullptr;
    ssize_t count = libusb_get_device_list(g_usb, &list);
    int n = 0;
    for (ssize_t i = 0; i < count && n < max; i++) {
        if (!is_stream_device(list[i]))
            continue;
        UsbStreamInfo &info = out[n++];
        std::memset(&info, 0, sizeof info);
        port_name(list[i], info.path, sizeof info.path);
        info.bus = libusb_get_bus_number(list[i]);
        int ports = libusb_get_port_numbers(list[i], info.ports, USB_PORTS_MAX);
        info.port_count = ports < 0 ? 0 : ports;
    }
    if (list)
        libusb_free_device_list(list, 1);
    return n;
}

int l_list_hid(void *, UsbHidInfo *out, int max)
{
    init_once();
    if (!g_hid_ok)
        return 0;
    std::lock_guard<std::mutex> g(g_hid_lock);
    hid_device_info *all = hid_enumerate(USB_VENDOR_ID, USB_PRODUCT_HID);
    int n = 0;
    // hidraw gives one node per interface; its collections share the path.
    for (hid_device_info *i = all; i && n < max; i = i->next) {
        if (i->interface_number != USB_HID_INTERFACE || !i->path)
            continue;
        bool known = false;
        for (int k = 0; k < n; k++)
            known = known || std::strcmp(out[k].path, i->path) == 0;
        if (known)
            continue;
        std::memset(&out[n], 0, sizeof out[n]);
        std::snprintf(out[n].path, sizeof out[n].path, "%s", i->path);
        hid_port(out[n].path, &out[n]);
        n++;
    }
    hid_free_enumeration(all);
    return n;
}

UsbHid *l_hid_open(void *, const char *path, int *error)
{
    init_once();
    set_error(error, USB_ERROR_OTHER);
    if (!g_hid_ok || !path)
        return nullptr;
    hid_device *dev = nullptr;
    {
        std::lock_guard<std::mutex> g(g_hid_lock);
        dev = hid_open_path(path);
        if (!dev) {
            // hidapi keeps errno out of its result; ask the node itself.
            int code = USB_ERROR_OTHER;
            if (access(path, R_OK | W_OK) != 0) {
                int e = errno;
                code = e == EACCES || e == EPERM ? USB_ERROR_ACCESS
                       : e == ENOENT             ? USB_ERROR_NOT_FOUND
                                                 : USB_ERROR_OTHER;
            }
            const wchar_t *w = hid_error(nullptr);
            char text[256];
            if (!w || std::wcstombs(text, w, sizeof text) == (size_t)-1)
                std::snprintf(text, sizeof text, "hid_open_path failed");
            text[sizeof text - 1] = 0;
            set_error(error, code);
            usb_log_open_error(path, code, text);
            return nullptr;
        }
    }
    set_error(error, USB_ERROR_NONE);
    UsbHid *h = new UsbHid{dev, {0}};
    std::snprintf(h->path, sizeof h->path, "%s", path);
    return h;
}

int l_hid_version(UsbHid *h, uint16_t *version)
{
    // Built from udev on first use, like an enumeration entry.
    std::lock_guard<std::mutex> g(g_hid_lock);
    hid_device_info *info = hid_get_device_info(h->dev);
    if (!info)
        return -1;
    *version = info->release_number;
    return 0;
}

int l_hid_feature_length(UsbHid *h)
{
    if (std::strncmp(h->path, "/dev/hidraw", 11) != 0)
        return 0;
    int fd = open(h->path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int size = 0;
    int len = 0;
    hidraw_report_descriptor desc;
    if (ioctl(fd, HIDIOCGRDESCSIZE, &size) == 0 && size > 0 && size <= HID_MAX_DESCRIPTOR_SIZE) {
        desc.size = (uint32_t)size;
        if (ioctl(fd, HIDIOCGRDESC, &desc) == 0)
            len = usb_hid_feature_length(desc.value, desc.size, USB_HID_COLLECTION);
    }
    close(fd);
    return len;
}

int l_hid_set_feature(UsbHid *h, const uint8_t *data, size_t len)
{
    int rc = hid_send_feature_report(h->dev, data, len);
    return rc < 0 ? -1 : rc;
}

int l_hid_get_feature(UsbHid *h, uint8_t *data, size_t len)
{
    int rc = hid_get_feature_report(h->dev, data, len);
    return rc < 0 ? -1 : rc;
}

void l_hid_close(UsbHid *h)
{
    {
        std::lock_guard<std::mutex> g(g_hid_lock);
        hid_close(h->dev);
    }
    delete h;
}

UsbStream *l_stream_open(void *, const char *path, int *error)
{
    init_once();
    set_error(error, USB_ERROR_OTHER);
    if (!g_usb || !path)
        return nullptr;
    int rc = LIBUSB_ERROR_NOT_FOUND;
    libusb_device **list = nullptr;
    ssize_t count = libusb_get_device_list(g_usb, &list);
    libusb_device_handle *handle = nullptr;
    for (ssize_t i = 0; i < count && !handle; i++) {
        if (!is_stream_device(list[i]))
            continue;
        char name[USB_PATH_MAX];
        port_name(list[i], name, sizeof name);
        if (std::strcmp(name, path) == 0 && (rc = libusb_open(list[i], &handle)) != 0)
            handle = nullptr;
    }
    if (list)
        libusb_free_device_list(list, 1);
    if (handle) {
        libusb_set_auto_detach_kernel_driver(handle, 1);
        rc = libusb_claim_interface(handle, 0);
        if (rc != 0) {
            libusb_close(handle);
            handle = nullptr;
        }
    }
    if (!handle) {
        set_error(error, usb_error_of(rc));
        if (rc != LIBUSB_ERROR_NOT_FOUND && rc != LIBUSB_ERROR_NO_DEVICE)
            usb_log_open_error(path, usb_error_of(rc), libusb_strerror((libusb_error)rc));
        return nullptr;
    }
    set_error(error, USB_ERROR_NONE);
    UsbStream *s = new UsbStream;
    s->handle = handle;
    s->aborted = false;
    s->staged_at = s->staged_len = 0;
    return s;
}

int l_stream_endpoints(UsbStream *s, UsbEndpointInfo *out, int max)
{
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_active_config_descriptor(libusb_get_device(s->handle), &config) != 0 || !config)
        return -1;
    int n = 0;
    for (int i = 0; i < config->bNumInterfaces; i++) {
        const libusb_interface &itf = config->interface[i];
        for (int a = 0; a < itf.num_altsetting; a++) {
            const libusb_interface_descriptor &alt = itf.altsetting[a];
            if (alt.bInterfaceNumber != 0 || alt.bAlternateSetting != 0)
                continue;
            for (int e = 0; e < alt.bNumEndpoints && n < max; e++)
                out[n++] = UsbEndpointInfo{alt.endpoint[e].bEndpointAddress, alt.endpoint[e].bmAttributes};
        }
    }
    libusb_free_config_descriptor(config);
    return n;
}

int l_stream_control_out(UsbStream *s, uint8_t type, uint8_t request, uint16_t value, uint16_t index)
{
    if (s->aborted)
        return -1;
    int rc = libusb_control_transfer(s->handle, type, request, value, index, nullptr, 0, 1000);
    return rc < 0 ? -1 : 0;
}

int l_stream_clear_halt(UsbStream *s, uint8_t endpoint)
{
    if (s->aborted)
        return -1;
    return libusb_clear_halt(s->handle, endpoint) == 0 ? 0 : -1;
}

int l_stream_write(UsbStream *s, uint8_t endpoint, const uint8_t *data, size_t len)
{
    size_t done = 0;
    unsigned waited = 0;
    while (done < len) {
        if (s->aborted || waited >= kWriteLimitMs)
            return -1;
        int sent = 0;
        int rc = libusb_bulk_transfer(s->handle, endpoint, const_cast<uint8_t *>(data) + done, (int)(len - done),
                                      &sent, kSliceMs);
        if (sent > 0)
            done += (size_t)sent;
        if (rc == LIBUSB_ERROR_TIMEOUT)
            waited += kSliceMs;
        else if (rc != 0)
            return -1;
    }
    return (int)len;
}

int l_stream_read(UsbStream *s, uint8_t endpoint, uint8_t *data, size_t len)
{
    if (s->staged_len == 0) {
        int packet = libusb_get_max_packet_size(libusb_get_device(s->handle), endpoint);
        if (packet <= 0 || packet > 4096)
            packet = 512;
        size_t ask = (len + (size_t)packet - 1) / (size_t)packet * (size_t)packet;
        if (ask == 0 || ask > sizeof s->staged)
            ask = sizeof s->staged;
        for (;;) {
            if (s->aborted)
                return -1;
            int got = 0;
            int rc = libusb_bulk_transfer(s->handle, endpoint, s->staged, (int)ask, &got, kSliceMs);
            if (rc == 0 || (rc == LIBUSB_ERROR_TIMEOUT && got > 0)) {
                s->staged_at = 0;
                s->staged_len = got > 0 ? (size_t)got : 0;
                break;
            }
            if (rc != LIBUSB_ERROR_TIMEOUT)
                return -1;
        }
    }
    size_t n = s->staged_len < len ? s->staged_len : len;
    std::memcpy(data, s->staged + s->staged_at, n);
    s->staged_at += n;
    s->staged_len -= n;
    return (int)n;
}

void l_stream_abort(UsbStream *s) { s->aborted = true; }

void l_stream_close(UsbStream *s)
{
    libusb_release_interface(s->handle, 0);
    libusb_close(s->handle);
    delete s;
}

const UsbBackend g_backend = {nullptr,
                              l_list_stream,
                              l_list_hid,
                              l_hid_open,
                              l_hid_version,
                              l_hid_feature_length,
                              l_hid_set_feature,
                              l_hid_get_feature,
                              l_hid_close,
                              l_stream_open,
                              l_stream_endpoints,
                              l_stream_control_out,
                              l_stream_clear_halt,
                              l_stream_write,
                              l_stream_read,
                              l_stream_abort,
                              l_stream_close};

}  // namespace

const UsbBackend *usb_linux_backend(void) { return &g_backend; }
