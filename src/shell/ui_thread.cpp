#include "shell/ui_thread.h"

#include <atomic>
#include <chrono>
#include <SDL.h>
#include <imgui.h>
#include <backends/imgui_impl_opengl3.h>

#include "linkcore/clock.h"
#include "input/input_thread.h"
#include "shell/app_state.h"
#include "shell/frame_pacer.h"
#include "shell/key_map.h"
#include "shell/ui_events.h"
#include "ui/gl_helpers.h"
#include "ui/kvui.h"

// Latin-1 and the punctuation the texts use beyond it (the em dash of the
// firmware notice).
static const ImWchar kGlyphRanges[] = {0x0020, 0x00FF, 0x2014, 0x2014, 0};

// The three UI fonts: the default one, then the two the views pick by index.
static const float kFontPixels[3] = {16.0f, 36.0f, 18.0f};

static std::atomic<float> g_display_scale{1.0f};
static std::atomic<int> g_display_refresh{0};

void ui_thread_set_display(float scale, int refresh_hz)
{
    g_display_scale = scale;
    g_display_refresh = refresh_hz;
}

// Rebuilds the atlas from the embedded font at this scale. The atlas borrows
// the bytes (AppState owns them), and the backend's texture is replaced so
// that the rebuilt fonts are the ones drawn.
static void build_fonts(const AppState *app, float scale, bool backend_ready)
{
    ImGuiIO &io = ImGui::GetIO();
    io.Fonts->Clear();
    for (float px : kFontPixels) {
        ImFontConfig cfg;
        cfg.FontDataOwnedByAtlas = false;
        cfg.OversampleH = 1;
        cfg.OversampleV = 1;
        io.Fonts->AddFontFromMemoryTTF(app->font_data, app->font_size, px * scale, &cfg, kGlyphRanges);
    }
    if (backend_ready) {
        ImGui_ImplOpenGL3_DestroyFontsTexture();
        ImGui_ImplOpenGL3_CreateFontsTexture();
    }
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

    while (!app->ui_stop) {
        int width = 0, height = 0;
        SDL_GL_GetDrawableSize(app->window, &width, &height);
        float scale = g_display_scale.load();
        if (int hz = g_display_refresh.load(); hz != refresh) {
            refresh = hz;
            pacer.set_refresh(hz);
        }

        if (scale != last_scale && app->font_size > 0)
            build_fonts(app, scale, backend_ready);
        last_scale = scale;

        float s = scale > 0.0f ? scale : 1.0f;
        io.DisplaySize = ImVec2((float)width / s, (float)height / s);
        io.DisplayFramebufferScale = ImVec2(s, s);
        io.DeltaTime = 1.0f / 60.0f;

        ui->render_video(width, height);

        ImGui_ImplOpenGL3_NewFrame();
        backend_ready = true;
        ui_events_apply(io);
        ImGui::NewFrame();
        if (app->input)
            input_flush_mouse(app->input);
        ui->draw();
        app->cursor_shape = (int)ImGui::GetMouseCursor();
        ImGui::Render();
        if (ImDrawData *draw = ImGui::GetDrawData(); draw && draw->Valid)
            ImGui_ImplOpenGL3_RenderDrawData(draw);

        SDL_GL_SwapWindow(app->window);

        // Without vertical sync (a virtual X server) the swap returns at
        // once; the pacer holds the loop to the display's rate instead.
        int64_t wait_us = pacer.frame_done((int64_t)clock_steady_us());
        if (wait_us > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(wait_us));
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
