// USB detection: dongles on the local USB buses, reported as DeviceRecords at
// the start of every scan, and the port location text that names the port a
// stream-mode dongle hangs on.
//
// A stream-mode dongle (5153:0169) is reported with `usb` set, `id` = its
// path, `name` "KAVRI Viewer" and `label` = `location` = its port location.
// A HID-mode dongle (5153:0168, interface 2, collection 4) is reported with
// `usb` and `hid_only` set, `id` = its HID path and no location, but only
// when its interface can be opened and its release number is 0x2000 or more
// (older firmware knows no USB Stream Mode).
//
// Port location: decimal numbers joined by "-": the host controller index
// (the bus number less one), the root hub's port, then each further hub's
// port down to the device: "0-3" for port 3 of the first controller's root
// hub, "0-3-2" behind a hub on that port. It depends only on where the dongle
// is plugged in, so it survives replugging and is the key of the alias file.
//
// Threads: detection runs on the scan thread and calls the device listeners
// there. The text and descriptor helpers are pure.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/device_record.h"
#include "platform/usb.h"

struct LinkContext;

enum : uint16_t { USB_HID_MIN_STREAM_VERSION = 0x2000 };

// Writes the location text for a device on port path ports[0..count) below
// controller `controller` into out (cap bytes, cut to fit, always
// terminated when cap > 0). Returns the text's length; 0 with an empty text
// when count is 0 or the controller is negative.
int usb_location_text(int controller, const uint8_t *ports, int count, char *out, size_t cap);

// True when a HID-mode dongle of this release number can switch to USB
// Stream Mode.
bool usb_hid_version_supported(uint16_t version);

// Lists the dongles through backend b and calls report(context, record) for
// each, stream-mode dongles first. A null backend finds nothing.
void usb_detect(const UsbBackend *b, void (*report)(void *context, const DeviceRecord *rec), void *context);

// LinkOptions.usb_detect: usb_detect over l->options.usb_backend, reporting
// to the link's device listeners.
void usb_detect_run(LinkContext *l);
