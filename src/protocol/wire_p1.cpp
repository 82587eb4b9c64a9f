#include "protocol/wire_p1.h"

#include <climits>
#include <cstring>

#include "base/bytes.h"

// ---------------------------------------------------------------------------
// Control stream, viewer to device.

int p1_build_message(uint8_t *out, size_t cap, uint8_t code, const uint8_t *params, size_t n)
{
    if (n > 65535 - 3 || cap < 3 + n)
        return -1;
    wr_le16(out, (uint16_t)(3 + n));
    out[2] = code;
    if (n) {
        if (params)
            std::memcpy(out + 3, params, n);
        else
            std::memset(out + 3, 0, n);
    }
    return (int)(3 + n);
}

static int simple(uint8_t out[3], uint8_t code)
{
    out[0] = 3;
    out[1] = 0;
    out[2] = code;
    return 3;
}

int p1_build_input(uint8_t out[3], bool on) { return simple(out, on ? P1_CODE_INPUT_ON : P1_CODE_INPUT_OFF); }
int p1_build_audio(uint8_t out[3], bool on) { return simple(out, on ? P1_CODE_AUDIO_ON : P1_CODE_AUDIO_OFF); }
int p1_build_stream_switch(uint8_t out[3], bool on)
{
    return simple(out, on ? P1_CODE_STREAM_ON : P1_CODE_STREAM_OFF);
}
int p1_build_stream_go(uint8_t out[3]) { return simple(out, P1_CODE_STREAM_GO); }
int p1_build_key_frame_request(uint8_t out[3]) { return simple(out, P1_CODE_KEY_FRAME); }
int p1_build_video_start_ack(uint8_t out[3]) { return simple(out, P1_CODE_VIDEO_START_ACK); }
int p1_build_keepalive_answer(uint8_t out[3]) { return simple(out, P1_CODE_KEEPALIVE); }

int p1_build_zero_setting(uint8_t out[4], uint8_t value)
{
    out[0] = 4;
    out[1] = 0;
    out[2] = P1_CODE_ZERO_SETTING;
    out[3] = value;
    return 4;
}

int wire_setting_p1_code(uint8_t setting, uint8_t value)
{
    switch (setting) {
    case WIRE_SETTING_STREAM_SWITCH:
        return value ? P1_CODE_STREAM_ON : P1_CODE_STREAM_OFF;
    case WIRE_SETTING_AUDIO:
        return value ? P1_CODE_AUDIO_ON : P1_CODE_AUDIO_OFF;
    case WIRE_SETTING_INPUT:
        return value ? P1_CODE_INPUT_ON : P1_CODE_INPUT_OFF;
    case WIRE_SETTING_ZERO:
        return P1_CODE_ZERO_SETTING;
    case WIRE_SETTING_KEY_FRAME:
        return P1_CODE_KEY_FRAME;
    case WIRE_SETTING_STREAM_GO:
        return P1_CODE_STREAM_GO;
    default:
        return -1;
    }
}

int wire_p1_code_setting(uint8_t code, uint8_t *setting, uint8_t *value)
{
    uint8_t s, v = 0;
    switch (code) {
    case P1_CODE_STREAM_ON: s = WIRE_SETTING_STREAM_SWITCH, v = 1; break;
    case P1_CODE_STREAM_OFF: s = WIRE_SETTING_STREAM_SWITCH; break;
    case P1_CODE_AUDIO_ON: s = WIRE_SETTING_AUDIO, v = 1; break;
    case P1_CODE_AUDIO_OFF: s = WIRE_SETTING_AUDIO; break;
    case P1_CODE_INPUT_ON: s = WIRE_SETTING_INPUT, v = 1; break;
    case P1_CODE_INPUT_OFF: s = WIRE_SETTING_INPUT; break;
    case P1_CODE_ZERO_SETTING: s = WIRE_SETTING_ZERO; break;
    case P1_CODE_KEY_FRAME: s = WIRE_SETTING_KEY_FRAME; break;
    case P1_CODE_STREAM_GO: s = WIRE_SETTING_STREAM_GO; break;
    default: return -1;
    }
    *setting = s;
    *value = v;
    return 0;
}

int p1_viewer_msg_next(const uint8_t *buf, size_t len, P1ViewerMsg *m)
{
    if (len < 2)
        return 0;
    size_t total = rd_le16(buf);
    if (total < 3 || total > P1_VIEWER_MSG_MAX)
        return -1;
    if (len < total)
        return 0;
    m->code = buf[2];
    m->params = buf + 3;
    m->param_len = total - 3;
    m->length = total;
    return 1;
}

// ---------------------------------------------------------------------------
// Control stream, device to viewer.

int p1_build_device_msg(uint8_t *out, size_t cap, uint8_t type, uint8_t flag, const uint8_t *payload, uint32_t l1,
                        const uint8_t *trailer, uint32_t l2, uint64_t result)
{
    uint64_t total = (uint64_t)P1_CONTROL_HEADER_SIZE + l1 + l2;
    if (total > INT32_MAX || total > cap)
        return -1;
    std::memset(out, 0, P1_CONTROL_HEADER_SIZE);
    out[0] = type;
    out[1] = flag;
    wr_le32(out + 2, l1);
    wr_le32(out + 6, l2);
    wr_le64(out + 10, result);
    uint8_t *p = out + P1_CONTROL_HEADER_SIZE;
    if (l1) {
        if (payload)
            std::memcpy(p, payload, l1);
        else
            std::memset(p, 0, l1);
    }
    p += l1;
    if (l2) {
        if (trailer)
            std::memcpy(p, trailer, l2);
        else
            std::memset(p, 0, l2);
    }
    return (int)total;
}

int p1_build_auth_status(uint8_t *out, size_t cap, uint64_t result)
{
    return p1_build_device_msg(out, cap, P1_MSG_AUTH_STATUS, 0, nullptr, 0, nullptr, 0, result);
}

int p1_build_video_start(uint8_t *out, size_t cap, const uint8_t *codec_header, uint32_t len)
{
    return p1_build_device_msg(out, cap, P1_MSG_VIDEO_START, 0, codec_header, len, nullptr, 0, 0);
}

int p1_build_no_video(uint8_t *out, size_t cap)
{
    return p1_build_device_msg(out, cap, P1_MSG_NO_VIDEO, 0, nullptr, 0, nullptr, 0, 0);
}

int p1_build_keepalive(uint8_t *out, size_t cap)
{
    return p1_build_device_msg(out, cap, P1_MSG_KEEPALIVE, 0, nullptr, 0, nullptr, 0, 0);
}

void p1_build_audio_trailer(uint8_t out[P1_AUDIO_TRAILER_SIZE], uint32_t channels, uint32_t rate)
{
    std::memset(out, 0, 4);
    wr_le32(out + 4, channels);
    wr_le32(out + 8, rate);
}

int p1_control_next(const uint8_t *buf, size_t len, size_t capacity, P1ControlMsg *m)
{
    if (capacity < P1_CONTROL_HEADER_SIZE)
        return -1;
    if (len < P1_CONTROL_HEADER_SIZE)
        return 0;
    uint32_t l1 = rd_le32(buf + 2);
    uint32_t l2 = rd_le32(buf + 6);
    uint64_t total = (uint64_t)P1_CONTROL_HEADER_SIZE + l1 + l2;
    if (total > capacity)
        return -1;
    if (len < total)
        return 0;
    m->type = buf[0];
    m->flag = buf[1];
    m->l1 = l1;
    m->l2 = l2;
    m->result = rd_le64(buf + 10);
    m->payload = buf + P1_CONTROL_HEADER_SIZE;
    m->trailer = buf + P1_CONTROL_HEADER_SIZE + l1;
    m->total = (size_t)total;
    return 1;
}

int p1_control_audio_format(const P1ControlMsg *m, uint32_t *channels, uint32_t *rate)
{
    if (m->flag != P1_FLAG_AUDIO_FORMAT || m->l2 < P1_AUDIO_TRAILER_SIZE)
        return 0;
    *channels = rd_le32(m->trailer + 4);
    *rate = rd_le32(m->trailer + 8);
    return 1;
}

// ---------------------------------------------------------------------------
// Datagram blocks.

int p1_next_block(const uint8_t *dgram, size_t len, size_t *pos, P1Block *out)
{
    size_t p = *pos;
    if (p >= len)
        return 0;
    if (dgram[p] == 0xFF) {
        if (len - p < 2)
            return 0;
        p += (size_t)dgram[p + 1] + 1;
    }
    if (p >= len || len - p < P1_HEADER_SIZE)
        return 0;
    const uint8_t *h = dgram + p;
    uint8_t kind = h[0] >> 6;
    uint16_t length = rd_le16(h + 6);
    if (kind == P1_KIND_END)
        return 0;
    if (kind == P1_KIND_AUDIO && length == 0)
        return 0;
    if (kind == P1_KIND_INPUT)
        length = 0; // an acknowledgement carries nothing
    if (len - p - P1_HEADER_SIZE < length)
        return 0;
    out->kind = kind;
    out->count = kind == P1_KIND_VIDEO ? (uint8_t)(h[0] & 0x3F) : 0;
    out->index = h[1];
    out->seq = rd_le32(h + 2);
    out->length = length;
    out->valid = kind != P1_KIND_VIDEO ||
                 (out->count != 0 && out->index < out->count && length <= P1_FRAGMENT_SIZE);
    out->header = h;
    out->payload = h + P1_HEADER_SIZE;
    *pos = p + P1_HEADER_SIZE + length;
    return 1;
}

static void write_block_header(uint8_t *out, uint8_t b0, uint8_t b1, uint32_t seq, uint16_t len)
{
    out[0] = b0;
    out[1] = b1;
    wr_le32(out + 2, seq);
    wr_le16(out + 6, len);
}

int p1_build_video_block(uint8_t *out, size_t cap, unsigned count, unsigned index, uint32_t frame,
                         const uint8_t *payload, size_t len)
{
    if (count < 1 || count > P1_MAX_FRAGMENTS || index >= count || len > P1_FRAGMENT_SIZE ||
        cap < P1_HEADER_SIZE + len)
        return -1;
    write_block_header(out, (uint8_t)((P1_KIND_VIDEO << 6) | count), (uint8_t)index, frame, (uint16_t)len);
    if (len)
        std::memcpy(out + P1_HEADER_SIZE, payload, len);
    return (int)(P1_HEADER_SIZE + len);
}

int p1_build_audio_block(uint8_t *out, size_t cap, uint32_t seq, const uint8_t *pcm, size_t len)
{
    if (len < 1 || len > 65535 || cap < P1_HEADER_SIZE + len)
        return -1;
    write_block_header(out, P1_KIND_AUDIO << 6, 0, seq, (uint16_t)len);
    std::memcpy(out + P1_HEADER_SIZE, pcm, len);
    return (int)(P1_HEADER_SIZE + len);
}

int p1_build_input_ack_block(uint8_t out[8], uint32_t batch)
{
    write_block_header(out, P1_KIND_INPUT << 6, 0, batch, 0);
    return P1_HEADER_SIZE;
}

int p1_build_padding(uint8_t *out, size_t cap, size_t total)
{
    if (total < 2 || total > 256 || cap < total)
        return -1;
    out[0] = 0xFF;
    out[1] = (uint8_t)(total - 1);
    std::memset(out + 2, 0, total - 2);
    return (int)total;
}

int p1_build_end_marker(uint8_t out[8])
{
    write_block_header(out, P1_KIND_END << 6, 0, 0, 0);
    return P1_HEADER_SIZE;
}

// ---------------------------------------------------------------------------
// Fragment acknowledgement.

int p1_build_fragment_ack(uint8_t *out, size_t cap, const uint8_t frag_header[8], uint16_t queue_len,
                          const uint32_t *received, size_t n)
{
    if (n > P1_MAX_FRAGMENTS)
        n = P1_MAX_FRAGMENTS;
    size_t count = 0;
    for (size_t i = 0; i < n; i++)
        if (received[i])
            count++;
    if (cap < P1_HEADER_SIZE + count)
        return -1;
    std::memcpy(out, frag_header, 6);
    wr_le16(out + 6, queue_len);
    uint8_t *p = out + P1_HEADER_SIZE;
    for (size_t i = 0; i < n; i++)
        if (received[i])
            *p++ = (uint8_t)i;
    return (int)(P1_HEADER_SIZE + count);
}

int p1_parse_fragment_ack(const uint8_t *dgram, size_t len, P1FragmentAck *a)
{
    if (len < P1_HEADER_SIZE || (dgram[0] >> 6) != P1_KIND_VIDEO)
        return -1;
    a->count = dgram[0] & 0x3F;
    a->index = dgram[1];
    a->frame = rd_le32(dgram + 2);
    a->queue_len = rd_le16(dgram + 6);
    a->received = 0;
    for (size_t i = P1_HEADER_SIZE; i < len; i++)
        if (dgram[i] < P1_MAX_FRAGMENTS)
            a->received |= (uint64_t)1 << dgram[i];
    return 0;
}

int p1_parse_input_batch(const uint8_t *dgram, size_t len, uint32_t *batch, const uint8_t **records,
                         size_t *records_len)
{
    if (len < P1_HEADER_SIZE || (dgram[0] >> 6) != P1_KIND_INPUT)
        return -1;
    uint16_t n = rd_le16(dgram + 6);
    if (len - P1_HEADER_SIZE < n)
        return -1;
    *batch = rd_le32(dgram + 2);
    *records = dgram + P1_HEADER_SIZE;
    *records_len = n;
    return 0;
}

int64_t p1_frame_length(unsigned count, unsigned last_len)
{
    if (count < 1 || count > P1_MAX_FRAGMENTS || last_len > P1_FRAGMENT_SIZE)
        return -1;
    return (int64_t)(count - 1) * P1_FRAGMENT_SIZE + last_len;
}
