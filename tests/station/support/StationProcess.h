#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace vorn::station::test {

// The real vorn-station program in a child process, its standard error in a
// file; its admin port is off unless the arguments name one. Killed (SIGKILL) and reaped with the object if still running.
class StationProcess {
public:
    // `openFiles`: the program's soft and hard limits of open descriptors, in
    // place of this process's.
    StationProcess(const std::vector<std::string>& arguments, std::string logPath,
                   std::optional<rlimit> openFiles = std::nullopt);
    ~StationProcess();
    StationProcess(const StationProcess&) = delete;
    StationProcess& operator=(const StationProcess&) = delete;

    // The protocol port from the start-up line, once it is logged; 0 when the
    // program ended or said nothing of it within the time.
    int WaitForPort(int timeoutMs = 30000) const;
    // The media port from the start-up line; 0 before it is logged.
    int MediaPort() const;
    // True while the process has not ended.
    bool Running();
    // SIGKILL, and waits for the end.
    void Kill();
    std::string Log() const;
    pid_t Pid() const { return pid_; }  // -1 once reaped

private:
    pid_t pid_ = -1;
    std::string logPath_;
};

}  // namespace vorn::station::test
