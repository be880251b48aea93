#pragma once

#include <cstdint>
#include <string_view>

namespace vorn {

enum class LogLevel : std::int32_t { Fine = 0, Info = 1, Warning = 2, Severe = 3 };

// The text that starts every entry of a level. FINE entries carry "FINE : " at the
// start of their own message text, so their prefix is empty here.
constexpr std::string_view LogPrefix(LogLevel level) {
    switch (level) {
        case LogLevel::Fine: return "";
        case LogLevel::Info: return "INFO : ";
        case LogLevel::Warning: return "*****WARNING***** : ";
        case LogLevel::Severe: return "*****SEVERE****** : ";
    }
    return "";
}

}  // namespace vorn
