#pragma once

#include <cstdint>
#include <string_view>

namespace vorn {

// The C library's decimal conversion (atoi): optional leading blanks, an optional
// sign, then digits; anything else ends the number; no digits give 0. Values
// beyond the 32-bit range saturate instead of being undefined.
std::int32_t ParseDecimalPrefix(std::string_view text);

}  // namespace vorn
