// Runs kavri-dongle-sim as a child process and reads its JSON-lines event log.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/wait.h"

struct SimProcess {
    pid_t pid = -1;
    int stdin_fd = -1;
    std::string log_path, dir;  // dir: scratch folder, removed with the process
    SimProcess() = default;
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;
    ~SimProcess();  // stops the simulator if the test did not
};

// Starts the simulator, or a program that logs alike, dying with the test, with a --log in a scratch folder
// and these arguments; false when it logged no "ready" within 10 s.
bool sim_start(SimProcess *sim, const std::vector<std::string> &args, const std::string &program = KAVRI_SIM_PATH);
// SIGTERM, then SIGKILL after 5 s; the status from waitpid (or -1). Idempotent.
int sim_stop(SimProcess *sim);
void sim_command(SimProcess *sim, const std::string &line);
// The log lines whose "ev" is event, and a wait for at least count of them.
std::vector<std::string> sim_events(const SimProcess *sim, const std::string &event);
bool sim_wait_event(const SimProcess *sim, const std::string &event, size_t count, int timeout_ms);

// Field of a JSON log line: a number's text or a string's content; empty (json_int: -1) when absent.
std::string json_field(const std::string &line, const std::string &key);
int64_t json_int(const std::string &line, const std::string &key);

inline bool wait_until(int timeout_ms, const std::function<bool()> &pred)
{
    return wait_until(pred, std::chrono::milliseconds(timeout_ms));
}
