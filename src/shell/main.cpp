// Process entry of the viewer: start-up, the main thread's event loop, and
// shutdown.
//
// The main thread owns the window and its events; it turns input events into
// UI events for the UI thread (shell/ui_events.h), applies the window requests
// of the user interface (full screen) and keeps the screen saver off while a
// link receives. The UI thread (shell/ui_thread.h) owns the GL context and
// everything drawn.
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <malloc.h>
#include <mutex>
#include <string>
#include <thread>
#include <SDL.h>
#include <imgui.h>

#include "input/capture.h"
#include "input/input_thread.h"
#include "input/key_paste.h"
#include "base/clock.h"
#include "link/link.h"
#include "app/app_state.h"
#include "shell/command_line.h"
#include "shell/key_map.h"
#include "app/settings_file.h"
#include "shell/ui_events.h"
#include "shell/ui_thread.h"
#include "platform/linux/input_source_sdl.h"
#include "ui/context_menu.h"
#include "ui/kvui.h"
#include "ui/resources.h"
#include "ui/stream_tools.h"

static const int kWindowWidth = 800;  // logical pixels, before the DPI scale
static const int kWindowHeight = 600;

// SIGINT and SIGTERM close the window like the close button does; the handler
// only sets this flag, the loop does the rest.
static volatile std::sig_atomic_t g_quit_signal = 0;

static void on_quit_signal(int)
{
    g_quit_signal = 1;
}

static void install_signal_handlers(void)
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_quit_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

// The UI thread swaps buffers on the window's X display while the main thread
// reads its events; Xlib must be told before its first call that it is used
// from two threads. Looked up at run time so that nothing links against it
// (and a non-X video driver simply skips it).
static void x11_init_threads(void)
{
    void *xlib = dlopen("libX11.so.6", RTLD_NOW | RTLD_GLOBAL);
    if (!xlib)
        return;
    auto init = reinterpret_cast<int (*)(void)>(dlsym(xlib, "XInitThreads"));
    if (init)
        init();
}

static float display_scale(int display)
{
    float hdpi = 0.0f;
    if (SDL_GetDisplayDPI(display, nullptr, &hdpi, nullptr) != 0 || !(hdpi > 0.0f))
        return 1.0f;
    return hdpi / 96.0f;
}

// Tells the UI thread the scale and refresh rate of the window's display.
static void publish_display(SDL_Window *window)
{
    int display = SDL_GetWindowDisplayIndex(window);
    if (display < 0)
        display = 0;
    SDL_DisplayMode mode;
    int refresh = SDL_GetWindowDisplayMode(window, &mode) == 0 ? mode.refresh_rate : 0;
    ui_thread_set_display(display_scale(display), refresh);
}

// 800 x 600 logical pixels scaled to the display's DPI, shrunk to fit its
// usable area and centred in it.
static SDL_Rect window_placement(void)
{
    const int display = 0;
    float scale = display_scale(display);
    int w = (int)(kWindowWidth * scale);
    int h = (int)(kWindowHeight * scale);
    SDL_Rect area;
    if (SDL_GetDisplayUsableBounds(display, &area) != 0 || area.w <= 0 || area.h <= 0)
        return SDL_Rect{(int)SDL_WINDOWPOS_CENTERED, (int)SDL_WINDOWPOS_CENTERED, w, h};
    if (w > area.w)
        w = area.w;
    if (h > area.h)
        h = area.h;
    return SDL_Rect{area.x + (area.w - w) / 2, area.y + (area.h - h) / 2, w, h};
}

static void load_font(AppState *app)
{
    size_t size = 0;
    const uint8_t *font = resource_get(RESOURCE_FONT, RESOURCE_TYPE_RAW, &size);
    if (!font || size == 0 || size > INT32_MAX)
        return;
    app->font_data = font;
    app->font_size = (int32_t)size;
}

// What the main thread keeps of the window's input: the capture state last
// applied, the release gesture, the cursor Dear ImGui asked for, and where
// the pointer last was for Dear ImGui (window coordinates).
struct ShellInput {
    CaptureState capture{};
    ReleaseGesture gesture{};
    int cursor_shape = -1;
    SDL_Cursor *cursors[ImGuiMouseCursor_COUNT] = {};
    bool relative_failed = false;  // the window system refused relative mode
    bool have_pointer = false;
    int pointer_x = 0, pointer_y = 0;
    std::string paste_title;  // the paste progress title last set; empty: none
};
static ShellInput g_input;

// The window's size in window coordinates and in drawable pixels.
struct WindowGrids {
    int win_w, win_h, draw_w, draw_h;
};

static WindowGrids window_grids(SDL_Window *window)
{
    WindowGrids g{};
    SDL_GetWindowSize(window, &g.win_w, &g.win_h);
    SDL_GL_GetDrawableSize(window, &g.draw_w, &g.draw_h);
    return g;
}

// Dear ImGui's pointer: events give window coordinates, Dear ImGui lays out
// in drawable pixels (divided by its framebuffer scale when it applies them).
static void push_pointer(SDL_Window *window, int x, int y)
{
    g_input.have_pointer = true;
    g_input.pointer_x = x;
    g_input.pointer_y = y;
    WindowGrids g = window_grids(window);
    ScalePoint p = window_pixels_convert(ScalePoint{(float)x, (float)y}, g.win_w, g.win_h, g.draw_w, g.draw_h);
    ui_events_push_mouse_pos(p.x, p.y);
}

// The video rectangle (drawable pixels) in window coordinates, rounded
// inwards so that a pointer confined to it stays over the picture.
static VideoRect video_rect_in_window(SDL_Window *window, const VideoRect &r)
{
    WindowGrids g = window_grids(window);
    ScalePoint a = window_pixels_convert(ScalePoint{(float)r.x, (float)r.y}, g.draw_w, g.draw_h, g.win_w, g.win_h);
    ScalePoint b = window_pixels_convert(ScalePoint{(float)(r.x + r.width), (float)(r.y + r.height)}, g.draw_w,
                                         g.draw_h, g.win_w, g.win_h);
    int x0 = (int)std::ceil(a.x), y0 = (int)std::ceil(a.y);
    return VideoRect{x0, y0, (int)std::floor(b.x) - x0, (int)std::floor(b.y) - y0};
}

// The modifier bit of a key in the window's modifier byte, or -1.
static int modifier_bit(SDL_Scancode code)
{
    switch (code) {
    case SDL_SCANCODE_LCTRL: return 0;
    case SDL_SCANCODE_LSHIFT: return 1;
    case SDL_SCANCODE_LALT: return 2;
    case SDL_SCANCODE_LGUI: return 3;
    case SDL_SCANCODE_RCTRL: return 4;
    case SDL_SCANCODE_RSHIFT: return 5;
    case SDL_SCANCODE_RALT: return 6;
    case SDL_SCANCODE_RGUI: return 7;
    default: return -1;
    }
}

static bool window_active(const AppState *app)
{
    uint32_t flags = SDL_GetWindowFlags(app->window);
    return (flags & SDL_WINDOW_INPUT_FOCUS) && !(flags & (SDL_WINDOW_HIDDEN | SDL_WINDOW_MINIMIZED));
}

static void apply_cursor_visibility(AppState *app, CaptureChange change)
{
    if (change == CHANGE_NONE)
        return;
    SDL_ShowCursor(change == CHANGE_ON ? SDL_ENABLE : SDL_DISABLE);
    app->cursor_shown = change == CHANGE_ON;
}

// Ctrl+Alt+S (screenshot) and Ctrl+Alt+R (recording): handled here and kept
// from the target, the letter's release too.
static bool tool_shortcut(AppState *app, const SDL_Event &ev)
{
    static SDL_Scancode held = SDL_SCANCODE_UNKNOWN;
    SDL_Scancode code = ev.key.keysym.scancode;
    if (ev.type == SDL_KEYUP) {
        if (code != held)
            return false;
        held = SDL_SCANCODE_UNKNOWN;
        return true;
    }
    const uint16_t mod = ev.key.keysym.mod;  // as it was with this key, not now
    if (!(mod & KMOD_CTRL) || !(mod & KMOD_ALT) || (code != SDL_SCANCODE_S && code != SDL_SCANCODE_R))
        return false;
    held = code;
    KVUI *ui = app->ui.load();
    StreamTools *tools = ui ? ui->tools() : nullptr;
    if (tools && !ev.key.repeat) {
        if (code == SDL_SCANCODE_S)
            tools->request_screenshot();
        else
            tools->request_record_toggle();
        ui_events_wake();
    }
    return true;
}

// Keyboard and mouse as the input thread sees them, and the release gesture
// that opens the function menu. Input reaches the target only from the
// window that has the focus.
static void handle_input_event(AppState *app, const SDL_Event &ev)
{
    switch (ev.type) {
    case SDL_WINDOWEVENT:
        if (ev.window.event == SDL_WINDOWEVENT_FOCUS_LOST) {
            // Nothing stays pressed on the target when the operator turns to
            // another window.
            app->input->source.release_all();
            gesture_reset(&g_input.gesture);
        }
        return;
    case SDL_KEYDOWN:
    case SDL_KEYUP:
        // Escape stops a paste; that press is the paste's, not the target's.
        if (ev.type == SDL_KEYDOWN && ev.key.keysym.scancode == SDL_SCANCODE_ESCAPE && app->paster &&
            paster_active(app->paster)) {
            paster_cancel(app->paster);
            return;
        }
        if (tool_shortcut(app, ev))
            return;
        if (!ev.key.repeat)
            gesture_modifier(&g_input.gesture, modifier_bit(ev.key.keysym.scancode), ev.type == SDL_KEYDOWN);
        break;
    case SDL_MOUSEMOTION:
    case SDL_MOUSEWHEEL:
        app->last_mouse_ms = clock_steady_ms();
        apply_cursor_visibility(app, capture_mouse_activity(app->mouse_input.load(), &g_input.capture));
        break;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
        app->last_mouse_ms = clock_steady_ms();
        apply_cursor_visibility(app, capture_mouse_activity(app->mouse_input.load(), &g_input.capture));
        int button = key_map_mouse_button(ev.button.button);
        bool open = gesture_button(&g_input.gesture, button, ev.type == SDL_MOUSEBUTTONDOWN,
                                   g_input.capture.mouse_grabbed);
        KVUI *ui = app->ui.load();
        if (open && app->ready && ui && ui->menu())
            ui->menu()->request_open();
        break;
    }
    default:
        return;
    }
    if (window_active(app))
        input_source_feed_sdl(&app->input->source, ev);
}

// The window's event handler: closing is honoured at any time; everything
// else only while the UI exists.
static void handle_event(AppState *app, const SDL_Event &ev)
{
    if (ev.type == SDL_WINDOWEVENT &&
        (ev.window.event == SDL_WINDOWEVENT_MOVED || ev.window.event == SDL_WINDOWEVENT_DISPLAY_CHANGED))
        publish_display(app->window);
    if (ev.type == SDL_QUIT ||
        (ev.type == SDL_WINDOWEVENT && ev.window.event == SDL_WINDOWEVENT_CLOSE)) {
        app->quit = true;
        return;
    }
    if (!app->ready || app->quit || !app->ui)
        return;
    if (app->input)
        handle_input_event(app, ev);

    switch (ev.type) {
    case SDL_WINDOWEVENT:
        if (ev.window.event == SDL_WINDOWEVENT_FOCUS_GAINED)
            ui_events_push_focus(true);
        else if (ev.window.event == SDL_WINDOWEVENT_FOCUS_LOST)
            ui_events_push_focus(false);
        break;
    case SDL_TEXTINPUT:
        ui_events_push_text(ev.text.text, sizeof ev.text.text);
        break;
    case SDL_MOUSEMOTION:
        // In relative mode the pointer belongs to the target: the user
        // interface keeps the position it had when relative mode began,
        // where the pointer reappears (and the function menu opens).
        if (!g_input.capture.relative)
            push_pointer(app->window, ev.motion.x, ev.motion.y);
        break;
    case SDL_KEYDOWN:
    case SDL_KEYUP: {
        int key = key_map_from_sdl((int)ev.key.keysym.scancode);
        if (key != UIKEY_NONE)
            ui_events_push_key(key, ev.type == SDL_KEYDOWN);
        break;
    }
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
        bool down = ev.type == SDL_MOUSEBUTTONDOWN;
        if (down && g_input.capture.relative)
            break;  // a click for the target, not for the user interface
        if (down)
            push_pointer(app->window, ev.button.x, ev.button.y);
        int button = key_map_mouse_button(ev.button.button);
        if (button >= 0)
            ui_events_push_mouse_button(button, down);
        break;
    }
    case SDL_MOUSEWHEEL: {
        if (g_input.capture.relative)
            break;
        int x = ev.wheel.x, y = ev.wheel.y;
        if (ev.wheel.direction == SDL_MOUSEWHEEL_FLIPPED) {
            x = -x;
            y = -y;
        }
        ui_events_push_scroll(x, y);
        break;
    }
    default:
        break;
    }
}

// Paste Text: the clipboard's text for the UI thread, and the progress of a
// paste in the window title (the forwarding title again once it ends).
static void apply_paste(AppState *app)
{
    if (app->clipboard_request.exchange(false)) {
        char *text = SDL_GetClipboardText();
        std::string copy = text ? std::string(text, strnlen(text, PASTE_MAX_BYTES + 1)) : std::string();
        SDL_free(text);
        std::lock_guard<std::mutex> hold(app->clipboard_lock);
        app->clipboard_text.swap(copy);
        app->clipboard_ready = true;
    }
    KeyPaster *p = app->paster;
    if (p && paster_active(p) && p->text.load()) {
        char text[96];
        std::snprintf(text, sizeof text, "%s - Pasting %u / %u", APP_TITLE, p->done.load(), p->total.load());
        if (g_input.paste_title != text) {
            g_input.paste_title = text;
            SDL_SetWindowTitle(app->window, text);
        }
    } else if (!g_input.paste_title.empty()) {
        g_input.paste_title.clear();
        SDL_SetWindowTitle(app->window, app->keyboard_input.load() ? APP_TITLE_FORWARDING_TEXT : APP_TITLE);
    }
}

// Once per loop iteration: bring the window in line with what the user
// interface asks for. Returns false when the program is to end.
static bool application_step(AppState *app)
{
    if (g_quit_signal)
        app->quit = true;
    // Only this thread sets `quit`, and the UI thread stops the link only
    // after it is set: checking it first keeps the link alive for the rest.
    if (app->quit)
        return false;

    bool want = app->fullscreen_request.load();
    if (want != app->fullscreen.load()) {
        app->fullscreen = want;
        SDL_SetWindowFullscreen(app->window, want ? SDL_WINDOW_FULLSCREEN_DESKTOP : 0);
    }

    // Keyboard grab, mouse grab, confinement to the video and the cursor.
    CaptureInputs in{};
    in.connected = app->connected.load();
    in.mouse_input = app->mouse_input.load();
    in.keyboard_input = app->keyboard_input.load();
    in.ui_focus = app->ui_focus.load();
    in.window_active = window_active(app);
    in.relative_available = !g_input.relative_failed;
    VideoRect r = video_rect_in_window(app->window, app_state_video_rect(app));
    in.rect_x = r.x;
    in.rect_y = r.y;
    in.rect_w = r.width;
    in.rect_h = r.height;
    in.now_ms = clock_steady_ms();
    in.last_mouse_ms = app->last_mouse_ms.load();
    CaptureActions act = capture_step(in, &g_input.capture);
    if (act.keyboard_grab != CHANGE_NONE) {
        SDL_SetWindowKeyboardGrab(app->window, act.keyboard_grab == CHANGE_ON ? SDL_TRUE : SDL_FALSE);
        app->keyboard_grabbed = act.keyboard_grab == CHANGE_ON;
    }
    if (act.mouse_grab != CHANGE_NONE) {
        SDL_SetWindowMouseGrab(app->window, act.mouse_grab == CHANGE_ON ? SDL_TRUE : SDL_FALSE);
        app->mouse_grabbed = act.mouse_grab == CHANGE_ON;
    }
    if (act.relative == CHANGE_ON && SDL_SetRelativeMouseMode(SDL_TRUE) != 0) {
        // Confinement to the picture stands in from the next iteration on.
        std::fprintf(stderr, "relative mouse mode unavailable: %s\n", SDL_GetError());
        g_input.relative_failed = true;
        g_input.capture.relative = false;
    } else if (act.relative == CHANGE_OFF) {
        SDL_SetRelativeMouseMode(SDL_FALSE);
        // The pointer reappears where the user interface last saw it (the
        // function menu opens there), unless the operator has turned to
        // another window.
        if (in.window_active && g_input.have_pointer)
            SDL_WarpMouseInWindow(app->window, g_input.pointer_x, g_input.pointer_y);
    }
    if (act.clip == CHANGE_ON) {
        SDL_Rect clip{act.clip_x, act.clip_y, act.clip_w, act.clip_h};
        SDL_SetWindowMouseRect(app->window, &clip);
    } else if (act.clip == CHANGE_OFF) {
        SDL_SetWindowMouseRect(app->window, nullptr);
    }
    apply_cursor_visibility(app, act.cursor);
    // The viewer's own windows keep the keys from the target while open.
    if (app->input)
        input_pause(app->input, in.connected && (in.keyboard_input || in.mouse_input) && in.ui_focus);

    // The cursor shape Dear ImGui asks for (the hand over a button).
    int shape = app->cursor_shape.load();
    if (shape != g_input.cursor_shape && shape >= 0 && shape < ImGuiMouseCursor_COUNT) {
        g_input.cursor_shape = shape;
        static const SDL_SystemCursor kSystem[ImGuiMouseCursor_COUNT] = {
            SDL_SYSTEM_CURSOR_ARROW,    SDL_SYSTEM_CURSOR_IBEAM,    SDL_SYSTEM_CURSOR_SIZEALL,
            SDL_SYSTEM_CURSOR_SIZENS,   SDL_SYSTEM_CURSOR_SIZEWE,   SDL_SYSTEM_CURSOR_SIZENESW,
            SDL_SYSTEM_CURSOR_SIZENWSE, SDL_SYSTEM_CURSOR_HAND,     SDL_SYSTEM_CURSOR_NO};
        if (!g_input.cursors[shape])
            g_input.cursors[shape] = SDL_CreateSystemCursor(kSystem[shape]);
        if (g_input.cursors[shape])
            SDL_SetCursor(g_input.cursors[shape]);
    }

    // The window title the main menu asked for.
    int title = app->title_request.exchange(APP_TITLE_NONE);
    if (title == APP_TITLE_PLAIN)
        SDL_SetWindowTitle(app->window, APP_TITLE);
    else if (title == APP_TITLE_FORWARDING)
        SDL_SetWindowTitle(app->window, APP_TITLE_FORWARDING_TEXT);
    apply_paste(app);

    // The screen saver stays off while a link receives.
    LinkContext *link = link_global();
    bool awake = link && link_keep_awake(link);
    if (awake != (SDL_IsScreenSaverEnabled() == SDL_FALSE)) {
        if (awake)
            SDL_DisableScreenSaver();
        else
            SDL_EnableScreenSaver();
    }
    return true;
}

// The main thread's wake-up: one SDL event of its own type, pushed at most
// once until the loop has run again.
static Uint32 g_wake_event = (Uint32)-1;
static std::atomic<bool> g_wake_pending{false};

static void wake_main_loop(void)
{
    if (g_wake_pending.exchange(true))
        return;
    SDL_Event ev{};
    ev.type = g_wake_event;
    if (SDL_PushEvent(&ev) != 1)
        g_wake_pending = false;
}

int main(int argc, char **argv)
{
    // Large buffers (decoded pictures, images while they load) come from
    // and go back to the system: a fixed threshold keeps the C library from
    // raising it after the first big free and then keeping every later
    // picture-sized buffer in its heaps.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    CommandLine cmd;
    switch (command_line_parse(argc, argv, &cmd)) {
    case CMDLINE_HELP:
        std::fputs(command_line_usage(), stdout);
        return 0;
    case CMDLINE_VERSION: {
        char *version = resource_version_text();
        std::printf("kavri-viewer %s\n", version ? version : "unknown");
        std::free(version);
        return 0;
    }
    case CMDLINE_ERROR:
        std::fprintf(stderr, "kavri-viewer: %s\n%s", cmd.error, command_line_usage());
        return 2;
    default:
        break;
    }

    AppState *app = new AppState{};
    std::memcpy(app->connect_address, cmd.connect, sizeof app->connect_address);
    app->fullscreen_request = cmd.fullscreen;
    app_state_set(app);
    g_ui_wake.store(ui_events_wake, std::memory_order_release);
    install_signal_handlers();

    x11_init_threads();
    // The audio output opens SDL audio from the link's threads; the
    // subsystem itself is brought up here, on the main thread, with video.
    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_AUDIO | SDL_INIT_EVENTS) != 0) {
        std::fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
        app_state_set(nullptr);
        delete app;
        return 1;
    }
    g_wake_event = SDL_RegisterEvents(1);
    if (g_wake_event != (Uint32)-1)
        g_main_wake.store(wake_main_loop, std::memory_order_release);
    // A screen saver that SDL switches off by default would hide a
    // disconnected viewer; it is switched off only while a link receives.
    SDL_EnableScreenSaver();

    load_font(app);
    settings_load();
    app->audio_on = true;
    app->last_mouse_ms = clock_steady_ms();

    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 2);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 1);
    SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
    SDL_Rect place = window_placement();
    app->window = SDL_CreateWindow(APP_TITLE, place.x, place.y, place.w, place.h,
                                   SDL_WINDOW_OPENGL | SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI);
    SDL_GLContext gl = app->window ? SDL_GL_CreateContext(app->window) : nullptr;
    if (!app->window || !gl) {
        std::fprintf(stderr, "window: %s\n", SDL_GetError());
        if (app->window)
            SDL_DestroyWindow(app->window);
        SDL_Quit();
        app_state_set(nullptr);
        delete app;
        return 1;
    }
    app->window_id = SDL_GetWindowID(app->window);
    SDL_GL_MakeCurrent(app->window, nullptr);
    publish_display(app->window);

    // The input thread sends through the process-wide link; it ends before
    // the UI thread may stop the link.
    app->input = new InputPipeline();
    InputHooks hooks{};
    hooks.ctx = app;
    hooks.gates = [](void *ctx) {
        AppState *a = static_cast<AppState *>(ctx);
        // The operator's keys wait while a paste types: its reports hold the
        // whole keyboard state, and interleaved ones would break both.
        bool pasting = a->paster && paster_active(a->paster);
        return InputGates{a->connected.load(), a->keyboard_input.load() && !pasting, a->mouse_input.load(),
                          a->ui_focus.load()};
    };
    hooks.send = [](void *, const uint8_t *report, size_t n) {
        if (LinkContext *link = link_global())
            link_send_input(link, report, n);
    };
    app->paster = new KeyPaster();
    app->paster->hooks = PasteHooks{
        app,
        [](void *ctx) {
            AppState *a = static_cast<AppState *>(ctx);
            return a->connected.load() && a->keyboard_input.load() && link_global() != nullptr;
        },
        [](void *, const uint8_t *report, size_t n) {
            if (LinkContext *link = link_global())
                link_send_input(link, report, n);
        },
        [](void *) { return link_input_backlog(link_global()); },
    };
    input_start(app->input, hooks);
    app->cursor_shown = true;
    g_input.capture.cursor_shown = true;

    std::thread ui_thread = ui_thread_start(app, gl);

    while (!app->quit) {
        SDL_Event ev;
        // The window's events, and a wake-up from the UI thread after every
        // frame it draws, so the grab, confinement and cursor follow the
        // picture and the menus at once. Without the wake-up (no SDL event
        // type left) the loop looks every 2 ms while connected. What no frame
        // announces (a paste's progress, the cursor's idle hiding) is seen
        // within 33 ms.
        const bool woken = g_main_wake.load() != nullptr;
        if (SDL_WaitEventTimeout(&ev, app->connected.load() && !woken ? 2 : 33)) {
            handle_event(app, ev);
            while (SDL_PollEvent(&ev))
                handle_event(app, ev);
        }
        // Cleared before the state is read: a change made after this wakes
        // the loop again.
        g_wake_pending = false;
        if (!application_step(app))
            break;
    }

    // The input thread goes first: it sends on the link. Then the UI thread
    // ends after its current frame; it destroys the KVUI, which stops the
    // link, before the window goes.
    input_stop(app->input);
    paster_stop(app->paster);
    app->ui_stop = true;
    ui_events_wake();
    ui_thread.join();
    g_main_wake.store(nullptr, std::memory_order_release);
    delete app->input;
    app->input = nullptr;
    delete app->paster;
    app->paster = nullptr;
    for (SDL_Cursor *&c : g_input.cursors) {
        if (c)
            SDL_FreeCursor(c);
        c = nullptr;
    }
    SDL_GL_DeleteContext(gl);
    SDL_DestroyWindow(app->window);
    SDL_Quit();

    app_state_set(nullptr);
    delete app;
    return 0;
}
