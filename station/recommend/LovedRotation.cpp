#include "station/recommend/LovedRotation.h"

#include <algorithm>

namespace vorn::station {
namespace {

// An item's place in the listener's cycle: a fixed scramble, so that the
// cycle does not follow the ids (one album after another).
std::uint64_t CyclePlace(std::int32_t listener, std::int32_t item) {
    std::uint64_t x = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(listener)) << 32) |
                      static_cast<std::uint32_t>(item);
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

std::deque<RotationPick> LovedRotation(std::int32_t listener, const std::unordered_map<std::int32_t, std::int32_t>& ratings,
                                        int lowest, const std::deque<std::pair<std::int32_t, std::uint64_t>>& recent,
                                        const FlatIdMap<std::uint64_t>& lastOffered, const CatalogueSnapshot& snapshot) {
    const auto loved = [&](std::int32_t item) {
        const auto rating = ratings.find(item);
        return rating != ratings.end() && rating->second >= lowest && snapshot.FindLive(item) != nullptr;
    };
    // Where the cycle goes on: after the loved item offered last.
    std::uint64_t cursor = 0;
    for (auto it = recent.rbegin(); it != recent.rend(); ++it) {
        if (loved(it->first)) {
            cursor = CyclePlace(listener, it->first);
            break;
        }
    }
    struct Entry {
        bool remembered;
        std::uint64_t order;  // the last offer's sequence number, or the distance along the cycle
        RotationPick pick;
    };
    std::vector<Entry> entries;
    for (const auto& [item, value] : ratings) {
        if (!loved(item)) {
            continue;
        }
        const std::uint64_t* last = lastOffered.Find(item);
        entries.push_back({last != nullptr, last != nullptr ? *last : CyclePlace(listener, item) - cursor - 1,
                           {item, value}});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.remembered != b.remembered) return !a.remembered;
        return a.order != b.order ? a.order < b.order : a.pick.item < b.pick.item;
    });
    std::deque<RotationPick> order;
    for (const Entry& entry : entries) {
        order.push_back(entry.pick);
    }
    return order;
}

}  // namespace vorn::station
