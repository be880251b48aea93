#include "tests/support/ScopedLog.h"

#include "foundation/LogTable.h"
#include "tests/support/TempDir.h"

namespace vorn::test {

ScopedLog::ScopedLog(std::int32_t threshold) { OpenLog(kGlobalLogName, kGlobalLogFile, threshold); }

ScopedLog::~ScopedLog() { CloseAllLogs(); }

std::string ScopedLog::Text() const { return ReadFile(std::string("logs/") + kGlobalLogFile); }

}  // namespace vorn::test
