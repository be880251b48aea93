#pragma once

#include <memory>
#include <sstream>
#include <string>

#include "foundation/LogChannel.h"
#include "foundation/LogLevel.h"

namespace vorn {

// One entry of the "global" log, composed in memory and written as one unit when
// the entry ends: the level prefix, the parts, one space, the time stamp with its
// newline, and "\n". Use it through VORN_LOG, which evaluates none of the parts
// when the channel is missing or its threshold is above the level:
//
//     VORN_LOG(LogLevel::Info) << "VornPlayer : " << count << "Recommendations Received";
//
// FINE messages begin with "FINE : " themselves.
class LogEntry {
public:
    explicit LogEntry(LogLevel level);
    ~LogEntry();
    LogEntry(const LogEntry&) = delete;
    LogEntry& operator=(const LogEntry&) = delete;

    bool Active() const { return channel_ != nullptr; }

    template <typename T>
    LogEntry& operator<<(const T& part) {
        text_ << part;
        return *this;
    }

private:
    std::shared_ptr<LogChannel> channel_;
    std::ostringstream text_;
};

}  // namespace vorn

#define VORN_LOG(level)                                   \
    if (::vorn::LogEntry vornLogEntry_{level};            \
        !vornLogEntry_.Active()) {                        \
    } else                                                \
        vornLogEntry_
