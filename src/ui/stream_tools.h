// StreamTools: the function menu's "Save Screenshot", "Start Recording" /
// "Stop Recording" and "Statistics" items, their key combinations, the
// recording indicator, the statistics overlay and the short notices that say
// where a file went.
//
// Threads: the constructor, attach, menu_items, set_stats, draw and the
// destructor run on the UI thread; the two requests may come from any thread
// (the main thread's key handling) and are atomic flags. The recorder's inputs
// run on the link's receiving threads. A screenshot is copied from the video
// view on the UI thread and converted and written on a thread of its own.
//
// Ownership: KVUI owns it and destroys it after the link has stopped (the
// recorder listens to the link).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "link/stream_stats.h"
#include "ui/stats_overlay.h"

struct LinkContext;
struct Recorder;
class VideoView;

inline constexpr char TOOLS_SCREENSHOT_KEYS[] = "Ctrl+Alt+S";
inline constexpr char TOOLS_RECORD_KEYS[] = "Ctrl+Alt+R";

class StreamTools {
public:
    StreamTools();
    virtual ~StreamTools();
    StreamTools(const StreamTools &) = delete;
    StreamTools &operator=(const StreamTools &) = delete;

    // Registers the recorder with the link's packet and sound listeners.
    void attach(LinkContext *link);

    void request_screenshot() { shot_request_.store(true); }
    void request_record_toggle() { record_request_.store(true); }

    // The items, drawn inside the function menu.
    void menu_items();
    // The statistics snapshot of the frame just shown (while streaming).
    void set_stats(const StreamStats &stats, uint64_t now_us);
    // Once per frame between Dear ImGui's new frame and its render: carries
    // out the requests, follows the link state, draws the overlay, the
    // recording indicator and the notice.
    void draw(LinkContext *link, int link_state, VideoView *video);

    bool overlay_on() const { return overlay_on_; }
    Recorder *recorder() const { return recorder_; }

private:
    Recorder *recorder_ = nullptr;
    std::atomic<bool> shot_request_{false}, record_request_{false};
    bool overlay_on_ = false;
    StatsOverlay overlay_{};
    OverlayInfo info_{};
    bool streaming_ = false;
    uint64_t last_key_request_ms_ = 0;
    std::string last_error_;

    std::thread shot_thread_;
    std::atomic<bool> shot_busy_{false};
    std::mutex notice_lock_;
    std::string notice_;          // notice_lock_
    uint64_t notice_until_ms_ = 0; // notice_lock_

    void notice(const std::string &text);
    void take_screenshot(VideoView *video);
    void toggle_recording();
};
