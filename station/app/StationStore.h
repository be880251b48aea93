#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "station/app/SqliteDatabase.h"

namespace vorn::station {

// One media file of the catalogue as the store keeps it. The id is handed out
// once per file path and never changes or gets reused.
struct ItemRecord {
    std::int32_t id = 0;
    std::string path;  // absolute path of the file
    std::string artist;
    std::string title;
    std::string album;
    std::string genre;
    std::int32_t lengthSeconds = 0;
    std::int64_t fileSize = 0;
    std::int64_t modified = 0;  // modification time, nanoseconds since the epoch
    bool present = true;        // false once the file was not found by a scan
};

struct RatingRecord {
    std::int32_t listener = 0;
    std::int32_t item = 0;
    std::int32_t value = 0;
};

struct RecentRecord {
    std::int32_t listener = 0;
    std::int32_t item = 0;
};

// The station's database: listeners, catalogue items, ratings and the items
// recently recommended to each listener, in one SQLite file in WAL mode.
//
// Durability: the connection runs with synchronous=FULL, so every committed
// transaction (a new listener, a set of ratings) has been written through to
// disk, WAL included, before the call returns; the station answers only after
// that, so neither a crash of the station nor of the machine loses an
// acknowledged listener id or rating. Recent recommendations are written in
// batches and may lose their last moments in a crash, which only means an item
// could be recommended again a little sooner.
//
// All operations are safe to call from several threads; they are serialised.
class StationStore {
public:
    StationStore() = default;
    StationStore(const StationStore&) = delete;
    StationStore& operator=(const StationStore&) = delete;

    // Opens (creating when needed) the database file; false on failure.
    bool Open(const std::string& path);
    void Close();

    // A new listener id (1 or more), or 0 when it could not be stored.
    std::int32_t NewListener();
    // Records a listener id that a client already holds (a station whose data
    // folder was replaced); true when the id is known afterwards.
    bool EnsureListener(std::int32_t id);
    std::vector<std::int32_t> Listeners();

    // Stores (listener, item) → value for every pair in one transaction,
    // replacing earlier ratings of the same items. True once committed.
    bool StoreRatings(std::int32_t listener, const std::vector<std::pair<std::int32_t, std::int32_t>>& ratings);
    std::vector<RatingRecord> LoadRatings();

    // Brings the items table in line with a scan: every record in `found` gets
    // the id of its path (a new id for a new path), tags and file facts are
    // updated, and every other item is marked not present. One transaction.
    bool SyncItems(std::vector<ItemRecord>& found);
    bool MarkMissing(std::int32_t id);
    std::vector<ItemRecord> LoadItems();

    bool AppendRecent(const std::vector<RecentRecord>& records);
    // The last `perListener` records of every listener, oldest first.
    std::vector<RecentRecord> LoadRecent(int perListener);
    // Deletes all but the last `perListener` records of every listener.
    bool PruneRecent(int perListener);

private:
    bool InTransaction(const std::function<bool()>& work);

    std::mutex mutex_;  // guards db_ and every statement below
    SqliteDatabase db_;
    SqliteStatement newListener_;
    SqliteStatement ensureListener_;
    SqliteStatement upsertRating_;
    SqliteStatement upsertItem_;
    SqliteStatement appendRecent_;
};

}  // namespace vorn::station
