#pragma once

#include <array>
#include <string>

namespace vorn::station {

// An inline SVG bar chart of how many ratings of each star value a listener
// gave: one <rect class="bar"> per value from one to five stars, carrying
// data-stars and data-count, its height in proportion to the count, the count
// written above it and the value below. Its label, <title> and <desc> list
// every count, so it reads without the picture.
std::string RatingChart(const std::array<int, 5>& starCounts);

}  // namespace vorn::station
