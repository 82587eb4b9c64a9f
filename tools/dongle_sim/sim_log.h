// JSON-lines event log of the simulated dongle. One object per line, written
// whole under a lock so lines from different threads never interleave; tests
// read the file while the simulator runs, so every line is flushed at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct SimLog;

// Opens (truncates) the log at path; an empty path gives a log that drops
// everything. Returns null when the file cannot be created.
SimLog *sim_log_open(const std::string &path);
void sim_log_close(SimLog **log);

// Builds one event: sim_log_begin(log, "probe") ... fields ... sim_log_end.
// Every line carries "ev" and "t" (wall-clock milliseconds).
struct SimLogLine {
    SimLog *log;
    std::string text;
};
SimLogLine sim_log_begin(SimLog *log, const char *event);
void sim_log_str(SimLogLine *line, const char *key, const char *value, size_t len);
void sim_log_str(SimLogLine *line, const char *key, const std::string &value);
void sim_log_int(SimLogLine *line, const char *key, int64_t value);
void sim_log_uint(SimLogLine *line, const char *key, uint64_t value);
void sim_log_hex(SimLogLine *line, const char *key, const uint8_t *bytes, size_t len);
void sim_log_end(SimLogLine *line);

// Escapes text for a JSON string (quotes, backslash, control bytes; bytes of
// 0x80 and above as \u00XX so any device text stays valid JSON).
std::string sim_json_escape(const char *s, size_t len);
