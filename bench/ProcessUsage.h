#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

namespace vorn::bench {

// What a process has cost so far, from /proc.
struct ProcessUsage {
    double cpuSeconds = 0;  // user + system
    long rssKb = 0;         // resident now
    long peakRssKb = 0;     // resident at most, so far
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
        if (line.rfind("VmHWM:", 0) == 0) usage.peakRssKb = std::atol(line.c_str() + 6);
    }
    return usage;
}

// One thread's time on a CPU, in nanoseconds from the scheduler's own count
// (schedstat), which is exact where the tick-sampled user and system times of
// `ReadProcessUsage` miss most of a thread that runs for microseconds at a time.
struct ThreadTime {
    std::string name;
    unsigned long long cpuNs = 0;
};

// Every live thread of the process, by thread id.
inline std::map<pid_t, ThreadTime> ReadThreadTimes(pid_t pid) {
    std::map<pid_t, ThreadTime> threads;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        ThreadTime thread;
        std::ifstream comm(entry.path() / "comm");
        std::getline(comm, thread.name);
        std::ifstream schedstat(entry.path() / "schedstat");
        if (!(schedstat >> thread.cpuNs)) continue;  // gone meanwhile
        threads[static_cast<pid_t>(std::atol(entry.path().filename().c_str()))] = thread;
    }
    return threads;
}

// CPU seconds by thread name between two readings of the same process; a
// thread started in between counts from zero, one that ended is lost (the
// steady state being measured starts and ends none).
inline std::map<std::string, double> ThreadSecondsBetween(const std::map<pid_t, ThreadTime>& before,
                                                          const std::map<pid_t, ThreadTime>& after) {
    std::map<std::string, double> seconds;
    for (const auto& [tid, thread] : after) {
        const auto earlier = before.find(tid);
        // A thread id reused by a new thread starts from zero again.
        const unsigned long long from =
            earlier != before.end() && earlier->second.cpuNs <= thread.cpuNs ? earlier->second.cpuNs : 0;
        seconds[thread.name] += static_cast<double>(thread.cpuNs - from) / 1e9;
    }
    return seconds;
}

}  // namespace vorn::bench
