#include "protocol/wire_p2.h"

#include <cstring>

#include "base/bytes.h"

// ---------------------------------------------------------------------------
// Header and walk.

void p2_write_header(uint8_t out[16], uint8_t type, uint16_t w6, uint16_t w8, uint32_t seq, uint16_t len)
{
    std::memcpy(out, P2_MAGIC, 4);
    out[4] = P2_GENERATION;
    out[5] = type;
    wr_le16(out + 6, w6);
    wr_le16(out + 8, w8);
    wr_le32(out + 10, seq);
    wr_le16(out + 14, len);
}

// Packets that the device sends as bare headers; their length field is not
// to be trusted.
static bool fixed_from_device(uint8_t type)
{
    return type == P2_TYPE_INPUT || type == P2_TYPE_START || type == P2_TYPE_SETTING;
}

int p2_next_packet(uint8_t *dgram, size_t len, size_t *pos, WireDirection from, P2Packet *out)
{
    size_t p = *pos;
    if (p >= len || len - p < P2_HEADER_SIZE)
        return 0;
    uint8_t *h = dgram + p;
    if (std::memcmp(h, P2_MAGIC, 4) != 0)
        return 0;
    uint8_t type = h[5] & 0x7F;
    bool inverted = (h[5] & P2_TYPE_INVERTED) != 0;
    uint16_t length = rd_le16(h + 14);
    if (from == WIRE_FROM_DEVICE && fixed_from_device(type))
        length = 0;
    if (len - p - P2_HEADER_SIZE < length)
        return 0;
    uint8_t *payload = h + P2_HEADER_SIZE;
    if (inverted) {
        for (size_t i = 0; i < length; i++)
            payload[i] ^= 0xFF;
        h[5] = type;
    }
    out->type = type;
    out->inverted = inverted;
    out->generation = h[4];
    out->w6 = rd_le16(h + 6);
    out->w8 = rd_le16(h + 8);
    out->seq = rd_le32(h + 10);
    out->length = length;
    out->header = h;
    out->payload = payload;
    *pos = p + P2_HEADER_SIZE + length;
    return 1;
}

int p2_build_packet(uint8_t *out, size_t cap, uint8_t type, uint16_t w6, uint16_t w8, uint32_t seq,
                    const uint8_t *payload, size_t len)
{
    if (len > 65535 || cap < P2_HEADER_SIZE + len)
        return -1;
    p2_write_header(out, type, w6, w8, seq, (uint16_t)len);
    if (len) {
        if (payload)
            std::memcpy(out + P2_HEADER_SIZE, payload, len);
        else
            std::memset(out + P2_HEADER_SIZE, 0, len);
    }
    return (int)(P2_HEADER_SIZE + len);
}

void p2_echo_header(const uint8_t in[16], uint8_t out[16])
{
    std::memmove(out, in, P2_HEADER_SIZE);
    wr_le16(out + 14, 0);
}

// ---------------------------------------------------------------------------
// Viewer to device.

int p2_build_connect_request(uint8_t out[16 + P2_CONNECT_REQUEST_PAYLOAD], uint32_t seq,
                             const uint8_t payload[P2_CONNECT_REQUEST_PAYLOAD])
{
    return p2_build_packet(out, P2_HEADER_SIZE + P2_CONNECT_REQUEST_PAYLOAD, P2_TYPE_CONNECT, 0, 0, seq, payload,
                           P2_CONNECT_REQUEST_PAYLOAD);
}

int p2_build_connection_start(uint8_t out[16], uint32_t seq)
{
    p2_write_header(out, P2_TYPE_START, 0, 0, seq, 0);
    return P2_HEADER_SIZE;
}

int p2_build_setting(uint8_t out[16 + P2_SETTING_PAYLOAD], uint32_t seq, uint8_t setting, uint8_t value)
{
    p2_write_header(out, P2_TYPE_SETTING, 0, 0, seq, P2_SETTING_PAYLOAD);
    std::memset(out + P2_HEADER_SIZE, 0, P2_SETTING_PAYLOAD);
    out[P2_HEADER_SIZE] = setting;
    out[P2_HEADER_SIZE + 1] = value;
    return P2_HEADER_SIZE + P2_SETTING_PAYLOAD;
}

int p2_build_disconnect(uint8_t out[16])
{
    p2_write_header(out, P2_TYPE_DISCONNECT, 0, 0, 0, 0);
    return P2_HEADER_SIZE;
}

void p2_build_fragment_ack(const uint8_t frag_header[16], uint16_t queue_len, uint32_t bitmap, unsigned counter,
                           uint8_t out[P2_FRAGMENT_ACK_SIZE])
{
    std::memmove(out, frag_header, P2_HEADER_SIZE);
    bool invert = (counter & 1) != 0;
    out[5] = (uint8_t)((out[5] & 0x7F) | (invert ? P2_TYPE_INVERTED : 0));
    wr_le16(out + 6, queue_len);
    wr_le16(out + 14, 4);
    wr_le32(out + 16, invert ? ~bitmap : bitmap);
}

int p2_parse_connect_request(const uint8_t *payload, size_t len, P2ConnectRequest *r)
{
    if (len < P2_CONNECT_REQUEST_PAYLOAD)
        return -1;
    r->has_password = payload[0];
    std::memcpy(r->nonce, payload + 1, 16);
    std::memcpy(r->secret, payload + 17, 16);
    return 0;
}

int p2_parse_setting(const uint8_t *payload, size_t len, uint8_t *setting, uint8_t *value)
{
    if (len != P2_SETTING_PAYLOAD)
        return -1;
    *setting = payload[0];
    *value = payload[1];
    return 0;
}

int p2_parse_fragment_ack(const P2Packet *pk, P2FragmentAck *a)
{
    if (pk->type != P2_TYPE_FRAGMENT_ACK || pk->length != 4)
        return -1;
    a->frame = pk->seq;
    a->index = pk->w8;
    a->queue_len = pk->w6;
    a->bitmap = rd_le32(pk->payload);
    return 0;
}

// ---------------------------------------------------------------------------
// Device to viewer.

int p2_build_connect_reply_payload(uint8_t *out, size_t cap, const P2ConnectReply *r)
{
    size_t hlen = r->codec_header ? r->codec_len : 0;
    if (hlen > P2_CODEC_HEADER_MAX || cap < P2_CONNECT_REPLY_FIXED + hlen)
        return -1;
    out[0] = 0;
    out[1] = r->result;
    out[2] = r->audio_present;
    out[3] = r->channels;
    wr_le16(out + 4, r->rate);
    out[6] = r->video_present;
    out[7] = (uint8_t)hlen;
    if (hlen)
        std::memcpy(out + P2_CONNECT_REPLY_FIXED, r->codec_header, hlen);
    return (int)(P2_CONNECT_REPLY_FIXED + hlen);
}

int p2_build_connect_reply(uint8_t *out, size_t cap, uint32_t seq, const P2ConnectReply *r)
{
    if (cap < P2_HEADER_SIZE)
        return -1;
    int n = p2_build_connect_reply_payload(out + P2_HEADER_SIZE, cap - P2_HEADER_SIZE, r);
    if (n < 0)
        return -1;
    p2_write_header(out, P2_TYPE_CONNECT, 0, 0, seq, (uint16_t)n);
    return P2_HEADER_SIZE + n;
}

int p2_parse_connect_reply(const uint8_t *payload, size_t len, P2ConnectReply *r)
{
    if (len < P2_CONNECT_REPLY_FIXED)
        return -1;
    r->result = payload[1];
    r->audio_present = payload[2];
    r->channels = payload[3];
    r->rate = rd_le16(payload + 4);
    r->video_present = payload[6];
    size_t hlen = payload[7];
    if (hlen > len - P2_CONNECT_REPLY_FIXED) {
        r->codec_header = nullptr;
        r->codec_len = 0;
        r->codec_rejected = true;
    } else {
        r->codec_header = hlen ? payload + P2_CONNECT_REPLY_FIXED : nullptr;
        r->codec_len = hlen;
        r->codec_rejected = false;
    }
    return 0;
}

int p2_build_ack(uint8_t out[16], uint8_t type, uint32_t seq)
{
    p2_write_header(out, type, 0, 0, seq, 0);
    return P2_HEADER_SIZE;
}

int p2_build_stream_params(uint8_t out[16 + P2_STREAM_PARAMS_PAYLOAD], uint32_t seq, uint32_t interval_us)
{
    p2_write_header(out, P2_TYPE_STREAM_PARAMS, 0, 0, seq, P2_STREAM_PARAMS_PAYLOAD);
    std::memset(out + P2_HEADER_SIZE, 0, 12);
    wr_le32(out + P2_HEADER_SIZE + 12, interval_us);
    return P2_HEADER_SIZE + P2_STREAM_PARAMS_PAYLOAD;
}

int p2_parse_stream_params(const uint8_t *payload, size_t len, uint32_t *interval_us)
{
    if (len != P2_STREAM_PARAMS_PAYLOAD)
        return -1;
    *interval_us = rd_le32(payload + 12);
    return 0;
}

int p2_build_video_state(uint8_t *out, size_t cap, uint32_t seq, bool present, const uint8_t *codec_header,
                         size_t len)
{
    if (!present)
        return p2_build_packet(out, cap, P2_TYPE_VIDEO_STATE, 0, 0, seq, nullptr, 0);
    return p2_build_packet(out, cap, P2_TYPE_VIDEO_STATE, 0, 1, seq, codec_header, len);
}

int p2_build_audio_format(uint8_t out[16 + P2_AUDIO_FORMAT_PAYLOAD], uint32_t seq, uint32_t channels,
                          uint32_t rate)
{
    p2_write_header(out, P2_TYPE_AUDIO_FORMAT, 0, 0, seq, P2_AUDIO_FORMAT_PAYLOAD);
    wr_le32(out + P2_HEADER_SIZE, channels);
    wr_le32(out + P2_HEADER_SIZE + 4, rate);
    return P2_HEADER_SIZE + P2_AUDIO_FORMAT_PAYLOAD;
}

int p2_parse_audio_format(const uint8_t *payload, size_t len, int32_t *channels, uint32_t *rate)
{
    if (len < P2_AUDIO_FORMAT_PAYLOAD)
        return -1;
    *channels = (int32_t)rd_le32(payload);
    *rate = rd_le32(payload + 4);
    return 0;
}

int p2_build_audio(uint8_t *out, size_t cap, uint32_t seq, const uint8_t *pcm, size_t len)
{
    return p2_build_packet(out, cap, P2_TYPE_AUDIO, 0, 0, seq, pcm, len);
}

int p2_build_video_fragment(uint8_t *out, size_t cap, uint32_t frame, unsigned count, unsigned index,
                            bool digest, const uint8_t *payload, size_t len)
{
    if (count < 1 || count > P2_MAX_FRAGMENTS || index >= count || len > P2_FRAGMENT_SIZE)
        return -1;
    uint16_t w6 = (uint16_t)((digest ? 0x8000u : 0u) | count);
    return p2_build_packet(out, cap, P2_TYPE_VIDEO, w6, (uint16_t)index, frame, payload, len);
}

// ---------------------------------------------------------------------------
// Fragments and frame length.

int p2_fragment_info(const P2Packet *pk, P2Fragment *f)
{
    if (pk->type != P2_TYPE_VIDEO)
        return -1;
    uint16_t count = pk->w6 & 0x7FFF;
    if (count < 1 || count > P2_MAX_FRAGMENTS || pk->w8 >= count || pk->length > P2_FRAGMENT_SIZE)
        return -1;
    f->frame = pk->seq;
    f->count = count;
    f->index = pk->w8;
    f->has_digest = (pk->w6 & 0x8000) != 0;
    return 0;
}

int64_t p2_frame_length(unsigned count, unsigned last_len, bool has_digest)
{
    if (count < 1 || count > P2_MAX_FRAGMENTS || last_len > P2_FRAGMENT_SIZE)
        return -1;
    if (has_digest && last_len < P2_DIGEST_SIZE)
        return -1;
    return (int64_t)(count - 1) * P2_FRAGMENT_SIZE + last_len - (has_digest ? P2_DIGEST_SIZE : 0);
}
