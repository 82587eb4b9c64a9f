#include "firmware/update_worker.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "firmware/http_client.h"
#include "firmware/net_upload.h"
#include "link/link.h"
#include "protocol/md5.h"

// The update server's host name, set at build time (README: Build-time settings).
#ifndef KAVRI_UPDATE_SERVER
#define KAVRI_UPDATE_SERVER "updates.kavri-viewer.example"
#endif

namespace {

const char kReplug[] = "Please replug the KAVRI Viewer!";
const char kTooOld[] = "The device doesn't meet update requirement!";
const char kNoDevice[] = "Could not detect KAVRI Viewer over USB or network!";
const char kNoNetworkUpdate[] =
    "The device doesn't support network update! Please plug the USB cable to the computer.";
const char kCheckFailed[] = "Failed to check update from internet!";
const char kConnectFailed[] = "Failed to connect to KAVRI Viewer!";
const char kBuildFailed[] = "Failed to get build version, please try again!";
const char kUpToDate[] = "The firmware is up to date!";
const char kDownloading[] = "A new version is available! Downloading firmware...";
const char kDownloadFailed[] = "Failed to download firmware, please try again!";
const char kCorrupted[] = "The firmware is corrupted, please try again!";
const char kUploading[] = "Uploading firmware... Please DO NOT disconnect KAVRI Viewer!!";
// The HID dialogue needs 42 bytes per report for the image's digest.
constexpr int kMinFeatureLength = 42;

int hex_value(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int check_progress(void *ctx, uint64_t, uint64_t)
{
    return ((UpdateState *)ctx)->cancel.load();
}

int download_progress(void *ctx, uint64_t now, uint64_t total)
{
    UpdateState *st = (UpdateState *)ctx;
    if (total > 0)
        st->progress = (float)((double)(now < total ? now : total) / (double)total);
    return st->cancel.load();
}

std::string url_of(const UpdateConfig *cfg, const char *path)
{
    return std::string(cfg->base_url) + path;
}

}  // namespace

void update_config_defaults(UpdateConfig *cfg)
{
    memset(cfg, 0, sizeof *cfg);
    snprintf(cfg->base_url, sizeof cfg->base_url, "https://%s", KAVRI_UPDATE_SERVER);
    cfg->check_timeout_ms = 3000;
    cfg->download_timeout_ms = 300000;
    cfg->max_text_bytes = 4096;
    cfg->max_image_bytes = (size_t)256 << 20;
    cfg->scan_wait_ms = 3000;
    cfg->connect_timeout_ms = 2000;
    cfg->command_wait_ms = 1000;
    cfg->close_wait_ms = 2000;
    cfg->restart_step_ms = 1000;
}

void update_parse_latest(const uint8_t *text, size_t len, LatestInfo *out)
{
    memset(out, 0, sizeof *out);
    if (!text)
        return;
    uint64_t build = 0;
    for (size_t i = 0; i < len && text[i] >= '0' && text[i] <= '9'; i++) {
        uint64_t digit = (uint64_t)(text[i] - '0');
        if (build > (UINT64_MAX - digit) / 10) {
            build = UINT64_MAX;
            while (i + 1 < len && text[i + 1] >= '0' && text[i + 1] <= '9')
                i++;
            break;
        }
        build = build * 10 + digit;
    }
    out->build = build;

    const uint8_t *bar = (const uint8_t *)memchr(text, '|', len);
    if (!bar || (size_t)(text + len - bar) != 33)
        return;
    for (int i = 0; i < 16; i++) {
        int hi = hex_value(bar[1 + 2 * i]), lo = hex_value(bar[2 + 2 * i]);
        if (hi < 0 || lo < 0) {
            memset(out->md5, 0, sizeof out->md5);
            return;
        }
        out->md5[i] = (uint8_t)(hi << 4 | lo);
    }
    out->digest_ok = 1;
}

int update_decide_route(const UpdateRouteInput *in, const char **message)
{
    *message = nullptr;
    if (in->stream_mode) {
        *message = kReplug;
        return UPDATE_END;
    }
    // A dongle that could not be opened is not known to be too old: most often
    // its access rights are missing (the reason is on standard error).
    if (in->hid_found && in->hid_unreadable) {
        *message = kConnectFailed;
        return UPDATE_END;
    }
    if (in->hid_found && in->hid_version < 0x2000) {
        *message = kTooOld;
        return UPDATE_END;
    }
    if (in->hid_found)
        return UPDATE_ROUTE_USB;
    if (!in->have_target) {
        *message = kNoDevice;
        return UPDATE_END;
    }
    if (in->target_build < UPDATE_MIN_NETWORK_BUILD) {
        *message = kNoNetworkUpdate;
        return UPDATE_END;
    }
    return UPDATE_ROUTE_NETWORK;
}

int update_usb_build_needs_query(uint16_t version, int attributes_ok, uint64_t *build)
{
    if (attributes_ok && version >= 0x2002)
        return 1;
    *build = 0;
    return 0;
}

int update_worker_run(UpdateState *st, const UpdateConfig *cfg)
{
    const UpdateUsbOps *usb = cfg->usb;

    // 1. USB: a dongle in stream mode, or one in plain HID mode.
    UpdateUsbFound found{};
    if (usb && usb->detect)
        usb->detect(usb->context, &found);
    found.hid_path[sizeof found.hid_path - 1] = 0;
    if (found.stream_mode)
        update_state_set_message(st, kReplug);

    // 2. Without a HID dongle, look on the network.
    DeviceRecord target{};
    int have_target = 0;
    if (!found.hid_found) {
        update_state_clear_found(st);
        LinkContext *link = cfg->link ? cfg->link : link_global();
        if (link && !link_scanning(link))
            link_scan(link);
        if (update_state_wait(st, cfg->scan_wait_ms))
            return 0;
        have_target = update_state_first_network(st, &target);
    }

    // 3. Route.
    UpdateRouteInput in{found.stream_mode, found.hid_found, found.hid_version, have_target, target.build,
                        found.hid_unreadable};
    const char *message = nullptr;
    int route = update_decide_route(&in, &message);
    if (route == UPDATE_END) {
        if (message)
            update_state_set_message(st, message);
        return 0;
    }

    // 4. The announced build.
    HttpOptions http{};
    http.ca_file = cfg->ca_file;
    http.timeout_ms = cfg->check_timeout_ms;
    http.max_bytes = cfg->max_text_bytes;
    http.progress = check_progress;
    http.progress_context = st;
    uint8_t *text = nullptr;
    size_t text_len = 0;
    if (http_get(url_of(cfg, "/fw/latest.txt").c_str(), &http, &text, &text_len) != 0) {
        if (!st->cancel.load())
            update_state_set_message(st, kCheckFailed);
        return 0;
    }
    LatestInfo latest;
    update_parse_latest(text, text_len, &latest);
    http_free(text);

    // 5. The dongle's build.
    uint64_t device_build = 0;
    void *hid = nullptr;
    int feature_len = 0;
    auto end = [&]() {
        if (hid && usb->close)
            usb->close(hid);
        return 0;
    };
    if (route == UPDATE_ROUTE_NETWORK) {
        device_build = target.build;
    } else {
        hid = usb->open ? usb->open(usb->context, found.hid_path) : nullptr;
        if (!hid) {
            update_state_set_message(st, kConnectFailed);
            return 0;
        }
        uint16_t version = 0;
        int attributes_ok = usb->attributes && usb->attributes(hid, &version, &feature_len) == 0;
        // Without its report length, or with reports too short for the
        // image's digest, the dongle cannot take an image: say so now rather
        // than download one and leave "Uploading..." standing.
        if (!attributes_ok || feature_len <= 0) {
            update_state_set_message(st, kConnectFailed);
            return end();
        }
        if (feature_len < kMinFeatureLength) {
            update_state_set_message(st, kTooOld);
            return end();
        }
        if (update_usb_build_needs_query(version, attributes_ok, &device_build)) {
            if (!usb->query_build || usb->query_build(hid, feature_len, &device_build) != 0) {
                update_state_set_message(st, kBuildFailed);
                return end();
            }
        }
    }

    // 6, 7. Newer, and a usable digest.
    if (device_build >= latest.build) {
        update_state_set_message(st, kUpToDate);
        return end();
    }
    if (!latest.digest_ok)
        return end();

    // 8. Download, with the bar moving: five minutes of a still screen look hung.
    update_state_set_message(st, kDownloading);
    st->progress = 0.0f;
    st->progress_visible = 1;
    http.timeout_ms = cfg->download_timeout_ms;
    http.max_bytes = cfg->max_image_bytes;
    http.progress = download_progress;
    http.progress_context = st;
    uint8_t *image = nullptr;
    size_t image_len = 0;
    if (http_get(url_of(cfg, "/fw/latest.img").c_str(), &http, &image, &image_len) != 0) {
        if (!st->cancel.load())
            update_state_set_message(st, kDownloadFailed);
        return end();
    }

    // 9. Verify.
    uint8_t digest[16];
    md5(image, image_len, digest);
    if (memcmp(digest, latest.md5, sizeof digest) != 0) {
        update_state_set_message(st, kCorrupted);
        http_free(image);
        return end();
    }

    // 10. Upload.
    update_state_set_message(st, kUploading);
    st->progress = 0.0f;
    st->progress_visible = 1;
    if (route == UPDATE_ROUTE_NETWORK) {
        NetUploadTiming t{cfg->connect_timeout_ms, cfg->command_wait_ms, cfg->close_wait_ms, cfg->restart_step_ms};
        net_upload(&target, image, image_len, digest, st, &t);
    } else if (usb->upload) {
        usb->upload(hid, feature_len, image, image_len, st);  // sets its own outcome message
    } else {
        update_state_set_message(st, kConnectFailed);
    }
    http_free(image);
    return end();
}

namespace {

void worker_main(UpdateState *st, UpdateConfig cfg)
{
    cfg.base_url[sizeof cfg.base_url - 1] = 0;
    cfg.ca_file[sizeof cfg.ca_file - 1] = 0;
    update_worker_run(st, &cfg);
    st->progress_visible = 0;
    st->busy = 0;  // last: a new worker may start from here on
}

}  // namespace

int update_worker_start(UpdateState *st, const UpdateConfig *cfg)
{
    if (!st || !cfg)
        return -1;
    uint8_t idle = 0;
    if (!st->busy.compare_exchange_strong(idle, 1))
        return -1;
    // The previous worker has cleared busy, so it is at its very end.
    update_state_join(st);
    update_state_set_message(st, "");
    st->progress_visible = 0;
    st->progress = 0.0f;
    std::thread *t = new (std::nothrow) std::thread;
    if (!t) {
        st->busy = 0;
        return -1;
    }
    try {
        *t = std::thread(worker_main, st, *cfg);
    } catch (...) {
        delete t;
        st->busy = 0;
        return -1;
    }
    st->thread = t;
    return 0;
}
