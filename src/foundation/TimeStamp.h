#pragma once

#include <ctime>
#include <string>

namespace vorn {

// The 24-character local time stamp followed by a newline, in the layout of the C
// library's ctime with the day of the month zero-padded: "Mon Dec 07 01:22:31 2026\n".
// Weekday and month names are always English, whatever the process locale.
std::string FormatTimeStamp(std::time_t when);
std::string CurrentTimeStamp();

}  // namespace vorn
