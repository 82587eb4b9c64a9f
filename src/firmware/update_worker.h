// The firmware update worker: decides which dongle to update and by which
// route, checks the update server, downloads and verifies the image and hands
// it to the upload (net_upload.h, or the USB layer's HID route).
//
// update_worker_start runs on the UI thread (the About window's "Check"
// button); the worker itself runs on a thread of its own and reports every
// outcome through the update state's message. The pure helpers below carry
// the decisions so they can be tested without threads, sockets or USB.
//
// Shutdown: the worker uses the link (its scan) and the USB table it was
// given; join it (update_state_join) before stopping the link or taking the
// USB layer down. The join cancels it: waits and transfers end early, and an
// upload that has not yet handed the dongle its whole image ends without
// another byte to the dongle (it keeps its old firmware); once the dongle
// flashes, only the watching stops.
#pragma once

#include <cstddef>
#include <cstdint>

#include "firmware/update_state.h"

struct LinkContext;

// Build numbers: twelve decimal digits; dongles below this cannot take the
// image over the network.
constexpr uint64_t UPDATE_MIN_NETWORK_BUILD = 230302190449ull;

// The USB side, provided by the USB layer. Every function runs on the worker
// thread. A null table, or a null detect, means no USB dongle is ever found.
struct UpdateUsbFound {
    int stream_mode;      // a dongle in USB Stream Mode is plugged in
    int hid_found;        // a dongle in plain HID mode (interface 2, collection 4)
    char hid_path[512];   // its path (the last match)
    uint16_t hid_version; // its attributes' version number; 0 when it could not be opened
    int hid_unreadable;   // it could not be opened (no access rights, or gone) or its version read
};
struct UpdateUsbOps {
    void *context;
    // Looks at the USB devices present and fills *out (zeroed by the caller).
    void (*detect)(void *context, UpdateUsbFound *out);
    // Opens the HID path for reading and writing; null on failure.
    void *(*open)(void *context, const char *path);
    // The attributes' version number and the feature report length L.
    // Returns 0, or negative when either cannot be read.
    int (*attributes)(void *handle, uint16_t *version, int *feature_len);
    // Build query over HID feature reports. Returns 0 with *build, or negative.
    int (*query_build)(void *handle, int feature_len, uint64_t *build);
    // The whole upload over HID feature reports; writes the message and the
    // progress of *st itself. 0 when the dongle reported its flashing done.
    int (*upload)(void *handle, int feature_len, const uint8_t *image, size_t size, UpdateState *st);
    void (*close)(void *handle);
};

// Everything the worker takes from outside. A zero-filled record plus
// update_config_defaults gives the program's settings; tests point base_url
// at their own server and ca_file at their own CA.
struct UpdateConfig {
    char base_url[256];          // "https://host[:port]", no trailing slash
    char ca_file[512];           // PEM bundle to trust; empty: the system's store
    int check_timeout_ms;        // "/fw/latest.txt": 3000
    int download_timeout_ms;     // "/fw/latest.img": 300000
    size_t max_text_bytes;       // larger answers count as failed fetches
    size_t max_image_bytes;
    int scan_wait_ms;            // wait for answers after starting a scan: 3000
    int connect_timeout_ms;      // each TCP connection of the network upload: 2000
    int command_wait_ms;         // after the management command: 1000
    int close_wait_ms;           // after the last piece, before closing: 2000
    int restart_step_ms;         // one of the 80 steps of the restart wait: 1000
    LinkContext *link;           // scanned for network dongles; null: link_global() (may be none)
    const UpdateUsbOps *usb;     // null: no USB route
};

// The program's settings: base URL "https://" + the build-time update server.
void update_config_defaults(UpdateConfig *cfg);

// "/fw/latest.txt": build number, "|", 32 hexadecimal digits of the image's
// MD5. The build is read from the first byte up to the first non-digit
// (saturating at UINT64_MAX; no digits give 0). The digest is valid only when
// the text from the first "|" on is exactly 33 bytes and all 32 are
// hexadecimal digits. Pure; reads nothing outside text[0..len).
struct LatestInfo {
    uint64_t build;
    int digest_ok;
    uint8_t md5[16];
};
void update_parse_latest(const uint8_t *text, size_t len, LatestInfo *out);

// The route decision, in the worker's order. Returns UPDATE_ROUTE_*; for
// UPDATE_END *message is the text to show (null: keep the current one).
enum { UPDATE_END = 0, UPDATE_ROUTE_USB = 1, UPDATE_ROUTE_NETWORK = 2 };
struct UpdateRouteInput {
    int stream_mode;
    int hid_found;
    uint16_t hid_version;
    int have_target;        // a network dongle was found
    uint64_t target_build;
    int hid_unreadable;     // the HID dongle's version could not be read: "Failed to connect ..."
};
int update_decide_route(const UpdateRouteInput *in, const char **message);

// The dongle's build on the USB route: 0 for version numbers 0x2000 and
// 0x2001 (they are always offered the image); for 0x2002 and later the build
// query decides. Returns 1 when the build must be queried over HID, else 0
// with *build set.
int update_usb_build_needs_query(uint16_t version, int attributes_ok, uint64_t *build);

// The whole worker, on the calling thread: steps from the USB look to the
// upload. Does not touch busy or the thread holder. Returns 0.
int update_worker_run(UpdateState *st, const UpdateConfig *cfg);

// The "Check" button: when busy is clear, zeroes the message, sets busy,
// clears progress visible, sets progress to 0 and starts a worker thread with
// a copy of *cfg (the worker clears busy and progress visible last). Returns
// 0 when started, -1 when a worker still runs or the thread cannot start.
// UI thread.
int update_worker_start(UpdateState *st, const UpdateConfig *cfg);
