#include "ui/context_menu.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include <imgui.h>

#include "input/input_thread.h"
#include "base/clock.h"
#include "link/link.h"
#include "app/app_state.h"
#include "ui/connect_logic.h"
#include "ui/resources.h"

ConnectedContextMenu::ConnectedContextMenu() : version_(resource_version_text()) {}

ConnectedContextMenu::~ConnectedContextMenu()
{
    update_state_join(&update_);
    std::free(version_);
}

static bool same_device(const DeviceRecord &a, const DeviceRecord &b)
{
    return a.usb == b.usb && strncmp(a.id, b.id, sizeof a.id) == 0;
}

// Before the connection goes by the operator's hand, keys held while the menu
// was opened (Left Ctrl of the release gesture, say) are let go on the target.
static void release_before_leaving(LinkContext *link)
{
    AppState *app = app_state();
    if (link && app && (app->keyboard_input.load() || app->mouse_input.load()))
        input_release_all(app->input);
}

void ConnectedContextMenu::set_input(LinkContext *link, bool on)
{
    AppState *app = app_state();
    if (!app)
        return;
    app->keyboard_input = on;
    app->mouse_input = on;
    if (link)
        link_set_input(link, on ? 1 : 0);
    app->title_request = on ? APP_TITLE_FORWARDING : APP_TITLE_PLAIN;
    if (!on) {
        // Nothing stays pressed on the target.
        if (link)
            input_release_all(app->input);
    } else {
        tip_shown_at_ = clock_wall_ms();
    }
}

void ConnectedContextMenu::draw(LinkContext *link, const std::vector<DeviceRecord> &found)
{
    AppState *app = app_state();

    // The release-input tip, at the top centre. The window is as high as the
    // text plus its padding, so the text is not cut.
    if (tip_shown_at_) {
        if (menu_tip_visible(tip_shown_at_, clock_wall_ms())) {
            ImVec2 text = ImGui::CalcTextSize(MENU_TIP_TEXT);
            float w = std::ceil(text.x) + 18.0f;
            float h = text.y + 2.0f * ImGui::GetStyle().WindowPadding.y;
            ImGui::SetNextWindowPos(ImVec2((ImGui::GetMainViewport()->Size.x - w) / 2.0f, 0.0f), ImGuiCond_Always,
                                    ImVec2(0, 0));
            ImGui::SetNextWindowSize(ImVec2(w, h), ImGuiCond_Always);
            ImGui::Begin("##release_input_tip", nullptr,
                         ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove);
            ImGui::TextUnformatted(MENU_TIP_TEXT);
            ImGui::End();
        } else {
            tip_shown_at_ = 0;
        }
    }

    if (open_request_.exchange(false))
        ImGui::OpenPopup(MENU_POPUP_ID);

    if (ImGui::BeginPopup(MENU_POPUP_ID)) {
        bool fullscreen = app && app->fullscreen.load();
        if (ImGui::Selectable(fullscreen ? "Windowed" : "Full Screen") && app)
            app->fullscreen_request = !fullscreen;

        bool audio = app && app->audio_on.load();
        if (ImGui::MenuItem("Audio", nullptr, audio) && app) {
            app->audio_on = !audio;
            if (link)
                link_set_audio(link, audio ? 0 : 1);
        }

        DeviceRecord target{};
        if (link)
            target = link_target(link);
        if (!target.usb) {
            ImGui::Separator();
            bool input = app && app->keyboard_input.load() && app->mouse_input.load();
            if (ImGui::MenuItem("Input", nullptr, input))
                set_input(link, !input);
        }

        if (found.size() > 1) {
            ImGui::Separator();
            if (ImGui::BeginMenu("Target Device")) {
                char label[256];
                for (size_t i = 0; i < found.size(); i++) {
                    connect_label(found[i], label, sizeof label);
                    ImGui::PushID((int)i);
                    if (ImGui::MenuItem(label, nullptr, same_device(found[i], target)) && link) {
                        release_before_leaving(link);
                        link_disconnect(link, true);
                        link_select_target(link, &found[i]);
                    }
                    ImGui::PopID();
                }
                ImGui::EndMenu();
            }
        }

        ImGui::Separator();
        if (ImGui::Selectable("Disconnect") && link) {
            release_before_leaving(link);
            link_disconnect(link, false);
        }
        ImGui::Separator();
        if (ImGui::Selectable("Settings")) {
            settings_open_ = true;
            about_open_ = false;
        }
        if (ImGui::Selectable("About"))
            about_open_ = true;
        paste_.menu_items(link);
        ImGui::EndPopup();
    }
    bool popup_open = ImGui::IsPopupOpen(MENU_POPUP_ID);

    about_.draw(&about_open_, version_, &update_);
    settings_.draw(link, &settings_open_);
    paste_.draw();

    if (app)
        app->ui_focus = popup_open || about_open_ || settings_open_ || paste_.window_open();
}
