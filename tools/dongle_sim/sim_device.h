// The simulated dongle: one instance owns one IPv4 address and plays the
// device's side of every network dialogue of the viewer (discovery, protocol 1
// with its TCP control stream, protocol 2, the management port with the HID
// mode command and the network firmware update), streaming live H.264 of a
// test picture (or an Annex B file) and a 440 Hz tone.
//
// Threads: sim_device_run runs the network loop on the caller's thread and a
// media thread of its own (pictures at the frame rate, sound every 10 ms).
// sim_device_quit and sim_device_command may be called from any thread;
// sim_device_wake is async-signal-safe.
#pragma once

#include "dongle_sim/sim_log.h"
#include "dongle_sim/sim_options.h"

struct SimDevice;

// Binds the sockets and opens the media sources. Returns 0, or -1 with a
// message on standard error.
int sim_device_create(const SimOptions *options, SimLog *log, SimDevice **out);
// Runs until quit. Returns 0.
int sim_device_run(SimDevice *d);
void sim_device_quit(SimDevice *d);
// A command line as typed on standard input: "video on", "video off", "idr",
// "silent", "resume", "quit".
void sim_device_command(SimDevice *d, const char *line);
// Toggles the HDMI signal (async-signal-safe).
void sim_device_toggle_video_async(SimDevice *d);
void sim_device_quit_async(SimDevice *d);
void sim_device_destroy(SimDevice **d);
