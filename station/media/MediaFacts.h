#pragma once

#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "station/catalogue/ItemDetails.h"
#include "station/media/ArtCache.h"
#include "station/store/StationStore.h"

namespace vorn::station {

// What the station knows of its items' files besides their tags (art and
// loudness, MediaFactsRecord), for the replies and the pages: loaded from the
// store at start, completed by the MediaWorkQueue. Thread-safe; readers never
// wait for the work, only for a moment's lock.
class MediaFacts {
public:
    // `art` holds the pictures (null when the station keeps none).
    explicit MediaFacts(const ArtCache* art);
    MediaFacts(const MediaFacts&) = delete;
    MediaFacts& operator=(const MediaFacts&) = delete;

    void Load(std::vector<MediaFactsRecord> records);
    void Set(const MediaFactsRecord& record);
    // What is kept for the item, whether or not its file changed since.
    std::optional<MediaFactsRecord> Find(std::int32_t item) const;
    // What a recommendation and the pages tell of the item: its picture once
    // the cache holds it, its gain once its loudness is known; nothing that
    // was learnt from an earlier state of its file.
    MediaDetails DetailsOf(const ItemRecord& item) const;
    // The file of a picture the cache holds, "" for any other text.
    std::string ArtFile(const std::string& key) const;
    const ArtCache* Art() const { return art_; }

private:
    // One item's facts as kept, for every item of a library of any size: the
    // picture as its index in pictures_ (the items of an album share one).
    struct Kept {
        std::int64_t fileSize = 0;
        std::int64_t modified = 0;
        double integratedLufs = 0;
        double truePeakDbtp = 0;
        std::uint32_t art = 0;  // 0: none
        LoudnessSource loudnessFrom = LoudnessSource::None;
    };
    // The pictures' keys, each once; the first is "".
    struct Pictures {
        std::vector<std::string> keys{std::string()};
        std::unordered_map<std::string, std::uint32_t> indexOf{{std::string(), 0}};
        std::uint32_t Intern(const std::string& key);
    };
    static Kept KeptOf(const MediaFactsRecord& record, Pictures& pictures);
    MediaFactsRecord RecordOf(std::int32_t item, const Kept& kept) const;  // mutex_ held

    const ArtCache* const art_;
    mutable std::shared_mutex mutex_;  // guards facts_ and pictures_
    std::unordered_map<std::int32_t, Kept> facts_;
    Pictures pictures_;
};

}  // namespace vorn::station
