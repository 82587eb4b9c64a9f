// USB layer: what the link needs of the local USB buses to find dongles and
// to drive a dongle in USB Stream Mode.
//
// A dongle shows up in one of two forms: in USB Stream Mode as the device
// 5153:0169 with one vendor interface (0) holding a bulk IN and a bulk OUT
// pipe; in plain HID mode as the HID interface 2 (collection 4) of the
// composite device 5153:0168, which takes vendor feature reports.
//
// Backends: libusb-1.0 and hidapi (linux/usb_libusb.cpp, usb_linux_backend)
// and a fake that plays the dongle for tests (fake/usb_fake.h). The link takes
// its backend through LinkOptions.usb_backend.
//
// Paths are the backend's own text, at most USB_PATH_MAX - 1 bytes; they name
// a device or HID interface for the open calls and serve as the dongle's
// identity (DeviceRecord.id). A stream-mode path stays the same while the
// dongle sits in the same port.
//
// Threads: the list and open calls may run on any thread (the backend
// serialises what its libraries require serialised) (detection on the
// scan thread, the transport on the connection thread). A handle belongs to
// the thread that opened it, except stream_abort, which any thread may call
// on a handle that is still open (the caller makes sure close does not run
// at the same time: the link holds its tcp_lock around both).
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint16_t {
    USB_VENDOR_ID = 0x5153,
    USB_PRODUCT_STREAM = 0x0169,  // USB Stream Mode
    USB_PRODUCT_HID = 0x0168,     // plain HID mode
};

enum {
    USB_HID_INTERFACE = 2,
    USB_HID_COLLECTION = 4,  // top-level collection of the vendor feature reports, from 1
    USB_PATH_MAX = 256,
    USB_PORTS_MAX = 7,       // hub tiers below the root hub
};

// A stream-mode dongle present on a bus.
struct UsbStreamInfo {
    char path[USB_PATH_MAX];
    int bus;                       // the bus number, from 1 (one bus per host controller)
    int port_count;                // 0: the device hangs on no hub port
    uint8_t ports[USB_PORTS_MAX];  // root hub port first, then each hub's port down to the device
};

// A HID interface of a dongle in HID mode, with the port its device hangs on
// (the same port the dongle keeps after switching to USB Stream Mode).
struct UsbHidInfo {
    char path[USB_PATH_MAX];
    int bus;                       // 0 with port_count 0: the port is not known
    int port_count;
    uint8_t ports[USB_PORTS_MAX];
};

// Why an open failed (the `error` out-parameter of the open calls).
enum {
    USB_ERROR_NONE = 0,
    USB_ERROR_OTHER = -1,
    USB_ERROR_ACCESS = -2,     // no permission: the udev rule is missing or not applied yet
    USB_ERROR_NOT_FOUND = -3,  // the device is not (or no longer) there
    USB_ERROR_BUSY = -4,       // another program holds the interface
};

// The udev rule that gives the logged-in user access to the dongle.
#define USB_UDEV_RULE "70-kavri-viewer.rules"

// Writes one line to standard error for a failed open: what was opened, the
// library's own error text and, for USB_ERROR_ACCESS, a hint naming the udev
// rule. A failure already written for the same path and error is not written
// again (detection opens every dongle on every scan). Backends call it; any
// thread.
void usb_log_open_error(const char *path, int error, const char *library_text);
// Forgets what usb_log_open_error wrote, so the next failure is written again.
void usb_log_reset(void);

// One endpoint of interface 0, alternate setting 0.
struct UsbEndpointInfo {
    uint8_t address;     // bit 7 set: IN
    uint8_t attributes;  // bits 0-1: transfer type, 2 = bulk
};

struct UsbHid;     // an open HID interface (backend-defined)
struct UsbStream;  // an open stream-mode device with interface 0 claimed (backend-defined)

// Every function returns 0 or a positive value for success and a negative
// value for failure unless said otherwise.
struct UsbBackend {
    void *context;

    // Present stream-mode dongles / HID-mode interfaces, in enumeration
    // order; writes at most max and returns the count (0 when none or the
    // bus cannot be read).
    int (*list_stream)(void *context, UsbStreamInfo *out, int max);
    int (*list_hid)(void *context, UsbHidInfo *out, int max);

    // Opens a HID interface for feature reports; null on failure, with
    // *error (when error is not null) set to a USB_ERROR_* value.
    UsbHid *(*hid_open)(void *context, const char *path, int *error);
    // The device's release number (bcdDevice): the dongle's USB firmware
    // generation.
    int (*hid_version)(UsbHid *h, uint16_t *version);
    // Length of the interface's feature reports in bytes, report id
    // included, from its report descriptor; 0 when it cannot be read.
    int (*hid_feature_length)(UsbHid *h);
    // Sends / reads one feature report; data[0] is the report id. Return
    // the bytes transferred.
    int (*hid_set_feature)(UsbHid *h, const uint8_t *data, size_t len);
    int (*hid_get_feature)(UsbHid *h, uint8_t *data, size_t len);
    void (*hid_close)(UsbHid *h);

    // Opens a stream-mode device and claims interface 0; null on failure,
    // with *error (when not null) set to a USB_ERROR_* value.
    UsbStream *(*stream_open)(void *context, const char *path, int *error);
    // Endpoints of interface 0, alternate setting 0; returns the count.
    int (*stream_endpoints)(UsbStream *s, UsbEndpointInfo *out, int max);
    // A control request without data stage.
    int (*stream_control_out)(UsbStream *s, uint8_t request_type, uint8_t request, uint16_t value,
                              uint16_t index);
    // Clears a halt on a pipe (and the host's data toggle with it).
    int (*stream_clear_halt)(UsbStream *s, uint8_t endpoint);
    // Writes all of data to a bulk OUT pipe; returns len, or negative.
    int (*stream_write)(UsbStream *s, uint8_t endpoint, const uint8_t *data, size_t len);
    // Reads from a bulk IN pipe, blocking until data comes; returns the bytes
    // transferred, which may be fewer than len (a short packet ends a
    // transfer). Negative on failure, after stream_abort, or when the device
    // has gone.
    int (*stream_read)(UsbStream *s, uint8_t endpoint, uint8_t *data, size_t len);
    // Makes a pending read and every later read and write fail soon (within
    // about 100 ms). Any thread; the handle stays open until stream_close.
    void (*stream_abort)(UsbStream *s);
    void (*stream_close)(UsbStream *s);
};

// The libusb-1.0 / hidapi backend (process-wide, created on first use).
const UsbBackend *usb_linux_backend(void);
