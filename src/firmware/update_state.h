// The update state: what the About window and the firmware update worker
// share.
//
// The window starts a worker (update_worker_start) and then only reads busy,
// progress visible, progress and the message every frame; the worker writes
// them. The flags and the progress are atomics; the message is copied in and
// out whole under its own small lock so the window never draws a line the
// worker is halfway through rewriting. `found` is filled by the device
// listener (update_state_on_device, on the link's receiver and scan threads)
// and read by the worker, both under `found_lock`.
//
// Lifetime: the record belongs to the user interface. It must outlive the
// link it is registered with as a device listener (listeners are never
// removed) and any worker it started: call update_state_join before freeing it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/device_record.h"

constexpr size_t UPDATE_MESSAGE_CAP = 256;

struct UpdateState {
    std::atomic<uint8_t> busy{0};              // a check or update runs: "Check" is disabled
    std::atomic<uint8_t> progress_visible{0};  // show the progress bar
    std::atomic<float> progress{0.0f};         // 0 … 1
    // Set by update_state_join: the worker leaves its waits and transfers
    // early so that closing the program does not wait minutes for it.
    std::atomic<uint8_t> cancel{0};

    std::mutex message_lock;
    char message[UPDATE_MESSAGE_CAP] = {};  // status line under the button, NUL-terminated

    // The worker started last. It is joined (not detached) so that shutting
    // the user interface down never frees this record under a running worker.
    std::thread *thread = nullptr;

    std::mutex found_lock;
    std::vector<DeviceRecord> found;  // dongles the worker may update, in order of first report
};

// Replaces the message whole (cut to 255 bytes). Any thread.
void update_state_set_message(UpdateState *st, const char *text);
// Copies the message into out (always NUL-terminated). Any thread.
void update_state_get_message(UpdateState *st, char out[UPDATE_MESSAGE_CAP]);

// Device listener: register with link_on_device(link, st, update_state_on_device).
// A record whose address and id match one already in `found` replaces it in
// place (a dongle answers every scan; the list must not grow without end);
// any other is appended.
void update_state_on_device(void *st, const DeviceRecord *rec);
// Empties `found`.
void update_state_clear_found(UpdateState *st);
// Copies the first record that is neither on USB nor HID-only into *out.
// Returns 1 when there is one, else 0.
int update_state_first_network(UpdateState *st, DeviceRecord *out);

// Asks the worker started last to stop at its next wait or transfer step,
// waits for it and frees its holder. Call on the thread that starts workers
// (the UI thread), before freeing the record or stopping the link.
void update_state_join(UpdateState *st);

// Waits ms milliseconds, or less when cancel is set. Returns 1 when cancelled.
// Worker thread.
int update_state_wait(UpdateState *st, int ms);
