// Command-line options of the simulated dongle.
#pragma once

#include <cstdint>
#include <string>

struct SimOptions {
    // Identity, as the discovery answer carries it.
    std::string bind = "127.0.0.2";  // the one IPv4 address this instance owns
    int protocol = 2;                // major firmware version: 1 or 2 (or more)
    std::string version;             // full version text; default "<protocol>.0.0.0"
    std::string id;                  // default derived from the address
    std::string name = "KAVRI Viewer";
    std::string model = "KV-1";
    std::string ip;                  // default: bind
    std::string apip = "192.168.4.1";
    uint64_t build = 240501120000ULL;
    int bridged = 0;
    int hid_speed = 0;

    // Admission.
    std::string password;  // non-empty: secured, the viewer must give it
    bool refuse = false;   // answer every connect with "refused"

    // Media.
    int width = 1280, height = 720, fps = 30;
    int bitrate_kbps = 4000;
    int idr_seconds = 5;
    std::string video_file;   // stream this Annex B file in a loop instead of live video
    std::string record_file;  // write every access unit sent (codec header first)
    bool no_video = false;    // start without an HDMI signal
    bool no_audio = false;
    uint32_t ack_interval_us = 8000;  // stream parameters' acknowledgement interval
    int md5_every = 3;                // every n-th picture carries the MD5 trailer (0: never)
    bool noise = false;               // moving noise in the picture: real bit rates
    bool burst = false;               // a picture's fragments back to back, no pacing
    int slices = 1;                   // encoder threads, each codes one slice of every picture
    int filler = 0;                   // bytes of filler data appended to every picture

    // Faults, each a share in percent of fragments on first send, or a time.
    double loss = 0, duplicate = 0, reorder = 0, garbage = 0;
    int late_resend_ms = 0;        // delay every resend by this much
    double silent_after = 0;       // seconds after admission, then nothing more is sent
    bool no_input_ack = false;     // never acknowledge input batches
    bool no_locked_keepalive = false;  // send nothing while the viewer is asked for a password
    int loss_burst_ms = 0;         // with loss_burst_period_ms: drop every video fragment (first
    int loss_burst_period_ms = 0;  // sends and resends) for the last MS of every PERIOD of a session
    int drop_connect_replies = 0;  // protocol 2: the first N connect replies are not sent
    int ignore_starts = 0;         // protocol 2: the first N connection starts are not heard
    int unacked_settings = 0;      // protocol 2: the first N setting packets are not heard
    int cut_control = 0;           // protocol 1: the N-th message of the first control stream is
                                   // sent half, then the stream is closed

    // Management and firmware.
    int restart_silence_ms = 5000;  // silence after a firmware image, before coming back
    uint64_t new_build = 0;         // build after a firmware update (default build + 1)

    std::string log_file;
    uint32_t seed = 1;
};

// Parses argv. Returns 0 to run, 1 when --help was printed, -1 on an error
// (message already written to standard error).
int sim_parse_options(int argc, char **argv, SimOptions *o);
const char *sim_usage(void);
