#include "ui/kvui.h"

#include <algorithm>
#include <cstring>
#include <GL/gl.h>

#include "base/clock.h"
#include "link/link.h"
#include "link/usb_detect.h"
#include "link/usb_transport.h"
#include "app/app_state.h"
#include "app/settings_file.h"
#include "firmware/update_state.h"
#include "input/input_thread.h"
#include "ui/connect_view.h"
#include "ui/context_menu.h"
#include "ui/tip_view.h"

// The new-firmware notice is raised at most once per run, whatever the number
// of KVUI objects.
static std::atomic<bool> g_firmware_notice_once{false};

// The link copies at most this many extra networks.
static constexpr int kMaxSubnets = 128;

KVUI::KVUI()
{
    aliases_ = alias_load();

    // The link is created without its first scan so that every listener is in
    // place (and the extra networks are known) before anything is reported;
    // the scan is started by hand below. Adapters come from getifaddrs; USB
    // dongles through libusb and hidapi.
    LinkOptions options{};
    options.no_initial_scan = 1;
    options.usb_detect = usb_detect_run;
    options.usb_transport = usb_transport_run;
    options.usb_backend = usb_linux_backend();
    link_ = link_start(&options);

    video_ = new VideoView();
    connect_ = new ConnectView();
    login_ = new LoginView();
    tips_ = new TipView();
    menu_ = new ConnectedContextMenu();

    if (link_) {
        link_on_state(link_, this, on_state);
        link_on_video_size(link_, video_, VideoView::on_video_size);
        link_on_frame(link_, this, on_frame);
        link_on_scan_started(link_, this, on_scan_started);
        link_on_device(link_, this, on_device);
        // The firmware update worker sees every dongle reported, too.
        link_on_device(link_, menu_->update_state(), update_state_on_device);

        const std::vector<uint32_t> &subnets = subnet_list();
        int count = (int)std::min<size_t>(subnets.size(), kMaxSubnets);
        link_set_subnets(link_, subnets.data(), count);
        link_set_audio(link_, 1);
        link_scan(link_);
    }
}

KVUI::~KVUI()
{
    // A firmware update works through the link: it ends (cut short) first.
    if (menu_)
        update_state_join(menu_->update_state());
    // Stopping the link waits for its threads, so no listener is running or
    // will run when the views go.
    if (link_)
        link_stop(&link_);
    delete video_;
    video_ = nullptr;
    delete connect_;
    connect_ = nullptr;
    delete login_;
    login_ = nullptr;
    delete tips_;
    tips_ = nullptr;
    delete menu_;
    menu_ = nullptr;
    // A listener that raced the stop may still hold the found-list lock.
    { std::lock_guard<std::mutex> hold(found_.lock); }
}

void KVUI::render_video(int output_width, int output_height)
{
    // The view clears only the bars around its picture; without a picture
    // the whole window is the dark grey of the letterbox.
    VideoArea area{};
    if (video_ && video_->render(output_width, output_height, &area) == 1) {
        if (AppState *app = app_state())
            app_state_set_video_rect(app, VideoRect{area.x, area.y, area.width, area.height});
        return;
    }
    glViewport(0, 0, std::max(output_width, 0), std::max(output_height, 0));
    glDisable(GL_SCISSOR_TEST);
    glClearColor(0.1f, 0.1f, 0.1f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
}

void KVUI::draw()
{
    if (password_reset_.exchange(false) && connect_)
        connect_->clear_password();
    int state = state_.load();
    std::vector<DeviceRecord> found = found_snapshot(&found_);
    if (menu_)
        menu_->draw(link_, found);
    if (state != LINK_STATE_STREAMING && connect_) {
        AppState *app = app_state();
        connect_->draw(link_, found, state, &panel_mode_, app && app->connected.load());
    }
    if (tips_)
        tips_->draw();
}

void KVUI::on_state(void *ctx, int state)
{
    KVUI *ui = static_cast<KVUI *>(ctx);
    ui->state_.store(state);
    if (AppState *app = app_state()) {
        bool connected = (state >= LINK_STATE_NO_VIDEO && state < 6);
        if (app->connected.exchange(connected) && !connected && app->input)
            input_forget(app->input);
    }
    // Asked for a password (again): the unlock panel starts empty. The buffer
    // belongs to the UI thread, so the link thread only asks for the reset.
    if (state == LINK_STATE_PASSWORD)
        ui->password_reset_.store(true);
    ui->panel_mode_.store(panel_mode_after_state(state, ui->panel_mode_.load()));
    app_wake_ui();
}

void KVUI::on_scan_started(void *ctx)
{
    found_clear(&static_cast<KVUI *>(ctx)->found_);
    app_wake_ui();
}

void KVUI::on_frame(void *ctx, int count, uint8_t *const *data, const int *line_sizes, int height)
{
    KVUI *ui = static_cast<KVUI *>(ctx);
    if (ui->video_)
        ui->video_->take_frame(count, data, line_sizes, height);
    // Drawn at once, not on the next beat of the frame loop.
    app_wake_ui();
}

void KVUI::on_device(void *ctx, const DeviceRecord *rec)
{
    KVUI *ui = static_cast<KVUI *>(ctx);
    if (!rec)
        return;
    AppState *app = app_state();
    bool connected = app ? app->connected.load() : false;
    UpdateState *update = ui->menu_ ? ui->menu_->update_state() : nullptr;
    bool updating = update && update->busy.load();
    FoundMerge m = found_merge(&ui->found_, *rec, ui->aliases_, connected, clock_wall_ms(), &g_firmware_notice_once,
                               updating);
    if (app) {
        if (m.firmware_notice)
            app->firmware_notice = true;
        if (m.usb_mode_notice)
            app->usb_mode_notice = true;
    }
    if (m.select && ui->link_)
        link_select_target(ui->link_, &m.record);
    app_wake_ui();
}
