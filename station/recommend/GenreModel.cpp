#include "station/recommend/GenreModel.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace vorn::station {
namespace {

constexpr std::size_t kMinCounts = 30;  // (listener, genre) pairs needed before the classes mean anything
constexpr std::size_t kMaxCounts = 200000;
constexpr int kIterations = 60;
constexpr double kConverged = 1e-6;
constexpr double kSmoothing = 1.0;  // ratings of each value every class starts with
constexpr double kMinDifference = 0.5;
constexpr double kMinShare = 0.01;

using Spread = std::array<double, 5>;  // P(stars) of a class

double Average(const Spread& p) {
    double mean = 0;
    for (std::size_t r = 0; r < p.size(); ++r) {
        mean += static_cast<double>(r + 1) * p[r];
    }
    return mean;
}

// log P(counts | class) less log P(counts | other class), up to the
// multinomial coefficient they share.
double LogRatio(const StarCounts& counts, const Spread& ratio) {
    double sum = 0;
    for (std::size_t r = 0; r < counts.size(); ++r) {
        sum += counts[r] * ratio[r];
    }
    return sum;
}

}  // namespace

GenreModel GenreModel::Fit(const std::vector<StarCounts>& all, std::size_t genres) {
    // Eleven numbers are fitted: beyond a sample of this many pairs, more
    // only cost time (an evenly spread one, so every listener may be in it).
    const std::size_t stride = all.size() / kMaxCounts + 1;
    std::vector<StarCounts> counts;
    for (std::size_t j = 0; j < all.size(); j += stride) {
        if (std::accumulate(all[j].begin(), all[j].end(), 0u) > 0) {
            counts.push_back(all[j]);
        }
    }
    GenreModel model;
    model.genres_ = genres;
    if (counts.size() < kMinCounts) {
        return model;
    }
    // Started apart, loved high and cold in the middle, so the classes keep
    // their meaning; the data moves them from there.
    Spread loved{0.02, 0.03, 0.1, 0.35, 0.5};
    Spread cold{0.1, 0.25, 0.4, 0.2, 0.05};
    double share = 0.2;
    std::vector<double> weight(counts.size());
    double previous = -1;
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        // Expectation: how likely each pair is loved.
        const double prior = std::log(share / (1 - share));
        Spread ratio{};
        for (std::size_t r = 0; r < 5; ++r) {
            ratio[r] = std::log(loved[r]) - std::log(cold[r]);
        }
        for (std::size_t j = 0; j < counts.size(); ++j) {
            const double odds = prior + LogRatio(counts[j], ratio);
            weight[j] = 1 / (1 + std::exp(-std::clamp(odds, -50.0, 50.0)));
        }
        // Maximisation: each class's spread of stars and the loved share.
        Spread lovedSum{}, coldSum{};
        lovedSum.fill(kSmoothing);
        coldSum.fill(kSmoothing);
        double total = 0;
        for (std::size_t j = 0; j < counts.size(); ++j) {
            total += weight[j];
            for (std::size_t r = 0; r < 5; ++r) {
                lovedSum[r] += weight[j] * counts[j][r];
                coldSum[r] += (1 - weight[j]) * counts[j][r];
            }
        }
        const double lovedTotal = std::accumulate(lovedSum.begin(), lovedSum.end(), 0.0);
        const double coldTotal = std::accumulate(coldSum.begin(), coldSum.end(), 0.0);
        for (std::size_t r = 0; r < 5; ++r) {
            loved[r] = lovedSum[r] / lovedTotal;
            cold[r] = coldSum[r] / coldTotal;
        }
        share = std::clamp(total / static_cast<double>(counts.size()), kMinShare, 1 - kMinShare);
        if (std::abs(share - previous) < kConverged) {
            break;
        }
        previous = share;
    }
    model.difference_ = Average(loved) - Average(cold);
    model.share_ = share;
    for (std::size_t r = 0; r < 5; ++r) {
        model.evidence_[r] = std::log(loved[r]) - std::log(cold[r]);
    }
    model.usable_ = model.difference_ >= kMinDifference;
    return model;
}

double GenreModel::Loved(const StarCounts& counts) const {
    if (!usable_) {
        return 0;
    }
    const double odds = std::log(share_ / (1 - share_)) + LogRatio(counts, evidence_);
    return 1 / (1 + std::exp(-std::clamp(odds, -50.0, 50.0)));
}

}  // namespace vorn::station
