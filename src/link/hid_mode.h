// The HID mode switch: one text command to the dongle's management port that
// selects how it presents its keyboard and mouse to the target (speed 0:
// HID 1.1, 1: HID 2.0), carrying the last unlock password encrypted.
//
// Threads: blocks for up to about 1.1 s (connect wait and a short pause
// before closing), so the user interface calls it from a worker thread. It
// shares nothing with the link's threads.
#pragma once

#include "protocol/device_record.h"

// Connects to the dongle at `address` (IPv4; the port is replaced by the
// management port) within 1 s, sends the command built from fresh random bytes
// and `password` (at most 16 characters, may be empty), waits 100 ms and
// closes. Returns 0 when the command was handed to a connected socket, -1 when
// the address is not IPv4, the password is unusable, or no connection was made
// within the second (nothing is sent then). No answer is read: the new mode
// shows when the dongle next reports its hid_speed.
int hidmode_switch(const DeviceAddress &address, int speed, const char *password);
