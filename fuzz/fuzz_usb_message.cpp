// Bytes read from a dongle's USB IN pipe, framed and dispatched as the USB
// stream transport does it. Byte 0 picks how many bytes each pipe read hands
// out (0: as many as asked) and byte 1 a receive-buffer capacity (0: the real
// 4 MiB, else a small one), so short reads and the cannot-be-held path are
// reached with short inputs. The rest is the pipe's content. The same bytes
// also go through the report-descriptor walk that gives the feature report
// length of the HID interface (also device data).
#include "fuzz.h"

#include "link/usb_detect.h"
#include "link/usb_transport.h"
#include "platform/hid_descriptor.h"

namespace {

struct Pipe {
    const uint8_t *data;
    size_t len, pos, chunk;
};

int pipe_read(void *c, uint8_t *dst, size_t n)
{
    Pipe *p = (Pipe *)c;
    size_t k = p->len - p->pos;
    if (k == 0)
        return -1;
    if (k > n)
        k = n;
    if (p->chunk && k > p->chunk)
        k = p->chunk;
    std::memcpy(dst, p->data + p->pos, k);
    p->pos += k;
    return (int)k;
}

struct State {
    bool video = false, audio = true;
    int acks = 0;
};

bool s_video(void *c) { return ((State *)c)->video; }
void s_set_video(void *c, bool v) { ((State *)c)->video = v; }
bool s_audio(void *c) { return ((State *)c)->audio; }
void s_submit(void *, const uint8_t *d, uint32_t n) { fuzz_touch(d, n); }
int s_ack(void *c) { return ++((State *)c)->acks % 7 == 0 ? -1 : 0; }
void s_state(void *, uint32_t s) { FUZZ_FAIL_IF(s != 4 && s != 5); }
void s_format(void *, uint32_t ch, uint32_t) { FUZZ_FAIL_IF(ch == 0 || ch > 255); }
void s_stop(void *) {}
void s_push(void *, const uint8_t *d, uint32_t n) { fuzz_touch(d, n); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    size_t chunk = data[0];
    size_t cap = data[1] ? (size_t)data[1] * 64 : (size_t)USB_RECEIVE_BUFFER_SIZE;
    static std::vector<uint8_t> buf(USB_RECEIVE_BUFFER_SIZE);
    Pipe pipe{data + 2, size - 2, 0, chunk};
    UsbReader reader{&pipe, pipe_read};
    State st;
    st.audio = (data[0] & 1) != 0;
    UsbSink sink{&st, s_video, s_set_video, s_audio, s_submit, s_ack, s_state, s_format, s_stop, s_push};
    for (;;) {
        UsbMsgHeader h;
        int rc = usb_read_message(&reader, buf.data(), cap, &h);
        if (rc != 0)
            break;
        FUZZ_FAIL_IF(h.length > cap - USB_MSG_HEADER_SIZE || h.length > USB_MAX_PAYLOAD);
        // An exact-size copy, so a read past the payload is caught.
        std::vector<uint8_t> payload(buf.begin() + USB_MSG_HEADER_SIZE,
                                     buf.begin() + USB_MSG_HEADER_SIZE + h.length);
        if (usb_dispatch(&sink, &h, payload.data()) != 0)
            break;
    }

    // The whole-block splitter must agree with the piecewise reader's limits.
    const uint8_t *p = data + 2;
    size_t left = size - 2;
    for (;;) {
        UsbMsgHeader h;
        const uint8_t *payload = nullptr;
        long used = usb_next_message(p, left, &h, &payload);
        if (used <= 0)
            break;
        FUZZ_FAIL_IF((size_t)used > left || payload != p + USB_MSG_HEADER_SIZE || h.length > USB_MAX_PAYLOAD);
        fuzz_touch(payload, h.length);
        p += used;
        left -= (size_t)used;
    }

    int len = usb_hid_feature_length(data + 2, size - 2, 1 + data[1] % 6);
    FUZZ_FAIL_IF(len < 0 || len > 65536);
    return 0;
}
