#pragma once

#include <cstdint>
#include <deque>
#include <unordered_map>
#include <utility>
#include <vector>

#include "station/base/FlatIdMap.h"
#include "station/catalogue/CatalogueSnapshot.h"

namespace vorn::station {

struct RotationPick {
    std::int32_t item = 0;
    std::int32_t rating = 0;  // the listener's rating of it
};

// The order in which a listener's loved items (present, rated `lowest` stars
// or more) come back once everything unrated has been offered: least
// recently offered first. Items in the recent memory (`recent`, oldest first,
// with `lastOffered` its last sequence number per item) go by their last
// offer; the others were offered before anything the memory holds, or never,
// and come first, in a cycle fixed per listener, starting after the loved item
// offered last. So while the loved set stays the same, each item comes back
// only after every other loved item came once, also when there are more of
// them than the memory holds (the stores keep no older offers), and every
// station that shares the store works out the same order from the same memory.
std::deque<RotationPick> LovedRotation(std::int32_t listener, const std::unordered_map<std::int32_t, std::int32_t>& ratings,
                                        int lowest, const std::deque<std::pair<std::int32_t, std::uint64_t>>& recent,
                                        const FlatIdMap<std::uint64_t>& lastOffered, const CatalogueSnapshot& snapshot);

}  // namespace vorn::station
