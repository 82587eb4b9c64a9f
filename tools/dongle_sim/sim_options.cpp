#include "dongle_sim/sim_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char *sim_usage(void)
{
    return "usage: kavri-dongle-sim [options]\n"
           "Plays a KAVRI dongle on one IPv4 address: discovery, both protocol generations,\n"
           "H.264 video, PCM sound, input, HID mode and firmware commands.\n"
           "Run it only inside a private network namespace (scripts/in-netns).\n"
           "\n"
           "Identity\n"
           "  --bind ADDR            IPv4 address to serve on (default 127.0.0.2)\n"
           "  --protocol N           protocol generation = major version, 1 or 2 (default 2)\n"
           "  --version A.B.C.D      full firmware version (default N.0.0.0); its first number\n"
           "                         overrides --protocol\n"
           "  --id TEXT              device identity (default derived from the address)\n"
           "  --name TEXT            display name (default \"KAVRI Viewer\")\n"
           "  --model TEXT           model (default KV-1)\n"
           "  --ip ADDR              address the device reports (default: --bind)\n"
           "  --apip ADDR            address of its access point (default 192.168.4.1)\n"
           "  --build N              firmware build number (default 240501120000)\n"
           "  --bridged N            bridged flag (default 0)\n"
           "  --hid-speed N          HID mode, 0 HID 1.1 or 1 HID 2.0 (default 0)\n"
           "\n"
           "Admission\n"
           "  --password PW          ask for this password (1 to 16 bytes)\n"
           "  --refuse               refuse every viewer\n"
           "\n"
           "Media\n"
           "  --size WxH             picture size (default 1280x720)\n"
           "  --fps N                frame rate (default 30)\n"
           "  --bitrate KBPS         bit rate (default 4000)\n"
           "  --idr-seconds N        key frame every N seconds (default 5)\n"
           "  --video FILE           stream this Annex B H.264 file in a loop\n"
           "  --record FILE          write the access units sent, codec header first\n"
           "  --no-video             start without an HDMI signal\n"
           "  --no-audio             send no sound\n"
           "  --ack-interval US      fragment acknowledgement interval (default 8000)\n"
           "  --md5-every N          every N-th picture carries an MD5 trailer (0 never, default 3)\n"
           "  --noise                add moving noise to the picture so it codes at the real bit rate\n"
           "  --burst                send each picture's fragments back to back at line rate\n"
           "                         (no pacing between groups)\n"
           "  --slices N             encoder threads, one slice each per picture (default 1)\n"
           "  --filler BYTES         append a filler-data NAL unit of BYTES to every picture\n"
           "                         (bigger pictures, more fragments, for tests)\n"
           "\n"
           "Faults\n"
           "  --loss PCT             drop this share of fragments on their first send\n"
           "  --duplicate PCT        send this share of fragments twice\n"
           "  --reorder PCT          hold back this share of fragments behind the next one\n"
           "  --garbage PCT          send a garbage datagram after this share of fragments\n"
           "  --late-resend MS       delay every resend by MS milliseconds\n"
           "  --silent-after SEC     go silent SEC seconds after admitting a viewer\n"
           "  --no-input-ack         never acknowledge input batches\n"
           "  --no-locked-keepalive  send nothing while the viewer is asked for a password\n"
           "  --loss-burst MS/PERIOD drop every video fragment, resends too, for the last MS\n"
           "                         milliseconds of every PERIOD milliseconds after admission\n"
           "                         (logged as loss_burst with on 1 and 0)\n"
           "  --drop-connect-replies N  protocol 2: do not send the first N connect replies\n"
           "  --ignore-starts N      protocol 2: do not hear the first N connection starts\n"
           "  --unacked-settings N   protocol 2: do not hear the first N setting packets\n"
           "  --cut-control N        protocol 1: send only the first half of the N-th message of\n"
           "                         the first control stream, then close the stream\n"
           "\n"
           "Management and firmware\n"
           "  --restart-silence MS   silence after a firmware image (default 5000)\n"
           "  --new-build N          build number after a firmware update (default build + 1)\n"
           "\n"
           "Other\n"
           "  --log FILE             JSON-lines event log\n"
           "  --seed N               seed of the fault generator (default 1)\n"
           "  --help                 this text\n"
           "\n"
           "Standard input takes commands, one per line: \"video on\", \"video off\",\n"
           "\"silent\", \"resume\", \"quit\". SIGUSR1 toggles the HDMI signal.\n";
}

static bool parse_u64(const char *s, uint64_t *out)
{
    if (!s || !*s)
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s, &end, 10);
    if (errno || *end || s[0] == '-')
        return false;
    *out = v;
    return true;
}

static bool parse_int(const char *s, int lo, int hi, int *out)
{
    uint64_t v;
    if (s && s[0] == '-') {
        if (!parse_u64(s + 1, &v) || -(int64_t)v < lo)
            return false;
        *out = -(int)v;
        return true;
    }
    if (!parse_u64(s, &v) || (int64_t)v > hi || (int64_t)v < lo)
        return false;
    *out = (int)v;
    return true;
}

static bool parse_double(const char *s, double lo, double hi, double *out)
{
    if (!s || !*s)
        return false;
    char *end = nullptr;
    double v = std::strtod(s, &end);
    if (*end || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

int sim_parse_options(int argc, char **argv, SimOptions *o)
{
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true, takes = true;
        uint64_t u = 0;
        if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h")) {
            std::fputs(sim_usage(), stdout);
            return 1;
        } else if (!std::strcmp(a, "--bind")) {
            ok = v;
            if (ok) o->bind = v;
        } else if (!std::strcmp(a, "--protocol")) {
            ok = parse_int(v, 1, 255, &o->protocol);
        } else if (!std::strcmp(a, "--version")) {
            ok = v;
            if (ok) o->version = v;
        } else if (!std::strcmp(a, "--id")) {
            ok = v;
            if (ok) o->id = v;
        } else if (!std::strcmp(a, "--name")) {
            ok = v;
            if (ok) o->name = v;
        } else if (!std::strcmp(a, "--model")) {
            ok = v;
            if (ok) o->model = v;
        } else if (!std::strcmp(a, "--ip")) {
            ok = v;
            if (ok) o->ip = v;
        } else if (!std::strcmp(a, "--apip")) {
            ok = v;
            if (ok) o->apip = v;
        } else if (!std::strcmp(a, "--build")) {
            ok = parse_u64(v, &o->build);
        } else if (!std::strcmp(a, "--bridged")) {
            ok = parse_int(v, -1000000, 1000000, &o->bridged);
        } else if (!std::strcmp(a, "--hid-speed")) {
            ok = parse_int(v, -1000000, 1000000, &o->hid_speed);
        } else if (!std::strcmp(a, "--password")) {
            ok = v && std::strlen(v) >= 1 && std::strlen(v) <= 16;
            if (ok) o->password = v;
        } else if (!std::strcmp(a, "--refuse")) {
            o->refuse = true;
            takes = false;
        } else if (!std::strcmp(a, "--size")) {
            ok = v && std::sscanf(v, "%dx%d", &o->width, &o->height) == 2 && o->width >= 16 &&
                 o->height >= 16 && o->width <= 4096 && o->height <= 4096 && o->width % 2 == 0 &&
                 o->height % 2 == 0;
        } else if (!std::strcmp(a, "--fps")) {
            ok = parse_int(v, 1, 240, &o->fps);
        } else if (!std::strcmp(a, "--bitrate")) {
            ok = parse_int(v, 50, 200000, &o->bitrate_kbps);
        } else if (!std::strcmp(a, "--idr-seconds")) {
            ok = parse_int(v, 1, 3600, &o->idr_seconds);
        } else if (!std::strcmp(a, "--video")) {
            ok = v;
            if (ok) o->video_file = v;
        } else if (!std::strcmp(a, "--record")) {
            ok = v;
            if (ok) o->record_file = v;
        } else if (!std::strcmp(a, "--no-video")) {
            o->no_video = true;
            takes = false;
        } else if (!std::strcmp(a, "--no-audio")) {
            o->no_audio = true;
            takes = false;
        } else if (!std::strcmp(a, "--ack-interval")) {
            ok = parse_u64(v, &u) && u <= 1000000;
            o->ack_interval_us = (uint32_t)u;
        } else if (!std::strcmp(a, "--md5-every")) {
            ok = parse_int(v, 0, 1000000, &o->md5_every);
        } else if (!std::strcmp(a, "--noise")) {
            o->noise = true;
            takes = false;
        } else if (!std::strcmp(a, "--burst")) {
            o->burst = true;
            takes = false;
        } else if (!std::strcmp(a, "--slices")) {
            ok = parse_int(v, 1, 16, &o->slices);
        } else if (!std::strcmp(a, "--filler")) {
            ok = parse_int(v, 0, 4 << 20, &o->filler);
        } else if (!std::strcmp(a, "--loss")) {
            ok = parse_double(v, 0, 100, &o->loss);
        } else if (!std::strcmp(a, "--duplicate")) {
            ok = parse_double(v, 0, 100, &o->duplicate);
        } else if (!std::strcmp(a, "--reorder")) {
            ok = parse_double(v, 0, 100, &o->reorder);
        } else if (!std::strcmp(a, "--garbage")) {
            ok = parse_double(v, 0, 100, &o->garbage);
        } else if (!std::strcmp(a, "--late-resend")) {
            ok = parse_int(v, 0, 10000, &o->late_resend_ms);
        } else if (!std::strcmp(a, "--silent-after")) {
            ok = parse_double(v, 0, 1e6, &o->silent_after);
        } else if (!std::strcmp(a, "--no-input-ack")) {
            o->no_input_ack = true;
            takes = false;
        } else if (!std::strcmp(a, "--no-locked-keepalive")) {
            o->no_locked_keepalive = true;
            takes = false;
        } else if (!std::strcmp(a, "--loss-burst")) {
            ok = v && std::sscanf(v, "%d/%d", &o->loss_burst_ms, &o->loss_burst_period_ms) == 2 &&
                 o->loss_burst_ms > 0 && o->loss_burst_period_ms > o->loss_burst_ms &&
                 o->loss_burst_period_ms <= 3600000;
        } else if (!std::strcmp(a, "--drop-connect-replies")) {
            ok = parse_int(v, 0, 1000000, &o->drop_connect_replies);
        } else if (!std::strcmp(a, "--ignore-starts")) {
            ok = parse_int(v, 0, 1000000, &o->ignore_starts);
        } else if (!std::strcmp(a, "--unacked-settings")) {
            ok = parse_int(v, 0, 1000000, &o->unacked_settings);
        } else if (!std::strcmp(a, "--cut-control")) {
            ok = parse_int(v, 0, 1000000, &o->cut_control);
        } else if (!std::strcmp(a, "--restart-silence")) {
            ok = parse_int(v, 0, 3600000, &o->restart_silence_ms);
        } else if (!std::strcmp(a, "--new-build")) {
            ok = parse_u64(v, &o->new_build);
        } else if (!std::strcmp(a, "--log")) {
            ok = v;
            if (ok) o->log_file = v;
        } else if (!std::strcmp(a, "--seed")) {
            ok = parse_u64(v, &u) && u <= 0xffffffffu;
            o->seed = (uint32_t)u;
        } else {
            std::fprintf(stderr, "kavri-dongle-sim: unknown option %s (see --help)\n", a);
            return -1;
        }
        if (!ok) {
            std::fprintf(stderr, "kavri-dongle-sim: bad or missing value for %s (see --help)\n", a);
            return -1;
        }
        if (takes)
            i++;
    }
    if (o->version.empty())
        o->version = std::to_string(o->protocol) + ".0.0.0";
    else
        o->protocol = std::atoi(o->version.c_str());  // the major version is the generation
    if (o->protocol < 1) {
        std::fprintf(stderr, "kavri-dongle-sim: the major version must be 1 or more\n");
        return -1;
    }
    if (o->ip.empty())
        o->ip = o->bind;
    if (o->id.empty())
        o->id = "KV-SIM-" + o->bind;
    if (o->new_build == 0)
        o->new_build = o->build + 1;
    return 0;
}
