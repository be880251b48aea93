#pragma once

#include <functional>
#include <sstream>
#include <string>

#include "foundation/LogLevel.h"

namespace vorn::station {

// The station's log: one line per entry on standard error, "<level prefix><message>
// <time stamp>", written whole so entries from several threads never interleave.
// Entries below the threshold are dropped without evaluating their parts.
class StationLog {
public:
    // A receiver of finished lines in place of standard error (tests); empty restores it.
    using Sink = std::function<void(LogLevel level, const std::string& line)>;

    static void SetThreshold(LogLevel level);
    static bool Accepts(LogLevel level);
    static void SetSink(Sink sink);
    static void Write(LogLevel level, const std::string& message);
};

// One entry under construction; written when it goes out of scope.
class StationLogEntry {
public:
    explicit StationLogEntry(LogLevel level) : level_(level) {}
    ~StationLogEntry() { StationLog::Write(level_, text_.str()); }
    StationLogEntry(const StationLogEntry&) = delete;
    StationLogEntry& operator=(const StationLogEntry&) = delete;

    template <typename T>
    StationLogEntry& operator<<(const T& part) {
        text_ << part;
        return *this;
    }

private:
    LogLevel level_;
    std::ostringstream text_;
};

}  // namespace vorn::station

#define STATION_LOG(level)                                  \
    if (!::vorn::station::StationLog::Accepts(level)) {     \
    } else                                                  \
        ::vorn::station::StationLogEntry(level)
