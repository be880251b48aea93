#include "station/recommend/ItemFactors.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "station/recommend/RatingSubset.h"

namespace vorn::station {
namespace {

struct Entry {
    std::uint32_t index;  // the other side: an item for a listener, a listener for an item
    float value;          // the rating against the listener's average
};

// Cholesky factor of the symmetric positive definite k × k matrix `a`, in
// place (lower triangle). The ridge keeps it positive definite.
void Factor(std::vector<double>& a, int k) {
    for (int j = 0; j < k; ++j) {
        double diagonal = a[j * k + j];
        for (int m = 0; m < j; ++m) diagonal -= a[j * k + m] * a[j * k + m];
        diagonal = std::sqrt(std::max(diagonal, 1e-12));
        a[j * k + j] = diagonal;
        for (int i = j + 1; i < k; ++i) {
            double value = a[i * k + j];
            for (int m = 0; m < j; ++m) value -= a[i * k + m] * a[j * k + m];
            a[i * k + j] = value / diagonal;
        }
    }
}

// Solves (L Lᵀ) x = b in place, with L from Factor.
void Solve(const std::vector<double>& l, int k, double* b) {
    for (int i = 0; i < k; ++i) {
        double value = b[i];
        for (int m = 0; m < i; ++m) value -= l[i * k + m] * b[m];
        b[i] = value / l[i * k + i];
    }
    for (int i = k - 1; i >= 0; --i) {
        double value = b[i];
        for (int m = i + 1; m < k; ++m) value -= l[m * k + i] * b[m];
        b[i] = value / l[i * k + i];
    }
}

// One side's factors from the other's: for each row, the ridge least-squares
// fit of its entries' values on the other side's factors. With `pulls`, a row
// r with pullRow[r] >= 0 is pulled towards that row of `pulls` (its artist's
// factors) instead of towards 0.
void Sweep(const std::vector<std::vector<Entry>>& rows, const std::vector<float>& other, std::vector<float>& out,
           int k, double ridge, const std::vector<float>* pulls = nullptr,
           const std::vector<std::int64_t>* pullRow = nullptr) {
    std::vector<double> a(static_cast<std::size_t>(k * k));
    std::vector<double> b(static_cast<std::size_t>(k));
    for (std::size_t row = 0; row < rows.size(); ++row) {
        std::fill(a.begin(), a.end(), 0.0);
        std::fill(b.begin(), b.end(), 0.0);
        for (int i = 0; i < k; ++i) a[i * k + i] = ridge;
        for (const Entry& entry : rows[row]) {
            const float* q = &other[static_cast<std::size_t>(entry.index) * k];
            for (int i = 0; i < k; ++i) {
                b[i] += q[i] * entry.value;
                for (int j = 0; j <= i; ++j) a[i * k + j] += q[i] * q[j];
            }
        }
        if (pulls != nullptr && (*pullRow)[row] >= 0) {
            const float* pull = &(*pulls)[static_cast<std::size_t>((*pullRow)[row]) * k];
            for (int i = 0; i < k; ++i) b[i] += ridge * pull[i];
        }
        for (int i = 0; i < k; ++i) {
            for (int j = i + 1; j < k; ++j) a[i * k + j] = a[j * k + i];
        }
        Factor(a, k);
        Solve(a, k, b.data());
        for (int i = 0; i < k; ++i) out[row * k + i] = static_cast<float>(b[i]);
    }
}

}  // namespace

ItemArtists ArtistsOf(const CatalogueSnapshot& snapshot) {
    ItemArtists artists;
    artists.reserve(snapshot.Keys().size());
    for (const EntryKeys& keys : snapshot.Keys()) {
        if (keys.artist != kNoGroup) artists.emplace(keys.id, keys.artist);
    }
    return artists;
}

ItemFactors ItemFactors::Build(const std::vector<RatingRecord>& ratings, const FactorSettings& settings,
                               const ItemArtists* artists) {
    ItemFactors built;
    const int k = std::max(settings.factors, 0);
    if (k == 0 || ratings.empty()) {
        return built;
    }
    std::unordered_map<std::int32_t, std::uint32_t> listenerIndex;
    std::vector<std::int32_t> itemIds;
    std::vector<std::vector<std::pair<std::uint32_t, std::int32_t>>> byListener;
    for (const RatingRecord& rating : ratings) {
        const auto [listener, newListener] = listenerIndex.emplace(rating.listener, byListener.size());
        if (newListener) byListener.emplace_back();
        const auto [item, newItem] = built.index_.emplace(rating.item, static_cast<std::uint32_t>(itemIds.size()));
        if (newItem) itemIds.push_back(rating.item);
        byListener[listener->second].emplace_back(item->second, rating.value);
    }
    std::vector<std::vector<Entry>> listenerRows(byListener.size());
    std::vector<std::vector<Entry>> itemRows(itemIds.size());
    for (std::uint32_t listener = 0; listener < byListener.size(); ++listener) {
        auto& rated = byListener[listener];
        KeepRatingSubset(rated, settings.ratingsPerListener);
        double sum = 0;
        for (const auto& [item, value] : rated) sum += value;
        const double mean = rated.empty() ? 0 : sum / static_cast<double>(rated.size());
        for (const auto& [item, value] : rated) {
            const float deviation = static_cast<float>(value - mean);
            listenerRows[listener].push_back({item, deviation});
            itemRows[item].push_back({listener, deviation});
        }
    }
    // Items of one artist: the artist's factors are fitted from all their
    // items' ratings, and each item is pulled towards them rather than
    // towards 0, so an item few people rated still carries its artist's
    // taste, and an item nobody rated gets its artist's factors.
    std::vector<std::int64_t> artistRow(itemIds.size(), -1);
    std::vector<std::vector<Entry>> artistRows;
    if (artists != nullptr) {
        std::unordered_map<GroupId, std::uint32_t> artistIndex;
        for (std::size_t n = 0; n < itemIds.size(); ++n) {
            const auto found = artists->find(itemIds[n]);
            if (found == artists->end() || found->second == kNoGroup) continue;
            const auto [slot, added] = artistIndex.emplace(found->second, static_cast<std::uint32_t>(artistRows.size()));
            if (added) artistRows.emplace_back();
            artistRow[n] = slot->second;
            artistRows[slot->second].insert(artistRows[slot->second].end(), itemRows[n].begin(), itemRows[n].end());
        }
        // Items nobody rated join with their artist's factors.
        std::vector<std::pair<std::int32_t, std::uint32_t>> unrated;
        for (const auto& [item, artist] : *artists) {
            const auto slot = artistIndex.find(artist);
            if (slot != artistIndex.end() && built.index_.count(item) == 0) unrated.emplace_back(item, slot->second);
        }
        std::sort(unrated.begin(), unrated.end());
        for (const auto& [item, artist] : unrated) {
            built.index_.emplace(item, static_cast<std::uint32_t>(itemIds.size()));
            itemIds.push_back(item);
            itemRows.emplace_back();
            artistRow.push_back(artist);
        }
    }
    // Small fixed starting values: a rebuild of the same ratings gives the
    // same factors.
    std::mt19937_64 random(0x5EED);
    std::normal_distribution<float> start(0.0f, 0.1f);
    built.values_.resize(itemIds.size() * static_cast<std::size_t>(k));
    for (float& value : built.values_) value = start(random);
    std::vector<float> listenerFactors(byListener.size() * static_cast<std::size_t>(k));
    std::vector<float> artistFactors(artistRows.size() * static_cast<std::size_t>(k));
    for (int sweep = 0; sweep < settings.sweeps; ++sweep) {
        Sweep(listenerRows, built.values_, listenerFactors, k, settings.ridge);
        if (artistRows.empty()) {
            Sweep(itemRows, listenerFactors, built.values_, k, settings.ridge);
        } else {
            Sweep(artistRows, listenerFactors, artistFactors, k, settings.ridge);
            Sweep(itemRows, listenerFactors, built.values_, k, settings.ridge * settings.artistPull, &artistFactors,
                  &artistRow);
        }
    }
    built.factors_ = k;
    built.ridge_ = settings.ridge;

    // Each factor's strongest items at both ends, each item once.
    const std::size_t keep = std::min(itemIds.size(), static_cast<std::size_t>(std::max(settings.perFactor, 0)));
    std::vector<std::pair<float, std::int32_t>> ranked(itemIds.size());
    std::vector<std::int32_t> candidates;
    for (int f = 0; f < k; ++f) {
        for (int sign : {1, -1}) {
            for (std::size_t n = 0; n < itemIds.size(); ++n) {
                ranked[n] = {static_cast<float>(sign) * built.values_[n * k + f], itemIds[n]};
            }
            std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(keep), ranked.end(),
                              std::greater<>());
            for (std::size_t n = 0; n < keep; ++n) candidates.push_back(ranked[n].second);
        }
    }
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    for (std::int32_t item : candidates) built.candidateRows_.push_back(built.index_.at(item));
    built.candidates_ = std::move(candidates);
    return built;
}

const float* ItemFactors::Of(std::int32_t item) const {
    const auto found = index_.find(item);
    return found == index_.end() ? nullptr : &values_[static_cast<std::size_t>(found->second) * factors_];
}

ItemFactors::Taste ItemFactors::FoldIn(const std::vector<std::pair<std::int32_t, double>>& deviations) const {
    Taste taste;
    const int k = factors_;
    std::vector<double> a(static_cast<std::size_t>(k * k));
    std::vector<double> b(static_cast<std::size_t>(k));
    for (int i = 0; i < k; ++i) a[i * k + i] = ridge_;
    std::vector<const float*> rows;
    for (const auto& [item, deviation] : deviations) {
        const float* q = Of(item);
        if (q == nullptr) continue;
        rows.push_back(q);
        taste.items.push_back(item);
        taste.deviations.push_back(deviation);
        for (int i = 0; i < k; ++i) {
            b[i] += q[i] * deviation;
            for (int j = 0; j <= i; ++j) a[i * k + j] += q[i] * q[j];
        }
    }
    if (rows.empty()) {
        return taste;
    }
    for (int i = 0; i < k; ++i) {
        for (int j = i + 1; j < k; ++j) a[i * k + j] = a[j * k + i];
    }
    Factor(a, k);
    Solve(a, k, b.data());
    taste.factors = b;
    // Ridge regression's left-out prediction of each rated item, exactly:
    // (p − h·d) / (1 − h), with h the item's leverage qᵀA⁻¹q.
    std::vector<double> solved(static_cast<std::size_t>(k));
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (int i = 0; i < k; ++i) solved[i] = rows[r][i];
        Solve(a, k, solved.data());
        double leverage = 0, prediction = 0;
        for (int i = 0; i < k; ++i) {
            leverage += rows[r][i] * solved[i];
            prediction += rows[r][i] * taste.factors[i];
        }
        taste.leftOut.push_back((prediction - leverage * taste.deviations[r]) / std::max(1.0 - leverage, 1e-6));
    }
    taste.cholesky = std::move(a);
    return taste;
}

double ItemFactors::Dot(const Taste& taste, const float* q) const {
    double prediction = 0;
    for (int i = 0; q != nullptr && !taste.factors.empty() && i < factors_; ++i) prediction += q[i] * taste.factors[i];
    return prediction;
}

double ItemFactors::Predict(const Taste& taste, std::int32_t item) const {
    return Dot(taste, taste.factors.empty() ? nullptr : Of(item));
}

double ItemFactors::PredictCandidate(const Taste& taste, std::size_t n) const {
    return Dot(taste, &values_[static_cast<std::size_t>(candidateRows_[n]) * factors_]);
}

std::vector<double> ItemFactors::Contributions(const Taste& taste, std::int32_t item) const {
    // The prediction is qᵀA⁻¹Σ q_k d_k: item k adds d_k · (A⁻¹q)ᵀq_k.
    std::vector<double> parts(taste.items.size(), 0.0);
    const float* q = taste.factors.empty() ? nullptr : Of(item);
    if (q == nullptr) {
        return parts;
    }
    std::vector<double> solved(q, q + factors_);
    Solve(taste.cholesky, factors_, solved.data());
    for (std::size_t k = 0; k < taste.items.size(); ++k) {
        const float* rated = Of(taste.items[k]);
        double dot = 0;
        for (int i = 0; i < factors_; ++i) dot += rated[i] * solved[i];
        parts[k] = dot * taste.deviations[k];
    }
    return parts;
}

}  // namespace vorn::station
