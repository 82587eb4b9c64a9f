#include "shell/ui_thread.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <SDL.h>
#include <imgui.h>
#include <backends/imgui_impl_opengl3.h>

#include "base/clock.h"
#include "link/link.h"
#include "link/stream_stats.h"
#include "input/input_thread.h"
#include "app/app_state.h"
#include "shell/frame_pacer.h"
#include "shell/key_map.h"
#include "shell/ui_events.h"
#include "ui/gl_helpers.h"
#include "ui/kvui.h"
#include "ui/stream_tools.h"

// Latin-1 and the punctuation the texts use beyond it (the em dash of the
// firmware notice).
static const ImWchar kGlyphRanges[] = {0x0020, 0x00FF, 0x2014, 0x2014, 0};

// The three UI fonts: the default one, then the two the views pick by index.
static const float kFontPixels[3] = {16.0f, 36.0f, 18.0f};

// The statistics line on standard output every few seconds while streaming:
// what arrived, what was decoded and drawn, and how long pictures took.
static void count_shown(KVUI *ui, StreamReport *report, uint64_t *drawn, uint64_t *shown_us)
{
    LinkContext *link = ui->link();
    if (!link || link_state(link) != LINK_STATE_STREAMING) {
        stream_report_stop(report);
        return;
    }
    FrameTiming t;
    const uint64_t now = clock_steady_us();
    if (ui->video_view() && ui->video_view()->drew_new_picture(&t, nullptr)) {
        ++*drawn;
        if (t.first_us && now > t.first_us)
            *shown_us += now - t.first_us;
    }
    StreamStats stats;
    link_stream_stats(link, &stats);
    stats.drawn = *drawn;
    stats.shown_us = *shown_us;
    if (ui->tools())
        ui->tools()->set_stats(stats, now);
    char line[256];
    if (stream_report_tick(report, &stats, now, line, sizeof line)) {
        std::printf("%s\n", line);
        std::fflush(stdout);
    }
}

// With nothing to animate the loop redraws this often at least, and it counts
// as idle this long after the last input event.
static const int64_t kIdleFrameUs = 500000;
static const int64_t kIdleAfterUs = 1000000;

static std::atomic<float> g_display_scale{1.0f};
static std::atomic<int> g_display_refresh{0};

void ui_thread_set_display(float scale, int refresh_hz)
{
    g_display_scale = scale;
    g_display_refresh = refresh_hz;
}

// Rebuilds the atlas from the embedded font at this scale, and the backend's
// texture is replaced so that the rebuilt fonts are the ones drawn. Dear
// ImGui copies the font's bytes for each size and keeps the atlas's pixels;
// once the texture holds them, drop_font_inputs frees both (2 to 4 MB).
static void build_fonts(const AppState *app, float scale, bool backend_ready)
{
    ImGuiIO &io = ImGui::GetIO();
    io.Fonts->Clear();
    for (float px : kFontPixels) {
        ImFontConfig cfg;
        cfg.FontDataOwnedByAtlas = false;
        cfg.OversampleH = 1;
        cfg.OversampleV = 1;
        io.Fonts->AddFontFromMemoryTTF(const_cast<uint8_t *>(app->font_data), app->font_size, px * scale, &cfg, kGlyphRanges);
    }
    if (backend_ready) {
        ImGui_ImplOpenGL3_DestroyFontsTexture();
        ImGui_ImplOpenGL3_CreateFontsTexture();
    }
}

// After the backend has made the font texture: what built it is not needed
// again until the next build_fonts. Outside a frame (the atlas is locked
// between NewFrame and Render).
static void drop_font_inputs(void)
{
    ImFontAtlas *atlas = ImGui::GetIO().Fonts;
    atlas->ClearInputData();
    atlas->ClearTexData();
}

int ui_thread_run(AppState *app, SDL_GLContext gl)
{
    SDL_GL_MakeCurrent(app->window, gl);
    SDL_GL_SetSwapInterval(1);

    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    ImGuiIO &io = ImGui::GetIO();
    io.IniFilename = nullptr;
    // The main thread sets the cursor shape Dear ImGui asks for.
    io.BackendFlags |= ImGuiBackendFlags_HasMouseCursors;
    ImGui::StyleColorsDark();
    key_map_install(io);
    ui_events_clear();
    ImGui_ImplOpenGL3_Init("#version 120");
    gl_load_functions(nullptr);

    KVUI *ui = new KVUI();
    app->ui = ui;
    app->ready = true;

    int refresh = g_display_refresh.load();
    FramePacer pacer(refresh);
    float last_scale = -1.0f;
    bool backend_ready = false;
    StreamReport report{};
    uint64_t drawn = 0, shown_us = 0;
    int64_t last_input_us = (int64_t)clock_steady_us();
    bool last_popup = false;

    while (!app->ui_stop) {
        int width = 0, height = 0;
        SDL_GL_GetDrawableSize(app->window, &width, &height);
        float scale = g_display_scale.load();
        if (int hz = g_display_refresh.load(); hz != refresh) {
            refresh = hz;
            pacer.set_refresh(hz);
        }

        bool fonts_built = false;
        if (scale != last_scale && app->font_size > 0) {
            build_fonts(app, scale, backend_ready);
            fonts_built = true;
        }
        last_scale = scale;

        float s = scale > 0.0f ? scale : 1.0f;
        io.DisplaySize = ImVec2((float)width / s, (float)height / s);
        io.DisplayFramebufferScale = ImVec2(s, s);
        io.DeltaTime = 1.0f / 60.0f;

        ui->render_video(width, height);

        ImGui_ImplOpenGL3_NewFrame();
        backend_ready = true;
        if (fonts_built)
            drop_font_inputs();
        const int applied = ui_events_apply(io);
        ImGui::NewFrame();
        if (app->input)
            input_flush_mouse(app->input);
        ui->draw();
        app->cursor_shape = (int)ImGui::GetMouseCursor();
        // A pop-up that opens or closes fades the window behind it in over
        // frames of a fixed 1/60 s: the loop keeps its full rate for a while,
        // or the fade would crawl at the idle rate.
        const bool popup = ImGui::IsPopupOpen("", ImGuiPopupFlags_AnyPopupId | ImGuiPopupFlags_AnyPopupLevel);
        const bool popup_changed = popup != last_popup;
        last_popup = popup;
        ImGui::Render();
        if (ImDrawData *draw = ImGui::GetDrawData(); draw && draw->Valid)
            ImGui_ImplOpenGL3_RenderDrawData(draw);

        SDL_GL_SwapWindow(app->window);
        // The main thread applies what this frame asked for (grabs, cursor,
        // title) now rather than on its next look.
        app_wake_main();
        count_shown(ui, &report, &drawn, &shown_us);

        // Without vertical sync (a virtual X server) the swap returns at
        // once; the pacer holds the loop to the display's rate instead. A new
        // picture is drawn as soon as it arrives rather than on the next beat.
        // With nothing moving (no stream, no scan, no typing, no input for a
        // second) the screen is redrawn only for an event or a link report,
        // or twice a second for progress that reports nothing.
        // While pictures stream and the operator leaves the UI alone, the
        // window is drawn once per new picture and at no other time: a
        // picture superseded before it was drawn is skipped, and a wake for
        // a picture that the frame just drawn already showed draws nothing.
        const int64_t now = (int64_t)clock_steady_us();
        int64_t wait_us = pacer.frame_done(now);
        if (applied > 0 || popup_changed)
            last_input_us = now;
        LinkContext *link = ui->link();
        const bool streaming = link && link_state(link) == LINK_STATE_STREAMING;
        const bool ui_idle = !io.WantTextInput && now - last_input_us > kIdleAfterUs &&
                             !ImGui::IsPopupOpen("", ImGuiPopupFlags_AnyPopupId | ImGuiPopupFlags_AnyPopupLevel);
        const bool idle = !(streaming || (link && link_scanning(link))) && ui_idle;
        if (streaming && ui_idle && ui->video_view()) {
            const int drawn_state = ui->state();
            while (ui_events_wait(kIdleFrameUs, true) && !app->ui_stop && ui->state() == drawn_state &&
                   ui_events_pending() == 0 && !ui->video_view()->has_new_picture()) {
            }
            pacer.start((int64_t)clock_steady_us());
            continue;
        }
        if (idle)
            wait_us = kIdleFrameUs;
        if (ui_events_wait(wait_us, idle))
            pacer.start((int64_t)clock_steady_us());
    }

    app->ui = nullptr;
    delete ui;
    ImGui_ImplOpenGL3_Shutdown();
    ImGui::DestroyContext();
    SDL_GL_MakeCurrent(app->window, nullptr);
    return 0;
}

std::thread ui_thread_start(AppState *app, SDL_GLContext gl)
{
    return std::thread([app, gl] { ui_thread_run(app, gl); });
}
