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

// 20 artists of 5 items (ids 1..100); half the listeners love the odd
// artists and dislike the even ones, half the other way round. Each of 60
// listeners rates 3 items, never the last of an artist's five, so an item
// has about 2 raters: too few to place it alone.
TEST(ItemFactorsTest, AnArtistsItemsShareItsFactors) {
    std::vector<RatingRecord> ratings;
    std::mt19937 random(5);
    std::vector<int> rateable;
    for (int item = 1; item <= 100; ++item) {
        if (item % 5 != 0) rateable.push_back(item);
    }
    for (int l = 1; l <= 60; ++l) {
        std::shuffle(rateable.begin(), rateable.end(), random);
        for (std::size_t k = 0; k < 3; ++k) {
            const bool loved = ((rateable[k] - 1) / 5 % 2) == (l % 2);
            ratings.push_back({l, rateable[k], loved ? 4 + static_cast<int>(k % 2) : 1 + static_cast<int>(k % 2)});
        }
    }
    ItemArtists artists;
    for (std::int32_t item = 1; item <= 100; ++item) artists.emplace(item, static_cast<GroupId>(1000 + (item - 1) / 5));
    FactorSettings settings;
    settings.factors = 4;
    const ItemFactors alone = ItemFactors::Build(ratings, settings);
    const ItemFactors tied = ItemFactors::Build(ratings, settings, &artists);
    // Loves one item of each of two odd artists, dislikes one of an even one.
    const std::vector<std::pair<std::int32_t, double>> rated = {{6, 2}, {16, 2}, {11, -2}};
    const ItemFactors::Taste tasteAlone = alone.FoldIn(rated);
    const ItemFactors::Taste tasteTied = tied.FoldIn(rated);
    int rightAlone = 0, rightTied = 0, rated80 = 0;
    for (std::int32_t item = 21; item <= 100; ++item) {
        const bool odd = (item - 1) / 5 % 2 == 1;
        if (item % 5 == 0) {
            // Nobody rated it: it has its artist's factors, or none.
            EXPECT_EQ(alone.Predict(tasteAlone, item), 0.0);
            EXPECT_EQ(tied.Predict(tasteTied, item) > 0, odd) << item;
            continue;
        }
        ++rated80;
        rightAlone += (alone.Predict(tasteAlone, item) > 0) == odd ? 1 : 0;
        rightTied += (tied.Predict(tasteTied, item) > 0) == odd ? 1 : 0;
    }
    EXPECT_EQ(rightTied, rated80);
    EXPECT_LE(rightAlone, rated80 - 5);
}

}  // namespace
}  // namespace vorn::station::test
