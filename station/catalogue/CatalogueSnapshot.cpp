#include "station/catalogue/CatalogueSnapshot.h"

namespace vorn::station {

CatalogueSnapshot::CatalogueSnapshot(std::vector<CatalogueEntry> entries, std::uint64_t generation)
    : generation_(generation), entries_(std::move(entries)),
      counts_(std::make_unique<std::atomic<std::uint32_t>[]>(entries_.size())) {
    keys_.reserve(entries_.size());
    for (std::uint32_t i = 0; i < entries_.size(); ++i) {
        const CatalogueEntry& entry = entries_[i];
        keys_.push_back({entry.record.id, entry.artist, entry.album, entry.genre});
        indexById_.Set(entry.record.id, i);
        if (!entry.record.present) {
            continue;
        }
        live_.push_back(i);
        for (GroupId group : {entry.artist, entry.album, entry.genre}) {
            if (group != kNoGroup) {
                liveByGroup_[group].push_back(i);
            }
        }
    }
}

const std::vector<std::uint32_t>& CatalogueSnapshot::LiveInGroup(GroupId group) const {
    static const std::vector<std::uint32_t> kNone;
    const auto found = liveByGroup_.find(group);
    return found == liveByGroup_.end() ? kNone : found->second;
}

const CatalogueEntry* CatalogueSnapshot::Find(std::int32_t id) const {
    const std::uint32_t* index = indexById_.Find(id);
    return index == nullptr ? nullptr : &entries_[*index];
}

const CatalogueEntry* CatalogueSnapshot::FindLive(std::int32_t id) const {
    const CatalogueEntry* entry = Find(id);
    return entry != nullptr && entry->record.present ? entry : nullptr;
}

std::uint32_t CatalogueSnapshot::TimesRecommended(std::uint32_t index) const {
    return counts_[index].load(std::memory_order_relaxed);
}

void CatalogueSnapshot::CountRecommended(std::uint32_t index) const {
    counts_[index].fetch_add(1, std::memory_order_relaxed);
}

void CatalogueSnapshot::TakeCountsFrom(const CatalogueSnapshot& earlier) {
    for (std::uint32_t i = 0; i < entries_.size(); ++i) {
        if (const std::uint32_t* index = earlier.indexById_.Find(entries_[i].record.id)) {
            counts_[i].store(earlier.TimesRecommended(*index), std::memory_order_relaxed);
        }
    }
}

}  // namespace vorn::station
