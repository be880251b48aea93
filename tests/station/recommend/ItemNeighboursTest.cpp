#include "station/recommend/ItemNeighbours.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "station/catalogue/Catalogue.h"
#include "station/recommend/NeighbourRefresher.h"
#include "tests/station/support/StationTestSupport.h"
#include "tests/support/LoopbackServer.h"

namespace vorn::station::test {
namespace {

// Listeners 1..n rate items 1 and 2 alike (both 5, or both 1) and item 3
// the other way round, so 1 and 2 lie equally far from each listener's average.
std::vector<RatingRecord> Alike(int listeners) {
    std::vector<RatingRecord> ratings;
    for (int l = 1; l <= listeners; ++l) {
        const int high = l % 2 == 0 ? 5 : 1;
        ratings.push_back({l, 1, high});
        ratings.push_back({l, 2, high});
        ratings.push_back({l, 3, 6 - high});
    }
    return ratings;
}

TEST(ItemNeighboursTest, ItemsRatedAlikeAreNeighboursShrunkByTheirCoRaters) {
    NeighbourSettings settings;
    settings.shrink = 5;
    const ItemNeighbours four = ItemNeighbours::Build(Alike(4), settings);
    ASSERT_EQ(four.Of(1).size(), 1u);  // item 3 is rated the other way
    EXPECT_EQ(four.Of(1)[0].item, 2);
    EXPECT_FLOAT_EQ(four.Of(1)[0].similarity, 4.0f / 9.0f);  // cosine 1, four co-raters
    EXPECT_EQ(four.Of(2)[0].item, 1);
    EXPECT_TRUE(four.Of(3).empty());
    EXPECT_TRUE(four.Of(77).empty());
    const ItemNeighbours twenty = ItemNeighbours::Build(Alike(20), settings);
    EXPECT_FLOAT_EQ(twenty.Of(1)[0].similarity, 20.0f / 25.0f);

    // One co-rater is not enough; a listener who rates everything alike says nothing.
    EXPECT_EQ(ItemNeighbours::Build({{1, 1, 5}, {1, 2, 5}, {1, 3, 1}}).Items(), 0u);
    EXPECT_EQ(ItemNeighbours::Build({{1, 1, 4}, {1, 2, 4}, {2, 1, 4}, {2, 2, 4}}).Items(), 0u);
}

TEST(ItemNeighboursTest, KeepsTheMostSimilarFirstAndNoMoreThanAsked) {
    // Item 1 goes with items 2..6, each with one co-rater fewer than the
    // last; every listener also rates item 99 in the middle.
    std::vector<RatingRecord> ratings;
    for (int other = 2; other <= 6; ++other) {
        for (int l = 0; l < 12 - other; ++l) {
            const int listener = other * 100 + l;
            const int high = l % 2 == 0 ? 5 : 1;
            ratings.push_back({listener, 1, high});
            ratings.push_back({listener, other, high});
            ratings.push_back({listener, 99, 3});
        }
    }
    NeighbourSettings settings;
    settings.perItem = 3;
    const ItemNeighbours built = ItemNeighbours::Build(ratings, settings);
    const std::vector<ItemNeighbours::Neighbour>& near = built.Of(1);
    ASSERT_EQ(near.size(), 3u);
    EXPECT_EQ(near[0].item, 2);
    EXPECT_EQ(near[1].item, 3);
    EXPECT_EQ(near[2].item, 4);
    EXPECT_GT(near[0].similarity, near[1].similarity);
}

// The refresher builds from the store at once, leaves the neighbours alone
// while the store has no ratings, and stops at once however long its interval.
TEST(NeighbourRefresherTest, BuildsFromTheStoreAndStopsWithoutWaitingForItsInterval) {
    vorn::test::TempDir dir;
    SqliteStore store;
    ASSERT_TRUE(store.Open(dir / "station.db"));
    Recommender recommender;
    {
        NeighbourRefresher empty(store, recommender, std::chrono::hours(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(empty.Builds(), 0);
    }
    std::vector<ItemRecord> items = {FakeItem(1, "A", "B", "C"), FakeItem(2, "D", "E", "F"),
                                     FakeItem(3, "G", "H", "I")};
    Catalogue catalogue(store, dir / "music");
    ASSERT_TRUE(catalogue.Publish(items));
    for (int l = 0; l < 3; ++l) {
        ASSERT_EQ(store.NewListener(), l + 1);
        const int high = l % 2 == 0 ? 5 : 1;
        ASSERT_TRUE(store.StoreRatings(l + 1, {{1, high}, {2, high}, {3, 6 - high}}));
    }
    CapturedLog log;
    const auto start = std::chrono::steady_clock::now();
    // Each build asks for the catalogue as it stands, for the items' artists.
    std::atomic<int> asked{0};
    const auto current = [&] {
        ++asked;
        return catalogue.Current();
    };
    {
        NeighbourRefresher refresher(store, recommender, std::chrono::hours(1), NeighbourSettings{}, current);
        EXPECT_TRUE(vorn::test::WaitFor([&] { return refresher.Builds() == 1; }));
    }
    EXPECT_EQ(asked.load(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_TRUE(log.Contains("NeighbourRefresher : neighbours of 2 items from 9 ratings")) << log.Text();
}

}  // namespace
}  // namespace vorn::station::test
