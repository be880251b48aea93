#include "station/recommend/ItemFactors.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>

namespace vorn::station::test {
namespace {

// 60 listeners, 80 items: half the listeners love the items of one side
// (odd ids) and dislike the other, half the other way round. Each listener
// rates 16 items at random, so two items rarely share two raters.
std::vector<RatingRecord> TwoSides() {
    std::vector<RatingRecord> ratings;
    std::mt19937 random(3);
    for (int l = 1; l <= 60; ++l) {
        std::vector<int> items(80);
        for (int i = 0; i < 80; ++i) items[static_cast<std::size_t>(i)] = i + 1;
        std::shuffle(items.begin(), items.end(), random);
        for (std::size_t k = 0; k < 16; ++k) {
            const bool loved = (items[k] % 2) == (l % 2);
            ratings.push_back({l, items[k], loved ? 4 + static_cast<int>(k % 2) : 1 + static_cast<int>(k % 2)});
        }
    }
    return ratings;
}

TEST(ItemFactorsTest, AListenerFoldedInFromAFewRatingsIsPredictedOnTheHiddenSide) {
    const std::vector<RatingRecord> ratings = TwoSides();
    const ItemFactors factors = ItemFactors::Build(ratings);
    ASSERT_EQ(factors.Factors(), 16);
    // Loves three odd items, dislikes three even ones: against an average of 3.
    const std::vector<std::pair<std::int32_t, double>> rated = {{1, 2}, {3, 2}, {5, 2}, {2, -2}, {4, -2}, {6, -2}};
    const ItemFactors::Taste taste = factors.FoldIn(rated);
    ASSERT_EQ(taste.items.size(), rated.size());
    int right = 0;
    for (std::int32_t item = 7; item <= 80; ++item) {
        const double prediction = factors.Predict(taste, item);
        right += (prediction > 0) == (item % 2 == 1) ? 1 : 0;
        // The prediction is the sum of what each rating adds to it.
        const std::vector<double> parts = factors.Contributions(taste, item);
        ASSERT_EQ(parts.size(), taste.items.size());
        EXPECT_NEAR(std::accumulate(parts.begin(), parts.end(), 0.0), prediction, 1e-6);
    }
    EXPECT_GE(right, 70) << "of 74";
    EXPECT_EQ(factors.Predict(taste, 999), 0.0);  // no factors: no opinion

    // The left-out predictions are those of folding in without the item.
    for (std::size_t k = 0; k < rated.size(); ++k) {
        std::vector<std::pair<std::int32_t, double>> others = rated;
        others.erase(others.begin() + static_cast<std::ptrdiff_t>(k));
        EXPECT_NEAR(taste.leftOut[k], factors.Predict(factors.FoldIn(others), rated[k].first), 1e-6) << k;
    }

    // Candidates come from the factors' ends, each once, at most 2 · 16 · 4.
    FactorSettings few;
    few.perFactor = 4;
    const ItemFactors bounded = ItemFactors::Build(ratings, few);
    EXPECT_LE(bounded.Candidates().size(), 128u);
    EXPECT_GE(bounded.Candidates().size(), 8u);
    EXPECT_TRUE(std::is_sorted(bounded.Candidates().begin(), bounded.Candidates().end()));
    EXPECT_EQ(std::adjacent_find(bounded.Candidates().begin(), bounded.Candidates().end()),
              bounded.Candidates().end());

    // A rebuild of the same ratings gives the same predictions; no factors
    // asked for, none made.
    EXPECT_EQ(ItemFactors::Build(ratings).Predict(taste, 9), factors.Predict(taste, 9));
    FactorSettings none;
    none.factors = 0;
    EXPECT_TRUE(ItemFactors::Build(ratings, none).Empty());
    EXPECT_TRUE(ItemFactors::Build({}).Empty());
}

}  // namespace
}  // namespace vorn::station::test
