// H.264 NAL locator, SPS parser and visible-size rule; contract in sps_pps.h.
#include "media/sps_pps.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Diagnostics name the source file without the build's directory.
const char *source_name()
{
    const char *name = __FILE__;
    const char *slash = std::strrchr(name, '/');
    return slash ? slash + 1 : name;
}

// One write per line, so lines from other threads cannot land inside it.
void sps_err(int line, const char *message)
{
    std::fprintf(stderr, "\"%s\" line %d [err]: %s\n", source_name(), line, message);
}

// MSB-first reader over the unescaped working buffer. Positions are 64-bit so
// that 8 x byte count cannot overflow.
struct BitReader {
    const uint8_t *buf;
    uint64_t bits;
    uint64_t pos;
};

inline uint32_t br_bit(BitReader *br)
{
    uint32_t v = (br->buf[br->pos >> 3] >> (7 - (br->pos & 7))) & 1u;
    br->pos++;
    return v;
}

// A read that would pass the end returns only the bits that remain, as a
// number of that many bits; at the very end it returns 0.
uint32_t br_u(BitReader *br, unsigned n)
{
    uint64_t remain = br->bits - br->pos;
    if (n > remain)
        n = (unsigned)remain;
    uint32_t v = 0;
    for (unsigned i = 0; i < n; i++)
        v = (v << 1) | br_bit(br);
    return v;
}

// Exp-Golomb. The zero count stops at the end of the data; a code cut off
// before its terminating one bit reads as 0 (nothing of it was read). With 32
// or more leading zeros the value cannot be held in 32 bits and saturates,
// after the reader has moved past the 32 bits the code would carry.
uint32_t br_ue(BitReader *br)
{
    uint64_t zeros = 0;
    bool terminated = false;
    while (br->pos < br->bits) {
        if (br_bit(br)) {
            terminated = true;
            break;
        }
        zeros++;
    }
    if (!terminated)
        return 0;
    uint32_t b = br_u(br, zeros < 32 ? (unsigned)zeros : 32u);
    if (zeros >= 32)
        return UINT32_MAX;
    return (uint32_t)(((uint64_t)1 << zeros) - 1 + b);
}

int32_t br_se(BitReader *br)
{
    uint32_t k = br_ue(br);
    if (k & 1u) {
        int64_t v = ((int64_t)k + 1) / 2;
        return v > INT32_MAX ? INT32_MAX : (int32_t)v;
    }
    return (int32_t)(-(int64_t)(k / 2));
}

bool br_done(const BitReader *br) { return br->pos >= br->bits; }

// scaling_list() of the standard. delta_scale is -128..127 in a valid stream;
// the mod-256 sum is taken on unsigned values so any delta is well defined.
void read_scaling_list(BitReader *br, int32_t *list, int size, uint32_t *use_default)
{
    int32_t last = 8;
    int32_t next = 8;
    for (int j = 0; j < size; j++) {
        if (next != 0) {
            int32_t delta = br_se(br);
            next = (int32_t)(((uint32_t)last + (uint32_t)delta) & 0xFFu);
            if (j == 0 && next == 0)
                *use_default = 1;
        }
        list[j] = next == 0 ? last : next;
        last = list[j];
    }
}

bool profile_has_chroma_info(uint32_t profile_idc)
{
    switch (profile_idc) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128:
        return true;
    default:
        return false;
    }
}

} // namespace

void nal_locate(const uint8_t *data, uint32_t length, NalLocation *out)
{
    if (!out)
        return;
    std::memset(out, 0, sizeof *out);
    if (!data)
        length = 0;
    out->data = data;
    out->length = length;

    uint32_t state = 0;
    uint32_t pos = 0;
    while (pos < length) {
        uint8_t b = data[pos];
        if (state == 7) {
            const void *zero = std::memchr(data + pos, 0, length - pos);
            if (!zero) {
                pos = length;
                break;
            }
            pos = (uint32_t)((const uint8_t *)zero - data) + 1;
            state = 2;
            continue;
        }
        if (state <= 2) {
            if (b == 0x01)
                state ^= 5;
            else if (b != 0)
                state = 7;
            else
                state >>= 1;
            pos++;
            continue;
        }
        // A start code just ended: this byte is a NAL unit header.
        uint32_t type = b & 0x1Fu;
        if (type == 7) {
            out->sps_start = pos - 4;
        } else if (type == 8) {
            out->pps_start = pos - 4;
            out->sps_size = out->pps_start - out->sps_start;
        } else if ((type == 1 || type == 5) && out->sps_size != 0) {
            out->pps_size = pos - out->pps_start;
            out->found = 1;
            out->position = pos;
            out->state = state;
            return;
        }
        state = 7;
        pos++;
    }
    out->position = length;
    out->state = state;
    if (out->sps_size != 0 && out->pps_size == 0)
        out->pps_size = length - out->pps_start;
    out->found = 0;
}

int sps_parse(const uint8_t *data, uint32_t size, SpsRecord *sps)
{
    if (!data || !sps) {
        sps_err(__LINE__, "ERR null pointer\n");
        return -1;
    }
    std::memset(sps, 0, sizeof *sps);

    // The count may run on through the rest of a packet; no SPS needs more
    // than SPS_MAX_INPUT bytes, so the working buffer never grows past that.
    uint32_t n = size < SPS_MAX_INPUT ? size : SPS_MAX_INPUT;
    uint8_t *work = (uint8_t *)std::malloc(n ? n : 1);
    if (!work) {
        sps_err(__LINE__, "NULL ptr");
        sps_err(__LINE__, "ERR null pointer\n");
        return -1;
    }
    uint32_t used = 0;
    uint32_t zeros = 0;
    for (uint32_t i = 0; i < n; i++) {
        uint8_t b = data[i];
        if (zeros >= 2 && b == 0x03) {
            zeros = 0; // the byte after it starts a fresh count
            continue;
        }
        work[used++] = b;
        zeros = b == 0 ? zeros + 1 : 0;
    }
    BitReader br = {work, (uint64_t)used * 8, 0};

    sps->profile_idc = br_u(&br, 8);
    sps->constraint_set0_flag = br_u(&br, 1);
    sps->constraint_set1_flag = br_u(&br, 1);
    sps->constraint_set2_flag = br_u(&br, 1);
    sps->constraint_set3_flag = br_u(&br, 1);
    sps->reserved_zero_4bits = br_u(&br, 4);
    sps->level_idc = br_u(&br, 8);
    sps->seq_parameter_set_id = br_ue(&br);

    sps->chroma_format_idc = 1;
    if (profile_has_chroma_info(sps->profile_idc)) {
        sps->chroma_format_idc = br_ue(&br);
        if (sps->chroma_format_idc == 3)
            sps->separate_colour_plane_flag = br_u(&br, 1);
        sps->bit_depth_luma_minus8 = br_ue(&br);
        sps->bit_depth_chroma_minus8 = br_ue(&br);
        sps->qpprime_y_zero_transform_bypass_flag = br_u(&br, 1);
        sps->seq_scaling_matrix_present_flag = br_u(&br, 1);
        if (sps->seq_scaling_matrix_present_flag) {
            int lists = sps->chroma_format_idc != 3 ? 8 : 12;
            for (int i = 0; i < lists; i++) {
                sps->seq_scaling_list_present_flag[i] = br_u(&br, 1);
                if (!sps->seq_scaling_list_present_flag[i])
                    continue;
                if (i < 6)
                    read_scaling_list(&br, sps->ScalingList4x4[i], 16, &sps->UseDefaultScalingMatrix[i]);
                else
                    read_scaling_list(&br, sps->ScalingList8x8[i - 6], 64, &sps->UseDefaultScalingMatrix[i]);
            }
        }
    }

    sps->log2_max_frame_num_minus4 = br_ue(&br);
    sps->pic_order_cnt_type = br_ue(&br);
    if (sps->pic_order_cnt_type == 0) {
        sps->log2_max_pic_order_cnt_lsb_minus4 = br_ue(&br);
    } else if (sps->pic_order_cnt_type == 1) {
        sps->delta_pic_order_always_zero_flag = br_u(&br, 1);
        sps->offset_for_non_ref_pic = br_se(&br);
        sps->offset_for_top_to_bottom_field = br_se(&br);
        sps->num_ref_frames_in_pic_order_cnt_cycle = br_ue(&br);
        // The count is not trusted: entries past 255 are read and dropped so
        // the later fields stay where the encoder put them, and the loop ends
        // once the data does (every further read would be 0), so a count near
        // 2^32 costs no more than the input is long.
        for (uint32_t i = 0; i < sps->num_ref_frames_in_pic_order_cnt_cycle && !br_done(&br); i++) {
            int32_t offset = br_se(&br);
            if (i < 255)
                sps->offset_for_ref_frame[i] = offset;
        }
    }

    sps->max_num_ref_frames = br_ue(&br);
    sps->gaps_in_frame_num_value_allowed_flag = br_u(&br, 1);
    sps->pic_width_in_mbs_minus1 = br_ue(&br);
    sps->pic_height_in_map_units_minus1 = br_ue(&br);
    sps->frame_mbs_only_flag = br_u(&br, 1);
    if (!sps->frame_mbs_only_flag)
        sps->mb_adaptive_frame_field_flag = br_u(&br, 1);
    sps->direct_8x8_inference_flag = br_u(&br, 1);
    sps->frame_cropping_flag = br_u(&br, 1);
    if (sps->frame_cropping_flag) {
        sps->frame_crop_left_offset = br_ue(&br);
        sps->frame_crop_right_offset = br_ue(&br);
        sps->frame_crop_top_offset = br_ue(&br);
        sps->frame_crop_bottom_offset = br_ue(&br);
    }
    sps->vui_parameters_present_flag = br_u(&br, 1);

    std::free(work);
    return 0;
}

void sps_visible_size(const SpsRecord *sps, int *width, int *height)
{
    int64_t w = 0;
    int64_t h = 0;
    if (sps) {
        int64_t fields = sps->frame_mbs_only_flag ? 1 : 2; // 2 - frame_mbs_only_flag
        int64_t crop_x = (sps->chroma_format_idc == 1 || sps->chroma_format_idc == 2) ? 2 : 1;
        int64_t crop_y = sps->chroma_format_idc == 1 ? 2 * fields : fields;
        w = ((int64_t)sps->pic_width_in_mbs_minus1 + 1) * 16;
        h = ((int64_t)sps->pic_height_in_map_units_minus1 + 1) * fields * 16;
        if (sps->frame_cropping_flag) {
            w -= ((int64_t)sps->frame_crop_left_offset + sps->frame_crop_right_offset) * crop_x;
            h -= ((int64_t)sps->frame_crop_top_offset + sps->frame_crop_bottom_offset) * crop_y;
        }
        w = w < 0 ? 0 : (w > INT32_MAX ? INT32_MAX : w);
        h = h < 0 ? 0 : (h > INT32_MAX ? INT32_MAX : h);
    }
    if (width)
        *width = (int)w;
    if (height)
        *height = (int)h;
}

int h264_config_sps(const uint8_t *packet, uint32_t length, SpsRecord *sps)
{
    if (!packet || !sps)
        return -1;
    NalLocation loc;
    nal_locate(packet, length, &loc);

    // Header offsets in modular arithmetic undo the "minus 4" even where it
    // wrapped (a three-byte start code at offset 0). When no SPS was seen,
    // sps_start is 0 and byte 4, if any, is no SPS header.
    uint32_t sps_header = loc.sps_start + 4u;
    if (sps_header >= length || (packet[sps_header] & 0x1Fu) != 7)
        return -1;
    uint32_t payload = sps_header + 1;
    uint32_t available = length - payload;

    // sps_size belongs to this SPS only if the last PPS came after it; an SPS
    // with no PPS behind it runs to the end of the packet.
    uint32_t pps_header = loc.pps_start + 4u;
    uint32_t count = available;
    if (loc.sps_size != 0 && pps_header > sps_header && loc.sps_size <= available)
        count = loc.sps_size;
    return sps_parse(packet + payload, count, sps);
}

int h264_config_visible_size(const uint8_t *packet, uint32_t length, int *width, int *height)
{
    if (!width || !height)
        return -1;
    SpsRecord sps;
    if (h264_config_sps(packet, length, &sps) != 0)
        return -1;
    sps_visible_size(&sps, width, height);
    return 0;
}
