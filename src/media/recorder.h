// Recorder: writes the received stream to Matroska files as it comes, without
// decoding or encoding anything: the H.264 access units as they arrived and
// the device's 16-bit PCM, remuxed by libavformat.
//
// Input (any receive thread, listener-shaped so the link can call them):
// every access unit submitted for decoding with its arrival time, and every
// PCM push with its format (a push of 0 bytes announces a format; channels 0
// means no sound). Configuration packets (SPS + PPS) are remembered even
// while nothing is recorded, so a recording started mid-stream has its
// parameter sets. While not recording, an access unit costs one test.
//
// Files: recording_start arms the recorder with a folder. A file is opened at
// the first IDR picture that follows (earlier pictures could not be decoded)
// and named by the local date and time. Video timestamps are the arrival
// times, in milliseconds from the file's first picture (strictly increasing);
// sound is timed by its sample count from the arrival of its first packet,
// re-anchored to the arrival time when it drifts more than 100 ms (sound lost
// or stopped). A configuration of another size or other parameter sets, or
// recorder_cut (the connection was lost), closes the file cleanly: the next
// file starts at the next IDR picture. Sound of a format other than the one
// the file was opened with is left out of that file.
//
// Threads: one writer thread per recorder does all file work; inputs only
// copy into its queue (at most 64 MiB: beyond that pictures are dropped up to
// the next IDR picture, and the recorder asks for one). The control calls
// and recorder_status may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

struct Recorder;

Recorder *recorder_create(void);
// Closes any open file, stops the writer thread and frees the recorder.
void recorder_destroy(Recorder **r);

// Input; ctx is the Recorder.
void recorder_on_packet(void *ctx, const uint8_t *au, uint32_t len, uint64_t arrival_us);
void recorder_on_pcm(void *ctx, const uint8_t *pcm, uint32_t n, uint32_t channels, uint32_t rate);

// Starts recording into files under `folder` (created when missing). Returns
// 0, or -1 when the folder cannot be made.
int recorder_start(Recorder *r, const char *folder);
// Closes the file and stops recording.
void recorder_stop(Recorder *r);
// Closes the current file; recording goes on with a new file at the next IDR
// picture.
void recorder_cut(Recorder *r);

struct RecorderStatus {
    bool recording;       // started and not stopped (nor failed)
    bool file_open;       // a file is being written
    bool wants_key_frame; // recording, but waiting for an IDR picture to open a file or after a gap
    uint64_t started_us;  // steady clock of recorder_start
    uint32_t files;       // files closed so far
    char path[512];       // the file being written, else the last one closed
    char error[160];      // why recording stopped by itself, else empty
};
void recorder_status(Recorder *r, RecorderStatus *out);

// A file name for the local time `t` (seconds since 1970): "YYYY-MM-DD_HH-MM-SS"
// plus `suffix`, in out (cap bytes). Returns the length.
size_t recorder_file_name(int64_t t, const char *suffix, char *out, size_t cap);

// A path in `folder` (made when missing) for a new file named by the local
// time, with `ext` (".png") appended, and "-2", "-3" ... before it while a
// file of that name exists. Returns 0, or -1 (no folder, or too long for cap).
int recorder_new_path(const char *folder, const char *ext, char *out, size_t cap);
