#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "station/store/StationStore.h"

namespace vorn::station {

struct NeighbourSettings {
    int perItem = 50;            // neighbours kept for each item, most similar first
    double shrink = 5.0;         // co-raters a similarity is pulled towards 0 by
    int minCoRaters = 2;         // fewer co-raters than this make no neighbours
    int ratingsPerListener = 300;  // a listener's ratings used at most (the cost grows with their square)
};

// Item-to-item collaborative filtering over every listener's ratings: two
// items are similar when the listeners who rated both rated them alike,
// measured against each listener's own average (adjusted cosine) and shrunk
// towards 0 by n / (n + shrink) for n co-raters, so that two ratings in common
// do not make a close neighbour. Only positively similar items are kept.
//
// Built in the background (its cost grows with the sum over listeners of the
// square of their ratings, never with requests); immutable once built, so
// requests read it without locks. Looking up an item costs the same whatever
// the catalogue's size.
class ItemNeighbours {
public:
    struct Neighbour {
        std::int32_t item;
        float similarity;  // 0 < similarity <= 1
    };

    static ItemNeighbours Build(const std::vector<RatingRecord>& ratings, const NeighbourSettings& settings = {});

    // The most similar items, most similar first; empty for an item without any.
    const std::vector<Neighbour>& Of(std::int32_t item) const;
    std::size_t Items() const { return neighbours_.size(); }

private:
    std::unordered_map<std::int32_t, std::vector<Neighbour>> neighbours_;
};

}  // namespace vorn::station
