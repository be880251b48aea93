#pragma once

#include <string_view>

namespace vorn {

// Byte-wise comparison that treats ASCII letters of either case alike.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace vorn
