#include "shell/command_line.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "protocol/device_record.h"
#include "ui/connect_logic.h"

const char *command_line_usage(void)
{
    return "usage: kavri-viewer [--fullscreen] [--connect ADDRESS]\n"
           "       kavri-viewer --help | --version\n"
           "Shows and controls a computer through a KAVRI HDMI dongle.\n"
           "\n"
           "  --connect ADDRESS  connect to the dongle at this IPv4 address at start,\n"
           "                     as if typed into the address bar\n"
           "  --fullscreen       start full screen\n"
           "  --help             this text\n"
           "  --version          the program's version\n";
}

static int error(CommandLine *out, const char *fmt, const char *arg)
{
    std::snprintf(out->error, sizeof out->error, fmt, arg);
    return out->action = CMDLINE_ERROR;
}

int command_line_parse(int argc, const char *const *argv, CommandLine *out)
{
    *out = CommandLine{};
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h"))
            return out->action = CMDLINE_HELP;
        if (!std::strcmp(a, "--version"))
            return out->action = CMDLINE_VERSION;
        if (!std::strcmp(a, "--fullscreen")) {
            out->fullscreen = true;
            continue;
        }
        const char *address = nullptr;
        if (!std::strcmp(a, "--connect")) {
            if (i + 1 >= argc)
                return error(out, "%s needs an address", a);
            address = argv[++i];
        } else if (!std::strncmp(a, "--connect=", 10)) {
            address = a + 10;
        } else {
            return error(out, "unknown option: %s", a);
        }
        DeviceRecord rec;
        // Four dotted decimals only: the address editor's parser also takes
        // "1.2" for 1.0.0.2, which a typo on a command line must not reach.
        in_addr strict;
        if (std::strlen(address) >= sizeof out->connect || inet_pton(AF_INET, address, &strict) != 1 ||
            connect_address_record(address, &rec) != 0)
            return error(out, "not an IPv4 address: %s", address);
        std::snprintf(out->connect, sizeof out->connect, "%s", address);
    }
    return out->action = CMDLINE_RUN;
}
