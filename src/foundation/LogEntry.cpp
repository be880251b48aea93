#include "foundation/LogEntry.h"

#include "foundation/LogTable.h"
#include "foundation/TimeStamp.h"

namespace vorn {

LogEntry::LogEntry(LogLevel level) {
    std::shared_ptr<LogChannel> channel = FindLog(kGlobalLogName);
    if (channel && channel->Accepts(static_cast<std::int32_t>(level))) {
        channel_ = std::move(channel);
        text_ << LogPrefix(level);
    }
}

LogEntry::~LogEntry() {
    if (channel_) {
        text_ << ' ' << CurrentTimeStamp() << '\n';
        channel_->Write(text_.str());
    }
}

}  // namespace vorn
