#include "station/recommend/GenreModel.h"

#include <gtest/gtest.h>

#include <random>

namespace vorn::station::test {
namespace {

// Counts of 1 to 6 ratings per (listener, genre), a tenth of the pairs from
// a loved genre (mostly 5s and 4s), the rest from a cold one whose best
// items still earn a 4 a quarter of the time.
std::vector<StarCounts> Mixed(std::size_t pairs, double lovedShare, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::discrete_distribution<int> loved({0, 0, 5, 35, 60});
    std::discrete_distribution<int> cold({10, 20, 40, 25, 5});
    std::uniform_int_distribution<int> ratings(1, 6);
    std::bernoulli_distribution isLoved(lovedShare);
    std::vector<StarCounts> counts(pairs);
    for (StarCounts& c : counts) {
        auto& stars = isLoved(random) ? loved : cold;
        for (int n = ratings(random); n > 0; --n) {
            ++c[static_cast<std::size_t>(stars(random))];
        }
    }
    return counts;
}

TEST(GenreModelTest, ALovedGenreIsToldFromALuckyFourByTheMixOfRatings) {
    const GenreModel model = GenreModel::Fit(Mixed(600, 0.1, 3), 40);
    ASSERT_TRUE(model.Usable());
    EXPECT_NEAR(model.Share(), 0.1, 0.05);
    EXPECT_NEAR(model.Difference(), 1.6, 0.3);  // 4.55 against 2.95 stars
    EXPECT_NEAR(model.LovedPerListener(), 40 * model.Share(), 1e-9);
    EXPECT_NEAR(model.Loved({}), model.Share(), 1e-9);
    EXPECT_GT(model.Loved({0, 0, 0, 0, 2}), 0.6);  // two 5s
    EXPECT_LT(model.Loved({0, 0, 0, 1, 0}), 0.25);  // one 4: a good best item is as likely
    EXPECT_LT(model.Loved({0, 0, 1, 1, 0}), 0.08);
    EXPECT_LT(model.Loved({0, 0, 0, 1, 0}), model.Loved({0, 0, 0, 0, 1}));
}

// A model is only as good as what it was fitted on: few pairs, or pairs that
// do not fall in two classes, give none, and a genre is then worth nothing extra.
TEST(GenreModelTest, FewOrAlikeRatingsMakeNoModel) {
    const GenreModel few = GenreModel::Fit(Mixed(20, 0.1, 4), 40);
    EXPECT_FALSE(few.Usable());
    EXPECT_EQ(few.Loved({0, 0, 0, 0, 3}), 0);
    EXPECT_FALSE(GenreModel::Fit(Mixed(600, 0, 5), 40).Usable());
    EXPECT_FALSE(GenreModel::Fit(std::vector<StarCounts>(100), 40).Usable());
}

}  // namespace
}  // namespace vorn::station::test
