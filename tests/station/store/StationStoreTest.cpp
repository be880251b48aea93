#include "station/store/SqliteStore.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <tuple>
#include <sys/wait.h>
#include <unistd.h>

#include "station/store/ListenerToken.h"
#include "station/store/RecentSet.h"
#include "station/store/SqliteDatabase.h"
#include "tests/station/support/ScanUpdateChecks.h"
#include "tests/station/support/StationTestSupport.h"

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

TEST(StationStoreTest, ScanUpdatesChangeOnlyWhatTheyName) {
    vorn::test::TempDir dir;
    SqliteStore store;
    ASSERT_TRUE(store.Open(dir / "station.db"));
    ExpectScanUpdatesChangeOnlyWhatTheyName(store);
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

// The recent memory keeps one row per answer; every reading counts items,
// not rows, across the answers' boundaries.
TEST(StationStoreTest, RecentAnswersAreKeptWholeAndCountedByTheirItems) {
    vorn::test::TempDir dir;
    const std::string path = dir / "station.db";
    SqliteStore store;
    ASSERT_TRUE(store.Open(path));
    const std::string hostile = "3:ab 12: x\xc3\xa9";  // looks like the stored form itself
    ASSERT_TRUE(store.AppendRecent({{1, 1, "one"}, {1, 2, ""}, {1, 3, hostile}, {1, 4, "four"}, {2, 5, "five"}}));
    ASSERT_TRUE(store.AppendRecent({{1, 6}, {1, 7}, {1, 8}, {1, 9}}));
    ASSERT_TRUE(store.AppendRecent({{1, 10, "ten"}}));

    std::vector<std::pair<std::int32_t, std::int32_t>> tail;
    for (const RecentRecord& record : store.LoadRecent(6)) tail.emplace_back(record.listener, record.item);
    EXPECT_EQ(tail, (std::vector<std::pair<std::int32_t, std::int32_t>>{
                        {1, 4}, {2, 5}, {1, 6}, {1, 7}, {1, 8}, {1, 9}, {1, 10}}));
    ListenerRecords records;
    ASSERT_TRUE(store.LoadListener(1, 6, records));
    EXPECT_EQ(records.recent, (std::vector<std::int32_t>{4, 6, 7, 8, 9, 10}));
    ASSERT_TRUE(store.LoadListener(1, 0, records));
    EXPECT_TRUE(records.recent.empty());
    EXPECT_EQ(store.WhyRecommended(1, 3), hostile);
    EXPECT_EQ(store.WhyRecommended(1, 2), "");
    EXPECT_EQ(store.WhyRecommended(2, 4), "");  // another listener's

    // A damaged row is skipped with a log line; the rest still reads.
    {
        SqliteDatabase raw;
        ASSERT_TRUE(raw.Open(path));
        ASSERT_TRUE(raw.Exec("INSERT INTO recent_sets(listener, count, items, whys) VALUES(2, 3, '7 x', '1:a')"));
    }
    ASSERT_EQ(store.LoadRecent(100).size(), 10u);
    EXPECT_EQ(store.WhyRecommended(2, 5), "five");

    // Pruning drops only answers wholly older than the last items kept.
    ASSERT_TRUE(store.PruneRecent(5));
    tail.clear();
    for (const RecentRecord& record : store.LoadRecent(100)) tail.emplace_back(record.listener, record.item);
    EXPECT_EQ(tail, (std::vector<std::pair<std::int32_t, std::int32_t>>{{2, 5}, {1, 6}, {1, 7}, {1, 8}, {1, 9}, {1, 10}}));
    EXPECT_EQ(store.WhyRecommended(1, 3), "");

    // Opened again, the store finds each listener's sets in the file.
    store.Close();
    SqliteStore reopened;
    ASSERT_TRUE(reopened.Open(path));
    EXPECT_EQ(reopened.WhyRecommended(1, 10), "ten");
    EXPECT_EQ(reopened.WhyRecommended(2, 5), "five");
    ASSERT_TRUE(reopened.LoadListener(1, 3, records));
    EXPECT_EQ(records.recent, (std::vector<std::int32_t>{8, 9, 10}));
    ASSERT_TRUE(reopened.AppendRecent({{1, 11, "eleven"}}));
    ASSERT_TRUE(reopened.LoadListener(1, 2, records));
    EXPECT_EQ(records.recent, (std::vector<std::int32_t>{10, 11}));
}

// A stored set reads back only when its count, ids and lengths all agree.
TEST(RecentSetTest, OnlyAWholeRowReadsBack) {
    RecentSet set;
    set.Add(12, "a b");
    set.Add(-3, "");
    set.Add(7, "4:xyz");
    std::vector<RecentSet::Entry> entries;
    ASSERT_TRUE(RecentSet::Decode(3, set.Items(), set.Whys(), entries));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].item, 12);
    EXPECT_EQ(entries[1].item, -3);
    EXPECT_EQ(entries[2].why, "4:xyz");
    for (const auto& [count, items, whys] : std::vector<std::tuple<std::int64_t, std::string, std::string>>{
             {2, "12 -3 7", "3:a b0:5:4:xyz"},  // a count too small
             {4, "12 -3 7", "3:a b0:5:4:xyz"},  // too large
             {3, "12 -3 7 ", "3:a b0:5:4:xyz"},
             {3, "12 -3 7", "3:a b0:5:4:xyz!"},
             {3, "12 -3 7", "3:a b0:9:4:xyz"},  // a length past the end
             {3, "12 -3 x", "3:a b0:5:4:xyz"},
             {3, "12  7", "3:a b0:5:4:xyz"},
             {1, "99999999999", "0:"},
             {0, "", ""}}) {
        EXPECT_FALSE(RecentSet::Decode(count, items, whys, entries)) << items << " / " << whys;
        EXPECT_TRUE(entries.empty());
    }
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

// A listener's page token is made once, survives a restart and finds only its
// listener: not a prefix, not one digit off, not the id. The lookup goes by the
// token's digest and then checks the stored token, so a row whose token was
// changed behind the store's back answers to neither text.
TEST(StationStoreTest, PageTokensAreKeptAndFindOnlyTheirListener) {
    vorn::test::TempDir dir;
    const std::string path = dir / "station.db";
    std::string first;
    std::string second;
    {
        SqliteStore store;
        ASSERT_TRUE(store.Open(path));
        ASSERT_EQ(store.NewListener(), 1);
        ASSERT_EQ(store.NewListener(), 2);
        first = store.TokenOf(1);
        second = store.TokenOf(2);
        EXPECT_TRUE(ListenerToken::IsWellFormed(first)) << first;
        EXPECT_NE(first, second);
        EXPECT_EQ(store.TokenOf(1), first);
        EXPECT_EQ(store.TokenOf(77), "");  // no such listener
    }
    SqliteStore store;
    ASSERT_TRUE(store.Open(path));
    EXPECT_EQ(store.TokenOf(1), first);
    EXPECT_EQ(store.ListenerOfToken(first), 1);
    EXPECT_EQ(store.ListenerOfToken(second), 2);
    std::string offByOne = first;
    offByOne.back() = offByOne.back() == '0' ? '1' : '0';
    for (const std::string& wrong : {offByOne, first.substr(0, 31), first + "0", std::string("1"), std::string(),
                                     std::string(32, '0'), std::string("<script>")}) {
        EXPECT_EQ(store.ListenerOfToken(wrong), 0) << wrong;
    }
    store.Close();

    SqliteDatabase db;
    ASSERT_TRUE(db.Open(path));
    const std::string forged(32, 'a');
    SqliteStatement forge = db.Prepare("UPDATE listener_tokens SET token = ?1 WHERE listener = 1");
    ASSERT_TRUE(forge.Bind(1, forged).Run());
    db.Close();
    ASSERT_TRUE(store.Open(path));
    EXPECT_EQ(store.ListenerOfToken(first), 0);   // its digest finds the row, the stored token differs
    EXPECT_EQ(store.ListenerOfToken(forged), 0);  // the stored token alone is not looked up
    EXPECT_EQ(store.ListenerOfToken(second), 2);
}

// The tables of a file of schema version 1.
constexpr const char* kVersionOneTables =
    "CREATE TABLE schema_version(version INTEGER NOT NULL); INSERT INTO schema_version VALUES(1);"
    "CREATE TABLE listeners(id INTEGER PRIMARY KEY AUTOINCREMENT, created INTEGER NOT NULL);"
    "CREATE TABLE items(id INTEGER PRIMARY KEY AUTOINCREMENT, path TEXT NOT NULL UNIQUE, artist TEXT NOT NULL,"
    " title TEXT NOT NULL, album TEXT NOT NULL, genre TEXT NOT NULL, length INTEGER NOT NULL,"
    " size INTEGER NOT NULL, modified INTEGER NOT NULL, present INTEGER NOT NULL);"
    "CREATE TABLE ratings(listener INTEGER NOT NULL REFERENCES listeners(id), item INTEGER NOT NULL"
    " REFERENCES items(id), value INTEGER NOT NULL, updated INTEGER NOT NULL, PRIMARY KEY(listener, item))"
    " WITHOUT ROWID;"
    "CREATE TABLE recent(seq INTEGER PRIMARY KEY AUTOINCREMENT, listener INTEGER NOT NULL,"
    " item INTEGER NOT NULL);";

// A file of schema version 1 is brought to the current version on opening,
// keeping what it held: old recent records get an empty reason, old listeners
// a token when first asked.
TEST(StationStoreTest, AVersionOneFileIsMigrated) {
    vorn::test::TempDir dir;
    const std::string path = dir / "station.db";
    {
        SqliteDatabase db;
        ASSERT_TRUE(db.Open(path));
        ASSERT_TRUE(db.Exec(std::string(kVersionOneTables) +
                            "INSERT INTO listeners VALUES(4, 0); INSERT INTO recent(listener, item) VALUES(4, 9), (4, 8);"));
    }
    SqliteStore store;
    ASSERT_TRUE(store.Open(path));
    const std::vector<RecentRecord> migrated = store.LoadRecent(5);
    ASSERT_EQ(migrated.size(), 2u);
    EXPECT_EQ(migrated[0].item, 9);
    EXPECT_EQ(migrated[1].item, 8);
    EXPECT_EQ(store.WhyRecommended(4, 9), "");
    const std::string token = store.TokenOf(4);
    EXPECT_TRUE(ListenerToken::IsWellFormed(token)) << token;
    EXPECT_EQ(store.ListenerOfToken(token), 4);
    ASSERT_TRUE(store.AppendRecent({{4, 9, "Because you like Jazz"}}));
    EXPECT_EQ(store.WhyRecommended(4, 9), "Because you like Jazz");  // the latest one
    store.Close();
    SqliteDatabase db;
    ASSERT_TRUE(db.Open(path));
    SqliteStatement version = db.Prepare("SELECT max(version) FROM schema_version");
    ASSERT_TRUE(version.Step());
    EXPECT_EQ(version.Int(0), kStoreSchemaVersion);
}

// A version 2 file's reasons become sets of one, their lengths counted in bytes.
TEST(StationStoreTest, AVersionTwoFileKeepsItsReasons) {
    vorn::test::TempDir dir;
    const std::string path = dir / "station.db";
    const std::string why = "Because you rated Caf\xc3\xa9: 5 stars";
    {
        SqliteDatabase db;
        ASSERT_TRUE(db.Open(path));
        ASSERT_TRUE(db.Exec(std::string(kVersionOneTables) +
                            "INSERT INTO schema_version VALUES(2);"
                            "CREATE TABLE listener_tokens(listener INTEGER PRIMARY KEY, token TEXT NOT NULL,"
                            " lookup TEXT NOT NULL UNIQUE);"
                            "ALTER TABLE recent ADD COLUMN why TEXT NOT NULL DEFAULT '';"));
        SqliteStatement insert = db.Prepare("INSERT INTO recent(listener, item, why) VALUES(4, ?1, ?2)");
        ASSERT_TRUE(insert.Bind(1, 9).Bind(2, why).Run());
        ASSERT_TRUE(insert.Bind(1, 8).Bind(2, std::string()).Run());
    }
    SqliteStore store;
    ASSERT_TRUE(store.Open(path));
    EXPECT_EQ(store.WhyRecommended(4, 9), why);
    EXPECT_EQ(store.WhyRecommended(4, 8), "");
    EXPECT_EQ(store.LoadRecent(1).size(), 1u);
}

// Items of before content keys keep their ids, ratings and the id sequence;
// a scan then gives them their keys, and a new recording gets a new id.
TEST(StationStoreTest, ItemsKeepTheirIdsWhenTheyBecomeRecordings) {
    vorn::test::TempDir dir;
    const std::string path = dir / "station.db";
    {
        SqliteDatabase db;
        ASSERT_TRUE(db.Open(path));
        ASSERT_TRUE(db.Exec(std::string(kVersionOneTables) +
                            "INSERT INTO listeners VALUES(4, 0);"
                            "INSERT INTO items VALUES(7, '/music/a.mp3', 'A', 'T', 'L', 'G', 30, 100, 1, 1);"
                            "INSERT INTO items VALUES(8, '/music/b.mp3', 'B', 'U', 'M', 'H', 40, 200, 2, 1);"
                            "UPDATE sqlite_sequence SET seq = 9 WHERE name = 'items';"
                            "INSERT INTO ratings VALUES(4, 7, 5, 1), (4, 8, 2, 1);"));
    }
    SqliteStore store;
    ASSERT_TRUE(store.Open(path));
    std::vector<ItemRecord> items = store.LoadItems();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(std::make_tuple(items[0].id, items[0].path, items[0].format, items[0].content),
              std::make_tuple(7, std::string("/music/a.mp3"), std::string("mp3"), std::uint64_t{0}));
    EXPECT_EQ(store.LoadRatings().size(), 2u);

    // The first by its id, with a key; the second by its path; and a new one.
    std::vector<ItemRecord> found = {items[0], items[1], items[1]};
    found[0].content = 0xF00DF00DF00DF00Dull;
    found[0].path = "/moved/a.flac";
    found[1].id = 0;
    found[2].id = 0;
    found[2].path = "/music/c.ogg";
    found[2].content = 0x8000000000000001ull;  // above INT64_MAX
    ASSERT_TRUE(store.SyncItems(found));
    EXPECT_EQ(found[0].id, 7);
    EXPECT_EQ(found[1].id, 8);
    EXPECT_EQ(found[2].id, 10);
    store.Close();
    ASSERT_TRUE(store.Open(path));
    items = store.LoadItems();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].path, "/moved/a.flac");
    EXPECT_EQ(items[0].content, 0xF00DF00DF00DF00Dull);
    EXPECT_EQ(items[2].content, 0x8000000000000001ull);
    // Found again by its key alone, wherever it lies.
    found = {items[2]};
    found[0].id = 0;
    found[0].path = "/elsewhere/c.ogg";
    ASSERT_TRUE(store.SyncItems(found));
    EXPECT_EQ(found[0].id, 10);
    EXPECT_EQ(store.LoadRatings().size(), 2u);
    // The ratings still refer to their items, as they are checked again.
    EXPECT_FALSE(store.StoreRatings(4, {{99, 3}}));
}

// The history behind the listener page: every rating, last given first.
TEST(StationStoreTest, RatingHistoryIsLastGivenFirst) {
    vorn::test::TempDir dir;
    const std::string path = dir / "station.db";
    SqliteStore store;
    ASSERT_TRUE(store.Open(path));
    std::vector<ItemRecord> items = {FakeItem(1, "A", "B", "C"), FakeItem(2, "D", "E", "F"),
                                     FakeItem(3, "G", "H", "I")};
    ASSERT_TRUE(store.SyncItems(items));
    ASSERT_EQ(store.NewListener(), 1);
    ASSERT_EQ(store.NewListener(), 2);
    ASSERT_TRUE(store.StoreRatings(1, {{1, 5}, {3, 2}}));
    ASSERT_TRUE(store.StoreRatings(2, {{2, 4}}));
    store.Close();
    {
        SqliteDatabase db;
        ASSERT_TRUE(db.Open(path));
        ASSERT_TRUE(db.Exec("UPDATE ratings SET updated = 1000 WHERE item = 1; UPDATE ratings SET updated = 3000 "
                            "WHERE item = 3"));
    }
    ASSERT_TRUE(store.Open(path));
    std::vector<RatedItem> history;
    ASSERT_TRUE(store.LoadRatingHistory(1, history));
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0].item, 3);
    EXPECT_EQ(history[0].value, 2);
    EXPECT_EQ(history[0].updated, 3000);
    EXPECT_EQ(history[1].item, 1);
    ASSERT_TRUE(store.LoadRatingHistory(3, history));
    EXPECT_TRUE(history.empty());
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
