#include "station/recommend/ItemNeighbours.h"

#include <algorithm>
#include <cmath>

#include "station/recommend/RatingSubset.h"

namespace vorn::station {
namespace {

struct Deviation {
    std::uint32_t index;  // the other side: an item for a listener, a listener for an item
    float value;          // the rating minus the listener's average
};

constexpr double kLovedWeight = 2.5;

struct CoRating {
    double dot = 0;
    double squaresHere = 0;
    double squaresThere = 0;
    int count = 0;
};

}  // namespace

ItemNeighbours ItemNeighbours::Build(const std::vector<RatingRecord>& ratings, const NeighbourSettings& settings,
                                     const ItemArtists* artists) {
    ItemNeighbours built;
    // Dense indices for listeners and items.
    std::unordered_map<std::int32_t, std::uint32_t> listenerIndex;
    std::unordered_map<std::int32_t, std::uint32_t> itemIndex;
    std::vector<std::int32_t> itemIds;
    std::vector<std::vector<std::pair<std::uint32_t, std::int32_t>>> byListener;
    for (const RatingRecord& rating : ratings) {
        const auto [listener, newListener] = listenerIndex.emplace(rating.listener, byListener.size());
        if (newListener) {
            byListener.emplace_back();
        }
        const auto [item, newItem] = itemIndex.emplace(rating.item, itemIds.size());
        if (newItem) {
            itemIds.push_back(rating.item);
        }
        byListener[listener->second].emplace_back(item->second, rating.value);
    }
    built.Priors(ratings, itemIndex, itemIds, settings);
    built.factors_ = ItemFactors::Build(ratings, settings.factors, artists);

    // Each listener's deviations from their own average; a listener who rated
    // everything alike says nothing about which items go together.
    std::vector<std::vector<Deviation>> listenerDeviations(byListener.size());
    std::vector<std::vector<Deviation>> itemDeviations(itemIds.size());
    for (std::uint32_t listener = 0; listener < byListener.size(); ++listener) {
        auto& rated = byListener[listener];
        KeepRatingSubset(rated, settings.ratingsPerListener);
        double sum = 0;
        for (const auto& [item, value] : rated) {
            sum += value;
        }
        const double mean = rated.empty() ? 0 : sum / static_cast<double>(rated.size());
        for (const auto& [item, value] : rated) {
            const float deviation = static_cast<float>(value - mean);
            if (deviation != 0) {
                listenerDeviations[listener].push_back({item, deviation});
                itemDeviations[item].push_back({listener, deviation});
            }
        }
    }

    // For each item, sum over its raters' other items at once.
    std::vector<CoRating> sums(itemIds.size());
    std::vector<std::uint32_t> touched;
    std::vector<Neighbour> candidates;
    for (std::uint32_t here = 0; here < itemIds.size(); ++here) {
        touched.clear();
        for (const Deviation& rater : itemDeviations[here]) {
            for (const Deviation& other : listenerDeviations[rater.index]) {
                if (other.index == here) {
                    continue;
                }
                CoRating& sum = sums[other.index];
                if (sum.count == 0) {
                    touched.push_back(other.index);
                }
                sum.dot += static_cast<double>(rater.value) * other.value;
                sum.squaresHere += static_cast<double>(rater.value) * rater.value;
                sum.squaresThere += static_cast<double>(other.value) * other.value;
                sum.count += 1;
            }
        }
        candidates.clear();
        for (std::uint32_t there : touched) {
            CoRating& sum = sums[there];
            if (sum.count >= settings.minCoRaters && sum.dot > 0) {
                const double cosine = sum.dot / std::sqrt(sum.squaresHere * sum.squaresThere);
                const double shrunk = cosine * sum.count / (sum.count + settings.shrink);
                candidates.push_back({itemIds[there], static_cast<float>(shrunk)});
            }
            sum = CoRating();
        }
        if (candidates.empty()) {
            continue;
        }
        const std::size_t keep = std::min(candidates.size(), static_cast<std::size_t>(std::max(settings.perItem, 1)));
        std::partial_sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(keep), candidates.end(),
                          [](const Neighbour& a, const Neighbour& b) {
                              return a.similarity != b.similarity ? a.similarity > b.similarity : a.item < b.item;
                          });
        candidates.resize(keep);
        built.neighbours_.emplace(itemIds[here], candidates);
    }
    return built;
}

void ItemNeighbours::Priors(const std::vector<RatingRecord>& ratings,
                            const std::unordered_map<std::int32_t, std::uint32_t>& itemIndex,
                            const std::vector<std::int32_t>& itemIds, const NeighbourSettings& settings) {
    struct Tally {
        double sum = 0;
        double loved = 0;
        int count = 0;
    };
    std::vector<Tally> tallies(itemIds.size());
    Tally all;
    for (const RatingRecord& rating : ratings) {
        Tally& tally = tallies[itemIndex.at(rating.item)];
        for (Tally* t : {&tally, &all}) {
            t->sum += rating.value;
            t->loved += rating.value >= 4 ? 1 : 0;
            t->count += 1;
        }
    }
    if (all.count == 0) {
        return;
    }
    const double mean = all.sum / all.count;
    const double lovedShare = all.loved / all.count;
    const double k = std::max(settings.priorShrink, 0.0);
    std::vector<std::pair<float, std::int32_t>> ranked;
    ranked.reserve(itemIds.size());
    for (std::size_t n = 0; n < itemIds.size(); ++n) {
        const Tally& t = tallies[n];
        // A loved share 0.1 above the catalogue's weighs as much as an
        // average a quarter of a star above it.
        const double prior = (t.sum + k * mean) / (t.count + k) - mean +
                             kLovedWeight * ((t.loved + k * lovedShare) / (t.count + k) - lovedShare);
        priors_.emplace(itemIds[n], static_cast<float>(prior));
        ranked.emplace_back(static_cast<float>(prior), itemIds[n]);
    }
    const std::size_t keep = std::min(ranked.size(), static_cast<std::size_t>(std::max(settings.popular, 0)));
    std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(keep), ranked.end(),
                      [](const auto& a, const auto& b) { return a.first != b.first ? a.first > b.first : a.second < b.second; });
    for (std::size_t n = 0; n < keep && ranked[n].first > 0; ++n) {
        popular_.push_back(ranked[n].second);
    }
}

float ItemNeighbours::Prior(std::int32_t item) const {
    const auto found = priors_.find(item);
    return found == priors_.end() ? 0.0f : found->second;
}

const std::vector<ItemNeighbours::Neighbour>& ItemNeighbours::Of(std::int32_t item) const {
    static const std::vector<Neighbour> kNone;
    const auto found = neighbours_.find(item);
    return found == neighbours_.end() ? kNone : found->second;
}

}  // namespace vorn::station
