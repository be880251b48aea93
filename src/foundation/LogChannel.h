#pragma once

#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>

namespace vorn {

// One named log destination: a file and a threshold fixed at opening. A channel
// whose file could not be opened stays registered and silently drops entries.
class LogChannel {
public:
    LogChannel(const std::string& path, std::int32_t threshold);
    LogChannel(const LogChannel&) = delete;
    LogChannel& operator=(const LogChannel&) = delete;

    std::int32_t Threshold() const { return threshold_; }
    bool Accepts(std::int32_t level) const { return level >= threshold_; }

    // Writes one whole entry and flushes it; entries from several threads never
    // interleave. A failed flush marks the stream bad and later writes do nothing.
    void Write(std::string_view entry);
    void Close();

private:
    const std::int32_t threshold_;
    std::mutex mutex_;  // guards stream_
    std::ofstream stream_;
};

}  // namespace vorn
