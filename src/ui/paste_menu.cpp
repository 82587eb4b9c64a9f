#include "ui/paste_menu.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <mutex>

#include <imgui.h>

#include "input/key_paste.h"
#include "base/clock.h"
#include "link/link.h"
#include "app/app_state.h"
#include "app/settings_file.h"

static constexpr char kDialog[] = "Paste Text##paste_dialog";
static constexpr uint64_t kNoteMs = 6000;

// "1,234"
static std::string grouped(uint32_t n)
{
    std::string s = std::to_string(n);
    for (int i = (int)s.size() - 3; i > 0; i -= 3)
        s.insert((size_t)i, ",");
    return s;
}

void PasteMenu::menu_items(LinkContext *link)
{
    AppState *app = app_state();
    if (!app || !app->paster || !link || !app->connected.load() || link_target(link).usb)
        return;
    ImGui::Separator();
    if (paster_active(app->paster)) {
        if (ImGui::Selectable("Stop Pasting"))
            paster_cancel(app->paster);
        return;
    }
    // The dongle takes keys only while input is forwarded.
    bool usable = app->keyboard_input.load() && step_ == STEP_IDLE;
    if (ImGui::MenuItem("Paste Text", nullptr, false, usable)) {
        std::lock_guard<std::mutex> hold(app->clipboard_lock);
        app->clipboard_ready = false;
        app->clipboard_request = true;
        step_ = STEP_CLIPBOARD;
    }
    if (!app->keyboard_input.load() && ImGui::IsItemHovered(ImGuiHoveredFlags_AllowWhenDisabled))
        ImGui::SetTooltip("Turn Input on to paste or send keys.");
    if (ImGui::BeginMenu("Send Keys", usable)) {
        for (const KeyCombo &combo : key_combos()) {
            if (ImGui::MenuItem(combo.label.c_str())) {
                PastePlan plan;
                paste_plan_combo(combo, &plan);
                paster_start(app->paster, std::move(plan));
            }
        }
        ImGui::EndMenu();
    }
}

void PasteMenu::show_message(const std::string &text)
{
    text_.clear();
    message_ = text;
    step_ = STEP_MESSAGE;
    open_popup_ = true;
}

void PasteMenu::take_clipboard()
{
    AppState *app = app_state();
    {
        std::lock_guard<std::mutex> hold(app->clipboard_lock);
        if (!app->clipboard_ready)
            return;
        app->clipboard_ready = false;
        text_.swap(app->clipboard_text);
        app->clipboard_text.clear();
    }
    if (text_.empty())
        return show_message("The clipboard holds no text.");
    if (text_.size() > PASTE_MAX_BYTES)
        return show_message("The clipboard holds more than 64 KiB of text. Texts that long are not pasted.");
    characters_ = paste_count_characters(text_.data(), text_.size());
    if (characters_ > PASTE_CONFIRM_CHARS) {
        step_ = STEP_CONFIRM;
        open_popup_ = true;
        return;
    }
    start_text();
}

void PasteMenu::start_text()
{
    AppState *app = app_state();
    const std::string &name = settings_target_layout();
    if (layout_.name != name && key_layout_build(name.c_str(), &layout_) != 0)
        return show_message("The keyboard layout \"" + name + "\" is not available on this computer.");
    PastePlan plan;
    paste_plan_text(layout_, text_.data(), text_.size(), &plan);
    text_.clear();
    step_ = STEP_IDLE;
    if (!plan.reports.empty()) {
        paster_start(app->paster, std::move(plan));
        return;
    }
    note_ = "None of the " + grouped(plan.characters) + " characters is on the " + key_layout_label(name.c_str()) +
            " keyboard.";
    note_until_ = clock_steady_ms() + kNoteMs;
}

// How the last paste ended, for a few seconds after it did.
void PasteMenu::watch_end()
{
    AppState *app = app_state();
    uint32_t finished = app->paster->finished.load();
    if (finished == seen_finished_)
        return;
    seen_finished_ = finished;
    if (!app->paster->text.load())
        return;
    uint32_t done = app->paster->done.load(), total = app->paster->total.load();
    uint32_t skipped = app->paster->skipped.load();
    switch (app->paster->outcome.load()) {
    case PASTE_CANCELLED:
        note_ = "Pasting stopped at " + grouped(done) + " / " + grouped(total) + ".";
        break;
    case PASTE_CONNECTION_LOST:
        note_ = "Pasting stopped at " + grouped(done) + " / " + grouped(total) +
                ": input forwarding ended.";
        break;
    default:
        note_ = "Pasted " + grouped(total - skipped) + " characters.";
        if (skipped)
            note_ += " " + grouped(skipped) + (skipped == 1 ? " was" : " were") + " left out: not on the " +
                     key_layout_label(layout_.name.c_str()) + " keyboard.";
        break;
    }
    note_until_ = clock_steady_ms() + kNoteMs;
}

void PasteMenu::draw()
{
    AppState *app = app_state();
    if (!app || !app->paster)
        return;
    if (step_ == STEP_CLIPBOARD)
        take_clipboard();
    watch_end();

    if (open_popup_) {
        ImGui::OpenPopup(kDialog);
        open_popup_ = false;
    }
    ImVec2 centre = ImGui::GetMainViewport()->GetCenter();
    ImGui::SetNextWindowPos(centre, ImGuiCond_Appearing, ImVec2(0.5f, 0.5f));
    if (ImGui::BeginPopupModal(kDialog, nullptr, ImGuiWindowFlags_AlwaysAutoResize | ImGuiWindowFlags_NoMove)) {
        if (step_ == STEP_CONFIRM) {
            // Each character takes two reports at least.
            uint64_t seconds = (paste_duration_ms(2 * (size_t)characters_, PASTE_REPORT_INTERVAL_MS) + 999) / 1000;
            ImGui::Text("The clipboard holds %s characters.", grouped(characters_).c_str());
            ImGui::Text("Typing them into the target takes at least %" PRIu64 " seconds.", seconds);
            ImGui::TextUnformatted("Escape stops it.");
            if (ImGui::Button("Paste", ImVec2(120, 0))) {
                ImGui::CloseCurrentPopup();
                start_text();
            }
            ImGui::SameLine();
            if (ImGui::Button("Cancel", ImVec2(120, 0))) {
                ImGui::CloseCurrentPopup();
                text_.clear();
                step_ = STEP_IDLE;
            }
        } else if (step_ == STEP_MESSAGE) {
            ImGui::TextUnformatted(message_.c_str());
            if (ImGui::Button("OK", ImVec2(120, 0))) {
                ImGui::CloseCurrentPopup();
                step_ = STEP_IDLE;
            }
        } else {
            ImGui::CloseCurrentPopup();
        }
        ImGui::EndPopup();
    }

    if (note_until_ && clock_steady_ms() <= note_until_) {
        ImVec2 size = ImGui::CalcTextSize(note_.c_str());
        float w = std::ceil(size.x) + 2.0f * ImGui::GetStyle().WindowPadding.x;
        ImGui::SetNextWindowPos(ImVec2((ImGui::GetMainViewport()->Size.x - w) / 2.0f, 0.0f), ImGuiCond_Always);
        ImGui::SetNextWindowSize(ImVec2(w, size.y + 2.0f * ImGui::GetStyle().WindowPadding.y), ImGuiCond_Always);
        ImGui::Begin("##paste_note", nullptr,
                     ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
                         ImGuiWindowFlags_NoInputs | ImGuiWindowFlags_NoFocusOnAppearing);
        ImGui::TextUnformatted(note_.c_str());
        ImGui::End();
    } else {
        note_until_ = 0;
    }
}
