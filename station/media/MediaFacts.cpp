#include "station/media/MediaFacts.h"

#include <mutex>

#include "station/media/LoudnessMeter.h"

namespace vorn::station {

MediaFacts::MediaFacts(const ArtCache* art) : art_(art) {}

void MediaFacts::Load(std::vector<MediaFactsRecord> records) {
    std::unordered_map<std::int32_t, MediaFactsRecord> facts;
    facts.reserve(records.size());
    for (MediaFactsRecord& record : records) {
        const std::int32_t item = record.item;
        facts[item] = std::move(record);
    }
    std::unique_lock lock(mutex_);
    facts_ = std::move(facts);
}

void MediaFacts::Set(const MediaFactsRecord& record) {
    std::unique_lock lock(mutex_);
    facts_[record.item] = record;
}

std::optional<MediaFactsRecord> MediaFacts::Find(std::int32_t item) const {
    std::shared_lock lock(mutex_);
    const auto found = facts_.find(item);
    return found == facts_.end() ? std::nullopt : std::optional(found->second);
}

MediaDetails MediaFacts::DetailsOf(const ItemRecord& item) const {
    MediaDetails details;
    {
        std::shared_lock lock(mutex_);
        const auto found = facts_.find(item.id);
        if (found == facts_.end() || found->second.fileSize != item.fileSize ||
            found->second.modified != item.modified) {
            return details;
        }
        details.art = found->second.art;
        if (found->second.loudnessFrom != LoudnessSource::None) {
            details.gainDb = LevellingGain({found->second.integratedLufs, found->second.truePeakDbtp});
        }
    }
    if (!details.art.empty() && (art_ == nullptr || !art_->Has(details.art))) {
        details.art.clear();
    }
    return details;
}

std::string MediaFacts::ArtFile(const std::string& key) const {
    return art_ != nullptr && ArtCache::IsKey(key) ? art_->FileOf(key) : std::string();
}

}  // namespace vorn::station
