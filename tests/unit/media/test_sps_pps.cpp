// H.264 NAL locator, SPS parser and visible-size rule.
//
// Hand-written packets check the locator's state machine and each SPS
// branch; the fixtures under tests/data/h264 are heads of real libx264
// streams (see make-fixtures.sh) checked against the size they were made with
// and against ffprobe's reading of the same streams.
#include "media/sps_pps.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Assembles SPS payloads from field values, MSB first, for the cases where a
// hand-worked hex string would hide the point of the test. The 1920x1080 SPS
// below is written out by hand instead, as a check on this writer too.
struct BitWriter {
    Bytes bytes;
    int used = 8; // bits used in the last byte

    void u(int n, uint32_t v)
    {
        for (int i = n - 1; i >= 0; i--) {
            if (used == 8) {
                bytes.push_back(0);
                used = 0;
            }
            if ((v >> i) & 1u)
                bytes.back() |= (uint8_t)(0x80u >> used);
            used++;
        }
    }
    void ue(uint32_t v)
    {
        uint64_t x = (uint64_t)v + 1;
        int len = 0;
        while ((x >> len) > 1)
            len++;
        u(len, 0);
        for (int i = len; i >= 0; i--)
            u(1, (uint32_t)(x >> i) & 1u);
    }
    // profile_idc, the constraint flags byte, level_idc
    void head(uint32_t profile, uint32_t flags, uint32_t level)
    {
        u(8, profile);
        u(8, flags);
        u(8, level);
    }
    void se(int32_t v) { ue(v > 0 ? (uint32_t)(2 * (int64_t)v - 1) : (uint32_t)(-2 * (int64_t)v)); }
    // rbsp_trailing_bits: stop bit, then zeros to the byte boundary.
    Bytes finish()
    {
        u(1, 1);
        return bytes;
    }
};

// Inserts emulation_prevention_three_byte where an encoder must.
Bytes escape(const Bytes &rbsp)
{
    Bytes out;
    int zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return out;
}

// Writes the fields from max_num_ref_frames to vui_parameters_present_flag.
void write_frame(BitWriter &w, uint32_t max_ref, uint32_t width_mbs_minus1, uint32_t height_units_minus1,
                 uint32_t frame_mbs_only, bool crop, uint32_t l, uint32_t r, uint32_t t, uint32_t b, uint32_t vui = 0)
{
    w.ue(max_ref);
    w.u(1, 0); // gaps_in_frame_num_allowed_flag
    w.ue(width_mbs_minus1);
    w.ue(height_units_minus1);
    w.u(1, frame_mbs_only);
    if (!frame_mbs_only)
        w.u(1, 1); // mb_adaptive_frame_field_flag
    w.u(1, 1);     // direct_8x8_inference_flag
    w.u(1, crop ? 1 : 0);
    if (crop) {
        w.ue(l);
        w.ue(r);
        w.ue(t);
        w.ue(b);
    }
    w.u(1, vui);
}

// Writes the fields after seq_parameter_set_id / the chroma block for a plain
// progressive picture with POC type 0 and four reference frames.
void write_tail(BitWriter &w, uint32_t width_mbs_minus1, uint32_t height_units_minus1, uint32_t frame_mbs_only,
                bool crop, uint32_t l, uint32_t r, uint32_t t, uint32_t b)
{
    w.ue(0); // log2_max_frame_num_minus4
    w.ue(0); // pic_order_cnt_type
    w.ue(2); // log2_max_pic_order_cnt_lsb_minus4
    write_frame(w, 4, width_mbs_minus1, height_units_minus1, frame_mbs_only, crop, l, r, t, b);
}

// High profile (100), level 4.0, 4:2:0, SPS id 0, no scaling matrices.
//   byte 0  0x64  profile_idc 100
//   byte 1  0x00  constraint_set0..3 = 0, reserved_zero_4bits = 0
//   byte 2  0x28  level_idc 40
//   then, as Exp-Golomb and flag bits:
//     seq_parameter_set_id           ue 0    1
//     chroma_format_idc              ue 1    010
//     bit_depth_luma_minus8          ue 0    1
//     bit_depth_chroma_minus8        ue 0    1
//     qpprime_y_zero_transform_bypass     0
//     seq_scaling_matrix_present          0
//                                              byte 3 = 1010 1100 = 0xAC
//     log2_max_frame_num_minus4      ue 0    1
//     pic_order_cnt_type             ue 0    1
//     log2_max_pic_order_cnt_lsb_m4  ue 2    011
//     max_num_ref_frames             ue 4    00101
//                                              byte 4 = 1101 1001 = 0xD9 (carry "01")
//     gaps_in_frame_num_allowed           0
//     pic_width_in_mbs_minus1      ue 119    0000001 111000   (120 = 1111000b)
//                                              byte 5 = 01 0 00000 = 0x40
//                                              byte 6 = 01111000   = 0x78
//     pic_height_in_map_units_m1    ue 67    0000001 000100   (68 = 1000100b)
//                                              byte 7 = 00000010   = 0x02 (carry "00100")
//     frame_mbs_only_flag                 1
//     direct_8x8_inference_flag           1
//     frame_cropping_flag                 1
//                                              byte 8 = 00100 111  = 0x27
//     frame_crop_left/right/top     ue 0,0,0 1 1 1
//     frame_crop_bottom_offset       ue 4    00101
//                                              byte 9 = 111 00101  = 0xE5
//     vui_parameters_present_flag         0
//     rbsp stop bit, alignment zeros      1 000000
//                                              byte 10 = 0100 0000 = 0x40
// Coded 1920 x 1088, cropped by 4 x CropUnitY 2 = 8 rows: 1920 x 1080.
const Bytes kSps1080 = {0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x78, 0x02, 0x27, 0xE5, 0x40};
const Bytes kStart4 = {0x00, 0x00, 0x00, 0x01};
const Bytes kSpsHeader = {0x67};
const Bytes kPps = {0x68, 0xEE, 0x3C, 0x80};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00};

// 00 00 00 01 67 <SPS> 00 00 00 01 68 <PPS> 00 00 00 01 65 ...
//  0           4  5-15 16          20 21-23 24         28
Bytes config_packet_1080()
{
    return cat({kStart4, kSpsHeader, kSps1080, kStart4, kPps, kStart4, kIdr});
}

// Returns the visible size of a parsed record as "WxH" for compact checks.
std::string size_of(const SpsRecord &sps)
{
    int w = -1, h = -1;
    sps_visible_size(&sps, &w, &h);
    return std::to_string(w) + "x" + std::to_string(h);
}

SpsRecord parse(const Bytes &payload)
{
    SpsRecord sps;
    std::memset(&sps, 0xA5, sizeof sps); // the parse must clear it
    // An exact-size heap copy lets the address sanitizer see any overread.
    uint8_t *copy = new uint8_t[payload.size() ? payload.size() : 1];
    if (!payload.empty())
        std::memcpy(copy, payload.data(), payload.size());
    EXPECT_EQ(sps_parse(copy, (uint32_t)payload.size(), &sps), 0);
    delete[] copy;
    return sps;
}

int config_size(const Bytes &packet, int *w, int *h)
{
    // Exact-size heap copy, as above.
    uint8_t *copy = new uint8_t[packet.size() ? packet.size() : 1];
    if (!packet.empty())
        std::memcpy(copy, packet.data(), packet.size());
    int r = h264_config_visible_size(copy, (uint32_t)packet.size(), w, h);
    delete[] copy;
    return r;
}

// --------------------------------------------------------------------------
// Locator

// Fields a case leaves unchecked.
constexpr uint32_t ANY = 0xDEADBEEFu;

TEST(NalLocate, StartCodesAndStops)
{
    struct Case {
        const char *what;
        Bytes packet;
        uint32_t sps_start, pps_start, sps_size, pps_size, position, found;
        int config; // h264_config_visible_size result; 1: not checked
    } const cases[] = {
        // 00 00 00 01 67 <SPS> 00 00 00 01 68 <PPS> 00 00 00 01 65 ...
        //  0           4  5-15 16          20 21-23 24         28
        {"config packet stops at the IDR header", config_packet_1080(), 0, 16, 16, 12, 28, 1, 0},
        {"SPS and PPS only run to the end", cat({kStart4, kSpsHeader, kSps1080, kStart4, kPps}), 0, 16, 16, 8, 24, 0,
         1},
        // The SEI body holds 0x67 and 0x65 bytes that follow no start code.
        {"SEI between SPS and PPS changes nothing",
         cat({kStart4, kSpsHeader, kSps1080, kStart4, {0x06, 0x05, 0x02, 0x67, 0x65, 0x80}, kStart4, kPps, kStart4,
              kIdr}),
         0, 26, 26, 12, 38, 1, 0},
        // The SPS header behind the slice is never reached.
        {"non-IDR slice also stops",
         cat({kStart4, kSpsHeader, kSps1080, kStart4, kPps, kStart4, {0x41, 0x9A}, kStart4, {0x67}}), 0, ANY, ANY,
         ANY, 28, 1, 1},
        {"slice before the parameter sets does not stop",
         cat({kStart4, {0x65, 0x88}, kStart4, kSpsHeader, kSps1080, kStart4, kPps, kStart4, kIdr}), 6, 22, ANY, ANY,
         34, 1, 1},
        // 00 00 01 67 at offset 0: the header is byte 3, so "header - 4" wraps;
        // PPS header at 18, IDR header at 25.
        {"three-byte start codes",
         cat({{0x00, 0x00, 0x01, 0x67}, kSps1080, {0x00, 0x00, 0x01}, kPps, {0x00, 0x00, 0x01}, kIdr}), 0xFFFFFFFFu,
         14, 15, 11, 25, 1, 0},
        {"longer zero runs still end in a start code",
         cat({{0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x67}, kSps1080, kStart4, kPps}), 2, 18, 16, ANY, ANY, ANY, 1},
        // AB 00 01 67: one zero then 01 sends the scanner back to searching.
        {"lone zero before 01 is no start code", {0xAB, 0x00, 0x01, 0x67, 0x64, 0x00, 0x01, 0x68, 0x00}, 0, 0, 0,
         ANY, 9, ANY, -1},
        // Access unit delimiter, PPS, IDR: no SPS anywhere. The state machine
        // alone counts this as found: with no SPS seen, sps_start is 0 and
        // sps_size becomes pps_start.
        {"PPS and slice without SPS is no configuration", cat({kStart4, {0x09, 0x10}, kStart4, kPps, kStart4, kIdr}),
         ANY, 6, 6, ANY, ANY, 1, -1},
        {"SPS without PPS runs to the end", cat({kStart4, kSpsHeader, kSps1080}), ANY, ANY, 0, ANY, ANY, ANY, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        NalLocation loc;
        nal_locate(c.packet.data(), (uint32_t)c.packet.size(), &loc);
        EXPECT_EQ(loc.data, c.packet.data());
        EXPECT_EQ(loc.length, c.packet.size());
        const std::pair<uint32_t, uint32_t> fields[] = {{loc.sps_start, c.sps_start}, {loc.pps_start, c.pps_start},
                                                        {loc.sps_size, c.sps_size},   {loc.pps_size, c.pps_size},
                                                        {loc.position, c.position},   {loc.found, c.found}};
        const char *names[] = {"sps_start", "pps_start", "sps_size", "pps_size", "position", "found"};
        for (size_t i = 0; i < std::size(fields); i++) {
            if (fields[i].second != ANY) {
                EXPECT_EQ(fields[i].first, fields[i].second) << names[i];
            }
        }
        if (c.config != 1) {
            int w = 0, h = 0;
            ASSERT_EQ(config_size(c.packet, &w, &h), c.config);
            if (c.config == 0) {
                EXPECT_EQ(w, 1920);
                EXPECT_EQ(h, 1080);
            }
        }
    }
}

TEST(NalLocate, PacketsShorterThanAStartCode)
{
    const Bytes full = {0x00, 0x00, 0x00, 0x01};
    for (size_t n = 0; n <= full.size(); n++) {
        Bytes p(full.begin(), full.begin() + (long)n);
        uint8_t *copy = new uint8_t[n ? n : 1];
        if (n)
            std::memcpy(copy, p.data(), n);
        NalLocation loc;
        nal_locate(copy, (uint32_t)n, &loc);
        EXPECT_EQ(loc.position, n);
        EXPECT_EQ(loc.found, 0u);
        EXPECT_EQ(loc.sps_size, 0u);
        EXPECT_EQ(loc.pps_size, 0u);
        int w = 0, h = 0;
        EXPECT_EQ(h264_config_visible_size(copy, (uint32_t)n, &w, &h), -1) << n;
        delete[] copy;
    }
    NalLocation loc;
    nal_locate(nullptr, 100, &loc);
    EXPECT_EQ(loc.length, 0u);
    EXPECT_EQ(loc.position, 0u);
}

// --------------------------------------------------------------------------
// SPS parser

TEST(SpsParse, Hand1080Fields)
{
    SpsRecord s = parse(kSps1080);
    EXPECT_EQ(s.profile_idc, 100u);
    EXPECT_EQ(s.constraint_set0_flag, 0u);
    EXPECT_EQ(s.reserved_zero_4bits, 0u);
    EXPECT_EQ(s.level_idc, 40u);
    EXPECT_EQ(s.seq_parameter_set_id, 0u);
    EXPECT_EQ(s.chroma_format_idc, 1u);
    EXPECT_EQ(s.seq_scaling_matrix_present_flag, 0u);
    EXPECT_EQ(s.log2_max_pic_order_cnt_lsb_minus4, 2u);
    EXPECT_EQ(s.max_num_ref_frames, 4u);
    EXPECT_EQ(s.pic_width_in_mbs_minus1, 119u);
    EXPECT_EQ(s.pic_height_in_map_units_minus1, 67u);
    EXPECT_EQ(s.frame_mbs_only_flag, 1u);
    EXPECT_EQ(s.direct_8x8_inference_flag, 1u);
    EXPECT_EQ(s.frame_cropping_flag, 1u);
    EXPECT_EQ(s.frame_crop_bottom_offset, 4u);
    EXPECT_EQ(s.vui_parameters_present_flag, 0u);
    EXPECT_EQ(size_of(s), "1920x1080");

    // The same fields through the bit writer give the same bytes.
    BitWriter w;
    w.head(100, 0, 40);
    w.ue(0);
    w.ue(1);
    w.ue(0);
    w.ue(0);
    w.u(1, 0);
    w.u(1, 0);
    write_tail(w, 119, 67, 1, true, 0, 0, 0, 4);
    EXPECT_EQ(w.finish(), kSps1080);
}

TEST(SpsParse, ConstraintFlagsAndReservedNibble)
{
    // 4D = Main; 0xB5 = 1 0 1 1 | 0101
    SpsRecord s = parse({0x4D, 0xB5, 0x1F, 0x80});
    EXPECT_EQ(s.profile_idc, 77u);
    EXPECT_EQ(s.constraint_set0_flag, 1u);
    EXPECT_EQ(s.constraint_set1_flag, 0u);
    EXPECT_EQ(s.constraint_set2_flag, 1u);
    EXPECT_EQ(s.constraint_set3_flag, 1u);
    EXPECT_EQ(s.reserved_zero_4bits, 5u);
    EXPECT_EQ(s.level_idc, 31u);
}

TEST(SpsParse, BaselineKeepsChroma420AndReadsNoBitDepth)
{
    // Baseline codes no chroma block; a parser that read one anyway would
    // shift every later field and get the size wrong.
    BitWriter w;
    w.head(66, 0xC0, 30);
    w.ue(0);
    write_tail(w, 39, 22, 1, true, 0, 0, 0, 4);
    SpsRecord s = parse(w.finish());
    EXPECT_EQ(s.profile_idc, 66u);
    EXPECT_EQ(s.constraint_set0_flag, 1u);
    EXPECT_EQ(s.constraint_set1_flag, 1u);
    EXPECT_EQ(s.chroma_format_idc, 1u);
    EXPECT_EQ(s.bit_depth_luma_minus8, 0u);
    EXPECT_EQ(s.bit_depth_chroma_minus8, 0u);
    EXPECT_EQ(s.seq_scaling_matrix_present_flag, 0u);
    EXPECT_EQ(size_of(s), "640x360");
}

TEST(SpsParse, EmulationPreventionParsesLikeTheUnescapedForm)
{
    // Baseline, level 0, then an SPS id whose code starts with many zeros:
    // the RBSP holds 00 00 00 ... and 00 00 01, which must be escaped.
    BitWriter w;
    w.head(66, 0, 0);
    w.ue(70000); // 16 leading zeros
    w.ue(0);
    w.ue(0);
    w.ue(0);
    write_frame(w, 1, 79, 44, 1, false, 0, 0, 0, 0);
    Bytes rbsp = w.finish();
    Bytes escaped = escape(rbsp);
    ASSERT_GT(escaped.size(), rbsp.size()) << "the vector must need escaping";
    SpsRecord a = parse(rbsp);
    SpsRecord b = parse(escaped);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    EXPECT_EQ(b.seq_parameter_set_id, 70000u);
    EXPECT_EQ(size_of(b), "1280x720");
}

TEST(SpsParse, EscapeRemovalRestartsTheZeroCount)
{
    // 00 00 03 00 03 80: the first 03 goes; the second follows only one zero
    // of a fresh count and stays. Unescaped: 00 00 00 03 80, so the SPS id
    // code is 000000 1 1 10000 -> 2^6 - 1 + 0b110000 = 111.
    SpsRecord s = parse({0x00, 0x00, 0x03, 0x00, 0x03, 0x80});
    EXPECT_EQ(s.profile_idc, 0u);
    EXPECT_EQ(s.level_idc, 0u);
    EXPECT_EQ(s.seq_parameter_set_id, 111u);

    // 42 00 00 03 00 00 03 01: both 03 go, leaving 42 00 00 00 00 01.
    s = parse({0x42, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x01});
    EXPECT_EQ(s.profile_idc, 66u);
    EXPECT_EQ(s.level_idc, 0u);
    // SPS id from 00 00 01: 23 zeros, the one, nothing left -> 2^23 - 1.
    EXPECT_EQ(s.seq_parameter_set_id, 8388607u);
}

TEST(SpsParse, ScalingListWhoseFirstDeltaGivesZeroReadsOneDelta)
{
    BitWriter w;
    w.head(100, 0, 40);
    w.ue(0);
    w.ue(1);   // chroma_format_idc
    w.ue(0);
    w.ue(0);
    w.u(1, 0);
    w.u(1, 1); // seq_scaling_matrix_present_flag
    // List 0 (4x4): delta -8 makes nextScale 0 at once: use the default.
    w.u(1, 1);
    w.se(-8);
    // List 1 (4x4): sixteen explicit deltas of +1: 9, 10, ... 24.
    w.u(1, 1);
    for (int j = 0; j < 16; j++)
        w.se(1);
    // Lists 2..5 absent.
    for (int i = 2; i < 6; i++)
        w.u(1, 0);
    // List 6 (8x8): 20 then constant (delta 0) until a delta -20 ends it
    // at entry 10; the rest repeat lastScale.
    w.u(1, 1);
    w.se(12);
    for (int j = 1; j < 10; j++)
        w.se(0);
    w.se(-20);
    // List 7 absent.
    w.u(1, 0);
    write_tail(w, 119, 67, 1, true, 0, 0, 0, 4);
    SpsRecord s = parse(w.finish());

    EXPECT_EQ(s.seq_scaling_matrix_present_flag, 1u);
    EXPECT_EQ(s.seq_scaling_list_present_flag[0], 1u);
    EXPECT_EQ(s.UseDefaultScalingMatrix[0], 1u);
    for (int j = 0; j < 16; j++)
        EXPECT_EQ(s.ScalingList4x4[0][j], 8) << j;
    EXPECT_EQ(s.UseDefaultScalingMatrix[1], 0u);
    for (int j = 0; j < 16; j++)
        EXPECT_EQ(s.ScalingList4x4[1][j], 9 + j) << j;
    EXPECT_EQ(s.seq_scaling_list_present_flag[2], 0u);
    EXPECT_EQ(s.seq_scaling_list_present_flag[6], 1u);
    EXPECT_EQ(s.UseDefaultScalingMatrix[6], 0u);
    for (int j = 0; j < 64; j++)
        EXPECT_EQ(s.ScalingList8x8[0][j], 20) << j;
    EXPECT_EQ(s.seq_scaling_list_present_flag[7], 0u);
    EXPECT_EQ(s.pic_width_in_mbs_minus1, 119u);
    EXPECT_EQ(s.pic_height_in_map_units_minus1, 67u);
    EXPECT_EQ(size_of(s), "1920x1080");
}

TEST(SpsParse, Chroma444ReadsTwelveListsAndSeparatePlaneFlag)
{
    BitWriter w;
    w.head(244, 0, 31);
    w.ue(3);
    w.ue(3);   // chroma_format_idc 4:4:4
    w.u(1, 1); // separate_colour_plane_flag
    w.ue(2);
    w.ue(2);
    w.u(1, 1);
    w.u(1, 1);
    for (int i = 0; i < 11; i++)
        w.u(1, 0);
    w.u(1, 1); // list 11: one delta to 0 -> default
    w.se(-8);
    write_tail(w, 62, 35, 1, true, 0, 8, 0, 14);
    SpsRecord s = parse(w.finish());
    EXPECT_EQ(s.seq_parameter_set_id, 3u);
    EXPECT_EQ(s.chroma_format_idc, 3u);
    EXPECT_EQ(s.separate_colour_plane_flag, 1u);
    EXPECT_EQ(s.bit_depth_luma_minus8, 2u);
    EXPECT_EQ(s.bit_depth_chroma_minus8, 2u);
    EXPECT_EQ(s.qpprime_y_zero_transform_bypass_flag, 1u);
    EXPECT_EQ(s.seq_scaling_list_present_flag[11], 1u);
    EXPECT_EQ(s.UseDefaultScalingMatrix[11], 1u);
    EXPECT_EQ(s.ScalingList8x8[5][63], 8);
    EXPECT_EQ(size_of(s), "1000x562"); // CropUnitX and CropUnitY 1
}

TEST(SpsParse, PocType1OffsetsAndSignedMapping)
{
    BitWriter w;
    w.head(77, 0, 30);
    w.ue(0);
    w.ue(0);   // log2_max_frame_num_minus4
    w.ue(1);   // pic_order_cnt_type
    w.u(1, 1); // delta_pic_order_always_zero_flag
    w.ue(1);   // offset_for_non_ref_pic: k 1 -> +1
    w.ue(4);   // offset_for_top_to_bottom_field: k 4 -> -2
    w.ue(3);   // cycle
    w.ue(5);   // +3
    w.ue(6);   // -3
    w.ue(0);   // 0
    write_frame(w, 1, 39, 22, 1, true, 0, 0, 0, 4, 1);
    SpsRecord s = parse(w.finish());
    EXPECT_EQ(s.pic_order_cnt_type, 1u);
    EXPECT_EQ(s.delta_pic_order_always_zero_flag, 1u);
    EXPECT_EQ(s.offset_for_non_ref_pic, 1);
    EXPECT_EQ(s.offset_for_top_to_bottom_field, -2);
    EXPECT_EQ(s.num_ref_frames_in_pic_order_cnt_cycle, 3u);
    EXPECT_EQ(s.offset_for_ref_frame[0], 3);
    EXPECT_EQ(s.offset_for_ref_frame[1], -3);
    EXPECT_EQ(s.offset_for_ref_frame[2], 0);
    EXPECT_EQ(s.max_num_ref_frames, 1u);
    EXPECT_EQ(s.vui_parameters_present_flag, 1u);
    EXPECT_EQ(size_of(s), "640x360");
}

TEST(SpsParse, PocCycleAbove255KeepsLaterFieldsInPlace)
{
    BitWriter w;
    w.head(77, 0, 30);
    w.ue(0);
    w.ue(0);
    w.ue(1);
    w.u(1, 0);
    w.se(0);
    w.se(0);
    w.ue(300);
    for (int i = 0; i < 300; i++)
        w.se(i % 2 ? -(i / 2) : i / 2);
    write_frame(w, 2, 119, 67, 1, true, 0, 0, 0, 4);
    SpsRecord s = parse(w.finish());
    EXPECT_EQ(s.num_ref_frames_in_pic_order_cnt_cycle, 300u);
    EXPECT_EQ(s.offset_for_ref_frame[0], 0);
    EXPECT_EQ(s.offset_for_ref_frame[253], -126);
    EXPECT_EQ(s.offset_for_ref_frame[254], 127);
    EXPECT_EQ(s.max_num_ref_frames, 2u);
    EXPECT_EQ(size_of(s), "1920x1080");
}

TEST(SpsParse, HugePocCycleCountOnShortDataEndsPromptly)
{
    BitWriter w;
    w.head(77, 0, 30);
    w.ue(0);
    w.ue(0);
    w.ue(1);
    w.u(1, 0);
    w.se(0);
    w.se(0);
    w.ue(0xFFFFFFFEu);
    w.se(5);
    Bytes p = w.finish();
    auto t0 = std::chrono::steady_clock::now();
    SpsRecord s = parse(p);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(s.num_ref_frames_in_pic_order_cnt_cycle, 0xFFFFFFFEu);
    EXPECT_EQ(s.offset_for_ref_frame[0], 5);
    EXPECT_EQ(s.offset_for_ref_frame[1], 0);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 1000);
}

TEST(SpsParse, EmptyAndShortInputKeepWhatWasRead)
{
    uint8_t one = 0;
    SpsRecord s;
    std::memset(&s, 0xA5, sizeof s);
    ASSERT_EQ(sps_parse(&one, 0, &s), 0);
    EXPECT_EQ(s.profile_idc, 0u);
    EXPECT_EQ(s.chroma_format_idc, 1u);
    EXPECT_EQ(s.pic_width_in_mbs_minus1, 0u);
    EXPECT_EQ(s.vui_parameters_present_flag, 0u);

    // Two bytes: profile and flags; the level read finds nothing left.
    s = parse({0x64, 0x0F});
    EXPECT_EQ(s.profile_idc, 100u);
    EXPECT_EQ(s.reserved_zero_4bits, 15u);
    EXPECT_EQ(s.level_idc, 0u);
    EXPECT_EQ(s.chroma_format_idc, 0u); // read (as 0) since High codes it
}

TEST(SpsParse, UeAtTheEndOfData)
{
    // 0000 1011: four zeros, the one, then only three of the four suffix bits
    // remain; the read returns those three (011): 2^4 - 1 + 3.
    SpsRecord s = parse({0x42, 0x00, 0x1E, 0x0B});
    EXPECT_EQ(s.seq_parameter_set_id, 18u);
    EXPECT_EQ(s.log2_max_frame_num_minus4, 0u);

    // All zeros to the end: the code never terminates and reads as 0.
    s = parse({0x42, 0x00, 0x1E, 0x00, 0x00});
    EXPECT_EQ(s.seq_parameter_set_id, 0u);
    EXPECT_EQ(s.frame_mbs_only_flag, 0u);

    // The terminating one is the very last bit: zeros 7, no suffix bits left.
    s = parse({0x42, 0x00, 0x1E, 0x01});
    EXPECT_EQ(s.seq_parameter_set_id, 127u);
}

TEST(SpsParse, UeWith32OrMoreZerosSaturates)
{
    // 32 zeros, the one, 32 suffix bits of 1, then width ue(0) "1".
    Bytes p = {0x42, 0x00, 0x1E, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xC0};
    SpsRecord s = parse(p);
    EXPECT_EQ(s.seq_parameter_set_id, 0xFFFFFFFFu);
    EXPECT_EQ(s.log2_max_frame_num_minus4, 0u); // the "1" after the suffix
}

TEST(SpsParse, CountRunningFarPastTheSpsIsBounded)
{
    // The SPS followed by 200 KB of zeros: the copy stops at SPS_MAX_INPUT
    // and the result is that of the SPS alone.
    Bytes p = kSps1080;
    p.resize(200 * 1024, 0);
    SpsRecord big = parse(p);
    SpsRecord small = parse(kSps1080);
    EXPECT_EQ(std::memcmp(&big, &small, sizeof big), 0);
}

TEST(SpsParse, NullPointersAreReported)
{
    SpsRecord s;
    testing::internal::CaptureStderr();
    EXPECT_EQ(sps_parse(nullptr, 4, &s), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(testing::internal::RE::FullMatch(
        err, testing::internal::RE("\"sps_pps\\.cpp\" line [0-9]+ \\[err\\]: ERR null pointer\n\n")))
        << err;

    testing::internal::CaptureStderr();
    EXPECT_EQ(sps_parse(kSps1080.data(), (uint32_t)kSps1080.size(), nullptr), -1);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[err]: ERR null pointer\n\n"), std::string::npos) << err;
}

// --------------------------------------------------------------------------
// Visible size

SpsRecord record(uint32_t chroma, uint32_t w_mbs_m1, uint32_t h_units_m1, uint32_t frame_mbs_only, uint32_t l,
                 uint32_t r, uint32_t t, uint32_t b)
{
    SpsRecord s;
    std::memset(&s, 0, sizeof s);
    s.chroma_format_idc = chroma;
    s.pic_width_in_mbs_minus1 = w_mbs_m1;
    s.pic_height_in_map_units_minus1 = h_units_m1;
    s.frame_mbs_only_flag = frame_mbs_only;
    s.frame_cropping_flag = (l | r | t | b) ? 1 : 0;
    s.frame_crop_left_offset = l;
    s.frame_crop_right_offset = r;
    s.frame_crop_top_offset = t;
    s.frame_crop_bottom_offset = b;
    return s;
}

TEST(VisibleSize, CropUnitsByChromaFormatAndFieldCoding)
{
    struct Case {
        uint32_t chroma, w_mbs_m1, h_units_m1, frame_mbs_only, l, r, t, b;
        const char *size;
    } const cases[] = {
        {1, 119, 67, 1, 0, 0, 0, 4, "1920x1080"}, // coded 1088, cropped
        {1, 119, 67, 1, 0, 0, 0, 0, "1920x1088"},
        // Field coding: 34 map units of 32 rows = 1088; 2 x CropUnitY 4 = 8 rows.
        {1, 119, 33, 0, 0, 0, 0, 2, "1920x1080"},
        {1, 79, 22, 0, 0, 0, 0, 4, "1280x720"},
        {2, 119, 33, 0, 0, 0, 0, 4, "1920x1080"}, // 4:2:2 field coding: CropUnitY 2
        {3, 119, 33, 0, 3, 5, 0, 4, "1912x1080"}, // 4:4:4 field coding: CropUnitY 2, CropUnitX 1
        // 4:2:0 and 4:2:2: CropUnitX 2; CropUnitY 2 and 1.
        {1, 85, 47, 1, 0, 5, 0, 0, "1366x768"},
        {2, 53, 29, 1, 0, 5, 0, 2, "854x478"},
        // 4:4:4 and monochrome: CropUnitX 1 and CropUnitY 1.
        {3, 62, 35, 1, 0, 8, 0, 14, "1000x562"},
        {0, 44, 25, 1, 0, 0, 0, 10, "720x406"},
        // Top and left offsets count the same as bottom and right.
        {1, 119, 67, 1, 4, 0, 4, 0, "1912x1080"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        EXPECT_EQ(size_of(record(c.chroma, c.w_mbs_m1, c.h_units_m1, c.frame_mbs_only, c.l, c.r, c.t, c.b)), c.size);
    }
}

TEST(VisibleSize, NoCroppingFlagIgnoresOffsets)
{
    SpsRecord s = record(1, 119, 67, 1, 0, 0, 0, 4);
    s.frame_cropping_flag = 0;
    EXPECT_EQ(size_of(s), "1920x1088");
}

TEST(VisibleSize, AbsurdFieldsClampInsteadOfOverflowing)
{
    EXPECT_EQ(size_of(record(1, 0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0, 0, 0, 0)), "2147483647x2147483647");
    EXPECT_EQ(size_of(record(1, 0, 0, 1, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu)), "0x0");
    int w = -1, h = -1;
    sps_visible_size(nullptr, &w, &h);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
}

// --------------------------------------------------------------------------
// Configuration packets as the decoder sees them

TEST(ConfigPacket, SpsHeaderInTheLastByte)
{
    // Nothing after the header: an empty SPS, read without leaving the packet.
    int w = 0, h = 0;
    ASSERT_EQ(config_size({0x00, 0x00, 0x00, 0x01, 0x67}, &w, &h), 0);
    EXPECT_EQ(w, 16);
    EXPECT_EQ(h, 32);
    // The same behind a three-byte start code, where sps_start wraps.
    ASSERT_EQ(config_size({0x00, 0x00, 0x01, 0x67}, &w, &h), 0);
    EXPECT_EQ(w, 16);
}

TEST(ConfigPacket, StaleSpsSizeNeverPassesThePacketEnd)
{
    // SPS, PPS, then a second SPS (1280x720) that ends the packet. sps_size
    // still holds the first pair's distance (16), which from the second SPS
    // would run 7 bytes past the end; the second SPS is read to the end.
    BitWriter w;
    w.head(66, 0, 31);
    w.ue(0);
    write_tail(w, 79, 44, 1, false, 0, 0, 0, 0);
    Bytes sps720 = w.finish();
    ASSERT_LT(sps720.size(), 15u);
    Bytes p = cat({kStart4, kSpsHeader, kSps1080, kStart4, kPps, kStart4, kSpsHeader, sps720});
    NalLocation loc;
    nal_locate(p.data(), (uint32_t)p.size(), &loc);
    EXPECT_EQ(loc.sps_start, 24u);
    EXPECT_EQ(loc.sps_size, 16u);
    EXPECT_GT(loc.sps_start + 5 + loc.sps_size, p.size());
    int width = 0, height = 0;
    ASSERT_EQ(config_size(p, &width, &height), 0);
    EXPECT_EQ(width, 1280);
    EXPECT_EQ(height, 720);
}

TEST(ConfigPacket, NullArguments)
{
    Bytes p = config_packet_1080();
    int w = 0, h = 0;
    EXPECT_EQ(h264_config_visible_size(nullptr, 10, &w, &h), -1);
    EXPECT_EQ(h264_config_visible_size(p.data(), (uint32_t)p.size(), nullptr, &h), -1);
    EXPECT_EQ(h264_config_sps(p.data(), (uint32_t)p.size(), nullptr), -1);
}

// --------------------------------------------------------------------------
// Heads of real libx264 streams

struct Fixture {
    const char *file;
    int width, height;         // the size the stream was made with
    uint32_t chroma_format_idc;
    uint32_t frame_mbs_only_flag;
    uint32_t seq_scaling_matrix_present_flag;
};

const Fixture kFixtures[] = {
    {"h264_1920x1080_high.264", 1920, 1080, 1, 1, 0},
    {"h264_1366x768_high.264", 1366, 768, 1, 1, 0},
    {"h264_1280x720_interlaced.264", 1280, 720, 1, 0, 0},
    {"h264_640x360_baseline.264", 640, 360, 1, 1, 0},
    {"h264_640x360_baseline_sei.264", 640, 360, 1, 1, 0},
    {"h264_854x478_high422.264", 854, 478, 2, 1, 0},
    {"h264_1000x562_high444_cqm.264", 1000, 562, 3, 1, 0},
    {"h264_720x406_gray.264", 720, 406, 0, 1, 0},
    {"h264_1280x720_avcintra100.264", 1280, 720, 2, 1, 1},
};

std::string data_dir() { return std::string(KAVRI_SOURCE_DIR) + "/tests/data/h264/"; }

Bytes read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// fixtures.txt: "file key=value ..." per line.
std::map<std::string, std::map<std::string, std::string>> read_manifest()
{
    std::map<std::string, std::map<std::string, std::string>> out;
    std::ifstream in(data_dir() + "fixtures.txt");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string name, kv;
        words >> name;
        while (words >> kv) {
            size_t eq = kv.find('=');
            if (eq != std::string::npos)
                out[name][kv.substr(0, eq)] = kv.substr(eq + 1);
        }
    }
    return out;
}

struct Nal {
    uint32_t start, header, type;
};

std::vector<Nal> parse_nals(const std::string &text)
{
    std::vector<Nal> out;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        Nal n{};
        EXPECT_EQ(std::sscanf(item.c_str(), "%u:%u:%u", &n.start, &n.header, &n.type), 3) << item;
        out.push_back(n);
    }
    return out;
}

class RealStream : public testing::TestWithParam<Fixture> {};

TEST_P(RealStream, LocatorSizeProfileAndLevel)
{
    const Fixture &f = GetParam();
    auto manifest = read_manifest();
    ASSERT_TRUE(manifest.count(f.file)) << f.file << " missing from fixtures.txt";
    auto &m = manifest[f.file];
    Bytes p = read_file(data_dir() + f.file);
    ASSERT_FALSE(p.empty()) << f.file;

    std::string made = std::to_string(f.width) + "x" + std::to_string(f.height);
    EXPECT_EQ(m["made"], made);
    EXPECT_EQ(m["probe"], made) << "ffprobe read another size from the stream";

    // Where the units are, from the script's own start-code search.
    std::vector<Nal> nals = parse_nals(m["nals"]);
    const Nal *sps = nullptr, *pps = nullptr, *slice = nullptr;
    for (const Nal &n : nals) {
        if (n.type == 7 && !sps)
            sps = &n;
        else if (n.type == 8 && !pps)
            pps = &n;
        else if ((n.type == 1 || n.type == 5) && !slice)
            slice = &n;
    }
    ASSERT_TRUE(sps && pps && slice);
    ASSERT_EQ(slice->header + 1, p.size()) << "a fixture ends with the first slice header";

    NalLocation loc;
    nal_locate(p.data(), (uint32_t)p.size(), &loc);
    EXPECT_EQ(loc.sps_start, sps->header - 4);
    EXPECT_EQ(loc.pps_start, pps->header - 4);
    EXPECT_EQ(loc.sps_size, pps->header - sps->header);
    EXPECT_EQ(loc.pps_size, slice->header - (pps->header - 4));
    EXPECT_EQ(loc.position, slice->header);
    EXPECT_EQ(loc.found, 1u);

    SpsRecord rec;
    ASSERT_EQ(h264_config_sps(p.data(), (uint32_t)p.size(), &rec), 0);
    // profile_idc and level_idc are the bytes right after the SPS header.
    EXPECT_EQ(rec.profile_idc, p[sps->header + 1]);
    EXPECT_EQ(rec.level_idc, p[sps->header + 3]);
    EXPECT_EQ(std::to_string(rec.profile_idc), m["profile"]);
    EXPECT_EQ(std::to_string(rec.level_idc), m["level"]);
    EXPECT_EQ(rec.chroma_format_idc, f.chroma_format_idc);
    EXPECT_EQ(rec.frame_mbs_only_flag, f.frame_mbs_only_flag);
    EXPECT_EQ(rec.seq_scaling_matrix_present_flag, f.seq_scaling_matrix_present_flag);

    int w = 0, h = 0;
    ASSERT_EQ(config_size(p, &w, &h), 0);
    EXPECT_EQ(w, f.width);
    EXPECT_EQ(h, f.height);

    // Parsing with the decoder's literal pointer and count gives the same.
    SpsRecord literal;
    ASSERT_EQ(sps_parse(p.data() + loc.sps_start + 5, loc.sps_size, &literal), 0);
    EXPECT_EQ(std::memcmp(&literal, &rec, sizeof rec), 0);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RealStream, testing::ValuesIn(kFixtures),
                         [](const testing::TestParamInfo<Fixture> &info) {
                             std::string n = info.param.file;
                             n = n.substr(5, n.size() - 9); // drop "h264_" and ".264"
                             for (char &c : n)
                                 if (!isalnum((unsigned char)c))
                                     c = '_';
                             return n;
                         });

TEST(RealStreamExtras, AvcIntraListsCarryCodedValues)
{
    // The AVC-Intra head opens with an access unit delimiter and codes its
    // matrices in the SPS; the size after them only comes out right if every
    // list was read with the right length.
    Bytes p = read_file(data_dir() + "h264_1280x720_avcintra100.264");
    SpsRecord s;
    ASSERT_EQ(h264_config_sps(p.data(), (uint32_t)p.size(), &s), 0);
    EXPECT_EQ(s.constraint_set3_flag, 1u); // the Intra profiles
    EXPECT_EQ(s.bit_depth_luma_minus8, 2u);
    int lists = 0;
    for (int i = 0; i < 8; i++)
        lists += (int)s.seq_scaling_list_present_flag[i];
    EXPECT_GT(lists, 0);
    EXPECT_EQ(size_of(s), "1280x720");
}

TEST(RealStreamExtras, EveryPrefixOfAFixtureStaysInBounds)
{
    // The decoder may be handed any truncation of a configuration packet.
    for (const Fixture &f : kFixtures) {
        Bytes p = read_file(data_dir() + f.file);
        for (size_t n = 0; n <= p.size(); n++) {
            Bytes head(p.begin(), p.begin() + (long)n);
            int w = 0, h = 0;
            int r = config_size(head, &w, &h);
            NalLocation loc;
            nal_locate(head.data(), (uint32_t)n, &loc);
            EXPECT_LE(loc.position, n);
            if (loc.sps_size != 0) {
                EXPECT_LE((uint64_t)loc.pps_start + loc.pps_size, n);
            }
            if (r == 0) {
                EXPECT_TRUE(w >= 0 && h >= 0);
            }
        }
    }
}

} // namespace
