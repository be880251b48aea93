#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "station/recommend/ItemFactors.h"
#include "station/store/StationStore.h"

namespace vorn::station {

struct NeighbourSettings {
    int perItem = 50;            // neighbours kept for each item, most similar first
    double shrink = 5.0;         // co-raters a similarity is pulled towards 0 by
    int minCoRaters = 2;         // fewer co-raters than this make no neighbours
    int ratingsPerListener = 300;  // a listener's ratings used at most (the cost grows with their square)
    double priorShrink = 5.0;    // ratings at the catalogue's average every item's prior starts with
    int popular = 256;           // items with the best priors kept to draw from
    FactorSettings factors;      // the matrix factorisation built beside the neighbours
};

// Item-to-item collaborative filtering over every listener's ratings: two
// items are similar when the listeners who rated both rated them alike,
// measured against each listener's own average (adjusted cosine) and shrunk
// towards 0 by n / (n + shrink) for n co-raters, so that two ratings in common
// do not make a close neighbour. Only positively similar items are kept.
//
// Beside the neighbours, every rated item's community prior: what everyone
// made of it, in stars against the catalogue's average, from its average
// rating and how often it was loved (4 or 5 stars), both shrunk towards the
// catalogue's by `priorShrink` ratings, so that one enthusiast does not make a
// hit. It is what a listener who rated nothing yet is offered from, and what
// speaks for an item nobody near the listener rated.
//
// Beside both, the hidden factors of the same ratings (ItemFactors).
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

    // With `artists`, the hidden factors tie each artist's items together.
    static ItemNeighbours Build(const std::vector<RatingRecord>& ratings, const NeighbourSettings& settings = {},
                                const ItemArtists* artists = nullptr);

    // The most similar items, most similar first; empty for an item without any.
    const std::vector<Neighbour>& Of(std::int32_t item) const;
    std::size_t Items() const { return neighbours_.size(); }
    // The item's community prior; 0 for an item nobody rated.
    float Prior(std::int32_t item) const;
    // The items with the best priors, best first (at most `popular`).
    const std::vector<std::int32_t>& Popular() const { return popular_; }
    // The hidden factors of the same ratings (ItemFactors).
    const ItemFactors& Factors() const { return factors_; }

private:
    void Priors(const std::vector<RatingRecord>& ratings, const std::unordered_map<std::int32_t, std::uint32_t>& itemIndex,
                const std::vector<std::int32_t>& itemIds, const NeighbourSettings& settings);

    std::unordered_map<std::int32_t, std::vector<Neighbour>> neighbours_;
    std::unordered_map<std::int32_t, float> priors_;
    std::vector<std::int32_t> popular_;
    ItemFactors factors_;
};

}  // namespace vorn::station
