#pragma once

#include <cstdint>

namespace vorn {

// This program's own build: written in the start-up log line, shown in the about
// box and compared with the builds the server publishes.
inline constexpr std::int32_t BUILD_NUMBER = 13;

// The recommendation server's TCP port.
inline constexpr std::int32_t SERVER_PORT = 8080;

}  // namespace vorn
