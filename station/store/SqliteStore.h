#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "station/store/RecentSet.h"
#include "station/store/SqliteDatabase.h"
#include "station/store/StationStore.h"

namespace vorn::station {

// The store of one station: one SQLite file in WAL mode.
//
// Durability: the connection runs with synchronous=FULL, so every committed
// transaction (a new listener, a set of ratings) has been written through to
// disk, WAL included, before the call returns; the station answers only after
// that, so neither a crash of the station nor of the machine loses an
// acknowledged listener id or rating. Recent recommendations are written in
// batches and may lose their last moments in a crash, which only means an item
// could be recommended again a little sooner.
//
// All operations are serialised.
class SqliteStore final : public StationStore {
public:
    SqliteStore() = default;
    ~SqliteStore() override;

    // Opens (creating when needed) the database file and brings its schema up to
    // date; false on failure, with the reason in `error` when given (a file of
    // a newer station among them).
    bool Open(const std::string& path, std::string* error = nullptr);
    void Close() override;
    bool Answers(std::string& why) override;
    bool Shared() const override { return false; }

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

private:
    // Reads setsOf_ from the table unless it is listed already.
    bool ListSets();
    // Calls visit(set) for the listener's recent sets, newest first, while it
    // returns true; false when the table could not be read.
    bool VisitNewestSets(std::int32_t listener,
                         const std::function<bool(const std::vector<RecentSet::Entry>&)>& visit);
    bool InTransaction(const std::function<bool()>& work);
    // Stores one item as a scan found it and fills in its id; in a transaction, mutex_ held.
    bool WriteItem(ItemRecord& item);
    bool Migrate(const std::string& path, std::string& error);

    std::mutex mutex_;  // guards db_ and every statement below
    SqliteDatabase db_;
    SqliteStatement newListener_;
    SqliteStatement ensureListener_;
    SqliteStatement upsertRating_;
    SqliteStatement upsertItem_;   // a new item, or the one of its content key
    SqliteStatement updateItem_;   // the item of a given id
    SqliteStatement itemOfPath_;   // the item without a content key last found at a path
    SqliteStatement appendRecent_;
    SqliteStatement setBySeq_;
    // Each listener's recent sets (their seq), oldest first, once listed. The
    // table keeps no index by listener: its upkeep dirtied a page of its own
    // for almost every answer written, several times the cost of the row
    // itself. Listed when first needed (an item page, a shared read), and
    // again after a prune, so neither the start nor the writer pays for it.
    std::unordered_map<std::int32_t, std::vector<std::int64_t>> setsOf_;
    bool setsListed_ = false;
};

}  // namespace vorn::station
