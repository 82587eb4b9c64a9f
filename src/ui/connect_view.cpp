#include "ui/connect_view.h"

#include <cmath>
#include <cstring>

#include <imgui.h>
#include <imgui_internal.h>

#include "link/link.h"
#include "ui/connect_logic.h"
#include "ui/resources.h"

namespace {

// Fill colours; Dear ImGui multiplies every alpha by the style's global alpha.
ImU32 colour(int r, int g, int b, float a)
{
    return ImGui::GetColorU32(ImVec4(r / 255.0f, g / 255.0f, b / 255.0f, a));
}
ImU32 idle_fill() { return colour(255, 255, 255, 0.45f); }
ImU32 hover_fill() { return colour(219, 135, 95, 1.0f); }
ImU32 pressed_fill() { return colour(186, 105, 95, 1.0f); }
ImU32 outline_colour() { return colour(235, 238, 243, 1.0f); }
const ImVec4 kListText(1.0f, 1.0f, 1.0f, 1.0f);
const ImVec4 kListTextHovered(1.0f, 1.0f, 0.0f, 1.0f);

ImTextureID texture_id(const GlImage &img)
{
    return (ImTextureID)(intptr_t)img.texture;
}

// Draws an image at its own size with its top-left corner at `at`.
void draw_image(ImDrawList *dl, const GlImage &img, ImVec2 at)
{
    if (!img.texture)
        return;
    dl->AddImage(texture_id(img), at, ImVec2(at.x + (float)img.width, at.y + (float)img.height), ImVec2(0, 0),
                 ImVec2(1, 1), IM_COL32_WHITE);
}

void draw_image_centred(ImDrawList *dl, const GlImage &img, ImVec2 centre)
{
    draw_image(dl, img, ImVec2(centre.x - (float)img.width / 2.0f, centre.y - (float)img.height / 2.0f));
}

// The title centred on the whole window, its bottom 27 units above the panel.
void draw_title(const char *text, float window_w, float panel_y)
{
    ImGuiIO &io = ImGui::GetIO();
    bool pushed = io.Fonts->Fonts.Size > 1;
    if (pushed)
        ImGui::PushFont(io.Fonts->Fonts[1]);
    ImVec2 size = ImGui::CalcTextSize(text);
    ImGui::SetCursorPos(ImVec2((window_w - std::ceil(size.x)) / 2.0f, panel_y - size.y - CONNECT_TITLE_GAP));
    ImGui::TextUnformatted(text);
    if (pushed)
        ImGui::PopFont();
}

// The panel's child window at p, 390 x 163, under the given ID.
void begin_panel(const char *id, ConnectPoint p)
{
    ImGui::SetNextWindowPos(ImVec2(p.x, p.y), ImGuiCond_Always);
    ImGui::SetNextWindowSize(ImVec2(CONNECT_PANEL_W, CONNECT_PANEL_H), ImGuiCond_Always);
    ImGui::BeginChild(ImGui::GetID(id), ImVec2(CONNECT_PANEL_W, CONNECT_PANEL_H), false,
                      ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
                          ImGuiWindowFlags_NoCollapse);
}

// The title over the centred panel and the panel's child window; returns the
// panel's top-left corner.
ConnectPoint begin_titled_panel(const char *title, const char *panel_id)
{
    ImVec2 view = ImGui::GetMainViewport()->Size;
    ConnectPoint p = connect_panel_origin(view.x, view.y);
    draw_title(title, view.x, p.y);
    begin_panel(panel_id, p);
    return p;
}

// The mouse relative to the current window's top-left corner.
ImVec2 mouse_in_window()
{
    ImVec2 m = ImGui::GetMousePos(), w = ImGui::GetWindowPos();
    return ImVec2(m.x - w.x, m.y - w.y);
}

} // namespace

// The draw callback placed first in the connection window's draw list: the
// blurred photograph under everything the window draws.
struct ConnectViewAccess {
    static void draw_background(const ImDrawList *, const ImDrawCmd *cmd)
    {
        ConnectView *view = static_cast<ConnectView *>(cmd->UserCallbackData);
        const ImGuiViewport *vp = ImGui::GetMainViewport();
        const ImGuiIO &io = ImGui::GetIO();
        view->blur_.set_output_size((int)std::floor(vp->Size.x * io.DisplayFramebufferScale.x),
                                    (int)std::floor(vp->Size.y * io.DisplayFramebufferScale.y));
        view->blur_.render(view->background_.texture, view->background_.width, view->background_.height);
    }
};

ConnectView::ConnectView()
{
    blur_.set_level(100);
    // Only ever drawn shrunk 16 times before the blur: an eighth-size copy
    // (averaged, so the shrinking loses nothing) keeps 50 MB of texture
    // memory free.
    gl_texture_from_resource(RESOURCE_BACKGROUND, RESOURCE_TYPE_JPEG, &background_, 512);
    gl_texture_from_resource(RESOURCE_ICON_DEVICE, RESOURCE_TYPE_PNG, &device_icon_);
    gl_texture_from_resource(RESOURCE_ICON_CHEVRON, RESOURCE_TYPE_PNG, &chevron_);
    gl_texture_from_resource(RESOURCE_ICON_RESCAN, RESOURCE_TYPE_PNG, &rescan_icon_);
    gl_texture_from_resource(RESOURCE_ICON_BACK, RESOURCE_TYPE_PNG, &back_arrow_);
    gl_texture_from_resource(RESOURCE_ICON_FORWARD, RESOURCE_TYPE_PNG, &forward_arrow_);
    blur_.create_programs();
}

ConnectView::~ConnectView()
{
    for (GlImage *img : {&background_, &device_icon_, &chevron_, &rescan_icon_, &back_arrow_, &forward_arrow_}) {
        if (img->texture)
            glDeleteTextures(1, &img->texture);
        *img = GlImage{};
    }
}

void ConnectView::clear_password()
{
    std::memset(password_, 0, sizeof password_);
    focus_password_ = true;
}

void ConnectView::draw(LinkContext *link, const std::vector<DeviceRecord> &found, int link_state,
                       std::atomic<int> *panel_mode, bool connected)
{
    const ImGuiViewport *vp = ImGui::GetMainViewport();
    ImGui::SetNextWindowPos(ImVec2(0, 0), ImGuiCond_Always);
    ImGui::SetNextWindowSize(vp->Size, ImGuiCond_Always);
    ImGui::SetNextWindowBgAlpha(1.0f);
    ImGui::PushStyleVar(ImGuiStyleVar_WindowBorderSize, 0.0f);
    ImGui::Begin("connect_view", nullptr,
                 ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoScrollbar |
                     ImGuiWindowFlags_NoCollapse | ImGuiWindowFlags_NoBringToFrontOnFocus |
                     ImGuiWindowFlags_NoNavFocus);
    ImGui::PopStyleVar();

    ImDrawList *dl = ImGui::GetWindowDrawList();
    dl->AddCallback(ConnectViewAccess::draw_background, this);
    dl->AddCallback(ImDrawCallback_ResetRenderState, nullptr);

    int mode = panel_mode->load();
    bool unlock = link_state == LINK_STATE_PASSWORD && mode == 3;
    if (unlock && !unlock_shown_)
        focus_password_ = true;
    unlock_shown_ = unlock;
    if (unlock)
        draw_unlock(link, link_state, panel_mode, connected);
    else if (link_state == LINK_STATE_NO_VIDEO && mode == 2)
        draw_no_video(link, link_state, panel_mode, connected);
    else
        draw_server_list(link, found, link_state, panel_mode, connected);

    ImGui::End();
}

void ConnectView::draw_server_list(LinkContext *link, const std::vector<DeviceRecord> &found, int link_state,
                                   std::atomic<int> *panel_mode, bool connected)
{
    ConnectPoint p = begin_titled_panel(CONNECT_TITLE, "__search_panel");

    ImDrawList *dl = ImGui::GetWindowDrawList();
    ImVec2 origin = ImGui::GetWindowPos();
    ImVec2 m = mouse_in_window();
    bool child_hovered = ImGui::IsWindowHovered();
    const ConnectPoint chevron_centre{CONNECT_BAR_END_X, CONNECT_RADIUS};

    // The address bar.
    ImU32 bar = idle_fill();
    if (child_hovered && connect_on_bar(m.x, m.y)) {
        bar = hover_fill();
        if (ImGui::IsMouseDoubleClicked(ImGuiMouseButton_Left)) {
            editing_ = 1;
            focus_address_ = true;
            for (const DeviceRecord &r : found) {
                if (!r.current)
                    continue;
                std::memset(address_, 0, sizeof address_);
                connect_address_text(r, address_, 33);
            }
        }
        if (ImGui::IsMouseClicked(ImGuiMouseButton_Left) && connect_in_circle(m.x, m.y, chevron_centre, CONNECT_RADIUS) &&
            !found.empty())
            ImGui::OpenPopup("##__pop_up_server_list");
    }
    dl->AddRectFilled(origin, ImVec2(origin.x + CONNECT_PANEL_W, origin.y + CONNECT_BAR_H), bar, CONNECT_RADIUS);
    draw_image(dl, device_icon_, ImVec2(origin.x + 27.0f, origin.y + (CONNECT_BAR_H - (float)device_icon_.height) / 2.0f));
    draw_image(dl, chevron_, ImVec2(origin.x + 292.0f, origin.y + (CONNECT_BAR_H - (float)chevron_.height) / 2.0f));

    // The rescan button.
    ConnectPoint rescan{CONNECT_PANEL_W - CONNECT_RADIUS, CONNECT_RADIUS};
    ImVec2 rescan_at(origin.x + rescan.x, origin.y + rescan.y);
    if (child_hovered && connect_in_circle(m.x, m.y, rescan, CONNECT_RADIUS)) {
        dl->AddCircleFilled(rescan_at, CONNECT_RADIUS,
                            ImGui::IsMouseDown(ImGuiMouseButton_Left) ? pressed_fill() : hover_fill(), 0);
        if (ImGui::IsMouseClicked(ImGuiMouseButton_Left) && link && !link_scanning(link))
            link_scan(link);
    } else {
        dl->AddCircleFilled(rescan_at, CONNECT_RADIUS, idle_fill(), 0);
    }
    draw_image_centred(dl, rescan_icon_, rescan_at);

    draw_action_buttons(link, p.x, p.y, CONNECT_PANEL_W, CONNECT_PANEL_H, link_state, panel_mode, connected);

    // The address: the current target's label, the hint, or the editor.
    ImGui::PushStyleColor(ImGuiCol_FrameBg, ImVec4(0, 0, 0, 0));
    ImGui::SetCursorPos(ImVec2(CONNECT_LABEL_X, CONNECT_LABEL_Y));
    ImGui::SetNextItemWidth(CONNECT_EDITOR_W);
    if (!editing_) {
        if (link) {
            DeviceRecord target = link_target(link);
            for (const DeviceRecord &r : found) {
                if (r.usb == target.usb && strncmp(r.id, target.id, sizeof r.id) == 0)
                    connect_label(r, address_, sizeof address_);
            }
        }
        if (!address_[0]) {
            float h = ImGui::CalcTextSize(CONNECT_HINT, nullptr, false, CONNECT_EDITOR_W).y;
            ImGui::SetCursorPos(ImVec2(CONNECT_LABEL_X, (CONNECT_BAR_H - h) / 2.0f));
            ImGui::PushTextWrapPos(CONNECT_LABEL_X + CONNECT_EDITOR_W);
            ImGui::TextUnformatted(CONNECT_HINT);
            ImGui::PopTextWrapPos();
        } else {
            ImGui::SetCursorPos(ImVec2(CONNECT_LABEL_X, CONNECT_LABEL_Y));
            ImGui::TextUnformatted(address_);
        }
    } else {
        if (focus_address_)
            ImGui::SetKeyboardFocusHere();
        focus_address_ = false;
        if (ImGui::InputText("##input_server", address_, sizeof address_,
                             ImGuiInputTextFlags_CharsDecimal | ImGuiInputTextFlags_EnterReturnsTrue)) {
            editing_ = 0;
            connect_typed_address(link, address_);
        }
    }
    ImGui::PopStyleColor();

    // The list of found dongles.
    ImGui::SetNextWindowPos(ImVec2(p.x, p.y + CONNECT_LIST_OFFSET), ImGuiCond_Always);
    ImGui::SetNextWindowSize(ImVec2(CONNECT_PANEL_W, (float)connect_list_rows(found.size()) * CONNECT_ROW_H),
                             ImGuiCond_Always);
    ImGui::PushStyleColor(ImGuiCol_PopupBg, ImGui::ColorConvertU32ToFloat4(hover_fill()));
    ImGui::PushStyleVar(ImGuiStyleVar_PopupBorderSize, 0.0f);
    ImGui::PushStyleVar(ImGuiStyleVar_PopupRounding, CONNECT_RADIUS);
    ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(0, 0));
    ImGui::PushStyleVar(ImGuiStyleVar_ScrollbarRounding, CONNECT_RADIUS);
    if (ImGui::BeginPopup("##__pop_up_server_list", ImGuiWindowFlags_NoScrollbar)) {
        // The scroll of the last opening comes back when the list opens again.
        // Set on every frame it would fight the scroll the wheel just made
        // (a scroll set now takes effect on the next frame).
        if (ImGui::IsWindowAppearing())
            ImGui::SetScrollY(list_scroll_);
        bool popup_hovered = ImGui::IsWindowHovered();
        char label[300];
        for (size_t i = 0; i < found.size(); i++) {
            ImGui::PushID(("##__item_" + std::to_string(i)).c_str());
            connect_label(found[i], label, sizeof label);
            float row_y = (float)i * CONNECT_ROW_H;
            ImGui::SetCursorPos(ImVec2(0, row_y));
            if (ImGui::InvisibleButton("row", ImVec2(CONNECT_ROW_W, CONNECT_ROW_H)) && link) {
                link_disconnect(link, true);
                link_select_target(link, &found[i]);
                ImGui::CloseCurrentPopup();
            }
            bool row_hovered = popup_hovered && ImGui::IsItemHovered();
            float h = ImGui::CalcTextSize(label).y;
            ImGui::SetCursorPos(ImVec2(CONNECT_LABEL_X, row_y + (CONNECT_ROW_H - h) / 2.0f));
            ImGui::PushStyleColor(ImGuiCol_Text, row_hovered ? kListTextHovered : kListText);
            ImGui::TextUnformatted(label);
            ImGui::PopStyleColor();
            ImGui::PopID();
        }
        ImGui::SetCursorPos(ImVec2(CONNECT_ROW_W, connect_list_content_height(found.size())));
        list_scroll_ = ImGui::GetScrollY();
        ImGui::EndPopup();
    }
    ImGui::PopStyleVar(4);
    ImGui::PopStyleColor();

    ImGui::EndChild();
}

void ConnectView::draw_unlock(LinkContext *link, int link_state, std::atomic<int> *panel_mode, bool connected)
{
    ConnectPoint p = begin_titled_panel(UNLOCK_TITLE, "__unlock_panel");

    ImDrawList *dl = ImGui::GetWindowDrawList();
    ImVec2 origin = ImGui::GetWindowPos();
    dl->AddRectFilled(origin, ImVec2(origin.x + CONNECT_PANEL_W, origin.y + CONNECT_BAR_H), idle_fill(),
                      CONNECT_RADIUS);
    draw_action_buttons(link, p.x, p.y, CONNECT_PANEL_W, CONNECT_PANEL_H, link_state, panel_mode, connected);

    ImGui::PushStyleColor(ImGuiCol_FrameBg, ImVec4(0, 0, 0, 0));
    ImGui::SetCursorPos(ImVec2(CONNECT_LABEL_X, CONNECT_LABEL_Y));
    ImGui::SetNextItemWidth(CONNECT_EDITOR_W);
    // The field has the keyboard whenever the panel shows and nothing else
    // is being used (nothing else on it takes typing, and a notice or the
    // function menu keeps what is typed into it). Emptied while it is
    // being edited, it lets go first: an active field keeps its own copy of
    // the text and would show the old one.
    const ImGuiID field = ImGui::GetID("##input_password");
    if (focus_password_ && ImGui::GetActiveID() == field)
        ImGui::ClearActiveID();
    else if (focus_password_ || (!ImGui::IsAnyItemActive() && !ImGui::IsAnyMouseDown() &&
                                 !ImGui::IsPopupOpen("", ImGuiPopupFlags_AnyPopup)))
        ImGui::SetKeyboardFocusHere();
    focus_password_ = false;
    if (ImGui::InputText("##input_password", password_, sizeof password_,
                         ImGuiInputTextFlags_Password | ImGuiInputTextFlags_EnterReturnsTrue) &&
        password_[0] && link)
        link_unlock(link, password_);
    ImGui::PopStyleColor();
    ImGui::EndChild();
}

void ConnectView::draw_no_video(LinkContext *link, int link_state, std::atomic<int> *panel_mode, bool connected)
{
    ConnectPoint p = begin_titled_panel(NO_VIDEO_TITLE, "__unlock_panel");

    draw_action_buttons(link, p.x, p.y, CONNECT_PANEL_W, CONNECT_PANEL_H, link_state, panel_mode, connected);

    ImGui::PushStyleColor(ImGuiCol_FrameBg, ImVec4(0, 0, 0, 0));
    ImVec2 size = ImGui::CalcTextSize(NO_VIDEO_TEXT);
    ImGui::SetCursorPos(ImVec2((CONNECT_PANEL_W - std::ceil(size.x)) / 2.0f, (CONNECT_BAR_H - size.y) / 2.0f));
    ImGui::TextUnformatted(NO_VIDEO_TEXT);
    ImGui::PopStyleColor();
    ImGui::EndChild();
}

void ConnectView::draw_action_buttons(LinkContext *link, float qx, float qy, float sx, float sy, int link_state,
                                      std::atomic<int> *panel_mode, bool connected)
{
    int mode = panel_mode->load();
    ConnectPoint forward{}, back{};
    int count = connect_action_buttons(mode, ConnectPoint{qx, qy}, ConnectPoint{sx, sy}, &forward, &back);

    ImDrawList *dl = ImGui::GetWindowDrawList();
    ImVec2 mouse = ImGui::GetMousePos();
    bool window_hovered = ImGui::IsWindowHovered();
    bool down = ImGui::IsMouseDown(ImGuiMouseButton_Left);
    bool clicked = ImGui::IsMouseClicked(ImGuiMouseButton_Left);

    // One circular button; returns whether it was clicked this frame.
    auto button = [&](ConnectPoint c, const GlImage &icon) {
        ImVec2 centre(c.x, c.y);
        bool hovered = window_hovered && connect_in_circle(mouse.x, mouse.y, c, CONNECT_RADIUS);
        if (hovered)
            dl->AddCircleFilled(centre, CONNECT_RADIUS, down ? pressed_fill() : hover_fill(), 0);
        else
            dl->AddCircle(centre, CONNECT_OUTLINE_RADIUS, outline_colour(), 0, 1.0f);
        draw_image_centred(dl, icon, centre);
        return hovered && clicked;
    };

    if (count == 2 && button(back, back_arrow_))
        panel_mode->store(1);

    bool hovered = window_hovered && connect_in_circle(mouse.x, mouse.y, forward, CONNECT_RADIUS);
    if (hovered)
        ImGui::SetMouseCursor(ImGuiMouseCursor_Hand);
    if (button(forward, mode == 2 ? back_arrow_ : forward_arrow_)) {
        switch (connect_forward_click(mode, password_[0] == 0, connected, link_state)) {
        case FORWARD_SERVER_LIST:
            panel_mode->store(1);
            break;
        case FORWARD_UNLOCK:
            if (link)
                link_unlock(link, password_);
            break;
        case FORWARD_CONNECT:
            if (link)
                link_connect(link);
            break;
        case FORWARD_SHOW_UNLOCK:
            panel_mode->store(3);
            break;
        case FORWARD_SHOW_NO_VIDEO:
            panel_mode->store(2);
            break;
        case FORWARD_NOTHING:
            break;
        }
    }
}

int connect_typed_address(LinkContext *link, const char *text)
{
    DeviceRecord rec;
    if (!link || !text || connect_address_record(text, &rec) != 0)
        return -1;
    // Probed first: the answer tells the generation to connect in.
    link_disconnect(link, true);
    link_select_typed(link, &rec);
    return 0;
}
