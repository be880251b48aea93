#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "station/base/FlatIdMap.h"
#include "station/store/StationStore.h"

namespace vorn::station {

// Group ids name an artist, an album (of one artist) or a genre; 0 means none
// (an empty tag). The same name keeps its id for the life of the process, so
// listener profiles stay valid from one snapshot to the next.
using GroupId = std::uint32_t;
inline constexpr GroupId kNoGroup = 0;

struct CatalogueEntry {
    ItemRecord record;
    GroupId artist = kNoGroup;
    GroupId album = kNoGroup;
    GroupId genre = kNoGroup;
};

// What the recommender reads of an entry for every candidate it weighs, in a
// table of its own: a candidate then costs one small read where the whole
// record would cost a cache miss of its own.
struct EntryKeys {
    std::int32_t id = 0;
    GroupId artist = kNoGroup;
    GroupId album = kNoGroup;
    GroupId genre = kNoGroup;
};

// An immutable view of the catalogue: every item the store knows (also those
// whose file is gone, so their ratings still count), the items that can be
// recommended, and those grouped by artist, album and genre. Only the
// per-item recommendation counters change, atomically.
class CatalogueSnapshot {
public:
    CatalogueSnapshot(std::vector<CatalogueEntry> entries, std::uint64_t generation);
    CatalogueSnapshot(const CatalogueSnapshot&) = delete;
    CatalogueSnapshot& operator=(const CatalogueSnapshot&) = delete;

    std::uint64_t Generation() const { return generation_; }
    const std::vector<CatalogueEntry>& Entries() const { return entries_; }
    // The keys of each entry, in the same order as Entries().
    const std::vector<EntryKeys>& Keys() const { return keys_; }
    const EntryKeys& KeysOf(const CatalogueEntry& entry) const {
        return keys_[static_cast<std::size_t>(&entry - entries_.data())];
    }
    // Indices into Entries() of the items whose files are present.
    const std::vector<std::uint32_t>& Live() const { return live_; }
    // Live indices of one group; empty for an unknown group.
    const std::vector<std::uint32_t>& LiveInGroup(GroupId group) const;
    // The entry of an item id, or null.
    const CatalogueEntry* Find(std::int32_t id) const;
    const CatalogueEntry* FindLive(std::int32_t id) const;

    // How often each entry was recommended to anyone since the station started.
    std::uint32_t TimesRecommended(std::uint32_t index) const;
    void CountRecommended(std::uint32_t index) const;
    // Carries the counters over from an earlier snapshot, by item id.
    void TakeCountsFrom(const CatalogueSnapshot& earlier);

private:
    std::uint64_t generation_;
    std::vector<CatalogueEntry> entries_;
    std::vector<EntryKeys> keys_;
    std::vector<std::uint32_t> live_;
    FlatIdMap<std::uint32_t> indexById_;  // item id → index into entries_
    std::unordered_map<GroupId, std::vector<std::uint32_t>> liveByGroup_;
    std::unique_ptr<std::atomic<std::uint32_t>[]> counts_;
};

}  // namespace vorn::station
