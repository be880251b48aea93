#include "player/RatingOutbox.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/ScopedLog.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace vorn {
namespace {

using Entry = RatingOutbox::Entry;

std::vector<std::pair<int, int>> Pairs(const std::vector<Entry>& entries) {
    std::vector<std::pair<int, int>> pairs;
    for (const Entry& e : entries) pairs.emplace_back(e.itemId, e.stars);
    return pairs;
}

class RatingOutboxTest : public ::testing::Test {
protected:
    test::IsolatedHome home_;
    test::ScopedLog log_{0};
};

TEST_F(RatingOutboxTest, RatingsSurviveARestartOldestFirstAndARatingChangedReplacesTheOlderLine) {
    {
        RatingOutbox outbox;
        outbox.Add(30, 4);
        outbox.Add(10, 2);
        outbox.Add(20, 5);
        outbox.Add(30, 1);  // changed before it was sent: now the newest
    }
    EXPECT_EQ(test::ReadFile(kRatingOutboxFileName), "10 2 2\n20 5 3\n30 1 4\n");
    RatingOutbox again;
    EXPECT_EQ(Pairs(again.Oldest(50)), (std::vector<std::pair<int, int>>{{10, 2}, {20, 5}, {30, 1}}));
    EXPECT_EQ(Pairs(again.Oldest(2)), (std::vector<std::pair<int, int>>{{10, 2}, {20, 5}}));
    again.Add(40, 3);  // numbering goes on after the highest read back
    EXPECT_EQ(again.Oldest(50).back().sequence, 5);
}

TEST_F(RatingOutboxTest, OnlyWhatWasSentLeavesAndARatingGivenMeanwhileStays) {
    RatingOutbox outbox;
    outbox.Add(1, 3);
    outbox.Add(2, 4);
    const std::vector<Entry> sent = outbox.Oldest(50);
    outbox.Add(2, 5);  // while the request holding the 4 was on its way
    outbox.Add(3, 1);
    outbox.Acknowledge(sent);
    EXPECT_EQ(Pairs(outbox.Oldest(50)), (std::vector<std::pair<int, int>>{{2, 5}, {3, 1}}));
    EXPECT_EQ(test::ReadFile(kRatingOutboxFileName), "2 5 3\n3 1 4\n");
    outbox.Acknowledge(outbox.Oldest(50));
    EXPECT_EQ(outbox.Size(), 0u);
    EXPECT_EQ(RatingOutbox().Size(), 0u);
}

TEST_F(RatingOutboxTest, DamagedLinesAreKeptAsideAndTheRestStillGoesOut) {
    test::WriteFile(kRatingOutboxFileName,
                    "7 5 1\n"
                    "garbage\n"
                    "8 6 2\n"          // no such rating
                    "9 4 3 extra\n"
                    "99999999999 4 4\n"  // beyond an item id
                    "11 3 5\n"
                    "11 1 9\n"         // the later line of one item counts
                    "12 2 1");         // cut off in the middle of an append
    test::WriteFile(std::string(kRatingOutboxFileName) + ".a1B2c3", "a rewrite a crash interrupted");
    RatingOutbox outbox;
    EXPECT_EQ(Pairs(outbox.Oldest(50)), (std::vector<std::pair<int, int>>{{7, 5}, {11, 1}}));
    EXPECT_EQ(test::ReadFile(kRatingOutboxDamagedFileName),
              "garbage\n8 6 2\n9 4 3 extra\n99999999999 4 4\n12 2 1\n");
    EXPECT_TRUE(log_.Contains("RatingOutbox : Damaged line 2 of ratings-outbox.txt kept in "
                              "ratings-outbox.damaged : garbage"));
    EXPECT_TRUE(log_.Contains("Damaged line 8 of"));
    // Cleaned once the damaged lines are safe, so they are reported only once.
    EXPECT_EQ(test::ReadFile(kRatingOutboxFileName), "7 5 1\n11 1 9\n");
    EXPECT_FALSE(fs::exists(std::string(kRatingOutboxFileName) + ".a1B2c3"));
    outbox.Add(13, 2);
    EXPECT_EQ(RatingOutbox().Size(), 3u);
}

// A hand-edited file may hold the highest sequence number there is: the
// ratings are numbered afresh in their order rather than counted on past it.
TEST_F(RatingOutboxTest, SequenceNumbersAtTheTopAreNumberedAfreshInTheirOrder) {
    test::WriteFile(kRatingOutboxFileName, "7 5 9223372036854775807\n8 2 4611686018427387904\n");
    RatingOutbox outbox;
    outbox.Add(9, 3);
    EXPECT_EQ(Pairs(outbox.Oldest(50)), (std::vector<std::pair<int, int>>{{8, 2}, {7, 5}, {9, 3}}));
    EXPECT_EQ(test::ReadFile(kRatingOutboxFileName), "8 2 1\n7 5 2\n9 3 3\n");
    EXPECT_TRUE(log_.Contains("RatingOutbox : Sequence numbers of ratings-outbox.txt renumbered from 1"));
}

TEST_F(RatingOutboxTest, ARatingThatCannotBeStoredIsStillKeptForThisSession) {
    RatingOutbox outbox("gone/outbox.txt", "gone/outbox.damaged");  // a folder that is not there
    EXPECT_FALSE(outbox.Add(5, 4));
    EXPECT_TRUE(log_.Contains("RatingOutbox : Could not write gone/outbox.txt"));
    EXPECT_EQ(Pairs(outbox.Oldest(50)), (std::vector<std::pair<int, int>>{{5, 4}}));
}

}  // namespace
}  // namespace vorn
