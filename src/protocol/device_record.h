// Device information record and the discovery-answer parser.
//
// Every dongle the viewer learns of, from a discovery answer on the network or
// from USB detection, is described by one DeviceRecord. Records are plain data
// with no pointers: they are copied by value between the link threads and the
// user interface, and a record is always built from an all-zero block, so every
// text field is zero-terminated and zero-filled.
//
// The parser is pure (no I/O, no listeners, no allocation) so it can be fed
// hostile datagrams directly in tests and fuzzing; device_handle_answer glues
// it to a device listener list for the receiver thread.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "base/listeners.h"

// Build number a device is given when its answer carries none (or 0).
constexpr uint64_t DEVICE_DEFAULT_BUILD = 230302190449ull;
// The device's stream port: every datagram the viewer sends to a device goes
// here, whatever port the device's answer came from.
constexpr uint16_t DEVICE_STREAM_PORT = 36459;

// Socket address large enough for IPv4 and IPv6, 28 bytes as it travels
// between the link and the user interface. The family field and the port sit at
// the same offsets in both layouts.
union DeviceAddress {
    struct sockaddr sa;
    struct sockaddr_in in4;
    struct sockaddr_in6 in6;
    uint8_t bytes[28];
};
static_assert(sizeof(DeviceAddress) == 28, "device address must be 28 bytes");

struct DeviceRecord {
    DeviceAddress address;   // where the answer came from, port DEVICE_STREAM_PORT
    char id[512];            // identity; with usb, the key for merging records
    char name[128];          // display name (`mds`)
    char model[64];
    char ip[64];             // address as the device reports it
    char apip[64];           // address of the device's own access point
    uint64_t build;          // firmware build, DEVICE_DEFAULT_BUILD when absent or 0
    char label[128];         // shown name of a USB device (alias, else location)
    char location[128];      // USB port location, key of the alias file
    int32_t secured;         // nonzero: the device wants a password
    int32_t bridged;
    uint32_t current;        // set by the user interface for the current target
    uint32_t usb;            // attached by USB
    uint32_t hid_only;       // found through its HID interface only
    int32_t hid_speed;       // the device's HID mode
    uint8_t version[4];      // most significant first; version[0] = protocol generation
    uint64_t last_seen_ms;   // wall-clock time of the last report
};

// The device listener list: functions receive a record valid only during the
// call; a listener that keeps it copies it.
using DeviceListenerList = ListenerList<const DeviceRecord *>;

// Builds *out from one discovery answer. `text` holds `len` bytes and need not
// be zero-terminated; nothing outside it is read. `source_address` holds
// `address_len` bytes of the datagram's source socket address (at most 28 are
// used; null or short gives zero bytes); the record's address is that address
// with its port replaced by DEVICE_STREAM_PORT (network order) when its family
// is IPv4 or IPv6.
//
// Items are key="value", separated by space, tab, CR or LF. Keys are compared
// whole and case-sensitively against id, mds, model, ip, apip, build, version,
// secured, bridged and hid_speed; others are ignored. Parsing ends before the
// first item that lacks `="` or a closing quote; items before it stay stored.
// Keys longer than 63 and values longer than 127 characters are cut to those
// lengths; text values are further cut to their field's size less one.
//
// Numbers: leading white space and one sign are skipped as the C library's
// number readers do, then decimal digits are read up to the first non-digit
// (no digits gives 0). Out-of-range values saturate: `build` at UINT64_MAX
// (a negative build reads as 0, which then becomes the default build);
// `secured`, `bridged` and `hid_speed` at INT32_MIN / INT32_MAX. Each `version`
// number keeps the low 8 bits of the number written, however long it is.
//
// Pure; safe on any thread.
void device_parse_answer(const void *source_address, size_t address_len, const char *text,
                         size_t len, DeviceRecord *out);

// Calls every device listener with `rec`, in registration order, on the
// calling thread.
void device_report(DeviceListenerList *list, const DeviceRecord *rec);

// Parses one discovery answer and reports the record to `list`. A record is
// reported for every answer, also for a device already known: merging is the
// listeners' work. Called by the receiver thread.
void device_handle_answer(DeviceListenerList *list, const void *source_address,
                          size_t address_len, const char *text, size_t len);
