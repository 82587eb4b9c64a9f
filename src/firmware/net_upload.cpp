#include "firmware/net_upload.h"

#include <arpa/inet.h>

#include <cstring>

#include "base/bytes.h"
#include "link/net.h"
#include "protocol/wire_defs.h"

namespace {

const char kFailConnect[] = "Failed to connect to KAVRI Viewer!";

// An IPv4 TCP connection to the target on port, or -1 with s closed.
int connect_to(NetSocket *s, const DeviceRecord *target, uint16_t port, int limit_ms)
{
    if (target->address.sa.sa_family != AF_INET)
        return -1;
    sockaddr_in to = target->address.in4;
    to.sin_port = htons(port);
    if (net_tcp_create(s) != 0)
        return -1;
    if (net_connect_timeout(s, &to, limit_ms) != 0) {
        net_close(s);
        return -1;
    }
    return 0;
}

}  // namespace

void net_upload_header(uint8_t out[NET_UPLOAD_HEADER], uint32_t size, const uint8_t md5[16])
{
    wr_le32(out, size);
    memcpy(out + 4, md5, 16);
}

size_t net_upload_piece_count(size_t size)
{
    return size / NET_UPLOAD_PIECE + (size % NET_UPLOAD_PIECE ? 1 : 0);
}

size_t net_upload_piece_len(size_t size, size_t i)
{
    size_t off = i * NET_UPLOAD_PIECE;
    if (i >= net_upload_piece_count(size))
        return 0;
    return size - off < NET_UPLOAD_PIECE ? size - off : NET_UPLOAD_PIECE;
}

int net_upload(const DeviceRecord *target, const uint8_t *image, size_t size, const uint8_t md5[16],
               UpdateState *st, const NetUploadTiming *t)
{
    // The header carries the size in 32 bits; a larger image would arrive
    // announced as a different one.
    if (size > 0xFFFFFFFFu) {
        update_state_set_message(st, kFailConnect);
        return -1;
    }
    NetSocket s{};
    if (connect_to(&s, target, WIRE_PORT_MANAGEMENT, t->connect_timeout_ms) != 0) {
        update_state_set_message(st, kFailConnect);
        return -1;
    }
    net_tcp_send(&s, (const uint8_t *)NET_UPLOAD_COMMAND, sizeof NET_UPLOAD_COMMAND - 1);
    bool cancelled = update_state_wait(st, t->command_wait_ms) != 0;
    net_close(&s);
    // Until the whole image is on the data connection the dongle flashes
    // nothing (it checks the image against the header's digest): a cancel
    // before then sends nothing more and leaves it with its firmware.
    if (cancelled || st->cancel.load())
        return -1;

    if (connect_to(&s, target, WIRE_PORT_FIRMWARE, t->connect_timeout_ms) != 0) {
        update_state_set_message(st, kFailConnect);
        return -1;
    }
    uint8_t header[NET_UPLOAD_HEADER];
    net_upload_header(header, (uint32_t)size, md5);
    net_tcp_send(&s, header, sizeof header);
    size_t n = net_upload_piece_count(size);
    for (size_t i = 0; i < n; i++) {
        if (st->cancel.load()) {
            net_close(&s);
            return -1;
        }
        st->progress = (float)i / (float)n;
        // Send results are not acted on: the dongle judges the image by its
        // digest and simply does not restart when something went missing.
        net_tcp_send(&s, image + i * NET_UPLOAD_PIECE, net_upload_piece_len(size, i));
    }
    // The image is whole: the dongle flashes on its own from here, and a
    // cancel only stops the waiting.
    st->progress = 1.0f;
    update_state_set_message(st, "Please wait patiently for two minutes until KAVRI Viewer restarts. During the "
                                 "upgrade process, the LED of KAVRI Viewer will flash in red, yellow and green!");
    update_state_wait(st, t->close_wait_ms);
    net_close(&s);

    for (int i = 0; i < NET_UPLOAD_RESTART_STEPS; i++) {
        st->progress = (float)i / (float)NET_UPLOAD_RESTART_DIVISOR;
        if (update_state_wait(st, t->restart_step_ms))
            return -1;
    }
    update_state_set_message(st, "Succeded to update firmware!!");
    return 0;
}
