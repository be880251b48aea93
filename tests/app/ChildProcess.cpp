#include "tests/app/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "tests/support/TempDir.h"

extern char** environ;

namespace vorn::test {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                           const std::string& outputFile) {
    if (argv.empty()) return;
    // Everything the child needs is built before fork: after it only
    // async-signal-safe calls are allowed.
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::size_t equals = text.find('=');
        if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const std::string& change : environment) {
        const std::size_t equals = change.find('=');
        if (equals == std::string::npos) {
            variables.erase(change);
        } else {
            variables[change.substr(0, equals)] = change.substr(equals + 1);
        }
    }
    std::vector<std::string> envText;
    for (const auto& [name, value] : variables) envText.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& text : envText) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (std::string& arg : args) argp.push_back(arg.data());
    argp.push_back(nullptr);

    const int output = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid_ = ::fork();
    if (pid_ == 0) {
        const int input = ::open("/dev/null", O_RDONLY);
        if (input >= 0) ::dup2(input, STDIN_FILENO);
        if (output >= 0) {
            ::dup2(output, STDOUT_FILENO);
            ::dup2(output, STDERR_FILENO);
        }
        ::execve(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
    if (output >= 0) ::close(output);
}

ChildProcess::~ChildProcess() {
    if (Started()) Stop(10000);
}

bool ChildProcess::Reap(bool block) {
    if (ended_ || pid_ <= 0) return true;
    int raw = 0;
    const pid_t done = ::waitpid(pid_, &raw, block ? 0 : WNOHANG);
    if (done != pid_) return false;
    ended_ = true;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
}

bool ChildProcess::Running() { return Started() && !Reap(false); }

bool ChildProcess::WaitExit(int timeoutMs, int& status) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!Reap(false)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    status = status_;
    return true;
}

void ChildProcess::Signal(int number) {
    if (Running()) ::kill(pid_, number);
}

int ChildProcess::Stop(int graceMs) {
    if (!Started()) return -1;
    int status = -1;
    Signal(SIGTERM);
    if (!WaitExit(graceMs, status)) {
        ::kill(pid_, SIGKILL);
        Reap(true);
        status = status_;
    }
    return status;
}

std::string ProgramOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = folder + "/" + name;
        if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return name;
}

bool RunToEnd(const std::vector<std::string>& argv, const std::string& outputFile, int timeoutMs, int& status,
              std::string& output) {
    std::vector<std::string> resolved = argv;
    if (!resolved.empty() && resolved[0].find('/') == std::string::npos) resolved[0] = ProgramOnPath(resolved[0]);
    std::error_code error;
    std::filesystem::remove(outputFile, error);  // the output file is appended to
    ChildProcess program(resolved, {}, outputFile);
    const bool ended = program.WaitExit(timeoutMs, status);
    if (!ended) program.Stop(2000);
    output = ReadFile(outputFile);
    return ended;
}

}  // namespace vorn::test
