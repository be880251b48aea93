#include "station/media/MediaFacts.h"

#include <mutex>

#include "station/media/LoudnessMeter.h"

namespace vorn::station {

MediaFacts::MediaFacts(const ArtCache* art) : art_(art) {}

std::uint32_t MediaFacts::Pictures::Intern(const std::string& key) {
    const auto [at, added] = indexOf.emplace(key, static_cast<std::uint32_t>(keys.size()));
    if (added) {
        keys.push_back(key);
    }
    return at->second;
}

MediaFacts::Kept MediaFacts::KeptOf(const MediaFactsRecord& record, Pictures& pictures) {
    return {record.fileSize,   record.modified, record.integratedLufs, record.truePeakDbtp,
            pictures.Intern(record.art), record.loudnessFrom};
}

MediaFactsRecord MediaFacts::RecordOf(std::int32_t item, const Kept& kept) const {
    MediaFactsRecord record;
    record.item = item;
    record.fileSize = kept.fileSize;
    record.modified = kept.modified;
    record.loudnessFrom = kept.loudnessFrom;
    record.integratedLufs = kept.integratedLufs;
    record.truePeakDbtp = kept.truePeakDbtp;
    record.art = pictures_.keys[kept.art];
    return record;
}

void MediaFacts::Load(std::vector<MediaFactsRecord> records) {
    std::unordered_map<std::int32_t, Kept> facts;
    Pictures pictures;
    facts.reserve(records.size());
    for (const MediaFactsRecord& record : records) {
        facts[record.item] = KeptOf(record, pictures);
    }
    std::unique_lock lock(mutex_);
    facts_ = std::move(facts);
    pictures_ = std::move(pictures);
}

void MediaFacts::Set(const MediaFactsRecord& record) {
    std::unique_lock lock(mutex_);
    facts_[record.item] = KeptOf(record, pictures_);
}

std::optional<MediaFactsRecord> MediaFacts::Find(std::int32_t item) const {
    std::shared_lock lock(mutex_);
    const auto found = facts_.find(item);
    return found == facts_.end() ? std::nullopt : std::optional(RecordOf(item, found->second));
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
        details.art = pictures_.keys[found->second.art];
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
