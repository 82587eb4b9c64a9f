// Process entry of the viewer: start-up, the main thread's event loop, and
// shutdown.
//
// The main thread owns the window and its events; it turns input events into
// UI events for the UI thread (shell/ui_events.h), applies the window requests
// of the user interface (full screen) and keeps the screen saver off while a
// link receives. The UI thread (shell/ui_thread.h) owns the GL context and
// everything drawn.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <thread>
#include <SDL.h>

#include "linkcore/clock.h"
#include "linkcore/link.h"
#include "shell/app_state.h"
#include "shell/key_map.h"
#include "shell/settings_file.h"
#include "shell/ui_events.h"
#include "shell/ui_thread.h"
#include "ui/resources.h"

static const char kWindowTitle[] = "KAVRI Viewer";
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
    app->font_data = static_cast<uint8_t *>(std::malloc(size));
    if (!app->font_data)
        return;
    std::memcpy(app->font_data, font, size);
    app->font_size = (int32_t)size;
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
        ui_events_push_mouse_pos((float)ev.motion.x, (float)ev.motion.y);
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
        if (down)
            ui_events_push_mouse_pos((float)ev.button.x, (float)ev.button.y);
        int button = key_map_mouse_button(ev.button.button);
        if (button >= 0)
            ui_events_push_mouse_button(button, down);
        break;
    }
    case SDL_MOUSEWHEEL: {
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

int main(int, char **)
{
    AppState *app = new AppState{};
    app_state_set(app);
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
    app->window = SDL_CreateWindow(kWindowTitle, place.x, place.y, place.w, place.h,
                                   SDL_WINDOW_OPENGL | SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI);
    SDL_GLContext gl = app->window ? SDL_GL_CreateContext(app->window) : nullptr;
    if (!app->window || !gl) {
        std::fprintf(stderr, "window: %s\n", SDL_GetError());
        if (app->window)
            SDL_DestroyWindow(app->window);
        SDL_Quit();
        std::free(app->font_data);
        app_state_set(nullptr);
        delete app;
        return 1;
    }
    app->window_id = SDL_GetWindowID(app->window);
    SDL_GL_MakeCurrent(app->window, nullptr);
    publish_display(app->window);

    std::thread ui_thread = ui_thread_start(app, gl);

    while (!app->quit) {
        SDL_Event ev;
        if (SDL_WaitEventTimeout(&ev, 2)) {
            handle_event(app, ev);
            while (SDL_PollEvent(&ev))
                handle_event(app, ev);
        }
        if (!application_step(app))
            break;
    }

    // The UI thread ends after its current frame; it destroys the KVUI, which
    // stops the link, before the window goes.
    ui_thread.join();
    SDL_GL_DeleteContext(gl);
    SDL_DestroyWindow(app->window);
    SDL_Quit();

    if (app->font_size > 0)
        std::free(app->font_data);
    app_state_set(nullptr);
    delete app;
    return 0;
}
