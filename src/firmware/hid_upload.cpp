#include "firmware/hid_upload.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "firmware/update_state.h"
#include "firmware/update_worker.h"
#include "base/bytes.h"
#include "protocol/sha256_block.h"

namespace {

// The longest the flashing poll waits for the dongle to finish: a dongle that
// answers "busy" for ever must not hold the worker for ever.
constexpr int kPollLimitMs = 10 * 60 * 1000;

// Waits ms milliseconds in short slices, ending early on a cancel request.
void wait_ms(UpdateState *st, int ms)
{
    for (int left = ms; left > 0; left -= 20) {
        if (st && st->cancel.load())
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(left < 20 ? left : 20));
    }
}

bool send_code(const UsbBackend *b, UsbHid *h, int len, uint8_t code)
{
    std::vector<uint8_t> r((size_t)len);
    hid_fw_report(r.data(), len, code);
    return b->hid_set_feature(h, r.data(), r.size()) >= 0;
}

bool read_reply(const UsbBackend *b, UsbHid *h, std::vector<uint8_t> *reply)
{
    std::fill(reply->begin(), reply->end(), 0);
    (*reply)[0] = HID_FW_REPORT_ID;
    return b->hid_get_feature(h, reply->data(), reply->size()) >= 0;
}

// Waits 5 ms, reads a reply and requires a good one to `code`.
bool check(const UsbBackend *b, UsbHid *h, int len, uint8_t code, UpdateState *st)
{
    wait_ms(st, 5);
    std::vector<uint8_t> reply((size_t)len);
    return read_reply(b, h, &reply) && hid_fw_reply_good(reply.data(), len, code);
}

bool send_and_check(const UsbBackend *b, UsbHid *h, int len, uint8_t code, UpdateState *st)
{
    return send_code(b, h, len, code) && check(b, h, len, code, st);
}

} // namespace

int hid_fw_report(uint8_t *out, int feature_len, uint8_t code)
{
    if (!out || feature_len < 2)
        return -1;
    std::memset(out, 0, (size_t)feature_len);
    out[0] = HID_FW_REPORT_ID;
    out[1] = code;
    return 0;
}

int hid_fw_size_report(uint8_t *out, int feature_len, const uint8_t *image, size_t size)
{
    if (feature_len < 42 || size > UINT32_MAX || hid_fw_report(out, feature_len, HID_FW_SIZE) != 0)
        return -1;
    wr_le32(out + 6, (uint32_t)size);
    sha256_block_digest(image, size, out + 10);
    return 0;
}

bool hid_fw_reply_good(const uint8_t *reply, int feature_len, uint8_t code)
{
    return reply && feature_len >= 3 && reply[0] == HID_FW_REPORT_ID && reply[1] == code && reply[2] == 0;
}

int hid_fw_parse_build(const uint8_t *reply, int feature_len, uint64_t *build)
{
    if (!reply || feature_len < 4 || reply[2] == HID_FW_BUILD_FAILED)
        return -1;
    uint64_t v = 0;
    for (int i = 3; i < feature_len && reply[i] >= '0' && reply[i] <= '9'; i++) {
        uint64_t d = (uint64_t)(reply[i] - '0');
        v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
    }
    *build = v;
    return 0;
}

uint32_t hid_fw_piece_count(size_t size, int feature_len)
{
    if (feature_len <= 6)
        return 0;
    size_t p = (size_t)feature_len - 6;
    return (uint32_t)((size + p - 1) / p);
}

size_t hid_fw_piece_len(size_t size, int feature_len, uint32_t i)
{
    if (feature_len <= 6)
        return 0;
    size_t p = (size_t)feature_len - 6, at = (size_t)i * p;
    return at >= size ? 0 : (size - at < p ? size - at : p);
}

int hid_fw_query_build(const UsbBackend *b, UsbHid *h, int feature_len, uint64_t *build)
{
    if (!b || !h || feature_len < 4 || !send_code(b, h, feature_len, HID_FW_BUILD))
        return -1;
    wait_ms(nullptr, 100);
    std::vector<uint8_t> reply((size_t)feature_len);
    if (!read_reply(b, h, &reply))
        return -1;
    return hid_fw_parse_build(reply.data(), feature_len, build);
}

int hid_fw_upload(const UsbBackend *b, UsbHid *h, int feature_len, const uint8_t *image, size_t size,
                  UpdateState *st)
{
    if (!st)
        return -1;
    // No room for the digest below 42 bytes (nor for data at 6 or less).
    if (!b || !h || feature_len < HID_FW_MIN_FEATURE_LENGTH || size > UINT32_MAX) {
        update_state_set_message(st, HID_FW_FAILED_TEXT);
        return -1;
    }
    int len = feature_len;
    // Until "end of data" has gone, the dongle holds an incomplete image and
    // flashes nothing: a cancel ends the dialogue there without another
    // report. Every step below is sent only while no cancel is asked for.
    auto cancelled = [&] { return st->cancel.load() != 0; };
    auto fail = [&] {
        if (cancelled())
            return HID_FW_CANCELLED;
        update_state_set_message(st, HID_FW_FAILED_TEXT);
        return -1;
    };
    if (cancelled() || !send_and_check(b, h, len, HID_FW_OPEN, st) || cancelled() ||
        !send_and_check(b, h, len, HID_FW_PREPARE, st))
        return fail();
    wait_ms(st, 1000);

    std::vector<uint8_t> r((size_t)len);
    hid_fw_size_report(r.data(), len, image, size);
    if (cancelled() || b->hid_set_feature(h, r.data(), r.size()) < 0 || !check(b, h, len, HID_FW_SIZE, st))
        return fail();
    wait_ms(st, 1000);

    uint32_t n = hid_fw_piece_count(size, len);
    size_t p = (size_t)len - 6;
    for (uint32_t i = 0; i < n; i++) {
        if (cancelled())
            return HID_FW_CANCELLED;
        st->progress = (float)i / (float)n;
        hid_fw_report(r.data(), len, HID_FW_PIECE);
        wr_le32(r.data() + 2, (uint32_t)((size_t)i * p));
        std::memcpy(r.data() + 6, image + (size_t)i * p, hid_fw_piece_len(size, len, i));
        b->hid_set_feature(h, r.data(), r.size());  // a lost piece is not noticed here
    }
    if (cancelled())
        return HID_FW_CANCELLED;
    st->progress = 1.0f;
    update_state_set_message(st, "Updating firmware... Please DO NOT disconnect KAVRI Viewer!!");

    if (!send_and_check(b, h, len, HID_FW_END, st) || cancelled())
        return fail();
    send_code(b, h, len, HID_FW_FLASH);
    // From here the dongle flashes on its own; a cancel only stops watching.
    wait_ms(st, 100);

    std::vector<uint8_t> reply((size_t)len);
    for (int waited = 0; waited < kPollLimitMs; waited += 100) {
        if (cancelled())
            return HID_FW_CANCELLED;
        if (!read_reply(b, h, &reply) || reply[0] != HID_FW_REPORT_ID || reply[1] != HID_FW_STATUS)
            break;
        if (reply[2] == HID_FW_FINISHED) {
            st->progress = 1.0f;
            update_state_set_message(st, "Succeded to update firmware!!");
            return 0;
        }
        if (reply[2] != 0)
            break;
        if (len >= 7) {
            uint32_t done = rd_le32(reply.data() + 3);
            st->progress = size ? (float)((double)(done < size ? done : size) / (double)size) : 1.0f;
        }
        wait_ms(st, 100);
    }
    // A failing status, a dongle that stopped answering, or no end in sight.
    return fail();
}

// --- The worker's operations --------------------------------------------------

namespace {

struct OpenHid {
    const UsbBackend *b;
    UsbHid *h;
};

void ops_detect(void *context, UpdateUsbFound *out)
{
    const UsbBackend *b = static_cast<const UsbBackend *>(context);
    UsbStreamInfo streams[8];
    out->stream_mode = b->list_stream(b->context, streams, 8) > 0;
    UsbHidInfo hids[8];
    int n = b->list_hid(b->context, hids, 8);
    for (int i = 0; i < n && i < 8; i++) {
        out->hid_found = 1;
        size_t n = strnlen(hids[i].path, sizeof out->hid_path - 1);
        std::memcpy(out->hid_path, hids[i].path, n);
        out->hid_path[n] = 0;
        out->hid_version = 0;
        out->hid_unreadable = 1;
        if (UsbHid *h = b->hid_open(b->context, hids[i].path, nullptr)) {
            uint16_t v = 0;
            if (b->hid_version(h, &v) == 0) {
                out->hid_version = v;
                out->hid_unreadable = 0;
            }
            b->hid_close(h);
        }
    }
}

void *ops_open(void *context, const char *path)
{
    const UsbBackend *b = static_cast<const UsbBackend *>(context);
    UsbHid *h = b->hid_open(b->context, path, nullptr);
    return h ? new OpenHid{b, h} : nullptr;
}

int ops_attributes(void *handle, uint16_t *version, int *feature_len)
{
    OpenHid *o = static_cast<OpenHid *>(handle);
    if (o->b->hid_version(o->h, version) != 0)
        return -1;
    int len = o->b->hid_feature_length(o->h);
    *feature_len = len > 0 ? len : 64;
    return 0;
}

int ops_query_build(void *handle, int feature_len, uint64_t *build)
{
    OpenHid *o = static_cast<OpenHid *>(handle);
    return hid_fw_query_build(o->b, o->h, feature_len, build);
}

int ops_upload(void *handle, int feature_len, const uint8_t *image, size_t size, UpdateState *st)
{
    OpenHid *o = static_cast<OpenHid *>(handle);
    return hid_fw_upload(o->b, o->h, feature_len, image, size, st);
}

void ops_close(void *handle)
{
    OpenHid *o = static_cast<OpenHid *>(handle);
    o->b->hid_close(o->h);
    delete o;
}

} // namespace

void hid_fw_usb_ops(const UsbBackend *b, UpdateUsbOps *out)
{
    *out = UpdateUsbOps{};
    out->context = const_cast<UsbBackend *>(b);
    out->detect = ops_detect;
    out->open = ops_open;
    out->attributes = ops_attributes;
    out->query_build = ops_query_build;
    out->upload = ops_upload;
    out->close = ops_close;
}
