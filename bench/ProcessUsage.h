#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace vorn::bench {

// What a process has cost so far, from /proc.
struct ProcessUsage {
    double cpuSeconds = 0;  // user + system
    long rssKb = 0;         // resident now
};

// The process's CPU and memory; with `firstThread`, the CPU of its first thread
// alone (a program's main or window thread).
inline ProcessUsage ReadProcessUsage(pid_t pid, bool firstThread = false) {
    ProcessUsage usage;
    const std::string self = "/proc/" + std::to_string(pid);
    std::ifstream stat(firstThread ? self + "/task/" + std::to_string(pid) + "/stat" : self + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which may hold spaces and is closed by the last ')'.
    const std::size_t close = text.rfind(')');
    if (close != std::string::npos) {
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; fields >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) {
                stime = std::stoull(field);
                break;
            }
        }
        usage.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    std::ifstream status(self + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) usage.rssKb = std::atol(line.c_str() + 6);
    }
    return usage;
}

}  // namespace vorn::bench
