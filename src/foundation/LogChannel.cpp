#include "foundation/LogChannel.h"

namespace vorn {

LogChannel::LogChannel(const std::string& path, std::int32_t threshold)
    : threshold_(threshold), stream_(path, std::ios::out | std::ios::trunc) {}

void LogChannel::Write(std::string_view entry) {
    std::lock_guard lock(mutex_);
    if (!stream_.good()) {
        return;
    }
    stream_.write(entry.data(), static_cast<std::streamsize>(entry.size()));
    stream_.flush();
}

void LogChannel::Close() {
    std::lock_guard lock(mutex_);
    if (stream_.is_open()) {
        stream_.close();
    }
}

}  // namespace vorn
