#include "ui/tip_view.h"

#include <cmath>

#include <imgui.h>

#include "app/app_state.h"

static void next_notice_placement()
{
    const ImGuiViewport *vp = ImGui::GetMainViewport();
    ImGui::SetNextWindowPos(ImVec2(vp->Pos.x + vp->Size.x * 0.5f, vp->Pos.y + vp->Size.y * 0.5f),
                            ImGuiCond_Appearing, ImVec2(0.5f, 0.5f));
    ImGui::SetNextWindowSize(ImVec2(240.0f, 0.0f), ImGuiCond_Always);
}

void TipView::draw()
{
    ImGuiIO &io = ImGui::GetIO();
    bool pushed = io.Fonts->Fonts.Size > 2;
    if (pushed)
        ImGui::PushFont(io.Fonts->Fonts[2]);

    next_notice_placement();
    AppState *app = app_state();
    if (app && app->firmware_notice.exchange(false))
        ImGui::OpenPopup(TIP_FIRMWARE_TITLE);
    if (app && app->usb_mode_notice.exchange(false))
        ImGui::OpenPopup(TIP_USB_TITLE);

    if (ImGui::BeginPopupModal(TIP_FIRMWARE_TITLE, nullptr, ImGuiWindowFlags_AlwaysAutoResize)) {
        ImGui::TextWrapped("%s", TIP_FIRMWARE_TEXT);
        ImGui::Separator();
        const char *ok = "  OK  ";
        float avail = ImGui::GetContentRegionAvail().x;
        float t = std::ceil(ImGui::CalcTextSize(ok).x);
        float shift = (avail - (t + 2.0f * ImGui::GetStyle().FramePadding.x)) / 2.0f;
        if (shift > 0.0f)
            ImGui::SetCursorPosX(ImGui::GetCursorPosX() + shift);
        if (ImGui::Button(ok))
            ImGui::CloseCurrentPopup();
        ImGui::SetItemDefaultFocus();
        ImGui::EndPopup();
    }

    next_notice_placement();
    if (ImGui::BeginPopupModal(TIP_USB_TITLE, nullptr, ImGuiWindowFlags_AlwaysAutoResize)) {
        ImGui::TextWrapped("%s", TIP_USB_TEXT);
        ImGui::Separator();
        if (ImGui::Button("Yes"))
            ImGui::CloseCurrentPopup();
        ImGui::SetItemDefaultFocus();
        ImGui::SameLine();
        if (ImGui::Button("No"))
            ImGui::CloseCurrentPopup();
        ImGui::EndPopup();
    }

    if (pushed)
        ImGui::PopFont();
}
