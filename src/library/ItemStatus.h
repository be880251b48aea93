#pragma once

#include <cstdint>
#include <string>

namespace vorn {

enum class ItemStatus : std::int32_t { Downloading = 0, Downloaded = 1, DownloadFailed = 2 };

// A copy of an item's download state.
struct ItemStatusRecord {
    ItemStatus status = ItemStatus::Downloading;
    float percentComplete = 0.0f;
    float rateKBps = 0.0f;
    std::string statusText;
};

}  // namespace vorn
