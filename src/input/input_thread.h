// The input thread and the mouse queue: keyboard states and mouse samples
// from the InputSource become keyboard reports (sent at once) and mouse
// entries (queued), and once per UI frame the queue is flushed into as few
// mouse reports as the report's range allows.
//
// Threads: input_start and input_stop run on the main thread; the input
// thread waits on the source; input_flush_mouse runs on the UI thread. The
// queue is guarded by the pipeline's mouse lock; the gates are read through
// the hooks without locks (single flags).
// Ownership: the caller owns the pipeline; it must outlive the input thread
// (input_stop joins it) and every flush.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "input/mouse_report.h"
#include "platform/input_source.h"

// What forwarding depends on at the moment of a read.
struct InputGates {
    bool connected;
    bool keyboard_input;
    bool mouse_input;
    bool ui_focus;
};

struct InputHooks {
    void *ctx;
    InputGates (*gates)(void *ctx);
    // Queues one report on the link's input channel.
    void (*send)(void *ctx, const uint8_t *report, size_t n);
    // Physical mouse activity (for the idle-cursor rule); may be null.
    void (*mouse_activity)(void *ctx);
};

struct InputPipeline {
    InputSource source;
    InputHooks hooks{};
    std::thread thread;
    std::atomic<bool> left_ctrl{false};  // bit 0 of the last keyboard report's modifiers
    // Keyboard reports and the pause's released reports go out under it, so
    // that a report built before a pause never lands after its release.
    std::mutex send_lock;
    // The viewer's own windows have the keyboard and mouse (input_pause).
    // Written under send_lock; read under send_lock or the mouse lock.
    std::atomic<bool> paused{false};
    std::mutex mouse_lock;
    std::vector<MouseEntry> mouse_queue;
};

// Starts the input thread.
void input_start(InputPipeline *p, const InputHooks &hooks);
// Stops and joins it (harmless when not started).
void input_stop(InputPipeline *p);

// One frame's flush: while connected with mouse input on, the queued entries
// go out as coalesced mouse reports; otherwise they stay queued.
void input_flush_mouse(InputPipeline *p);

// The connection went: what the window holds down is forgotten (the next
// connection starts with nothing pressed) and queued motion is dropped, so
// that none of it moves the target's pointer after a reconnect.
void input_forget(InputPipeline *p);

// The viewer's own windows take the keyboard and mouse (paused true) or give
// them back (false); the main thread calls it with the current wish every
// iteration, only changes act. Taking them: queued motion is dropped and the
// all-released keyboard and mouse reports go out once, so that nothing held
// (the Left Ctrl of the release gesture) stays down on the target; nothing
// more is sent until they are given back. Giving them back while forwarding
// is on: the keys still held at that moment go to the target at once.
void input_pause(InputPipeline *p, bool paused);

// Sends the all-released keyboard report and then the all-released mouse
// report through the hooks (forwarding switched off, focus lost).
void input_send_released(const InputHooks &hooks);

// Lets go of every key and button on the target: the all-released reports
// through the pipeline's hooks. Any thread; a null pipeline does nothing.
void input_release_all(InputPipeline *p);
