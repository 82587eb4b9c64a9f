#include "sim_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

extern char **environ;

bool sim_start(SimProcess *sim, const std::vector<std::string> &args, const std::string &program)
{
    char tmpl[] = "/tmp/kavri-sim-XXXXXX";
    int pipefd[2];
    if (!mkdtemp(tmpl) || pipe2(pipefd, O_CLOEXEC) != 0)
        return false;
    sim->dir = tmpl;
    sim->log_path = sim->dir + "/sim.log";
    std::vector<std::string> argv_s = {program, "--log", sim->log_path};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &s : argv_s)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // The simulator must not outlive a test that crashed.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        dup2(pipefd[0], 0);
        execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    close(pipefd[0]);
    sim->stdin_fd = pipefd[1];
    sim->pid = pid;
    return pid > 0 && sim_wait_event(sim, "ready", 1, 10000);
}

SimProcess::~SimProcess() { sim_stop(this); }

int sim_stop(SimProcess *sim)
{
    int status = -1;
    if (sim->pid > 0) {
        kill(sim->pid, SIGTERM);
        if (!wait_until(5000, [&] { return waitpid(sim->pid, &status, WNOHANG) == sim->pid; })) {
            kill(sim->pid, SIGKILL);
            waitpid(sim->pid, &status, 0);
        }
    }
    if (sim->stdin_fd >= 0)
        close(sim->stdin_fd);
    std::error_code ec;
    if (!sim->dir.empty())
        std::filesystem::remove_all(sim->dir, ec);
    sim->dir.clear();
    sim->pid = sim->stdin_fd = -1;
    return status;
}

void sim_command(SimProcess *sim, const std::string &line)
{
    std::string l = line + "\n";
    // When the simulator has gone, the test's own waits report it.
    if (sim->stdin_fd >= 0 && write(sim->stdin_fd, l.data(), l.size()) < 0)
        return;
}

std::vector<std::string> sim_events(const SimProcess *sim, const std::string &event)
{
    std::vector<std::string> out;
    std::string needle = "{\"ev\":\"" + event + "\"", line;
    std::ifstream in(sim->log_path);
    // A line still being written has no closing brace yet.
    while (std::getline(in, line))
        if (line.compare(0, needle.size(), needle) == 0 && line.back() == '}')
            out.push_back(line);
    return out;
}

bool sim_wait_event(const SimProcess *sim, const std::string &event, size_t count, int timeout_ms)
{
    return wait_until(timeout_ms, [&] { return sim_events(sim, event).size() >= count; });
}

std::string json_field(const std::string &line, const std::string &key)
{
    std::string needle = "\"" + key + "\":";
    size_t p = line.find(needle);
    if (p == std::string::npos)
        return {};
    p += needle.size();
    // (The values the tests read need no escapes.)
    if (p < line.size() && line[p] == '"')
        return line.substr(p + 1, line.find('"', p + 1) - p - 1);
    return line.substr(p, line.find_first_of(",}", p) - p);
}

int64_t json_int(const std::string &line, const std::string &key)
{
    const std::string v = json_field(line, key);
    return v.empty() ? -1 : std::strtoll(v.c_str(), nullptr, 10);
}
