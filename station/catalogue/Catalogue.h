#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "station/catalogue/CatalogueSnapshot.h"
#include "station/catalogue/FolderWalk.h"
#include "station/store/StationStore.h"

namespace vorn::station {

struct CatalogueTally;

// The music the station can recommend: the recordings of the audio files
// below the music folder (CatalogueScan), with the ids the store keeps for
// them. Readers take the current snapshot, which never changes under them; a
// rescan or a file found missing publishes a new one.
class Catalogue {
public:
    // What the driver of a scan (the folder watch) adds to it.
    struct ScanHooks {
        // Each folder as the scan enters it, before its entries are read.
        std::function<void(const std::string& folder)> enteringFolder;
        // True for a file that may still be being written: the scan takes it
        // as the store last knew it, or leaves it out when new (a later scan
        // takes it once whole).
        std::function<bool(const WalkedFile& file)> stillWriting;
    };

    Catalogue(StationStore& store, std::string musicDir);
    Catalogue(const Catalogue&) = delete;
    Catalogue& operator=(const Catalogue&) = delete;

    // Publishes what the store knows, without looking at the files, and logs
    // the summary of the last scan (CatalogueTally) when there was one.
    void Load();
    // Walks the music folder (FolderWalk: symbolic links to folders followed
    // once, a loop refused with a log line), reads the files with audio names
    // that are new or changed, stores the result (items without a file stop
    // being present) and publishes it; logs the summary, one INFO line
    // "Catalogue : 58 playable items (ogg 56, flac 1, mp3 1); skipped 3 files
    // (unreadable 1, not audio 2, no decoder 0)". Returns the number of
    // present items, or -1 when the folder cannot be read or the store fails
    // (nothing changes then).
    int Rescan(const ScanHooks& hooks = {});
    // Stores and publishes records as if a scan had found exactly these
    // (for tools and benchmarks that bring their own catalogue).
    bool Publish(std::vector<ItemRecord> found);

    std::shared_ptr<const CatalogueSnapshot> Current() const;
    // A present item by id, for serving its file.
    bool FindMedia(std::int32_t id, ItemRecord& out) const;
    // The file of a present item could not be opened: stop recommending it
    // (left to the scan when one is running).
    void ReportMissing(std::int32_t id);
    // The item's file cannot be played (it cannot be decoded; the caller
    // says why in the log): stop recommending it, and keep it out of every
    // later publication while its file stays as it was (same path, size and
    // modification time).
    void ReportUnplayable(const ItemRecord& item);

    const std::string& MusicDir() const { return musicDir_; }

private:
    // Rescan's scan and store, with scanMutex_ held: what it found, and
    // whether the store's items changed; false when nothing was stored. Its
    // working set is freed on return.
    bool ScanFolder(const ScanHooks& hooks, CatalogueTally& tally, bool& changed);
    // Publishes the store's items as it holds them now.
    void PublishStored(std::vector<ItemRecord> all);
    // Publishes the records; those the snapshot shows otherwise than the
    // store holds them are added to recoded_ and heldOut_.
    void PublishAll(std::vector<ItemRecord> all);
    GroupId Intern(const std::string& key);
    void ReportRefusedLink(const std::string& path, const std::string& walkedAs, bool loop);

    StationStore& store_;
    const std::string musicDir_;
    std::mutex scanMutex_;  // one scan or publication at a time; taken before mutex_
    std::set<std::string> linksReported_;  // refused folder links already logged; guarded by scanMutex_
    // Items of the current snapshot that are not as the store holds them
    // (CatalogueScan::NotAsStored); guarded by scanMutex_.
    std::vector<std::int32_t> recoded_;
    std::vector<std::int32_t> heldOut_;
    mutable std::mutex mutex_;  // guards current_, groups_, unplayable_ and generation_
    std::shared_ptr<const CatalogueSnapshot> current_;
    std::unordered_map<std::string, GroupId> groups_;
    std::unordered_map<std::string, std::pair<std::int64_t, std::int64_t>> unplayable_;  // path → size, time
    std::uint64_t generation_ = 0;
};

}  // namespace vorn::station
