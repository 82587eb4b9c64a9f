// The device link as the rest of the program sees it: start and stop, the
// listener lists through which it reports, and the operations on the
// connection. Everything is called from the user-interface thread except
// link_send_input (input threads). Listeners run on the link or decoder thread
// that raises the event.
//
// Link states: 0 no connection, 1 connecting, 2 password needed (or it was
// wrong), 3 refused by the device, 4 connected without video signal,
// 5 streaming.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/device_record.h"
#include "link/stream_stats.h"

struct LinkContext;
struct UsbBackend;

enum {
    LINK_STATE_NONE = 0,
    LINK_STATE_CONNECTING = 1,
    LINK_STATE_PASSWORD = 2,
    LINK_STATE_REFUSED = 3,
    LINK_STATE_NO_VIDEO = 4,
    LINK_STATE_STREAMING = 5,
};

// What the host computer offers the scan: the IPv4 addresses (network byte
// order) of its adapters that are up and not loopback, the last address of
// each. Returns the count written (at most max).
typedef int (*LinkAdapterSource)(void *context, uint32_t *addresses, int max);

// Test and platform hooks; a zero-filled LinkOptions gives the defaults
// (adapters from getifaddrs, no USB layer, the first scan at start).
struct LinkOptions {
    LinkAdapterSource adapters;
    void *adapters_context;
    // Called at the start of every scan to report USB devices (the USB layer
    // calls link_report_device for each); null: none.
    void (*usb_detect)(LinkContext *link);
    // Runs the USB stream transport on the connection thread for a USB
    // target; null: a USB target cannot be connected.
    void (*usb_transport)(LinkContext *link);
    // The USB layer both of them use (platform/usb.h); null: none.
    const UsbBackend *usb_backend;
    int no_initial_scan;
    uint16_t viewer_port;  // 0: the viewer's port 36549
};

// Creates the link, its sockets and threads, and starts the first scan.
// Stores the process-wide pointer. Returns null when the link cannot start.
LinkContext *link_start(const LinkOptions *options);
// Ends everything (waiting for the threads), frees the context and clears
// *link and the process-wide pointer.
void link_stop(LinkContext **link);
// The process-wide link, or null.
LinkContext *link_global(void);

// Listener registration (de-duplicated, called in registration order).
void link_on_state(LinkContext *l, void *ctx, void (*fn)(void *ctx, int state));
void link_on_admitted(LinkContext *l, void *ctx, void (*fn)(void *ctx, int admitted));
void link_on_scan_started(LinkContext *l, void *ctx, void (*fn)(void *ctx));
void link_on_scan_finished(LinkContext *l, void *ctx, void (*fn)(void *ctx));
void link_on_device(LinkContext *l, void *ctx, void (*fn)(void *ctx, const DeviceRecord *rec));
void link_on_video_size(LinkContext *l, void *ctx, void (*fn)(void *ctx, int width, int height));
void link_on_frame(LinkContext *l, void *ctx,
                   void (*fn)(void *ctx, int planes, uint8_t *const *data, const int *linesize, int height));

// Starts a scan unless one runs. Returns 1 when started.
int link_scan(LinkContext *l);
// The extra /24 networks to scan (a.b.c.0 in network byte order), at most 128.
void link_set_subnets(LinkContext *l, const uint32_t *subnets, int count);

void link_select_target(LinkContext *l, const DeviceRecord *rec);
void link_connect(LinkContext *l);
void link_disconnect(LinkContext *l, bool wait);
void link_set_audio(LinkContext *l, int on);
void link_set_input(LinkContext *l, int on);
void link_request_key_frame(LinkContext *l);
void link_unlock(LinkContext *l, const char *password);
void link_send_input(LinkContext *l, const uint8_t *report, size_t n);
// Input reports queued that no batch has taken yet (any thread).
uint32_t link_input_backlog(LinkContext *l);

// Read-only views for the user interface.
int link_state(const LinkContext *l);
bool link_connected(const LinkContext *l);
bool link_usb_mode(const LinkContext *l);
bool link_scanning(const LinkContext *l);
DeviceRecord link_target(LinkContext *l);
// Running totals of the stream since the link started: the receiver's and the
// decoder's parts (drawn and shown_us are left 0 for the UI to fill).
void link_stream_stats(LinkContext *l, StreamStats *out);
// True while the receiver runs: the screen saver should stay off.
bool link_keep_awake(const LinkContext *l);

// The last password given to unlock, for the HID mode switch (copied into out).
void link_last_password(char out[17]);

// For the USB layer: report a device found (calls the device listeners).
void link_report_device(LinkContext *l, const DeviceRecord *rec);
