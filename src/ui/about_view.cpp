#include "ui/about_view.h"

#include <cstdio>
#include <cstring>

#include <SDL.h>
#include <imgui.h>

#include "firmware/hid_upload.h"
#include "firmware/update_state.h"
#include "firmware/update_worker.h"
#include "ui/about_texts.h"

#ifndef KAVRI_HELP_WEBSITE
#define KAVRI_HELP_WEBSITE "https://kavri-viewer.example/faq"
#endif
#ifndef KAVRI_HELP_VIDEOS
#define KAVRI_HELP_VIDEOS "https://kavri-viewer.example/videos"
#endif

static void open_url(const char *url)
{
    // A browser that does not start is not the viewer's business.
    (void)SDL_OpenURL(url);
}

void AboutView::draw(bool *open, const char *version, UpdateState *update)
{
    if (!*open)
        return;
    char title[128];
    about_title(version, title, sizeof title);
    ImGui::SetNextWindowSize(ImVec2(500, 440), ImGuiCond_FirstUseEver);
    if (ImGui::Begin(title, open, 0)) {
        if (ImGui::BeginTabBar("##tabbar")) {
            if (ImGui::BeginTabItem("ImGui")) {
                ImGui::TextWrapped("%s", ABOUT_IMGUI_LICENSE);
                ImGui::EndTabItem();
            }
            if (ImGui::BeginTabItem("SDL2")) {
                ImGui::TextWrapped("%s", ABOUT_SDL_LICENSE);
                ImGui::EndTabItem();
            }
            if (ImGui::BeginTabItem("FFmpeg")) {
                ImGui::TextWrapped("%s", ABOUT_FFMPEG_TITLE);
                if (ImGui::Selectable(ABOUT_LGPL_URL))
                    open_url(ABOUT_LGPL_URL);
                ImGui::EndTabItem();
            }
            if (ImGui::BeginTabItem("Release Notes")) {
                ImGui::TextWrapped("%s", ABOUT_RELEASE_NOTES);
                ImGui::EndTabItem();
            }
            if (update && ImGui::BeginTabItem("Check Update")) {
                update_tab(update);
                ImGui::EndTabItem();
            }
            if (ImGui::BeginTabItem("Help")) {
                if (ImGui::Selectable("Website"))
                    open_url(KAVRI_HELP_WEBSITE);
                if (ImGui::Selectable("YouTube"))
                    open_url(KAVRI_HELP_VIDEOS);
                ImGui::EndTabItem();
            }
            ImGui::EndTabBar();
        }
    }
    ImGui::End();
}

void AboutView::update_tab(UpdateState *update)
{
    ImGui::TextWrapped("%s", ABOUT_UPDATE_TEXT);
    bool busy = update->busy.load() != 0;
    if (busy)
        ImGui::BeginDisabled();
    if (ImGui::Button("Check") && !update->busy.load()) {
        // Dongles in plain HID mode are updated through the USB layer.
        static UpdateUsbOps usb_ops;
        hid_fw_usb_ops(usb_linux_backend(), &usb_ops);
        UpdateConfig cfg;
        update_config_defaults(&cfg);
        cfg.usb = &usb_ops;
        update_worker_start(update, &cfg);
    }
    if (busy)
        ImGui::EndDisabled();
    char message[UPDATE_MESSAGE_CAP];
    update_state_get_message(update, message);
    if (message[0]) {
        ImGui::PushStyleColor(ImGuiCol_Text, ImVec4(1, 1, 0, 1));
        ImGui::PushTextWrapPos(0.0f);
        ImGui::TextUnformatted(message);
        ImGui::PopTextWrapPos();
        ImGui::PopStyleColor();
    }
    if (update->progress_visible.load())
        ImGui::ProgressBar(update->progress.load(), ImVec2(-FLT_MIN, 0), "");
}
