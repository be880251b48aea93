#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "station/store/SharedText.h"

namespace vorn::station {

// The layout of the station's tables. A store made by a newer station has a
// higher number and is refused: this station would not know what it means.
// Version 2 added the listeners' page tokens and the reason kept with each
// recent recommendation; version 3 keeps the recent recommendations one row
// per answer; version 4 keeps paths as their bytes (PostgreSQL); version 5
// knows items by their sound: each item's format and content key, its sound
// print, and every file of the music folder with what its last scan found;
// version 6 keeps what was learnt from each item's file (MediaFactsRecord).
inline constexpr int kStoreSchemaVersion = 6;

// One recording of the catalogue as the store keeps it, with the file it is
// served from. The id is handed out once per recording (its content key, or
// for a record without one its path) and never changes or gets reused.
struct ItemRecord {
    std::int32_t id = 0;
    std::string path;  // absolute path of the file, its bytes as the file system gives them
    // Names that recur from item to item are shared (SharedText); the
    // title, like the path, is each item's own.
    SharedText artist;
    std::string title;
    SharedText album;
    SharedText genre;
    std::int32_t lengthSeconds = 0;
    std::int64_t fileSize = 0;
    std::int64_t modified = 0;  // modification time, nanoseconds since the epoch
    bool present = true;        // false once the file was not found by a scan
    SharedText format;          // of the file: "mp3", "flac", "ogg" (Vorbis), "opus", "wav", "m4a", "wv", ...
    std::int32_t bitrate = 0;   // of the file, kbit/s; 0 when unknown
    // What the item is known by: the content key of the first file it was
    // found as (ContentPrint), 0 for items of an earlier station not found
    // again yet and for records that tools bring.
    std::uint64_t content = 0;
    std::uint32_t printHash = 0;  // similarity hash of its sound print; 0 without one

    friend bool operator==(const ItemRecord&, const ItemRecord&) = default;
};

// Why a scan does not offer a file of the music folder.
enum class SkipReason : std::int32_t {
    None = 0,        // playable
    Unreadable = 1,  // cannot be read, or damaged where its audio should be
    NotAudio = 2,    // named as audio, but no audio format the station knows
    NoDecoder = 3,   // audio that no installed GStreamer plug-in decodes
};

// One file of the music folder as its last scan judged it, so that a scan
// reads only files whose size or modification time changed.
struct FileRecord {
    std::string path;
    std::int64_t fileSize = 0;
    std::int64_t modified = 0;
    SkipReason skipped = SkipReason::None;
    std::int32_t item = 0;  // the item it is a file of; 0 when skipped
    std::string format;
    std::int32_t bitrate = 0;
    std::uint64_t content = 0;  // the content key of its own sound

    friend bool operator==(const FileRecord&, const FileRecord&) = default;
};

// The sound print of the sound whose content key this is (ContentPrint):
// what a file of the same recording in another format or quality is
// recognised by.
struct SoundPrint {
    std::uint64_t content = 0;
    std::vector<std::uint32_t> print;
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
    // True when the store answers a trivial query now; `why` says what failed
    // otherwise. Waits a second at most and logs nothing, so a health check
    // may ask as often as it likes.
    virtual bool Answers(std::string& why) = 0;
    // The store's database connections: how many it keeps, how many are lent
    // out now, and how many times a caller found none free and waited. All
    // zero for a store without a pool.
    struct PoolUse {
        int size = 0;
        int inUse = 0;
        std::uint64_t waits = 0;
    };
    virtual PoolUse Pool() const { return {}; }
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

    // Brings the items table in line with a scan, in one transaction: every
    // record in `found` is present afterwards with its tags and file facts. A
    // record with an id updates that item (and gives it its content key when
    // it had none and no other item has it); one without an id gets the id of
    // its content key, or without a key the id of its path among the items
    // without one; a new id when there is none. Every other item is marked
    // not present. Fills in the ids.
    virtual bool SyncItems(std::vector<ItemRecord>& found) = 0;
    // What a scan changed, in one transaction: every record in `changed` is
    // stored as SyncItems stores it (and gets its id), the items in `gone`
    // are marked not present, and nothing else is written. Nothing changed
    // writes nothing.
    virtual bool UpdateItems(std::vector<ItemRecord>& changed, const std::vector<std::int32_t>& gone) = 0;
    virtual bool MarkMissing(std::int32_t id) = 0;
    virtual std::vector<ItemRecord> LoadItems() = 0;

    // What a scan found of the music folder's files, in one transaction: each
    // of `changed` replaces what the store knew of its path, and the files at
    // `removed` are forgotten.
    virtual bool UpdateFiles(const std::vector<FileRecord>& changed, const std::vector<std::string>& removed) = 0;
    virtual std::vector<FileRecord> LoadFiles() = 0;
    // Keeps sound prints, replacing earlier ones of the same content keys.
    virtual bool StorePrints(const std::vector<SoundPrint>& prints) = 0;
    // The prints of those of the content keys that have one; false when they
    // could not be read.
    virtual bool LoadPrints(const std::vector<std::uint64_t>& contents, std::vector<SoundPrint>& out) = 0;

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
