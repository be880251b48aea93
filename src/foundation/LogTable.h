#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/LogChannel.h"
#include "foundation/LogLevel.h"

namespace vorn {

// The one channel the program writes to, and its file.
inline constexpr const char* kGlobalLogName = "global";
inline constexpr const char* kGlobalLogFile = "vorn.log";
inline constexpr std::int32_t kGlobalLogThreshold = static_cast<std::int32_t>(LogLevel::Info);

// The process-wide table of log channels, by name.
//
// OpenLog creates "logs/" below the current folder (failures ignored), opens
// "logs/<fileName>" afresh, registers the channel and writes the header
// "Vorn Log File <fileName> Created on : " + the time stamp (which ends in a
// newline) + "\n\n", whatever the threshold.
// Opening a name that is already registered keeps the first channel.
void OpenLog(const std::string& name, const std::string& fileName, std::int32_t threshold);
// The channel registered under a name, or null. Holding the result keeps the
// channel alive even if CloseAllLogs runs meanwhile.
std::shared_ptr<LogChannel> FindLog(const std::string& name);
// Closes and forgets every channel; later entries are dropped silently.
void CloseAllLogs();

}  // namespace vorn
