// kavri-dongle-sim: a simulated KAVRI dongle for tests and demos. See
// --help. Run it only inside a private network namespace.
#include <signal.h>

#include <cstdio>

#include "dongle_sim/sim_device.h"
#include "dongle_sim/sim_log.h"
#include "dongle_sim/sim_options.h"

static SimDevice *g_device;

static void on_signal(int sig)
{
    if (!g_device)
        return;
    if (sig == SIGUSR1)
        sim_device_toggle_video_async(g_device);
    else
        sim_device_quit_async(g_device);
}

int main(int argc, char **argv)
{
    SimOptions options;
    int rc = sim_parse_options(argc, argv, &options);
    if (rc != 0)
        return rc > 0 ? 0 : 2;

    SimLog *log = sim_log_open(options.log_file);
    if (!log) {
        std::fprintf(stderr, "kavri-dongle-sim: cannot write the log %s\n", options.log_file.c_str());
        return 1;
    }
    SimDevice *device = nullptr;
    if (sim_device_create(&options, log, &device) != 0) {
        sim_log_close(&log);
        return 1;
    }
    g_device = device;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGUSR1, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::fprintf(stderr, "kavri-dongle-sim: protocol %d on %s\n", options.protocol, options.bind.c_str());
    sim_device_run(device);
    g_device = nullptr;
    sim_device_destroy(&device);
    sim_log_close(&log);
    return 0;
}
