// The fake USB layer: plays dongles on a pretend bus, for tests.
//
// A dongle added in HID mode is listed as a HID interface; the mode-switch
// feature report (0C 80 ...) makes it vanish and come back as a stream-mode
// device after `reappear_ms` (or never, when negative), on the same port.
// A stream-mode dongle answers the start message (1/01) with a video status
// (1/80, carrying the codec header when a picture is present) and an audio
// status (1/81), then hands out one access unit (2/82) and one piece of PCM
// (2/83) every `frame_interval_ms`, the units in a loop. Bytes a test pushes
// with usb_fake_push_in come out of the IN pipe before anything generated.
// Everything the host sends (feature reports, control requests, cleared
// halts, OUT writes) is recorded.
//
// HID feature reports other than the mode switch play the dongle's firmware
// dialogue: build query 0xC2 (answered with `build` in decimal digits), the
// upload steps 0xF0, 0xA0, 0xA1 (size), 0xA2 (pieces, kept in an image
// buffer), 0xA3, 0xA4 (start flashing), then 0xA5 status replies that count
// up to the image size and end with 0x4F. Each command queues its reply for
// the next get-feature request.
//
// Opens can be refused with an access error: always (no udev rule), or for a
// while after the dongle comes back from the switch (the rule not applied yet). Several dongles may
// be plugged in at once, each on its own port.
//
// Threads: every function may be called from any thread; one lock guards
// the fake. A blocked pipe read waits on a condition and wakes for new data,
// an abort, an unplug, or the next generated message. The fake must outlive
// every handle opened on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/usb.h"

struct UsbFakeConfig {
    bool hid_mode = false;         // starts in plain HID mode
    uint16_t hid_version = 0x2000; // release number of the HID-mode device
    bool hid_openable = true;      // false: the HID interface cannot be opened
    int feature_length = 64;       // from the report descriptor; 0: unknown
    int reappear_ms = 300;         // after the switch; negative: never comes back
    int bus = 1;                   // bus number, from 1
    std::vector<uint8_t> ports{3}; // port path below the root hub
    std::vector<UsbEndpointInfo> endpoints;  // empty: bulk IN 0x81 and bulk OUT 0x01

    bool auto_stream = true;       // answer the start message and stream
    bool video_present = true;
    std::vector<uint8_t> codec_header;            // sent in the video status
    std::vector<std::vector<uint8_t>> units;      // access units, handed out in a loop
    bool audio_present = true;
    uint8_t channels = 2;
    uint32_t rate = 48000;
    uint32_t pcm_bytes = 0;        // PCM bytes per frame interval; 0: none
    int frame_interval_ms = 20;
    size_t max_read = 0;           // > 0: a pipe read returns at most this many bytes
    uint64_t build = 240601120000ull;  // answered to the build query
    int deny_open_ms = 0;          // opens of the device back after the switch fail with
                                   // USB_ERROR_ACCESS for this long; < 0: every open fails so
    bool attributes_readable = true;  // false: the release number cannot be read
    uint8_t refuse_code = 0;       // this command is answered with a failing status; 0xA5: the
                                   // flashing ends on a failing status instead of 0x4F
    // Called with the code of every set-feature report as it arrives, with the
    // fake's lock held: set a flag there, call nothing of the fake.
    std::function<void(uint8_t code)> on_report;
};

struct UsbFakeStats {
    int list_stream_calls = 0;
    int list_hid_calls = 0;
    int hid_opens = 0;
    std::vector<std::vector<uint8_t>> feature_reports;  // every set-feature report, in order
    int stream_opens = 0, stream_closes = 0, aborts = 0;
    std::vector<uint16_t> control_requests;  // type, request, value, index per request
    std::vector<uint8_t> cleared_halts;
    std::vector<std::vector<uint8_t>> writes;           // every OUT write, in order
    std::vector<size_t> read_requests;                  // bytes asked per read (the first 4096 reads)
    int reads_blocked = 0;                              // reads waiting right now
    uint32_t units_queued = 0, pcm_queued = 0;          // media messages generated
    size_t in_pending = 0;                              // IN bytes not yet read
    std::vector<uint8_t> firmware;                      // image bytes received by 0xA2
    uint32_t firmware_size = 0;                         // size announced by 0xA1
};

struct UsbFake;

UsbFake *usb_fake_create(void);
// Frees the fake and sets *f to null; no handle may still be open.
void usb_fake_destroy(UsbFake **f);
// The backend table; its context is f.
const UsbBackend *usb_fake_backend(UsbFake *f);

// Plugs in a dongle; returns its index.
int usb_fake_add(UsbFake *f, const UsbFakeConfig &config);
// Pulls it out: it is no longer listed and every read and write on it fails.
void usb_fake_unplug(UsbFake *f, int dongle);
// Raw bytes for the IN pipe, handed out before anything generated.
void usb_fake_push_in(UsbFake *f, int dongle, const uint8_t *data, size_t len);

// A copy of what the dongle has seen.
UsbFakeStats usb_fake_stats(UsbFake *f, int dongle);
// Waits until pred holds for the dongle's stats or timeout_ms pass; returns
// whether it held.
bool usb_fake_wait(UsbFake *f, int dongle, int timeout_ms, const std::function<bool(const UsbFakeStats &)> &pred);
