#include "foundation/TimeStamp.h"

#include <cstdio>

namespace vorn {

std::string FormatTimeStamp(std::time_t when) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) {
        local = std::tm{};
        local.tm_mday = 1;
        local.tm_year = 70;
    }
    // Years beyond four digits would lengthen the stamp; clamp so it stays 24 wide.
    const int year = local.tm_year + 1900 > 9999 ? 9999 : (local.tm_year + 1900 < 0 ? 0 : local.tm_year + 1900);
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %04d\n", kDays[local.tm_wday % 7],
                  kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min,
                  local.tm_sec, year);
    return text;
}

std::string CurrentTimeStamp() { return FormatTimeStamp(std::time(nullptr)); }

}  // namespace vorn
