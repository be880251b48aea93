#pragma once

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "station/catalogue/CatalogueSnapshot.h"
#include "station/store/StationStore.h"

namespace vorn::station {

struct FactorSettings {
    int factors = 16;      // hidden factors per item and listener (0: none are made)
    int sweeps = 8;        // alternating passes over listeners and items
    double ridge = 10.0;   // pulls every factor towards 0, in squared stars
    int ratingsPerListener = 300;  // a listener's ratings used at most
    int perFactor = 48;    // items kept at each end of each factor to draw candidates from
    double artistPull = 1.0;  // how hard an item is pulled towards its artist's factors, as a share of `ridge`
};

// Each item's artist, for tying an artist's items together.
using ItemArtists = std::unordered_map<std::int32_t, GroupId>;
// The artist of every item of the catalogue (also those whose file is gone:
// their ratings still tell of their artist).
ItemArtists ArtistsOf(const CatalogueSnapshot& snapshot);

// A matrix factorisation of everyone's ratings, each taken against its
// listener's own average (alternating least squares with a ridge): every item
// gets a few hidden factors such that a listener's liking of it is the dot
// product with the listener's. It finds tastes that cross artists and genres
// from items' raters alone, where two items share too few raters to be
// neighbours.
//
// A listener is folded in at request time from their own ratings alone: one
// small least-squares solve over the factors, so a new listener profits from
// their first ratings without waiting for a rebuild. The candidates it is
// scored on come from each factor's strongest items (both ends), so the work
// does not grow with the catalogue.
//
// Built in the background with the neighbours; immutable once built.
class ItemFactors {
public:
    // A listener's taste folded in: the factors, and for each rated item
    // the prediction made without that item's own rating (for fitting how
    // much the factors tell about this listener).
    struct Taste {
        std::vector<double> factors;  // empty when nothing rated has factors
        std::vector<double> cholesky;  // the factor of the fold-in's k × k system, for Contributions
        std::vector<std::int32_t> items;      // rated items with factors, in the order of `deviations`
        std::vector<double> deviations;       // their ratings against the listener's average
        std::vector<double> leftOut;          // their predictions without their own rating
    };

    static ItemFactors Build(const std::vector<RatingRecord>& ratings, const FactorSettings& settings = {},
                             const ItemArtists* artists = nullptr);

    int Factors() const { return factors_; }
    bool Empty() const { return index_.empty(); }
    // Folds a listener in from (item, rating against the listener's average).
    Taste FoldIn(const std::vector<std::pair<std::int32_t, double>>& deviations) const;
    // The predicted liking of the item against the listener's average; 0
    // for an item without factors.
    double Predict(const Taste& taste, std::int32_t item) const;
    // How much each of the taste's rated items (in the order of `items`)
    // adds to the prediction of `item`: the prediction is their sum. Costs
    // one k × k solve and a dot product per rated item.
    std::vector<double> Contributions(const Taste& taste, std::int32_t item) const;
    // Items at the strong ends of the factors (each once): the candidates a
    // folded-in listener is scored on.
    const std::vector<std::int32_t>& Candidates() const { return candidates_; }
    // Predict for Candidates()[n], without looking the item up.
    double PredictCandidate(const Taste& taste, std::size_t n) const;

private:
    const float* Of(std::int32_t item) const;
    double Dot(const Taste& taste, const float* q) const;

    int factors_ = 0;
    double ridge_ = 0;
    std::unordered_map<std::int32_t, std::uint32_t> index_;  // item id → row of values_
    std::vector<float> values_;
    std::vector<std::int32_t> candidates_;
    std::vector<std::uint32_t> candidateRows_;  // each candidate's row of values_
};

}  // namespace vorn::station
