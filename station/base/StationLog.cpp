#include "station/base/StationLog.h"

#include <unistd.h>

#include <atomic>
#include <ctime>
#include <mutex>

namespace vorn::station {
namespace {

std::atomic<int> gThreshold{static_cast<int>(LogLevel::Info)};

struct SinkHolder {
    std::mutex mutex;  // guards sink and serialises writes to standard error
    StationLog::Sink sink;
};

SinkHolder& Holder() {
    static SinkHolder holder;
    return holder;
}

std::string TimeStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(text, n);
}

}  // namespace

void StationLog::SetThreshold(LogLevel level) { gThreshold = static_cast<int>(level); }

bool StationLog::Accepts(LogLevel level) { return static_cast<int>(level) >= gThreshold.load(); }

void StationLog::SetSink(Sink sink) {
    SinkHolder& holder = Holder();
    std::lock_guard lock(holder.mutex);
    holder.sink = std::move(sink);
}

void StationLog::Write(LogLevel level, const std::string& message) {
    std::string line(level == LogLevel::Fine ? std::string_view("FINE : ") : LogPrefix(level));
    line += message;
    line += ' ';
    line += TimeStamp();
    line += '\n';
    SinkHolder& holder = Holder();
    std::lock_guard lock(holder.mutex);
    if (holder.sink) {
        holder.sink(level, line);
        return;
    }
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace vorn::station
