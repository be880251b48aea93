#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "station/catalogue/CatalogueSnapshot.h"
#include "station/catalogue/MusicFile.h"
#include "station/store/StationStore.h"

namespace vorn::station {

// What the catalogue serves and skips, for its summary line.
struct CatalogueTally {
    std::map<std::string, int> formats;  // playable items per format of the file served
    std::array<int, 4> skipped{};        // files per SkipReason (the first, None, stays 0)
    int copies = 0;                      // playable files beyond one per item

    // From what the store knows: its present items and its files.
    static CatalogueTally Of(const std::vector<ItemRecord>& items, const std::vector<FileRecord>& files);
    int Playable() const;
    int Skipped() const;
    // "58 playable items (ogg 56, flac 1, mp3 1); skipped 3 files (unreadable 1,
    // not audio 2, no decoder 0)", and "; 2 files are copies of other items"
    // when there are copies. Formats by count, most first.
    std::string Line() const;
};

// One scan of the music folder: which item each file is a file of, and which
// file each item is served from.
//
// A file whose size and modification time are those the store keeps is not
// read again: it is what it was. Any other file is inspected (MusicFile) and
// then known, in this order, as
// 1. the item of an earlier station last found at its path, for items from
//    before content keys;
// 2. the item of its content key: the same sound, wherever the file lies and
//    whatever its tags say (of a playing time within LengthSlack);
// 3. the item whose sound print is close to its own (ContentPrint): the same
//    recording in another format or quality. Only items of about the same
//    playing time whose print hashes differ in few bits are compared;
// 4. an item from before content keys whose file is gone, of the same size
//    and with the same title and artist or file name (a library moved while
//    the station was updated);
// 5. a new item, known from now on by the file's content key.
// Of an item's files the best is served: lossless before lossy, then the
// higher bitrate, then the one served so far.
class CatalogueScan {
public:
    CatalogueScan(StationStore& store, const CatalogueSnapshot& before, const std::vector<FileRecord>& files,
                  std::string musicDir);
    CatalogueScan(const CatalogueScan&) = delete;
    CatalogueScan& operator=(const CatalogueScan&) = delete;

    // A regular file below the music folder with an audio name.
    void Add(const std::string& path, std::int64_t size, std::int64_t modified);
    // A file that may still be being written: it stays what it was when the
    // store last knew it, and is left out when the store knew nothing of it.
    void Keep(const std::string& path);
    // Items whose entry in `before` is not what the store holds: `recoded`,
    // whose texts were made UTF-8 for showing (this scan stores them so), and
    // `heldOut`, kept out as unplayable while the store has them present.
    void NotAsStored(const std::vector<std::int32_t>& recoded, const std::vector<std::int32_t>& heldOut);
    // Stores the new prints and what changed of the items and the files
    // since `before` and the store's files; false when the store failed (the
    // items' part is one transaction). A scan that found everything as it
    // was writes nothing.
    bool Store();
    // True when Store changed the store's items: `before` is out of date.
    bool ItemsChanged() const { return itemsChanged_; }
    const CatalogueTally& Tally() const { return tally_; }

private:
    // An item a file may turn out to be a file of: known before the scan or made by it.
    struct Known {
        std::int32_t id = 0;  // 0 for an item this scan made
        std::uint64_t content = 0;
        std::uint32_t printHash = 0;
        std::int32_t seconds = 0;
        std::size_t group = kNone;  // its group once a file of this scan is in it
    };
    // An item with files in this scan.
    struct Group {
        std::size_t known = 0;
        std::size_t best = kNone;           // into files_
        std::unique_ptr<ItemRecord> tags;  // the best file's, when this scan read them
    };
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    void Place(MusicFile& music);
    std::size_t Resolve(MusicFile& music);
    std::size_t ByPrint(const MusicFile& music);
    std::size_t ByOldFacts(const MusicFile& music);
    std::size_t AddKnown(Known known, const std::vector<std::uint32_t>* print);
    // Gives an item from before content keys the key and print of its file,
    // unless another item has that key.
    void GiveKey(std::size_t known, const MusicFile& music);
    std::size_t GroupOf(std::size_t known);
    void Offer(std::size_t group, std::size_t file, const ItemRecord* tags);
    bool FlushPrints();
    ItemRecord RecordOf(const Group& group) const;
    // True when the store holds the record as it is.
    bool AsStored(const ItemRecord& record) const;
    // The file records of files_ that differ from the store's, and the paths
    // the store knows that this scan did not find.
    void ChangedFiles(std::vector<FileRecord>& changed, std::vector<std::string>& removed) const;

    StationStore& store_;
    const CatalogueSnapshot& before_;
    const std::string musicDir_;
    // The store's files by path, and whether this scan found the path.
    struct Cached {
        const FileRecord* file = nullptr;
        bool seen = false;
    };
    std::unordered_map<std::string_view, Cached> cached_;  // keys: the paths of the store's files
    std::unordered_set<std::int32_t> recoded_;
    std::unordered_set<std::int32_t> heldOut_;
    bool itemsChanged_ = false;
    std::vector<Known> known_;
    std::unordered_map<std::uint64_t, std::size_t> byContent_;                // content key → known_
    std::unordered_map<std::int32_t, std::vector<std::size_t>> bySeconds_;    // playing time → known_ with a print
    std::unordered_map<std::int32_t, std::size_t> knownOfId_;                 // item id → known_
    std::unordered_map<std::string, std::int32_t> oldByPath_;                 // items without a key, by path
    std::unordered_map<std::int64_t, std::vector<std::int32_t>> oldBySize_;   // the same, by file size
    std::unordered_set<std::int32_t> oldClaimed_;
    std::vector<Group> groups_;
    std::vector<FileRecord> files_;
    std::vector<std::size_t> groupOfFile_;  // kNone for skipped files
    std::vector<SoundPrint> pendingPrints_;
    // Files read so far; the memory their reading left free is handed back
    // after every kReadsBetweenTrims of them.
    static constexpr std::size_t kReadsBetweenTrims = 256;
    std::size_t read_ = 0;
    bool printsFailed_ = false;
    CatalogueTally tally_;
};

// How far apart the playing times of two files of one recording may be.
std::int32_t LengthSlack(std::int32_t seconds);

}  // namespace vorn::station
