// The UI thread: owns the OpenGL context and Dear ImGui, creates and destroys
// the KVUI root and draws every frame (video first, then the user interface).
//
// The main thread creates the window and the GL context, releases the context
// (SDL_GL_MakeCurrent(window, nullptr)) and then starts this thread, which
// makes it current here and keeps it until the loop ends; it releases it again
// before returning, so the main thread may delete it afterwards.
//
// The loop runs until AppState's `quit` is set. It sets `ready` once the KVUI
// exists and clears `ui` after destroying it.
#pragma once
#include <thread>

struct AppState;
typedef void *SDL_GLContext;

// The window's display as the main thread (which makes SDL's display
// queries) last measured it: its scale (DPI / 96; 1.0 when the DPI cannot be
// read) and refresh rate (0 when unknown). Call before starting the thread and
// again when the window moves to another display; any thread.
void ui_thread_set_display(float scale, int refresh_hz);

// Starts the frame loop on a new thread for `app` (its window already made)
// and the GL context `gl`. Join the thread to wait for its end.
std::thread ui_thread_start(AppState *app, SDL_GLContext gl);

// The frame loop itself; ui_thread_start runs it. Returns 0.
int ui_thread_run(AppState *app, SDL_GLContext gl);
