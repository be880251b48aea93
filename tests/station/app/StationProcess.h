#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vorn::station::test {

// The real vorn-station program in a child process, its standard error in a
// file. Killed (SIGKILL) and reaped with the object if still running.
class StationProcess {
public:
    StationProcess(const std::vector<std::string>& arguments, std::string logPath);
    ~StationProcess();
    StationProcess(const StationProcess&) = delete;
    StationProcess& operator=(const StationProcess&) = delete;

    // The protocol port from the start-up line, once it is logged; 0 when the
    // program ended or said nothing of it within the time.
    int WaitForPort(int timeoutMs = 30000) const;
    // True while the process has not ended.
    bool Running();
    // SIGKILL, and waits for the end.
    void Kill();
    std::string Log() const;

private:
    pid_t pid_ = -1;
    std::string logPath_;
};

}  // namespace vorn::station::test
