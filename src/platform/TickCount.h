#pragma once

#include <cstdint>

namespace vorn {

// Milliseconds of a monotonic clock, wrapping at 2^32 like the classic tick count.
// Differences between two readings are taken as unsigned 32-bit values.
std::uint32_t GetTickCount();

}  // namespace vorn
