// H.264 NAL locator, SPS parser and visible-size rule: hand-written packets
// for the locator's state machine and each SPS branch, then heads of real
// libx264 streams. Truncations and garbage are fuzz_sps's job.
#include "media/sps_pps.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "support/bytes.h"

namespace {

// SPS payloads below without a comment on their bits were written from field
// values with a bit writer (MSB first, Exp-Golomb codes, then the stop bit).
// High profile (100), level 4.0, 4:2:0, SPS id 0, no scaling matrices:
//   64 00 28 | 1 010 1 1 0 0 = AC | 1 1 011 00101 = D9 (carry 01) | 0 then
//   width ue 119 = 0000001 111000 | height ue 67 = 0000001 000100 | 1 1 1 |
//   crop 1 1 1 00101 | vui 0 | stop 1: ... 40 78 02 27 E5 40.
// Coded 1920 x 1088, cropped by 4 x CropUnitY 2 = 8 rows: 1920 x 1080.
const Bytes kSps1080 = unhex("640028acd940780227e540");
const Bytes kStart4 = {0, 0, 0, 1}, kPps = {0x68, 0xEE, 0x3C, 0x80}, kIdr = {0x65, 0x88, 0x84, 0x00};
const Bytes kSpsNal = cat({kStart4, {0x67}, kSps1080});

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
    Exact e(payload);
    EXPECT_EQ(sps_parse(e.p, (uint32_t)e.n, &sps), 0);
    return sps;
}

std::string config_size(const Bytes &packet)
{
    int w = 0, h = 0;
    Exact e(packet);
    if (h264_config_visible_size(e.p, (uint32_t)e.n, &w, &h) != 0)
        return "none";
    return std::to_string(w) + "x" + std::to_string(h);
}

} // namespace

TEST(NalLocate, StartCodesAndStops)
{
    // sps_start pps_start sps_size pps_size position found, then the configuration's size.
    // 00 00 00 01 67 <SPS> 00 00 00 01 68 <PPS> 00 00 00 01 65 ...
    //  0           4  5-15 16          20 21-23 24         28
    const struct {
        const char *what;
        Bytes packet;
        const char *want;
    } cases[] = {
        {"config packet stops at the IDR header", cat({kSpsNal, kStart4, kPps, kStart4, kIdr}),
         "0 16 16 12 28 1 1920x1080"},
        {"SPS and PPS only run to the end", cat({kSpsNal, kStart4, kPps}), "0 16 16 8 24 0 1920x1080"},
        {"SEI between SPS and PPS (holding 67 and 65 bytes) changes nothing",
         cat({kSpsNal, kStart4, {0x06, 0x05, 0x02, 0x67, 0x65, 0x80}, kStart4, kPps, kStart4, kIdr}),
         "0 26 26 12 38 1 1920x1080"},
        {"non-IDR slice also stops", cat({kSpsNal, kStart4, kPps, kStart4, {0x41, 0x9A}, kStart4, {0x67}}),
         "0 16 16 12 28 1 1920x1080"},
        {"slice before the parameter sets does not stop",
         cat({kStart4, {0x65, 0x88}, kSpsNal, kStart4, kPps, kStart4, kIdr}), "6 22 16 12 34 1 1920x1080"},
        // 00 00 01 67 at offset 0: the header is byte 3, so "header - 4" wraps.
        {"three-byte start codes", cat({{0, 0, 1, 0x67}, kSps1080, {0, 0, 1}, kPps, {0, 0, 1}, kIdr}),
         "4294967295 14 15 11 25 1 1920x1080"},
        {"lone zero before 01 is no start code", unhex("ab000167640001 6800"), "0 0 0 0 9 0 none"},
        {"PPS and slice without SPS is no configuration", cat({kStart4, {0x09, 0x10}, kStart4, kPps, kStart4, kIdr}),
         "0 6 6 12 18 1 none"},
        {"SPS without PPS runs to the end", kSpsNal, "0 0 0 0 16 0 1920x1080"},
        // A second SPS (1280x720) ends the packet: sps_size still holds the first
        // pair's distance, which would run past the end.
        {"SPS, PPS, SPS", cat({kSpsNal, kStart4, kPps, kStart4, {0x67}, unhex("42001feca02802dc80")}),
         "24 16 16 22 38 0 1280x720"},
    };
    for (const auto &c : cases) {
        NalLocation loc;
        Exact e(c.packet);
        nal_locate(e.p, (uint32_t)e.n, &loc);
        EXPECT_EQ(loc.length, c.packet.size()) << c.what;
        const uint32_t got[] = {loc.sps_start, loc.pps_start, loc.sps_size, loc.pps_size, loc.position, loc.found};
        std::string s;
        for (uint32_t v : got)
            s += std::to_string(v) + " ";
        EXPECT_EQ(s + config_size(c.packet), c.want) << c.what;
    }
}

TEST(SpsParse, Branches)
{
    SpsRecord s = parse(kSps1080);
    EXPECT_EQ(s.profile_idc * 1000 + s.level_idc, 100040u);
    EXPECT_EQ(s.pic_width_in_mbs_minus1 * 1000 + s.pic_height_in_map_units_minus1, 119067u);
    EXPECT_EQ(s.frame_crop_bottom_offset, 4u);
    const struct {
        const char *what, *sps, *size;
    } rows[] = {
        {"baseline codes no chroma block: reading one would shift every later field", "42c01eeca05017fca8", "640x360"},
        {"emulation prevention bytes are dropped (SPS id 70000)", "42000003000088b8f402802dc8", "1280x720"},
        {"4:4:4 with the separate plane flag reads twelve lists", "f4001f212de00211d940fc127898f4", "1000x562"},
        {"POC type 1 with signed offsets and a VUI", "4d001ed514863d01405ff2e0", "640x360"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(size_of(parse(unhex(r.sps))), r.size);
    }
    EXPECT_EQ(parse(unhex(rows[1].sps)).seq_parameter_set_id, 70000u);
    s = parse(unhex(rows[2].sps));
    EXPECT_EQ(s.separate_colour_plane_flag * 10 + s.UseDefaultScalingMatrix[11], 11u);
    s = parse(unhex(rows[3].sps));
    EXPECT_EQ(s.offset_for_non_ref_pic * 10 + s.offset_for_top_to_bottom_field, 8);
    EXPECT_EQ(s.offset_for_ref_frame[1], -3);
    // 00 00 03 00 03 80: the second 03 follows one zero of a fresh count and stays.
    EXPECT_EQ(parse(unhex("000003000380")).seq_parameter_set_id, 111u);
    // A cycle of 0xFFFFFFFE reference frames on short data ends promptly.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(parse(unhex("4d001ed300000001fffffffe2a")).offset_for_ref_frame[0], 5);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));

    // Exp-Golomb codes at the end of the data, and 32 or more zeros saturate.
    for (auto [sps, id] :
         {std::pair{"42001e0b", 18u}, {"42001e01", 127u}, {"42001e 00000000 ffffffff c0", 0xFFFFFFFFu}})
        EXPECT_EQ(parse(unhex(sps)).seq_parameter_set_id, id) << sps;
    // 200 KB of zeros after the SPS: the copy is bounded, the result that of the SPS alone.
    Bytes big = kSps1080;
    big.resize(200 * 1024, 0);
    SpsRecord a = parse(big), b = parse(kSps1080);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
}

TEST(VisibleSize, CropUnitsByChromaFormatAndFieldCoding)
{
    struct Case {
        uint32_t chroma, w_mbs_m1, h_units_m1, frame_mbs_only, l, r, t, b;
        const char *size;
    } const cases[] = {
        // The real streams below cover the common formats; these are the corners
        // (fuzz_sps holds the sizes non-negative for any field values).
        {1, 119, 33, 0, 0, 0, 0, 2, "1920x1080"}, // field coding: 2 x CropUnitY 4
        {3, 119, 33, 0, 3, 5, 0, 4, "1912x1080"},
        {1, 119, 67, 1, 4, 0, 4, 0, "1912x1080"}, // top and left count like bottom and right
    };
    for (const Case &c : cases) {
        SpsRecord s{};
        s.chroma_format_idc = c.chroma, s.pic_width_in_mbs_minus1 = c.w_mbs_m1;
        s.pic_height_in_map_units_minus1 = c.h_units_m1, s.frame_mbs_only_flag = c.frame_mbs_only;
        s.frame_cropping_flag = 1, s.frame_crop_left_offset = c.l, s.frame_crop_right_offset = c.r;
        s.frame_crop_top_offset = c.t, s.frame_crop_bottom_offset = c.b;
        EXPECT_EQ(size_of(s), c.size);
    }
    SpsRecord s = parse(kSps1080);
    s.frame_cropping_flag = 0; // no cropping flag: offsets ignored
    EXPECT_EQ(size_of(s), "1920x1088");
}

// Heads of real libx264 streams (made by make-fixtures.sh, sizes confirmed by
// ffprobe in fixtures.txt), each ending with its first slice header.
TEST(RealStream, LocatorAndSize)
{
    const struct {
        const char *file;
        const char *size;
        uint32_t chroma, frame_mbs_only, scaling;
    } fixtures[] = {
        {"h264_1920x1080_high.264", "1920x1080", 1, 1, 0},  {"h264_1366x768_high.264", "1366x768", 1, 1, 0},
        {"h264_1280x720_interlaced.264", "1280x720", 1, 0, 0}, {"h264_640x360_baseline.264", "640x360", 1, 1, 0},
        {"h264_640x360_baseline_sei.264", "640x360", 1, 1, 0}, {"h264_854x478_high422.264", "854x478", 2, 1, 0},
        {"h264_1000x562_high444_cqm.264", "1000x562", 3, 1, 0}, {"h264_720x406_gray.264", "720x406", 0, 1, 0},
        {"h264_1280x720_avcintra100.264", "1280x720", 2, 1, 1}, // AUD first, coded matrices
    };
    for (const auto &f : fixtures) {
        SCOPED_TRACE(f.file);
        std::ifstream fin(std::string(KAVRI_SOURCE_DIR) + "/tests/data/h264/" + f.file, std::ios::binary);
        Bytes p((std::istreambuf_iterator<char>(fin)), std::istreambuf_iterator<char>());
        ASSERT_FALSE(p.empty());
        NalLocation loc;
        nal_locate(p.data(), (uint32_t)p.size(), &loc);
        EXPECT_EQ(loc.found * 100000 + loc.position, 100000 + p.size() - 1);
        EXPECT_EQ(p[loc.sps_start + 4] * 1000 + p[loc.pps_start + 4], 0x67 * 1000 + 0x68);
        EXPECT_EQ(loc.sps_size, loc.pps_start - loc.sps_start);
        EXPECT_EQ(loc.pps_size, loc.position - loc.pps_start);
        SpsRecord rec;
        ASSERT_EQ(h264_config_sps(p.data(), (uint32_t)p.size(), &rec), 0);
        EXPECT_EQ(rec.chroma_format_idc * 100 + rec.frame_mbs_only_flag * 10 + rec.seq_scaling_matrix_present_flag,
                  f.chroma * 100 + f.frame_mbs_only * 10 + f.scaling);
        EXPECT_EQ(config_size(p), f.size);
    }
}
