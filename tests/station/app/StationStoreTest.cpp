#include "station/app/SqliteStore.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/station/app/StationTestSupport.h"

namespace vorn::station::test {
namespace {

TEST(StationStoreTest, KeepsEverythingAcrossARestart) {
    vorn::test::TempDir dir;
    const std::string path = dir / "station.db";
    std::vector<ItemRecord> items = {FakeItem(1, "A", "B", "C"), FakeItem(2, "D", "E", "F")};
    {
        SqliteStore store;
        ASSERT_TRUE(store.Open(path));
        EXPECT_EQ(store.NewListener(), 1);
        EXPECT_EQ(store.NewListener(), 2);
        ASSERT_TRUE(store.SyncItems(items));
        EXPECT_EQ(items[0].id, 1);
        EXPECT_EQ(items[1].id, 2);
        ASSERT_TRUE(store.StoreRatings(2, {{1, 5}, {2, 2}}));
        ASSERT_TRUE(store.StoreRatings(2, {{2, 4}}));  // upsert, not a second row
        ASSERT_TRUE(store.AppendRecent({{1, 2}, {1, 1}}));
    }
    SqliteStore store;
    ASSERT_TRUE(store.Open(path));
    EXPECT_EQ(store.Listeners(), (std::vector<std::int32_t>{1, 2}));
    EXPECT_EQ(store.NewListener(), 3);
    const std::vector<RatingRecord> ratings = store.LoadRatings();
    ASSERT_EQ(ratings.size(), 2u);
    EXPECT_EQ(ratings[1].item, 2);
    EXPECT_EQ(ratings[1].value, 4);
    const std::vector<RecentRecord> recent = store.LoadRecent(10);
    ASSERT_EQ(recent.size(), 2u);
    EXPECT_EQ(recent[0].item, 2);  // oldest first
    EXPECT_EQ(recent[1].item, 1);

    // A rescan that finds the files in another order keeps their ids, gives a new
    // file the next id and marks the missing one as gone.
    std::vector<ItemRecord> again = {FakeItem(3, "G", "H", "I"), FakeItem(2, "D", "E", "F")};
    ASSERT_TRUE(store.SyncItems(again));
    EXPECT_EQ(again[0].id, 3);
    EXPECT_EQ(again[1].id, 2);
    const std::vector<ItemRecord> all = store.LoadItems();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_FALSE(all[0].present);
    EXPECT_TRUE(all[1].present);
    EXPECT_TRUE(all[2].present);
    EXPECT_EQ(all[2].artist, "G");
}

TEST(StationStoreTest, UsesWriteAheadLoggingAndKeepsOnlyTheRecentTail) {
    vorn::test::TempDir dir;
    SqliteStore store;
    ASSERT_TRUE(store.Open(dir / "station.db"));
    EXPECT_TRUE(std::filesystem::exists(dir / "station.db-wal"));
    std::vector<RecentRecord> records;
    for (int i = 1; i <= 30; ++i) {
        records.push_back({i % 2 + 1, i});
    }
    ASSERT_TRUE(store.AppendRecent(records));
    ASSERT_TRUE(store.PruneRecent(4));
    const std::vector<RecentRecord> left = store.LoadRecent(100);
    ASSERT_EQ(left.size(), 8u);
    EXPECT_EQ(left.back().item, 30);
    EXPECT_EQ(left.front().item, 23);
}

TEST(StationStoreTest, AnUnusableFileIsRefused) {
    vorn::test::TempDir dir;
    CapturedLog log;
    SqliteStore store;
    EXPECT_FALSE(store.Open(dir / "missing-folder/station.db"));
    vorn::test::WriteFile(dir / "junk.db", std::string(4096, 'x'));
    EXPECT_FALSE(store.Open(dir / "junk.db"));
    EXPECT_EQ(store.NewListener(), 0);
    EXPECT_FALSE(store.StoreRatings(1, {{1, 1}}));
    EXPECT_TRUE(log.Contains("*****SEVERE****** : SqliteDatabase"));
}

TEST(StationStoreTest, AStationKilledRightAfterStoringLosesNoRating) {
    vorn::test::TempDir dir;
    const std::string path = dir / "station.db";
    {
        SqliteStore store;
        ASSERT_TRUE(store.Open(path));
        std::vector<ItemRecord> items = {FakeItem(1, "A", "B", "C"), FakeItem(2, "A", "B", "C")};
        ASSERT_TRUE(store.SyncItems(items));
        ASSERT_EQ(store.NewListener(), 1);
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SqliteStore store;
        if (store.Open(path) && store.StoreRatings(1, {{1, 5}, {2, 1}})) {
            ::kill(::getpid(), SIGKILL);  // no close, no checkpoint
        }
        ::_exit(3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    SqliteStore store;
    ASSERT_TRUE(store.Open(path));
    EXPECT_EQ(store.LoadRatings().size(), 2u);
}

}  // namespace
}  // namespace vorn::station::test
