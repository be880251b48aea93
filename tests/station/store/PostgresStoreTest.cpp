// The PostgreSQL store against a throwaway server, and its connection's
// deadlines against a socket that never answers.
#include "station/store/PostgresStore.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "station/store/ListenerToken.h"
#include "station/store/PgConnection.h"
#include "tests/station/support/PgCluster.h"
#include "tests/station/support/ScanUpdateChecks.h"
#include "tests/station/support/StationTestSupport.h"

namespace vorn::station::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

#define REQUIRE_CLUSTER(cluster)                                           \
    if (!(cluster).Installed()) GTEST_SKIP() << (cluster).Problem();       \
    ASSERT_TRUE((cluster).Running()) << (cluster).Problem()

TEST(PostgresStoreTest, TwoStoresShareIdsRatingsAndRecentRecommendations) {
    PgCluster cluster;
    REQUIRE_CLUSTER(cluster);
    std::string error;
    std::unique_ptr<PostgresStore> one = PostgresStore::Open(cluster.Url(), error);
    ASSERT_TRUE(one) << error;
    std::unique_ptr<PostgresStore> two = PostgresStore::Open(cluster.Url(), error);  // schema already there
    ASSERT_TRUE(two) << error;
    EXPECT_TRUE(one->Shared());

    // Ids come from one sequence; an id a client brought along is skipped.
    EXPECT_EQ(one->NewListener(), 1);
    EXPECT_TRUE(two->EnsureListener(2));
    EXPECT_TRUE(two->EnsureListener(2));
    EXPECT_EQ(two->NewListener(), 3);
    EXPECT_EQ(one->Listeners(), (std::vector<std::int32_t>{1, 2, 3}));

    // Both stations scan the same folder: the same path has the same id
    // whichever stores it first; a file gone from the second scan is not present.
    std::vector<ItemRecord> first = {FakeItem(1, "A", "B", "C"), FakeItem(2, "D", "E", "F"),
                                     FakeItem(3, "G", "H", "I")};
    first[2].artist = "Caf\xe9";  // Windows-1252, not UTF-8: stored as UTF-8
    first.push_back(FakeItem(4, "J", "K", "L"));
    first[3].path = "/music/\xff.mp3";  // a file name in Windows-1252, kept as it is
    ASSERT_TRUE(one->SyncItems(first));
    ASSERT_EQ(first.size(), 4u);
    std::vector<ItemRecord> second = {FakeItem(2, "D", "E", "F"), FakeItem(1, "A", "B", "C")};
    ASSERT_TRUE(two->SyncItems(second));
    EXPECT_EQ(second[0].id, first[1].id);
    EXPECT_EQ(second[1].id, first[0].id);
    const std::vector<ItemRecord> items = one->LoadItems();
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[2].artist, "Caf\xc3\xa9");
    EXPECT_FALSE(items[2].present);
    EXPECT_EQ(items[3].path, "/music/\xff.mp3");
    EXPECT_EQ(items[3].id, first[3].id);
    EXPECT_FALSE(items[3].present);
    EXPECT_TRUE(items[0].present && items[1].present);
    EXPECT_EQ(items[1].path, "/music/2.mp3");
    EXPECT_EQ(items[1].fileSize, 1002);
    EXPECT_TRUE(one->MarkMissing(items[0].id));
    EXPECT_FALSE(two->LoadItems()[0].present);

    // Ratings are upserted; one listener's records come back with the recent
    // items oldest first and only the last ones asked for.
    const std::int32_t a = first[0].id, b = first[1].id, c = first[2].id;
    ASSERT_TRUE(one->StoreRatings(1, {{a, 5}, {b, 2}}));
    ASSERT_TRUE(two->StoreRatings(1, {{b, 4}}));
    ASSERT_TRUE(two->StoreRatings(3, {{c, 1}}));
    EXPECT_FALSE(two->StoreRatings(1, {{99999, 3}}));  // no such item: refused, nothing half-stored
    const std::vector<RatingRecord> all = one->LoadRatings();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1].item, b);
    EXPECT_EQ(all[1].value, 4);
    ASSERT_TRUE(one->AppendRecent({{1, c}, {1, b}, {3, a}}));
    ASSERT_TRUE(two->AppendRecent({{1, a}}));
    ListenerRecords records;
    ASSERT_TRUE(two->LoadListener(1, 2, records));
    std::sort(records.ratings.begin(), records.ratings.end());
    EXPECT_EQ(records.ratings, (std::vector<std::pair<std::int32_t, std::int32_t>>{{a, 5}, {b, 4}}));
    EXPECT_EQ(records.recent, (std::vector<std::int32_t>{b, a}));
    EXPECT_EQ(two->LoadRecent(1).size(), 2u);  // a of listener 1, a of listener 3
    ASSERT_TRUE(one->PruneRecent(1));
    const std::vector<RecentRecord> recent = two->LoadRecent(10);
    ASSERT_EQ(recent.size(), 2u);
    EXPECT_EQ(recent[0].listener, 3);
    EXPECT_EQ(recent[1].item, a);

    // What was learnt from a file is replaced by what a station learns from
    // it later, to the hundredth of a dB, and only for items the store knows.
    MediaFactsRecord facts{a, 1001, 5, LoudnessSource::Measured, -9.87, -0.42, std::string(32, 'c')};
    ASSERT_TRUE(one->StoreMediaFacts(facts));
    facts = {a, 2002, 6, LoudnessSource::Tags, -21.5, 1.25, ""};
    ASSERT_TRUE(two->StoreMediaFacts(facts));
    EXPECT_FALSE(two->StoreMediaFacts({99999, 1, 1, LoudnessSource::None, 0, 0, ""}));
    EXPECT_EQ(one->LoadMediaFacts(), std::vector<MediaFactsRecord>{facts});
}

// Stations sharing the server hand out the same page token for a listener and
// find the listener by it; a database of version 1 is migrated, keeping its
// rows, its items' ids and paths; a reason in another encoding than UTF-8 is
// kept readable.
TEST(PostgresStoreTest, ScanUpdatesChangeOnlyWhatTheyName) {
    PgCluster cluster;
    REQUIRE_CLUSTER(cluster);
    std::string error;
    std::unique_ptr<PostgresStore> store = PostgresStore::Open(cluster.Url(), error);
    ASSERT_TRUE(store) << error;
    ExpectScanUpdatesChangeOnlyWhatTheyName(*store);
}

TEST(PostgresStoreTest, PageTokensAndReasonsAreSharedAndMigrated) {
    PgCluster cluster;
    REQUIRE_CLUSTER(cluster);
    std::string error;
    std::unique_ptr<PostgresStore> one = PostgresStore::Open(cluster.Url(), error);
    ASSERT_TRUE(one) << error;
    std::vector<ItemRecord> items = {FakeItem(1, "A", "B", "C"), FakeItem(2, "D", "E", "F")};
    items[1].path = "/music/Caf\xc3\xa9 \xe2\x82\xac.mp3";
    ASSERT_TRUE(one->SyncItems(items));
    ASSERT_EQ(one->NewListener(), 1);
    ASSERT_TRUE(one->AppendRecent({{1, items[0].id, "old"}}));
    one->Close();
    // Back to version 1: one item per path, paths as text, its recent table, one row per item.
    ASSERT_TRUE(cluster.Sql("ALTER TABLE items DROP COLUMN format, DROP COLUMN bitrate, DROP COLUMN content, "
                            "DROP COLUMN print_hash; DROP INDEX items_by_path; DROP TABLE files; DROP TABLE prints; "
                            "ALTER TABLE items ALTER COLUMN path TYPE text USING convert_from(path, 'UTF8'); "
                            "ALTER TABLE items ADD UNIQUE (path); "
                            "DROP TABLE listener_tokens; DROP TABLE recent_sets; DROP TABLE media_facts; "
                            "CREATE TABLE recent(seq bigserial PRIMARY KEY, listener integer NOT NULL, "
                            "item integer NOT NULL); INSERT INTO recent(listener, item) VALUES(1, " +
                            std::to_string(items[0].id) + "); DELETE FROM schema_version WHERE version >= 2"));

    one = PostgresStore::Open(cluster.Url(), error);
    ASSERT_TRUE(one) << error;
    std::unique_ptr<PostgresStore> two = PostgresStore::Open(cluster.Url(), error);
    ASSERT_TRUE(two) << error;
    const std::vector<ItemRecord> migrated = two->LoadItems();
    ASSERT_EQ(migrated.size(), 2u);
    EXPECT_EQ(std::make_pair(migrated[1].id, migrated[1].path), std::make_pair(items[1].id, items[1].path));
    std::vector<ItemRecord> again = {items[1], items[0]};
    again[0].id = 0;
    again[1].content = 0x8000000000000001ull;  // a key above INT64_MAX, given to the item of that id
    ASSERT_TRUE(one->SyncItems(again));
    EXPECT_EQ(again[0].id, items[1].id) << "the same path after the migration is the same item";
    EXPECT_EQ(again[1].id, items[0].id);
    // Known by its key from now on, wherever its file lies; a new key is a new item.
    again = {items[0], FakeItem(3, "G", "H", "I")};
    again[0].id = 0;
    again[0].content = 0x8000000000000001ull;
    again[0].path = "/moved/1.flac";
    again[1].content = 42;
    ASSERT_TRUE(two->SyncItems(again));
    EXPECT_EQ(again[0].id, items[0].id);
    EXPECT_GT(again[1].id, items[1].id);
    const std::vector<ItemRecord> keyed = one->LoadItems();
    ASSERT_EQ(keyed.size(), 3u);
    EXPECT_EQ(keyed[0].path, "/moved/1.flac");
    EXPECT_EQ(keyed[0].content, 0x8000000000000001ull);
    EXPECT_FALSE(keyed[1].present);
    EXPECT_EQ(one->WhyRecommended(1, items[0].id), "");
    EXPECT_EQ(two->LoadRecent(5).size(), 1u);
    const std::string token = one->TokenOf(1);
    EXPECT_TRUE(ListenerToken::IsWellFormed(token)) << token;
    EXPECT_EQ(two->TokenOf(1), token);
    EXPECT_EQ(two->ListenerOfToken(token), 1);
    std::string wrong = token;
    wrong.back() = wrong.back() == '0' ? '1' : '0';
    EXPECT_EQ(two->ListenerOfToken(wrong), 0);
    EXPECT_EQ(two->ListenerOfToken("1"), 0);
    EXPECT_EQ(two->TokenOf(5), "");

    ASSERT_TRUE(one->AppendRecent({{1, items[0].id, "Because you like Caf\xe9"}}));
    EXPECT_EQ(two->WhyRecommended(1, items[0].id), "Because you like Caf\xc3\xa9");
    ASSERT_TRUE(one->StoreRatings(1, {{items[0].id, 4}}));
    std::vector<RatedItem> history;
    ASSERT_TRUE(two->LoadRatingHistory(1, history));
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].value, 4);
    EXPECT_GT(history[0].updated, 0);
}

TEST(PostgresStoreTest, ANewerSchemaIsRefusedAndALostServerIsFoundAgain) {
    PgCluster cluster;
    REQUIRE_CLUSTER(cluster);
    std::string error;
    std::unique_ptr<PostgresStore> store = PostgresStore::Open(cluster.Url(), error);
    ASSERT_TRUE(store) << error;
    std::vector<ItemRecord> items = {FakeItem(1, "A", "B", "C")};
    ASSERT_TRUE(store->SyncItems(items));
    const std::int32_t listener = store->NewListener();
    ASSERT_EQ(listener, 1);

    // Stopped: calls fail, each within the 2 s budget.
    ASSERT_TRUE(cluster.Stop());
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto start = steady_clock::now();
        EXPECT_FALSE(store->StoreRatings(listener, {{items[0].id, 4}}));
        EXPECT_EQ(store->NewListener(), 0);
        EXPECT_LT(steady_clock::now() - start, milliseconds(4500));
    }
    // Back: the same store goes on without being reopened (after the pause
    // between attempts to reach it).
    ASSERT_TRUE(cluster.Start());
    bool stored = false;
    for (int attempt = 0; attempt < 40 && !stored; ++attempt) {
        stored = store->StoreRatings(listener, {{items[0].id, 4}});
        if (!stored) ::usleep(100000);
    }
    EXPECT_TRUE(stored);
    EXPECT_EQ(store->LoadRatings().size(), 1u);

    ASSERT_TRUE(cluster.Sql("UPDATE schema_version SET version = " + std::to_string(kStoreSchemaVersion + 1)));
    EXPECT_FALSE(PostgresStore::Open(cluster.Url(), error));
    EXPECT_NE(error.find("newer schema"), std::string::npos) << error;
}

// Holds a table locked from a session of its own, so that the store's next
// statement on it stays in flight until Release.
class TableLock {
public:
    TableLock(const PgCluster& cluster, const std::string& table) : session_(cluster.Url()) {
        std::string error;
        locked_ = session_.Connect(Soon(), error) &&
                  session_.Exec("BEGIN; LOCK TABLE " + table + " IN ACCESS EXCLUSIVE MODE", Soon()).Ok();
    }
    bool Locked() const { return locked_; }
    // Statements of other sessions that wait for the lock now.
    int Awaited() { return session_.Exec("SELECT 1 FROM pg_locks WHERE NOT granted", Soon()).Rows(); }
    void Release() { session_.Exec("COMMIT", Soon()); }

private:
    static PgConnection::Deadline Soon() { return steady_clock::now() + std::chrono::seconds(5); }
    PgConnection session_;
    bool locked_ = false;
};

// Waits up to `limit` for `done`; false when it did not come.
template <typename Done>
bool WaitFor(Done done, milliseconds limit) {
    for (const auto end = steady_clock::now() + limit; !done() && steady_clock::now() < end;) {
        ::usleep(2000);
    }
    return done();
}

// Requests under way at once share a round trip: while the table is locked
// as many go alone as the store has round trips in flight, the calls that
// come meanwhile all go in the next one and get what each would have got
// alone (the rows of its own listener, one recent set per answer even for
// one listener's two answers); a statement failure among them (a refused
// answer) fails only the call it concerns.
TEST(PostgresStoreTest, CallsThatComeTogetherShareARoundTripAndFailAlone) {
    PgCluster cluster;
    REQUIRE_CLUSTER(cluster);
    std::string error;
    std::unique_ptr<PostgresStore> store = PostgresStore::Open(cluster.Url(), error);
    ASSERT_TRUE(store) << error;
    std::vector<ItemRecord> items;
    for (int n = 1; n <= 8; ++n) items.push_back(FakeItem(n, "A", "B", "C"));
    ASSERT_TRUE(store->SyncItems(items));
    const auto item = [&](int n) { return items[static_cast<std::size_t>(n - 1)].id; };
    for (int l = 1; l <= 3; ++l) {
        ASSERT_EQ(store->NewListener(), l);
        ASSERT_TRUE(store->StoreRatings(l, {{item(l + 1), l}}));
    }
    // Listener 4's answers cannot be stored.
    ASSERT_TRUE(cluster.Sql(
        "CREATE FUNCTION refuse_four() RETURNS trigger AS $$ BEGIN IF NEW.listener = 4 THEN "
        "RAISE EXCEPTION 'refused'; END IF; RETURN NEW; END $$ LANGUAGE plpgsql; "
        "CREATE TRIGGER refuse_four BEFORE INSERT ON recent_sets FOR EACH ROW EXECUTE FUNCTION refuse_four()"));

    // The first calls fill every round trip in flight (listeners 10 and up),
    // three queue behind them, in any order; then all go. `call(k)` makes the k-th.
    constexpr int kAlone = PostgresStore::kRoundTripsInFlight;
    // False when the machine was too slow for that: the calls in flight give
    // up after the store's lock time-out (1.5 s), so the lock must be let go
    // well before, or what came of them says nothing.
    const auto together = [&](const char* table, auto counts, const std::function<void(int)>& call) {
        const GroupedCallCounts before = counts();
        TableLock lock(cluster, table);
        EXPECT_TRUE(lock.Locked());
        std::vector<std::thread> calls;
        const auto start = steady_clock::now();
        for (int k = 0; k < kAlone; ++k) calls.emplace_back(call, k);
        const bool inFlight = WaitFor([&] { return lock.Awaited() == kAlone; }, milliseconds(1000));
        for (int k = kAlone; k < kAlone + 3; ++k) calls.emplace_back(call, k);
        const bool queued = WaitFor([&] { return counts().waiting == 3; }, milliseconds(1000));
        const auto held = steady_clock::now() - start;
        lock.Release();
        for (std::thread& thread : calls) thread.join();
        if (held > milliseconds(1000)) {
            return false;
        }
        EXPECT_TRUE(lock.Locked() && inFlight && queued);
        EXPECT_EQ(counts().roundTrips - before.roundTrips, kAlone + 1u);
        EXPECT_EQ(counts().calls - before.calls, kAlone + 3u);
        return true;
    };
    const char* const kTooSlow = "the calls could not be held together within the lock time-out on this machine now";

    const std::vector<std::vector<RecentRecord>> behind = {
        {{1, item(1), "one"}, {1, item(2), "two"}}, {{1, item(4)}}, {{2, item(3)}},
        {{4, item(5), "five"}}, {{1, item(6), "six"}}, {{3, item(7)}},
    };
    std::vector<int> appended(2 * (kAlone + 3), -1);
    for (int round = 0; round < 2; ++round) {
        if (!together("recent_sets", [&] { return store->Grouped().appends; }, [&](int k) {
                const std::vector<RecentRecord> alone = {{10 + k, item(1 + round)}};
                appended[static_cast<std::size_t>(round * (kAlone + 3) + k)] = store->AppendRecent(
                    k < kAlone ? alone : behind[static_cast<std::size_t>(round * 3 + k - kAlone)]);
            })) {
            GTEST_SKIP() << kTooSlow;
        }
    }
    EXPECT_EQ(std::count(appended.begin(), appended.end(), 1), 2 * kAlone + 5);
    EXPECT_EQ(appended[static_cast<std::size_t>(2 * kAlone + 3)], 0);
    EXPECT_EQ(cluster.Query("SELECT listener, cardinality(items) FROM recent_sets WHERE listener < 10 "
                            "ORDER BY listener, cardinality(items) DESC"),
              "1|2\n1|1\n1|1\n2|1\n3|1\n");
    EXPECT_EQ(cluster.Query("SELECT count(*) FROM recent_sets WHERE listener >= 10"), std::to_string(2 * kAlone) + "\n");

    const std::int32_t asked[3] = {1, 2, 1};
    std::vector<ListenerRecords> loaded(kAlone + 3);
    std::vector<int> read(kAlone + 3, -1);
    if (!together("ratings", [&] { return store->Grouped().loads; }, [&](int k) {
            read[static_cast<std::size_t>(k)] = store->LoadListener(k < kAlone ? 10 + k : asked[k - kAlone],
                                                                    k == kAlone + 2 ? 1 : 5,
                                                                    loaded[static_cast<std::size_t>(k)]);
        })) {
        GTEST_SKIP() << kTooSlow;
    }
    EXPECT_EQ(std::count(read.begin(), read.end(), 1), kAlone + 3);
    using Ratings = std::vector<std::pair<std::int32_t, std::int32_t>>;
    const ListenerRecords* mine = &loaded[kAlone];
    EXPECT_EQ(mine[0].ratings, (Ratings{{item(2), 1}}));
    // Listener 1's first two answers went in one round trip, in either order.
    std::vector<std::int32_t> recent = mine[0].recent;
    ASSERT_EQ(recent.size(), 4u);
    EXPECT_TRUE(recent == (std::vector<std::int32_t>{item(1), item(2), item(4), item(6)}) ||
                recent == (std::vector<std::int32_t>{item(4), item(1), item(2), item(6)}));
    EXPECT_EQ(mine[1].ratings, (Ratings{{item(3), 2}}));
    EXPECT_EQ(mine[1].recent, (std::vector<std::int32_t>{item(3)}));
    EXPECT_EQ(mine[2].ratings, mine[0].ratings);
    EXPECT_EQ(mine[2].recent, (std::vector<std::int32_t>{item(6)}));
    EXPECT_EQ(loaded[0].recent, (std::vector<std::int32_t>{item(1), item(2)}));
    // The same alone.
    ListenerRecords alone;
    ASSERT_TRUE(store->LoadListener(1, 5, alone));
    EXPECT_EQ(alone.recent, mine[0].recent);
    EXPECT_EQ(alone.ratings, mine[0].ratings);
}

// A server that accepts the connection but never answers: connecting gives up
// at the deadline instead of waiting for the server.
TEST(PostgresStoreTest, AServerThatNeverAnswersCostsNoMoreThanTheDeadline) {
    vorn::test::TempDir dir;
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = dir / ".s.PGSQL.5432";
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 8), 0);

    PgConnection connection("postgresql:///postgres?host=" + dir.Path() + "&user=vorn");
    std::string error;
    auto start = steady_clock::now();
    EXPECT_FALSE(connection.Connect(start + milliseconds(300), error));
    EXPECT_LT(steady_clock::now() - start, milliseconds(1500));
    EXPECT_NE(error.find("no answer in time"), std::string::npos) << error;
    EXPECT_FALSE(connection.Connected());

    start = steady_clock::now();
    EXPECT_FALSE(PostgresStore::Open("postgresql:///postgres?host=" + dir.Path() + "&user=vorn", error));
    EXPECT_LT(steady_clock::now() - start, milliseconds(3000));
    EXPECT_NE(error.find("cannot connect"), std::string::npos) << error;
    ::close(listener);
}

}  // namespace
}  // namespace vorn::station::test
