// Runs kavri-dongle-sim as a child process for integration tests and reads
// its JSON-lines event log. Tests wait on conditions with deadlines; nothing
// here sleeps in the hope that something happened.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct SimProcess {
    pid_t pid = -1;
    std::string log_path;
    std::string dir;  // scratch folder, removed with the process
    int stdin_fd = -1;
    SimProcess() = default;
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;
    ~SimProcess();  // stops the simulator if the test did not
};

// Starts the simulator (which dies with the test process) with the given extra arguments (a --log into a scratch
// folder is added) and waits up to 10 s for its "ready" event. Returns false
// when it did not come up.
bool sim_start(SimProcess *sim, const std::vector<std::string> &args);
// SIGTERM, then SIGKILL after 5 s; returns the exit status from waitpid
// (or -1). Idempotent.
int sim_stop(SimProcess *sim);
// Writes one command line to the simulator's standard input.
void sim_command(SimProcess *sim, const std::string &line);

// The log's lines so far.
std::vector<std::string> sim_log_lines(const SimProcess *sim);
// Lines whose "ev" is event.
std::vector<std::string> sim_events(const SimProcess *sim, const std::string &event);
// Waits until pred(lines) holds or the deadline passes; returns whether it held.
bool sim_wait(const SimProcess *sim, int timeout_ms,
              const std::function<bool(const std::vector<std::string> &)> &pred);
// Waits for at least count lines of the event.
bool sim_wait_event(const SimProcess *sim, const std::string &event, size_t count, int timeout_ms);

// Field of a JSON log line: the raw text of a number, or the unescaped
// content of a string. Empty when absent.
std::string json_field(const std::string &line, const std::string &key);
int64_t json_int(const std::string &line, const std::string &key);

// Waits for a condition polled every millisecond, up to timeout_ms.
bool wait_until(int timeout_ms, const std::function<bool()> &pred);
