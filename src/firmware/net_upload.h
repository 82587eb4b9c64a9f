// Firmware upload over the network: the management command on port 32465,
// then the 20-byte header and the image in 128 KiB pieces on port 13579, then
// a fixed wait while the dongle flashes and restarts.
//
// Runs on the update worker's thread and writes the update state's message
// and progress itself. The image stays the caller's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "firmware/update_state.h"
#include "protocol/device_record.h"

constexpr size_t NET_UPLOAD_PIECE = 131072;
constexpr size_t NET_UPLOAD_HEADER = 20;
// The text the dongle's management port takes (17 bytes, blank before the
// line feed, no terminating zero).
constexpr char NET_UPLOAD_COMMAND[] = "update_firmware \n";
constexpr int NET_UPLOAD_RESTART_STEPS = 80;    // waits of restart_step_ms each
constexpr int NET_UPLOAD_RESTART_DIVISOR = 130; // the bar stops at 79/130

struct NetUploadTiming {
    int connect_timeout_ms;  // 2000
    int command_wait_ms;     // 1000
    int close_wait_ms;       // 2000
    int restart_step_ms;     // 1000
};

// Header: image size u32 little-endian, then the MD5 digest in its standard
// byte order. Pure.
void net_upload_header(uint8_t out[NET_UPLOAD_HEADER], uint32_t size, const uint8_t md5[16]);
// Number of pieces for an image of size bytes (0 for an empty image), and the
// length of piece i. Pure.
size_t net_upload_piece_count(size_t size);
size_t net_upload_piece_len(size_t size, size_t i);

// The upload to target's IPv4 address. Returns 0 when everything was sent
// and the wait is over ("Succeded to update firmware!!"), -1 when a
// connection could not be made ("Failed to connect to KAVRI Viewer!") or the
// image is larger than the header can say, and -1 when st->cancel ended it
// early (the message is then left as it was).
int net_upload(const DeviceRecord *target, const uint8_t *image, size_t size, const uint8_t md5[16],
               UpdateState *st, const NetUploadTiming *timing);
