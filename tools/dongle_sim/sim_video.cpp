#include "sim_video.h"

#include <cmath>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libavutil/version.h>
}

#include "annexb_file.h"
#include "test_pattern.h"

struct SimVideo {
    AVCodecContext *ctx = nullptr;
    AVFrame *picture = nullptr;
    AVPacket *packet = nullptr;
    std::vector<uint8_t> header;
    FILE *dump = nullptr;
    int width = 0, height = 0;
    int bitrate_kbps = 0;
    int64_t pts = 0;
    // Pictures between periodic IDR pictures, 0 for none; the count runs
    // from the last IDR picture, forced or periodic.
    int64_t idr_every = 0;
    int64_t since_idr = 0;
    bool first = true;
    bool noise = false;
};

namespace {

// Keeps only the slice NAL units of an encoder packet, each behind a
// four-byte start code: x264 puts its version SEI in front of the first
// picture, and would put parameter sets and delimiters there when asked to.
void keep_slices(const uint8_t *data, size_t len, std::vector<uint8_t> *au)
{
    au->clear();
    size_t pos = 0, off = 0, n = 0;
    while (annexb_next_nal(data, len, &pos, &off, &n)) {
        int type = data[off] & 0x1F;
        if (type >= 1 && type <= 5)
            annexb_append_nal(au, data + off, n);
    }
}

void write_dump(SimVideo *v, const std::vector<uint8_t> &bytes)
{
    if (v->dump && !bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), v->dump);
}

} // namespace

int sim_video_create(const SimVideoConfig *config, SimVideo **out)
{
    if (!out)
        return SIM_VIDEO_E_CONFIG;
    *out = nullptr;
    if (!config)
        return SIM_VIDEO_E_CONFIG;
    const SimVideoConfig &c = *config;
    if (c.width < 16 || c.width > 8192 || (c.width & 1) || c.height < 16 || c.height > 8192 || (c.height & 1) ||
        c.fps < 1 || c.fps > 240 || c.bitrate_kbps < 0 || c.bitrate_kbps > 1000000 || c.threads < 0 ||
        c.threads > 64 || !std::isfinite(c.idr_interval_s))
        return SIM_VIDEO_E_CONFIG;

    const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
    if (!codec)
        return SIM_VIDEO_E_NO_X264;

    SimVideo *v = new SimVideo;
    v->width = c.width;
    v->height = c.height;
    v->noise = c.noise;
    v->bitrate_kbps = c.bitrate_kbps ? c.bitrate_kbps : (int)((int64_t)c.width * c.height * c.fps / 10000);
    if (v->bitrate_kbps < 50)
        v->bitrate_kbps = 50;
    if (c.idr_interval_s > 0) {
        double n = std::ceil(c.idr_interval_s * c.fps - 1e-9);
        v->idr_every = n < 1 ? 1 : n > 1e9 ? (int64_t)1e9 : (int64_t)n;
    }

    int err = 0;
    v->ctx = avcodec_alloc_context3(codec);
    v->picture = av_frame_alloc();
    v->packet = av_packet_alloc();
    if (!v->ctx || !v->picture || !v->packet) {
        sim_video_destroy(&v);
        return SIM_VIDEO_E_OPEN;
    }
    AVCodecContext *ctx = v->ctx;
    ctx->width = c.width;
    ctx->height = c.height;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = AVRational{1, c.fps};
    ctx->framerate = AVRational{c.fps, 1};
    ctx->bit_rate = (int64_t)v->bitrate_kbps * 1000;
    ctx->rc_max_rate = ctx->bit_rate;
    // Half a second of buffer: IDR pictures may be larger than the average
    // without starving them so much that the picture smears.
    ctx->rc_buffer_size = (int)(ctx->bit_rate / 2);
    ctx->max_b_frames = 0;
    ctx->gop_size = -1; // periodic IDR pictures are forced from here (keyint below)
    ctx->thread_count = c.threads ? c.threads : 1;
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER; // SPS and PPS in extradata, not in front of pictures
    ctx->color_range = AVCOL_RANGE_MPEG;
    ctx->colorspace = AVCOL_SPC_SMPTE170M;
    ctx->color_primaries = AVCOL_PRI_SMPTE170M;
    ctx->color_trc = AVCOL_TRC_SMPTE170M;
    // The wrapper reports x264's version banner at information level for
    // every encoder opened; this moves it (and only that level and below)
    // out of the default log while errors still show, as warnings.
    ctx->log_level_offset = AV_LOG_VERBOSE - AV_LOG_INFO;
    av_opt_set(ctx->priv_data, "preset", c.preset ? c.preset : "ultrafast", 0);
    av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
    av_opt_set_int(ctx->priv_data, "forced-idr", 1, 0);
    // x264 itself never starts an IDR picture (no scene cuts, no interval of
    // its own) and keeps quiet on the standard error stream.
    av_opt_set(ctx->priv_data, "x264-params", "keyint=infinite:scenecut=0:aud=0:log=-1", 0);
    err = avcodec_open2(ctx, codec, nullptr);
    if (err < 0) {
        sim_video_destroy(&v);
        return SIM_VIDEO_E_OPEN;
    }

    if (ctx->extradata && ctx->extradata_size > 0) {
        std::vector<uint8_t> pps;
        size_t pos = 0, off = 0, n = 0;
        const uint8_t *x = ctx->extradata;
        size_t xlen = (size_t)ctx->extradata_size;
        while (annexb_next_nal(x, xlen, &pos, &off, &n)) {
            int type = x[off] & 0x1F;
            if (type == ANNEXB_NAL_SPS)
                annexb_append_nal(&v->header, x + off, n);
            else if (type == ANNEXB_NAL_PPS)
                annexb_append_nal(&pps, x + off, n);
        }
        if (!v->header.empty() && !pps.empty())
            v->header.insert(v->header.end(), pps.begin(), pps.end());
        else
            v->header.clear();
    }
    if (v->header.empty()) {
        sim_video_destroy(&v);
        return SIM_VIDEO_E_HEADER;
    }

    v->picture->format = AV_PIX_FMT_YUV420P;
    v->picture->width = c.width;
    v->picture->height = c.height;
    if (av_frame_get_buffer(v->picture, 0) < 0) {
        sim_video_destroy(&v);
        return SIM_VIDEO_E_OPEN;
    }

    if (c.dump_path) {
        v->dump = std::fopen(c.dump_path, "wb");
        if (!v->dump) {
            sim_video_destroy(&v);
            return SIM_VIDEO_E_DUMP;
        }
        write_dump(v, v->header);
    }
    *out = v;
    return 0;
}

void sim_video_destroy(SimVideo **pv)
{
    if (!pv || !*pv)
        return;
    SimVideo *v = *pv;
    if (v->dump)
        std::fclose(v->dump);
    av_packet_free(&v->packet);
    av_frame_free(&v->picture);
    avcodec_free_context(&v->ctx);
    delete v;
    *pv = nullptr;
}

const uint8_t *sim_video_codec_header(const SimVideo *v, size_t *len)
{
    if (!v) {
        if (len)
            *len = 0;
        return nullptr;
    }
    if (len)
        *len = v->header.size();
    return v->header.data();
}

int sim_video_bitrate_kbps(const SimVideo *v) { return v ? v->bitrate_kbps : 0; }

int sim_video_encode(SimVideo *v, uint32_t frame, uint64_t send_time_ms, bool force_idr, std::vector<uint8_t> *au,
                     bool *is_idr)
{
    if (is_idr)
        *is_idr = false;
    if (!v || !au)
        return SIM_VIDEO_E_ENCODE;
    au->clear();
    AVFrame *pic = v->picture;
    if (av_frame_make_writable(pic) < 0)
        return SIM_VIDEO_E_ENCODE;
    test_pattern_draw_ex(pic->data[0], pic->linesize[0], pic->data[1], pic->linesize[1], pic->data[2],
                         pic->linesize[2], v->width, v->height, frame, send_time_ms, v->noise);

    bool idr = force_idr || v->first || (v->idr_every > 0 && v->since_idr >= v->idr_every);
    pic->pts = v->pts++;
    pic->pict_type = idr ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 7, 100)
    if (idr)
        pic->flags |= AV_FRAME_FLAG_KEY;
    else
        pic->flags &= ~AV_FRAME_FLAG_KEY;
#else
    pic->key_frame = idr ? 1 : 0;
#endif
    if (avcodec_send_frame(v->ctx, pic) < 0)
        return SIM_VIDEO_E_ENCODE;
    int err = avcodec_receive_packet(v->ctx, v->packet);
    if (err == AVERROR(EAGAIN))
        return 1;
    if (err < 0)
        return SIM_VIDEO_E_ENCODE;
    keep_slices(v->packet->data, (size_t)v->packet->size, au);
    av_packet_unref(v->packet);
    if (au->empty())
        return 1;
    bool got_idr = ((*au)[4] & 0x1F) == ANNEXB_NAL_IDR;
    v->first = false;
    v->since_idr = got_idr ? 1 : v->since_idr + 1;
    if (is_idr)
        *is_idr = got_idr;
    write_dump(v, *au);
    return 0;
}
