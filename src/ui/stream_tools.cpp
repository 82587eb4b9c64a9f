#include "ui/stream_tools.h"

#include <cstdio>

#include <imgui.h>

#include "base/clock.h"
#include "link/link.h"
#include "media/recorder.h"
#include "app/app_state.h"
#include "ui/connect_logic.h"
#include "ui/screenshot.h"
#include "ui/video_view.h"

namespace {

const uint64_t kNoticeMs = 4000;
// A key frame asked for while recording waits for one is asked for again
// this often.
const uint64_t kKeyRequestMs = 1000;

ImGuiWindowFlags passive_window_flags()
{
    return ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoInputs | ImGuiWindowFlags_AlwaysAutoResize |
           ImGuiWindowFlags_NoSavedSettings | ImGuiWindowFlags_NoFocusOnAppearing | ImGuiWindowFlags_NoNav |
           ImGuiWindowFlags_NoBringToFrontOnFocus;
}

// The picture's rectangle in Dear ImGui's coordinates, or the whole window.
ImVec4 picture_rect()
{
    ImGuiIO &io = ImGui::GetIO();
    AppState *app = app_state();
    VideoRect r = app ? app_state_video_rect(app) : VideoRect{};
    float s = io.DisplayFramebufferScale.x > 0.0f ? io.DisplayFramebufferScale.x : 1.0f;
    if (r.width < 1 || r.height < 1)
        return ImVec4(0, 0, io.DisplaySize.x, io.DisplaySize.y);
    return ImVec4((float)r.x / s, (float)r.y / s, (float)r.width / s, (float)r.height / s);
}

} // namespace

StreamTools::StreamTools() : recorder_(recorder_create()) {}

StreamTools::~StreamTools()
{
    if (shot_thread_.joinable())
        shot_thread_.join();
    recorder_destroy(&recorder_);
}

void StreamTools::attach(LinkContext *link)
{
    if (!link || !recorder_)
        return;
    link_on_video_packet(link, recorder_, recorder_on_packet);
    link_on_pcm(link, recorder_, recorder_on_pcm);
}

void StreamTools::notice(const std::string &text)
{
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
    std::lock_guard<std::mutex> g(notice_lock_);
    notice_ = text;
    notice_until_ms_ = clock_steady_ms() + kNoticeMs;
}

void StreamTools::menu_items()
{
    ImGui::Separator();
    if (ImGui::MenuItem("Save Screenshot", TOOLS_SCREENSHOT_KEYS))
        request_screenshot();
    RecorderStatus st;
    recorder_status(recorder_, &st);
    if (ImGui::MenuItem(st.recording ? "Stop Recording" : "Start Recording", TOOLS_RECORD_KEYS))
        request_record_toggle();
    if (ImGui::MenuItem("Statistics", nullptr, overlay_on_))
        overlay_on_ = !overlay_on_;
}

void StreamTools::set_stats(const StreamStats &stats, uint64_t now_us)
{
    stats_overlay_tick(&overlay_, &stats, now_us, &info_);
}

void StreamTools::take_screenshot(VideoView *video)
{
    if (shot_busy_.load()) {
        notice("A screenshot is still being saved");
        return;
    }
    YuvPicture picture;
    if (!video || !video->snapshot(&picture)) {
        notice("No picture to save");
        return;
    }
    std::string folder = screenshot_folder();
    char path[1024];
    if (folder.empty() || recorder_new_path(folder.c_str(), ".png", path, sizeof path) != 0) {
        notice("Screenshot not saved: no pictures folder (" + folder + ")");
        return;
    }
    if (shot_thread_.joinable())
        shot_thread_.join();
    shot_busy_ = true;
    std::string target = path;
    // Converting and compressing 1080p takes longer than a frame.
    shot_thread_ = std::thread([this, target, p = std::move(picture)]() {
        if (screenshot_write_png(&p, target.c_str()) == 0)
            notice("Screenshot saved to " + target);
        else
            notice("Screenshot not saved: cannot write " + target);
        shot_busy_ = false;
    });
}

void StreamTools::toggle_recording()
{
    RecorderStatus st;
    recorder_status(recorder_, &st);
    if (st.recording) {
        recorder_stop(recorder_);
        notice("Recording stopped; files in " + screenshot_folder());
        return;
    }
    std::string folder = screenshot_folder();
    if (folder.empty() || recorder_start(recorder_, folder.c_str()) != 0) {
        notice("Recording not started: no folder " + folder);
        return;
    }
    last_error_.clear();
    last_key_request_ms_ = 0;
    notice("Recording to " + folder);
}

void StreamTools::draw(LinkContext *link, int link_state, VideoView *video)
{
    const bool streaming = link_state == LINK_STATE_STREAMING;
    if (record_request_.exchange(false))
        toggle_recording();
    if (shot_request_.exchange(false))
        take_screenshot(streaming ? video : nullptr);

    // A lost connection or a stream that stops closes the file; the next one
    // starts with the first key frame after the stream is back.
    RecorderStatus st;
    recorder_status(recorder_, &st);
    if (streaming_ && !streaming && st.recording)
        recorder_cut(recorder_);
    streaming_ = streaming;
    if (!streaming)
        stats_overlay_stop(&overlay_);
    const uint64_t now_ms = clock_steady_ms();
    if (st.recording && st.wants_key_frame && streaming && link &&
        now_ms - last_key_request_ms_ >= kKeyRequestMs) {
        last_key_request_ms_ = now_ms;
        link_request_key_frame(link);
    }
    if (st.error[0] && last_error_ != st.error) {
        last_error_ = st.error;
        notice(std::string("Recording stopped: ") + st.error);
    }

    if (link) {
        if (video)
            video->video_size(&info_.width, &info_.height);
        DeviceRecord target = link_target(link);
        info_.protocol = link_usb_mode(link) ? 0 : link_protocol(link);
        if (target.usb)
            std::snprintf(info_.address, sizeof info_.address, "USB %.120s", target.location);
        else
            connect_address_text(target, info_.address, sizeof info_.address);
    }

    const ImVec4 pic = picture_rect();
    const float margin = 8.0f;
    if (overlay_on_ && streaming) {
        ImGui::SetNextWindowPos(ImVec2(pic.x + pic.z - margin, pic.y + pic.w - margin), ImGuiCond_Always,
                                ImVec2(1.0f, 1.0f));
        ImGui::SetNextWindowBgAlpha(0.65f);
        if (ImGui::Begin("##statistics_overlay", nullptr, passive_window_flags()))
            ImGui::TextUnformatted(overlay_.text[0] ? overlay_.text : "Statistics: measuring...");
        ImGui::End();
    }

    if (st.recording) {
        const uint64_t secs = (clock_steady_us() - st.started_us) / 1000000;
        char text[32];
        std::snprintf(text, sizeof text, "REC %02llu:%02llu:%02llu", (unsigned long long)(secs / 3600),
                      (unsigned long long)(secs / 60 % 60), (unsigned long long)(secs % 60));
        ImGui::SetNextWindowPos(ImVec2(pic.x + margin, pic.y + pic.w - margin), ImGuiCond_Always, ImVec2(0.0f, 1.0f));
        ImGui::SetNextWindowBgAlpha(0.65f);
        if (ImGui::Begin("##recording_indicator", nullptr, passive_window_flags())) {
            const float h = ImGui::GetTextLineHeight();
            ImVec2 at = ImGui::GetCursorScreenPos();
            ImGui::GetWindowDrawList()->AddCircleFilled(ImVec2(at.x + h * 0.5f, at.y + h * 0.5f), h * 0.35f,
                                                        IM_COL32(230, 30, 30, 255));
            ImGui::Dummy(ImVec2(h, h));
            ImGui::SameLine();
            ImGui::TextUnformatted(text);
        }
        ImGui::End();
    }

    std::string text;
    {
        std::lock_guard<std::mutex> g(notice_lock_);
        if (now_ms < notice_until_ms_)
            text = notice_;
    }
    if (!text.empty()) {
        ImGuiIO &io = ImGui::GetIO();
        ImGui::SetNextWindowPos(ImVec2(io.DisplaySize.x * 0.5f, io.DisplaySize.y - margin), ImGuiCond_Always,
                                ImVec2(0.5f, 1.0f));
        ImGui::SetNextWindowBgAlpha(0.8f);
        if (ImGui::Begin("##tools_notice", nullptr, passive_window_flags()))
            ImGui::TextUnformatted(text.c_str());
        ImGui::End();
    }
}
