// The simulated dongle's live H.264 encoder: libx264 through libavcodec,
// tuned for low latency (zerolatency, no B-pictures, one picture out for
// every picture in), encoding the test pattern (test_pattern.h) stamped with
// each picture's frame number and send time (bitblocks.h).
//
// Output has the shape the viewer relies on:
// - the codec header is the SPS followed by the PPS, each behind a four-byte
//   start code, and never travels in front of a picture;
// - every access unit holds only slice NAL units behind four-byte start
//   codes and starts with its first slice (no delimiter, SEI or parameter
//   set in front), so byte 4 tells an IDR picture (type 5) from others;
// - the first picture is an IDR picture; so is every picture asked for with
//   force_idr, and one every `idr_interval_s` seconds of pictures.
//
// A SimVideo belongs to the one thread that encodes with it; the codec header
// it returns stays valid and unchanged until sim_video_destroy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct SimVideoConfig {
    int width = 1280;             // even, 16 to 8192
    int height = 720;             // even, 16 to 8192
    int fps = 30;                 // 1 to 240; the IDR interval counts pictures at this rate
    int bitrate_kbps = 0;         // 0: width * height * fps / 10000 (2764 at 1280x720x30)
    double idr_interval_s = 2.0;  // 0 or less: IDR pictures only when asked for (and the first)
    const char *preset = nullptr; // x264 preset; null: "ultrafast"
    int threads = 1;              // encoder threads (more than 1 gives several slices a picture)
    bool noise = false;           // noisy strip under the bars: pictures as large as the bit rate
                                  // allows instead of a few hundred bytes (test_pattern.h)
    const char *dump_path = nullptr; // when set, the codec header and every access unit go to
                                     // this Annex B file as well (playable by ffmpeg/ffprobe)
};

struct SimVideo;

enum {
    SIM_VIDEO_E_CONFIG = -1,  // a value of the configuration is out of range
    SIM_VIDEO_E_NO_X264 = -2, // libavcodec has no libx264 encoder
    SIM_VIDEO_E_OPEN = -3,    // the encoder refused to open
    SIM_VIDEO_E_DUMP = -4,    // the dump file cannot be created
    SIM_VIDEO_E_HEADER = -5,  // the encoder gave no SPS or no PPS
    SIM_VIDEO_E_ENCODE = -6,  // encoding a picture failed
};

// Opens the encoder. Returns 0 and a new SimVideo in *out, or one of the
// errors above (with *out null).
int sim_video_create(const SimVideoConfig *config, SimVideo **out);

// Closes the encoder and the dump file, frees the SimVideo and sets *v to
// null. Null is ignored.
void sim_video_destroy(SimVideo **v);

// The codec header (SPS + PPS, Annex B with four-byte start codes).
const uint8_t *sim_video_codec_header(const SimVideo *v, size_t *len);

// The bit rate in use, in kbit/s (the configured one or the automatic one).
int sim_video_bitrate_kbps(const SimVideo *v);

// Draws the test pattern for `frame`, stamped with frame and send_time_ms,
// encodes it and replaces *au with the access unit; *is_idr (may be null)
// tells whether it is an IDR picture. force_idr asks for an IDR picture now
// (the periodic interval then counts from it). Returns 0 with an access unit,
// 1 when the encoder gave none for this picture (*au empty), or
// SIM_VIDEO_E_ENCODE.
int sim_video_encode(SimVideo *v, uint32_t frame, uint64_t send_time_ms, bool force_idr, std::vector<uint8_t> *au,
                     bool *is_idr);
