#pragma once

#include <string>

namespace vorn {

// The separator between folder names. Folder paths that are stored for later
// concatenation (item locations, the media folder, "UnRated/") end with it.
inline constexpr char kPathSeparator = '/';
inline constexpr const char* kPathSeparatorText = "/";

// Appends the separator when the text does not already end with it.
std::string WithTrailingSeparator(std::string folder);

}  // namespace vorn
