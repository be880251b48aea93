#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vorn::station {

// Cuts one listener's ratings (item index, value) to at most `most`: a fixed,
// spread-out subset rather than the first items by index, the same for the
// neighbours and the hidden factors, so that both learn from the same ratings
// and a listener with thousands of ratings costs a bounded build.
inline void KeepRatingSubset(std::vector<std::pair<std::uint32_t, std::int32_t>>& rated, int most) {
    const std::size_t limit = static_cast<std::size_t>(std::max(most, 0));
    if (rated.size() <= limit) return;
    std::sort(rated.begin(), rated.end(),
              [](const auto& a, const auto& b) { return (a.first * 2654435761u) < (b.first * 2654435761u); });
    rated.resize(limit);
}

}  // namespace vorn::station
