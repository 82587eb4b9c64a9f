// The viewer's command line: --help, --version, --connect ADDRESS (also
// --connect=ADDRESS), --fullscreen. Anything else, a missing address or one
// that is no IPv4 address is an error: main prints the message and the usage
// to standard error and exits with 2. Pure.
#pragma once

enum { CMDLINE_RUN = 0, CMDLINE_HELP = 1, CMDLINE_VERSION = 2, CMDLINE_ERROR = 3 };

struct CommandLine {
    int action;
    bool fullscreen;
    char connect[64]; // the address to connect to at start, or empty
    char error[160];  // for CMDLINE_ERROR
};

// Parses argv[1..argc-1]; returns (and stores) the action. --help and
// --version win over what follows them.
int command_line_parse(int argc, const char *const *argv, CommandLine *out);

const char *command_line_usage(void);
