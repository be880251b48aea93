#include "tests/station/support/StationProcess.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"

namespace vorn::station::test {

StationProcess::StationProcess(const std::vector<std::string>& arguments, std::string logPath,
                               std::optional<rlimit> openFiles)
    : logPath_(std::move(logPath)) {
    std::vector<char*> argv;
    std::string program = VORN_STATION_PROGRAM;
    argv.push_back(program.data());
    std::vector<std::string> copies = arguments;
    // Stations started side by side would share the admin port's default.
    if (std::find(copies.begin(), copies.end(), "--admin-port") == copies.end()) {
        copies.insert(copies.end(), {"--admin-port", "0"});
    }
    for (std::string& argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        if (std::freopen(logPath_.c_str(), "w", stderr) == nullptr ||
            (openFiles && ::setrlimit(RLIMIT_NOFILE, &*openFiles) != 0)) {
            ::_exit(126);
        }
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
}

StationProcess::~StationProcess() { Kill(); }

bool StationProcess::Running() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void StationProcess::Kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

std::string StationProcess::Log() const { return vorn::test::ReadFile(logPath_); }

int StationProcess::WaitForPort(int timeoutMs) const {
    int port = 0;
    vorn::test::WaitFor(
        [&] {
            const std::string log = Log();
            const std::size_t at = log.find("; protocol on ");
            const std::size_t colon = at == std::string::npos ? at : log.find(':', at + 14);
            if (colon != std::string::npos) {
                port = std::atoi(log.c_str() + colon + 1);
                return true;
            }
            return log.find("SEVERE") != std::string::npos;
        },
        timeoutMs);
    return port;
}

int StationProcess::MediaPort() const {
    const std::string log = Log();
    const std::size_t at = log.find(", media on ");
    const std::size_t colon = at == std::string::npos ? at : log.find(':', at + 11);
    return colon == std::string::npos ? 0 : std::atoi(log.c_str() + colon + 1);
}

}  // namespace vorn::station::test
