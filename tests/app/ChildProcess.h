#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vorn::test {

// A program a test runs: started with this process's environment changed by
// `environment` ("NAME=value" sets, a bare "NAME" removes), standard output and
// error into `outputFile`. Stopped (SIGTERM, then SIGKILL) and awaited when the
// object goes, so no test leaves a process behind.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                 const std::string& outputFile);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    bool Running();
    // Waits up to timeoutMs; true when the program has ended, with its exit
    // code in `status` (128 + the signal number when a signal ended it).
    bool WaitExit(int timeoutMs, int& status);
    void Signal(int number);
    // SIGTERM, up to graceMs for the end, then SIGKILL; the exit status as above.
    int Stop(int graceMs = 15000);

private:
    bool Reap(bool block);

    pid_t pid_ = -1;
    bool ended_ = false;
    int status_ = -1;
};

// The program's path as the shell would find it; the name itself when not found.
std::string ProgramOnPath(const std::string& name);

// Runs a program (looked up on PATH) to its end, its standard output and error
// into `outputFile`. True when it ended within timeoutMs, with its exit status
// (as ChildProcess::WaitExit has it) in `status` and what it wrote in `output`;
// false when it had to be stopped.
bool RunToEnd(const std::vector<std::string>& argv, const std::string& outputFile, int timeoutMs, int& status,
              std::string& output);

}  // namespace vorn::test
