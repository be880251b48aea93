#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vorn::station {

// The layout of the station's tables. A store made by a newer station has a
// higher number and is refused: this station would not know what it means.
// Version 2 added the listeners' page tokens and the reason kept with each
// recent recommendation; version 3 keeps the recent recommendations one row
// per answer; version 4 keeps paths as their bytes (PostgreSQL); version 5 is
// reserved for the items' content identity; version 6 keeps what was learnt
// from each item's file (MediaFactsRecord).
inline constexpr int kStoreSchemaVersion = 6;

// One media file of the catalogue as the store keeps it. The id is handed out
// once per file path and never changes or gets reused.
struct ItemRecord {
    std::int32_t id = 0;
    std::string path;  // absolute path of the file, its bytes as the file system gives them
    std::string artist;
    std::string title;
    std::string album;
    std::string genre;
    std::int32_t lengthSeconds = 0;
    std::int64_t fileSize = 0;
    std::int64_t modified = 0;  // modification time, nanoseconds since the epoch
    bool present = true;        // false once the file was not found by a scan
};

// Where an item's loudness came from.
enum class LoudnessSource : std::int32_t {
    None = 0,      // not known: the file could not be decoded (or was silent)
    Measured = 1,  // EBU R128 integrated loudness and true peak of the decoded audio
    Tags = 2,      // the file's ReplayGain track gain and peak
};

// The source a store keeps as a number; anything unknown is None.
inline LoudnessSource LoudnessSourceOf(std::int64_t stored) {
    return stored == 1 ? LoudnessSource::Measured : stored == 2 ? LoudnessSource::Tags : LoudnessSource::None;
}

// What the station learnt from an item's file besides its tags, worked out
// once in the background: its loudness and the key of its picture in the art
// cache. Kept with the file's size and time when it was worked out, so that a
// changed file is looked at again.
struct MediaFactsRecord {
    std::int32_t item = 0;
    std::int64_t fileSize = 0;
    std::int64_t modified = 0;
    LoudnessSource loudnessFrom = LoudnessSource::None;
    double integratedLufs = 0;  // meaningful unless loudnessFrom is None
    double truePeakDbtp = 0;
    std::string art;  // the picture's key (ArtCache), "" when the item has none

    friend bool operator==(const MediaFactsRecord&, const MediaFactsRecord&) = default;
};

struct RatingRecord {
    std::int32_t listener = 0;
    std::int32_t item = 0;
    std::int32_t value = 0;
};

struct RecentRecord {
    std::int32_t listener = 0;
    std::int32_t item = 0;
    std::string why;  // what made the recommender pick the item, as the listener was told
};

// One rating of a listener with the time it was last given.
struct RatedItem {
    std::int32_t item = 0;
    std::int32_t value = 0;
    std::int64_t updated = 0;  // seconds since the epoch
};

// What the store knows of one listener: ratings (item id, value) and the items
// recommended last, oldest first.
struct ListenerRecords {
    std::vector<std::pair<std::int32_t, std::int32_t>> ratings;
    std::vector<std::int32_t> recent;
};

// The station's database: listeners, catalogue items, ratings and the items
// recently recommended to each listener. SqliteStore keeps them in a file of
// the data folder for one station; PostgresStore in a server that several
// stations share.
//
// Every call reports failure as a result (false, 0 or an empty list) after a
// log line, and never throws. A call that returns true has committed: an
// acknowledged listener id or rating survives a crash of the station. All
// operations are safe to call from several threads.
class StationStore {
public:
    StationStore() = default;
    virtual ~StationStore() = default;
    StationStore(const StationStore&) = delete;
    StationStore& operator=(const StationStore&) = delete;

    virtual void Close() = 0;
    // True when other stations write to the same store at the same time: a
    // listener's ratings and recent recommendations are then read from the
    // store for every request and recommendations are written at once, since
    // the listener's previous request may have gone to another station.
    virtual bool Shared() const = 0;

    // A new listener id (1 or more), or 0 when it could not be stored.
    virtual std::int32_t NewListener() = 0;
    // Records a listener id that a client already holds (a station whose data
    // was replaced, or another station's listener); true when the id is known
    // afterwards. Ids handed out later never collide with it.
    virtual bool EnsureListener(std::int32_t id) = 0;
    virtual std::vector<std::int32_t> Listeners() = 0;

    // Stores (listener, item) → value for every pair at once, replacing earlier
    // ratings of the same items. True once committed.
    virtual bool StoreRatings(std::int32_t listener,
                              const std::vector<std::pair<std::int32_t, std::int32_t>>& ratings) = 0;
    virtual std::vector<RatingRecord> LoadRatings() = 0;

    // Brings the items table in line with a scan: every record in `found` gets
    // the id of its path (a new id for a new path), tags and file facts are
    // updated, and every other item is marked not present. One transaction.
    virtual bool SyncItems(std::vector<ItemRecord>& found) = 0;
    virtual bool MarkMissing(std::int32_t id) = 0;
    virtual std::vector<ItemRecord> LoadItems() = 0;

    virtual bool AppendRecent(const std::vector<RecentRecord>& records) = 0;
    // The last `perListener` records of every listener, oldest first.
    virtual std::vector<RecentRecord> LoadRecent(int perListener) = 0;
    // Deletes all but the last `perListener` records of every listener.
    virtual bool PruneRecent(int perListener) = 0;

    // One listener's ratings and last `recentCount` recommendations; false
    // when they could not be read.
    virtual bool LoadListener(std::int32_t listener, int recentCount, ListenerRecords& out) = 0;

    // The token of the listener's page link (ListenerToken), made and stored
    // the first time it is asked for, so listeners from before tokens and
    // adopted ids get one too; the same from every station sharing the store.
    // "" when the listener is unknown or the store failed.
    virtual std::string TokenOf(std::int32_t listener) = 0;
    // The listener whose token this is, or 0. Looks up by the token's
    // LookupKey and compares the stored token in constant time, whatever the
    // text given (well-formed or not), so the time taken does not tell how
    // much of a guess was right.
    virtual std::int32_t ListenerOfToken(const std::string& token) = 0;
    // Every rating of the listener, last given first; false when they could
    // not be read.
    virtual bool LoadRatingHistory(std::int32_t listener, std::vector<RatedItem>& out) = 0;
    // The reason kept with the listener's latest recent recommendation of the
    // item, or "" when there is none.
    virtual std::string WhyRecommended(std::int32_t listener, std::int32_t item) = 0;

    // Stores what was learnt from an item's file, replacing what was kept for
    // it before. True once committed.
    virtual bool StoreMediaFacts(const MediaFactsRecord& facts) = 0;
    // Everything kept so far, every item's once (an empty list also when the
    // store failed, after a log line).
    virtual std::vector<MediaFactsRecord> LoadMediaFacts() = 0;
};

}  // namespace vorn::station
