#pragma once

#include <atomic>
#include <string>

#include "station/media/ArtCache.h"

namespace vorn::station {

// Finds the picture that shows an item (ArtFinder: embedded first, then beside
// the file) and makes sure the cache holds it scaled (ArtScaler). A picture
// that cannot be decoded costs a log line, and the next one is tried.
class ArtExtractor {
public:
    // The picture's key in the cache, or "" when the item has no picture that
    // can be shown (or `stop` was set).
    static std::string Extract(const std::string& path, ArtCache& cache, const std::atomic<bool>& stop);
};

}  // namespace vorn::station
