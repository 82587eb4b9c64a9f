// Typing text and key combinations into the target as keyboard reports: the
// plan (which reports, in which order) and the paster thread that sends them
// at a pace the dongle keeps up with.
//
// A character is typed as its key pressed and released, with the modifiers of
// its stroke (key_layout.h) held: when the modifiers change, a report with
// only the new modifiers comes first, as when a person presses Shift before
// the letter; then the key with them, then the modifiers alone again. Newline
// (LF, CR or CR LF) is Enter, tab is Tab; other control characters and those
// the layout cannot type are skipped and counted. A key combination presses
// its keys one report at a time, in order, and then releases them in reverse.
// Every job ends with the all-released report, whether it finished, was
// cancelled or lost its connection.
//
// Pace: a report goes out at least PASTE_REPORT_INTERVAL_MS after the one
// before it, and only once the link has taken every earlier report into a
// batch (hooks.backlog() is 0). So each input batch carries one report of the
// paste, the batches follow the device's acknowledgements, and a slow link
// slows the paste instead of piling reports into large batches.
//
// Threads: the plan functions are pure. paster_start, paster_cancel and
// paster_stop run on the UI or main thread; the paster's own thread sends
// through the hooks. The progress fields are atomics that any thread reads.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "input/key_layout.h"
#include "input/keyboard_report.h"

using KeyReport = std::array<uint8_t, KEYBOARD_REPORT_SIZE>;

// The shortest time between two reports of a paste. The target polls the
// dongle's boot keyboard at the interval its descriptor asks for, commonly
// 10 ms at full speed; a press and its release that came closer could fall
// into one poll and be lost there.
constexpr uint32_t PASTE_REPORT_INTERVAL_MS = 10;
// Texts longer than this (UTF-8 bytes) are refused; longer than
// PASTE_CONFIRM_CHARS characters, the operator confirms first.
constexpr size_t PASTE_MAX_BYTES = 64 * 1024;
constexpr uint32_t PASTE_CONFIRM_CHARS = 1000;

struct PastePlan {
    std::vector<KeyReport> reports;
    // Characters finished once reports[i] is sent (the window title's count).
    std::vector<uint32_t> done;
    uint32_t characters = 0;  // characters of the text (CR LF counts as one)
    uint32_t skipped = 0;     // of them, not typable in the layout
    bool text = false;        // a text (its progress is shown), not a combination
};

// Characters of a UTF-8 text as the plan counts them: code points, CR LF as
// one, each byte of an invalid sequence as one.
uint32_t paste_count_characters(const char *text, size_t len);

// The reports that type the text in the layout.
void paste_plan_text(const KeyLayout &layout, const char *text, size_t len, PastePlan *plan);

// A key of a combination: a modifier bit (KEYBOARD_MOD_*) or a usage.
struct ComboKey {
    uint8_t modifier;
    uint8_t usage;
};
struct KeyCombo {
    std::string label;
    std::vector<ComboKey> keys;
};
// The Send Keys menu: Ctrl+Alt+Del, Ctrl+Alt+Backspace, Alt+Tab, Alt+F4,
// Print Screen, the Windows key, Ctrl+Esc, then Ctrl+Alt+F1 to F12.
const std::vector<KeyCombo> &key_combos(void);
// Presses in order, then releases in reverse.
void paste_plan_combo(const KeyCombo &combo, PastePlan *plan);

// Milliseconds to wait before the next report may go: 0 when it may go now.
// last_ms is when the previous one went (0: none yet); while backlog reports
// still wait for a batch, 1 (look again shortly).
uint32_t paste_wait_ms(uint64_t now_ms, uint64_t last_ms, uint32_t interval_ms, uint32_t backlog);
// How long a plan of `reports` reports takes at least, in milliseconds.
uint64_t paste_duration_ms(size_t reports, uint32_t interval_ms);

struct PasteHooks {
    void *ctx;
    // Connected with keyboard forwarding on: reports reach the target.
    bool (*can_send)(void *ctx);
    // Queues one report on the link's input channel.
    void (*send)(void *ctx, const uint8_t *report, size_t n);
    // Reports queued on the link that no batch has taken yet.
    uint32_t (*backlog)(void *ctx);
};

enum PasteOutcome { PASTE_FINISHED = 0, PASTE_CANCELLED = 1, PASTE_CONNECTION_LOST = 2 };

struct KeyPaster {
    PasteHooks hooks{};
    uint32_t interval_ms = PASTE_REPORT_INTERVAL_MS;
    std::mutex control;  // paster_start against paster_stop: the worker handle, `stopped`
    std::thread worker;
    bool stopped = false;
    std::mutex lock;  // guards the wake-up of a waiting worker
    std::condition_variable wake;
    std::atomic<bool> active{false};  // a job runs (until its release is sent)
    std::atomic<bool> cancel{false};
    std::atomic<uint32_t> done{0}, total{0}, skipped{0};
    std::atomic<bool> text{false};  // the job types a text
    std::atomic<uint32_t> finished{0};  // jobs ended so far
    std::atomic<int> outcome{PASTE_FINISHED};  // of the last job that ended
};

// Starts a job; false (and nothing changes) while one runs, when the plan is
// empty or once the paster is stopped.
bool paster_start(KeyPaster *p, PastePlan plan);
// Asks the running job to stop; it sends the release and ends.
void paster_cancel(KeyPaster *p);
bool paster_active(const KeyPaster *p);
// Cancels, waits for the thread and refuses further jobs (shutdown; before
// the link stops).
void paster_stop(KeyPaster *p);
