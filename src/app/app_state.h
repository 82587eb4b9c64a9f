// AppState: the application state record through which the shell, the user
// interface and the input paths talk, behind one process-wide pointer.
//
// Lifecycle: the main thread allocates it with `new AppState{}` at start-up
// (every field starts zero, false or null), publishes it with app_state_set,
// and frees it at the very end, after the UI thread and the input thread have
// ended; then it clears the pointer again.
//
// Threads: every flag that one thread writes while another reads it is a
// std::atomic. Such a flag carries a request or a "last applied" state, never a
// handle to data, so relaxed loads and stores are enough; callers may use the
// plain atomic operators. Fields that are not atomic are written on the main
// thread before the UI and input threads start and only read afterwards.
//
// The window is SDL's: there is no separate application object, the main
// thread's own event loop takes its place.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class KVUI;
struct InputPipeline;
struct KeyPaster;
struct SDL_Window;

// Window titles the user interface asks the main thread for.
enum { APP_TITLE_NONE = 0, APP_TITLE_PLAIN = 1, APP_TITLE_FORWARDING = 2 };
inline constexpr char APP_TITLE[] = "KAVRI Viewer";
inline constexpr char APP_TITLE_FORWARDING_TEXT[] = "KAVRI Viewer - Ctrl+Right Click to release mouse from server";

// Where the video picture lies, in window client pixels.
struct VideoRect {
    int32_t x;
    int32_t y;
    int32_t width;
    int32_t height;
};

struct AppState {
    // The UI root: set by the UI thread once it exists, cleared after it is
    // destroyed. The event handler reaches it only while `ready` is set.
    std::atomic<KVUI *> ui{nullptr};

    // Main thread, before the other threads start.
    SDL_Window *window = nullptr;
    uint32_t window_id = 0;            // SDL's id of `window`, to match events

    // Keyboard and mouse on their way to the input thread; created before
    // the other threads start, freed after they end.
    InputPipeline *input = nullptr;
    // Types text and key combinations into the target (the function menu's
    // Paste Text and Send Keys); created with `input`, stopped before the
    // link stops, freed after the UI thread ends.
    KeyPaster *paster = nullptr;

    // Paste Text: the UI thread asks for the clipboard's text; the main thread
    // (the one that talks to the window system) reads it and hands it over.
    // At most one byte more than a paste takes is handed over.
    std::atomic<bool> clipboard_request{false};
    std::mutex clipboard_lock;
    bool clipboard_ready = false;   // under clipboard_lock
    std::string clipboard_text;     // under clipboard_lock

    std::atomic<bool> quit{false};            // event handler: the window is closing
    // Main thread, once the input thread has ended: the UI thread may end and
    // stop the link (nothing sends on it any more).
    std::atomic<bool> ui_stop{false};
    // The main menu: the window title to set (APP_TITLE_*), taken by the
    // main thread.
    std::atomic<int> title_request{APP_TITLE_NONE};
    // The UI thread: the mouse cursor shape Dear ImGui wants (ImGuiMouseCursor),
    // applied by the main thread.
    std::atomic<int> cursor_shape{0};
    std::atomic<bool> ready{false};           // UI thread: the UI exists
    std::atomic<bool> connected{false};       // link state handler: state 4 or 5
    std::atomic<bool> mouse_input{false};     // main menu: mouse forwarding on
    std::atomic<bool> keyboard_input{false};  // main menu: keyboard forwarding on
    std::atomic<bool> audio_on{false};        // start-up sets it true; main menu
    std::atomic<bool> mouse_grabbed{false};   // application function: grab as last applied
    std::atomic<bool> keyboard_grabbed{false};// application function: grab as last applied
    std::atomic<bool> fullscreen{false};      // application function: state as last applied
    std::atomic<bool> fullscreen_request{false}; // main menu: state wanted
    std::atomic<bool> cursor_shown{false};    // application function, input thread

    // The embedded UI font (TrueType), read-only; font_size is 0 when the
    // font is missing and Dear ImGui's built-in font is used.
    const uint8_t *font_data = nullptr;
    int32_t font_size = 0;

    // The address given with --connect, connected to once the UI exists;
    // empty for none.
    char connect_address[64] = {};

    // Time of the last physical mouse activity, milliseconds on the steady
    // clock (clock_steady_ms): it only feeds the cursor-hide interval, which a
    // change of the system time must not stretch or cut short.
    std::atomic<uint64_t> last_mouse_ms{0};

    // The function menu, the About window or the Settings window is open;
    // input forwarding pauses while it is set.
    std::atomic<bool> ui_focus{false};

    // Requests to show the two notices, set by the found-device merge and
    // cleared by the notices.
    std::atomic<bool> usb_mode_notice{false};
    std::atomic<bool> firmware_notice{false};

    // The video rectangle is written by the renderer every frame and read by
    // the input paths; four separate words could be read half old, half new,
    // so it travels as one value under its own lock (held for a copy only).
    VideoRect video_rect{};
    mutable std::mutex video_rect_lock;
};

inline void app_state_set_video_rect(AppState *app, const VideoRect &rect)
{
    std::lock_guard<std::mutex> hold(app->video_rect_lock);
    app->video_rect = rect;
}

inline VideoRect app_state_video_rect(const AppState *app)
{
    std::lock_guard<std::mutex> hold(app->video_rect_lock);
    return app->video_rect;
}

// The process-wide pointer. Null before start-up publishes the record and
// after shutdown has freed it.
inline std::atomic<AppState *> g_app_state{nullptr};

inline AppState *app_state(void)
{
    return g_app_state.load(std::memory_order_acquire);
}

inline void app_state_set(AppState *app)
{
    g_app_state.store(app, std::memory_order_release);
}

// Wakes the UI thread from its sleep between frames (a link report or a new
// found device must be drawn now). The shell plugs in its frame loop's
// wake-up at start-up; until then it does nothing. Any thread.
inline std::atomic<void (*)(void)> g_ui_wake{nullptr};

inline void app_wake_ui(void)
{
    if (void (*wake)(void) = g_ui_wake.load(std::memory_order_acquire))
        wake();
}

// Wakes the main thread, which brings the window in line with what the user
// interface and the link ask for (grabs, cursor, title, full screen). The
// shell plugs in its event loop's wake-up; until then it does nothing. Any
// thread.
inline std::atomic<void (*)(void)> g_main_wake{nullptr};

inline void app_wake_main(void)
{
    if (void (*wake)(void) = g_main_wake.load(std::memory_order_acquire))
        wake();
}
