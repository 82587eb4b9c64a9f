#include "dongle_sim/sim_log.h"

#include <cstdio>
#include <mutex>

#include "base/clock.h"

struct SimLog {
    FILE *file = nullptr;
    std::mutex lock;
};

SimLog *sim_log_open(const std::string &path)
{
    SimLog *log = new SimLog;
    if (!path.empty()) {
        log->file = std::fopen(path.c_str(), "w");
        if (!log->file) {
            delete log;
            return nullptr;
        }
    }
    return log;
}

void sim_log_close(SimLog **log)
{
    if (!log || !*log)
        return;
    if ((*log)->file)
        std::fclose((*log)->file);
    delete *log;
    *log = nullptr;
}

std::string sim_json_escape(const char *s, size_t len)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(len + 2);
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20 || c >= 0x7f) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += (char)c;
        }
    }
    return out;
}

SimLogLine sim_log_begin(SimLog *log, const char *event)
{
    SimLogLine line{log, {}};
    line.text = "{\"ev\":\"";
    line.text += event;
    line.text += "\",\"t\":";
    line.text += std::to_string(clock_wall_ms());
    return line;
}

static void key(SimLogLine *line, const char *k)
{
    line->text += ",\"";
    line->text += k;
    line->text += "\":";
}

void sim_log_str(SimLogLine *line, const char *k, const char *value, size_t len)
{
    key(line, k);
    line->text += '"';
    line->text += sim_json_escape(value, len);
    line->text += '"';
}

void sim_log_str(SimLogLine *line, const char *k, const std::string &value)
{
    sim_log_str(line, k, value.data(), value.size());
}

void sim_log_int(SimLogLine *line, const char *k, int64_t value)
{
    key(line, k);
    line->text += std::to_string(value);
}

void sim_log_uint(SimLogLine *line, const char *k, uint64_t value)
{
    key(line, k);
    line->text += std::to_string(value);
}

void sim_log_hex(SimLogLine *line, const char *k, const uint8_t *bytes, size_t len)
{
    static const char hex[] = "0123456789abcdef";
    key(line, k);
    line->text += '"';
    for (size_t i = 0; i < len; i++) {
        line->text += hex[bytes[i] >> 4];
        line->text += hex[bytes[i] & 15];
    }
    line->text += '"';
}

void sim_log_end(SimLogLine *line)
{
    if (!line->log || !line->log->file)
        return;
    line->text += "}\n";
    std::lock_guard<std::mutex> g(line->log->lock);
    std::fwrite(line->text.data(), 1, line->text.size(), line->log->file);
    std::fflush(line->log->file);
}
