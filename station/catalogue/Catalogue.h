#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "station/catalogue/CatalogueSnapshot.h"
#include "station/store/StationStore.h"

namespace vorn::station {

// The music the station can recommend: the MP3 files below the music folder,
// with the ids the store keeps for their paths. Readers take the current
// snapshot, which never changes under them; a rescan or a file found missing
// publishes a new one.
class Catalogue {
public:
    Catalogue(StationStore& store, std::string musicDir);
    Catalogue(const Catalogue&) = delete;
    Catalogue& operator=(const Catalogue&) = delete;

    // Publishes what the store knows, without looking at the files.
    void Load();
    // Walks the music folder recursively, reads the tags of new and changed
    // .mp3 files, stores the result (files no longer found stop being present)
    // and publishes it. Returns the number of present items, or -1 when the
    // folder cannot be read or the store fails (nothing changes then).
    int Rescan();
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
    void PublishAll(std::vector<ItemRecord> all);
    GroupId Intern(const std::string& key);

    StationStore& store_;
    const std::string musicDir_;
    std::mutex scanMutex_;  // one scan or publication at a time; taken before mutex_
    mutable std::mutex mutex_;  // guards current_, groups_, unplayable_ and generation_
    std::shared_ptr<const CatalogueSnapshot> current_;
    std::unordered_map<std::string, GroupId> groups_;
    std::unordered_map<std::string, std::pair<std::int64_t, std::int64_t>> unplayable_;  // path → size, time
    std::uint64_t generation_ = 0;
};

}  // namespace vorn::station
