#include "ui/settings_view.h"

#include <algorithm>

#include <imgui.h>

#include "input/key_layout.h"
#include "link/hid_mode.h"
#include "link/link.h"
#include "app/settings_file.h"
#include "ui/settings_logic.h"

static constexpr int kMaxLinkSubnets = 128;

void settings_copy_subnets_to_link(LinkContext *link)
{
    if (!link)
        return;
    const std::vector<uint32_t> &list = subnet_list();
    link_set_subnets(link, list.data(), (int)std::min<size_t>(list.size(), kMaxLinkSubnets));
}

SettingsView::~SettingsView()
{
    if (hid_worker_.joinable())
        hid_worker_.join();
}

void SettingsView::draw(LinkContext *link, bool *open)
{
    if (!*open)
        return;
    ImGui::SetNextWindowSize(ImVec2(500, 440), ImGuiCond_FirstUseEver);
    if (ImGui::Begin("Settings", open, 0)) {
        if (ImGui::BeginTabBar("##tab_settings")) {
            if (ImGui::BeginTabItem("Network Scan")) {
                network_tab(link);
                ImGui::EndTabItem();
            }
            if (ImGui::BeginTabItem("Device Settings")) {
                device_tab(link);
                ImGui::EndTabItem();
            }
            ImGui::EndTabBar();
        }
    }
    ImGui::End();
}

void SettingsView::network_tab(LinkContext *link)
{
    ImGui::TextWrapped("To perform a network scan, if your current IP address is not within the subnet, please enter "
                       "the subnet that you wish to scan.");
    ImGui::InputInt3("##add_subnet", octets_);
    ImGui::SameLine();
    std::vector<uint32_t> &list = subnet_list();
    if (ImGui::Button("Add Subnet") && subnet_add(&list, octets_[0], octets_[1], octets_[2]) == SUBNET_ADDED) {
        settings_save();
        settings_copy_subnets_to_link(link);
    }
    ImGui::NewLine();
    if (list.empty())
        return;
    if (!ImGui::BeginTable("##subnet_list", 2, ImGuiTableFlags_Borders))
        return;
    char text[32];
    for (size_t i = 0; i < list.size(); i++) {
        ImGui::PushID((int)i);
        ImGui::TableNextRow();
        ImGui::TableSetColumnIndex(0);
        subnet_text(list[i], text, sizeof text);
        ImGui::TextUnformatted(text);
        ImGui::TableSetColumnIndex(1);
        if (ImGui::Button("Remove")) {
            // One removal a frame: the rows below move up.
            list.erase(list.begin() + (ptrdiff_t)i);
            settings_save();
            settings_copy_subnets_to_link(link);
            ImGui::PopID();
            break;
        }
        ImGui::PopID();
    }
    ImGui::EndTable();
}

void SettingsView::device_tab(LinkContext *link)
{
    if (!ImGui::BeginTable("##device_settings_list", 2, ImGuiTableFlags_Borders))
        return;
    ImGui::PushID("#row_01_hid");
    ImGui::TableNextRow();
    ImGui::TableSetColumnIndex(0);
    ImGui::TextUnformatted("USB HID Mode");
    ImGui::TableSetColumnIndex(1);
    DeviceRecord target{};
    if (link)
        target = link_target(link);
    HidCombo h = hid_combo(target);
    bool disabled = !h.enabled;
    if (disabled)
        ImGui::BeginDisabled();
    if (ImGui::BeginCombo("##cbo_hid", hid_mode_name(h.current))) {
        if (ImGui::Selectable(hid_mode_name(h.other)) && !hid_busy_.load()) {
            // The switch may wait a second for the dongle: never on this thread.
            if (hid_worker_.joinable())
                hid_worker_.join();
            hid_busy_ = true;
            char password[17];
            link_last_password(password);
            DeviceAddress address = target.address;
            int speed = h.other;
            std::string pw(password);
            hid_worker_ = std::thread([this, address, speed, pw] {
                hidmode_switch(address, speed, pw.c_str());
                hid_busy_ = false;
            });
        }
        ImGui::EndCombo();
    }
    if (disabled)
        ImGui::EndDisabled();
    ImGui::PopID();

    // The target's keyboard layout, for Paste Text: saved with the networks.
    ImGui::PushID("#row_02_layout");
    ImGui::TableNextRow();
    ImGui::TableSetColumnIndex(0);
    ImGui::TextUnformatted("Target keyboard layout");
    ImGui::TableSetColumnIndex(1);
    std::string &layout = settings_target_layout();
    if (ImGui::BeginCombo("##cbo_layout", key_layout_label(layout.c_str()), ImGuiComboFlags_HeightLargest)) {
        for (size_t i = 0; i < KEY_LAYOUT_CHOICE_COUNT; i++) {
            const KeyLayoutChoice &c = KEY_LAYOUT_CHOICES[i];
            bool current = layout == c.name;
            if (ImGui::Selectable(c.label, current) && !current) {
                layout = c.name;
                settings_save();
            }
        }
        ImGui::EndCombo();
    }
    ImGui::PopID();
    ImGui::EndTable();
}
