#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "station/store/GroupedCalls.h"
#include "station/store/PgConnectionPool.h"
#include "station/store/StationStore.h"

namespace vorn::station {

// The store in a PostgreSQL server that several stations share. Listener ids
// come from a sequence (an adopted id is skipped when the sequence reaches
// it); ratings are upserted in one statement, so a call that returned true has
// committed on the server; recent recommendations are read and written per
// listener, so that no station hands a listener what another just did.
//
// Waiting: what a request needs (listeners, ratings, one listener's records,
// recent recommendations) gives up after 2 s, connecting included; loading
// everything at start and storing a scan may take up to 20 s. A lost server is
// reported by each failing call and found again by itself when it is back.
class PostgresStore final : public StationStore {
public:
    // Connects with a libpq connection string or URI and creates or migrates
    // the schema; null with `error` set when the server cannot be reached or
    // holds a newer schema than this station knows.
    static std::unique_ptr<PostgresStore> Open(const std::string& connection, std::string& error);

    void Close() override;
    bool Answers(std::string& why) override;
    PoolUse Pool() const override;
    bool Shared() const override { return true; }

    std::int32_t NewListener() override;
    bool EnsureListener(std::int32_t id) override;
    std::vector<std::int32_t> Listeners() override;
    bool StoreRatings(std::int32_t listener,
                      const std::vector<std::pair<std::int32_t, std::int32_t>>& ratings) override;
    std::vector<RatingRecord> LoadRatings() override;
    bool SyncItems(std::vector<ItemRecord>& found) override;
    bool UpdateItems(std::vector<ItemRecord>& changed, const std::vector<std::int32_t>& gone) override;
    bool MarkMissing(std::int32_t id) override;
    std::vector<ItemRecord> LoadItems() override;
    bool UpdateFiles(const std::vector<FileRecord>& changed, const std::vector<std::string>& removed) override;
    std::vector<FileRecord> LoadFiles() override;
    bool StorePrints(const std::vector<SoundPrint>& prints) override;
    bool LoadPrints(const std::vector<std::uint64_t>& contents, std::vector<SoundPrint>& out) override;
    bool AppendRecent(const std::vector<RecentRecord>& records) override;
    std::vector<RecentRecord> LoadRecent(int perListener) override;
    bool PruneRecent(int perListener) override;
    bool LoadListener(std::int32_t listener, int recentCount, ListenerRecords& out) override;
    std::string TokenOf(std::int32_t listener) override;
    std::int32_t ListenerOfToken(const std::string& token) override;
    bool LoadRatingHistory(std::int32_t listener, std::vector<RatedItem>& out) override;
    std::string WhyRecommended(std::int32_t listener, std::int32_t item) override;
    bool StoreMediaFacts(const MediaFactsRecord& facts) override;
    std::vector<MediaFactsRecord> LoadMediaFacts() override;

    // Round trips of one kind (reading listeners' records, storing recent
    // recommendations) in flight at once, one a connection, as many as the
    // store keeps connections; calls that find them all under way go
    // together in the next one that comes back.
    static constexpr int kRoundTripsInFlight = 4;
    // The round trips that read listeners' records and stored recent
    // recommendations, and the calls they carried: requests under way at
    // once share them.
    struct Grouping {
        GroupedCallCounts loads;
        GroupedCallCounts appends;
    };
    Grouping Grouped();

private:
    struct ListenerLoad {
        std::int32_t listener = 0;
        int recentCount = 0;
        ListenerRecords* out = nullptr;
        PgConnection::Deadline deadline;
        bool ok = false;
    };
    struct RecentAppend {
        const std::vector<RecentRecord>* records = nullptr;
        PgConnection::Deadline deadline;
        bool ok = false;
    };
    // One statement for all the calls; `statementFailed`, when given, is
    // set when it failed while the connection held.
    bool ReadListeners(const std::vector<ListenerLoad*>& calls, bool* statementFailed);
    bool WriteRecent(const std::vector<RecentAppend*>& calls, bool* statementFailed);

    // Stores the records as a scan found them and fills in their ids; then
    // marks the items in `gone` not present, or without `gone` every item
    // not among the records.
    bool WriteItems(std::vector<ItemRecord>& found, const std::vector<std::int32_t>* gone);
    using Work = std::function<bool(PgConnection& connection, PgConnection::Deadline deadline, std::string& error)>;

    explicit PostgresStore(const std::string& connection);
    // Runs `work` on a connection within `budget`, once more on a fresh
    // connection when the first one turned out to be broken (the server
    // restarted since it was last used). Logs and returns false on failure.
    bool WithConnection(const char* what, std::chrono::milliseconds budget, const Work& work);
    bool WithConnection(const char* what, PgConnection::Deadline deadline, const Work& work);
    // `work` inside BEGIN ... COMMIT, with the server's statement timeout
    // raised to the bulk budget.
    bool InTransaction(const char* what, const Work& work);
    bool Migrate(std::string& error);

    std::unique_ptr<PgConnectionPool> pool_;
    GroupedCalls<ListenerLoad> loads_;
    GroupedCalls<RecentAppend> appends_;
};

}  // namespace vorn::station
