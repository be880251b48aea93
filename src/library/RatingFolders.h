#pragma once

#include <cstdint>
#include <string>

namespace vorn {

// The six folders of the media folder, one per rating 0 ("UnRated") to 5.
inline constexpr const char* kRatingFolders[6] = {"UnRated", "1star", "2stars", "3stars", "4stars", "5stars"};

// The folder of a rating relative to the media folder, with its trailing
// separator ("UnRated/", "4stars/"); empty for a rating outside 0 to 5.
std::string RatingFolder(std::int32_t rating);

}  // namespace vorn
