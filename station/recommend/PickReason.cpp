#include "station/recommend/PickReason.h"

#include <initializer_list>
#include <string_view>

namespace vorn::station {
namespace {

std::string_view OrElse(const std::string& text, std::string_view fallback) {
    return text.find_first_not_of(" \t") == std::string::npos ? fallback : std::string_view(text);
}

// The parts joined in one allocation.
std::string Joined(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (const std::string_view part : parts) {
        size += part.size();
    }
    std::string text;
    text.reserve(size);
    for (const std::string_view part : parts) {
        text += part;
    }
    return text;
}

std::string_view Stars(std::int32_t rating) { return rating == 1 ? " star" : " stars"; }

std::string Exploring(const ItemRecord& record, bool genreRated, bool artistRated) {
    if (!genreRated && record.genre.find_first_not_of(" \t") != std::string::npos) {
        return Joined({"New for you: exploring ", record.genre});
    }
    if (!artistRated && record.artist.find_first_not_of(" \t") != std::string::npos) {
        return Joined({"New for you: exploring ", record.artist});
    }
    return "New for you";
}

}  // namespace

std::string PickReason::Text(const CatalogueEntry& picked, const CatalogueSnapshot& snapshot) const {
    const ItemRecord& record = picked.record;
    switch (kind) {
        case Kind::Neighbour: {
            const CatalogueEntry* voted = snapshot.Find(voter);
            if (voted == nullptr || voterRating < 1 || voterRating > 5) {
                return Exploring(record, genreRated, artistRated);
            }
            return Joined({"Because you rated ", OrElse(voted->record.artist, "Unknown Artist"), " - ",
                           OrElse(voted->record.title, "Untitled"), " ", std::to_string(voterRating),
                           Stars(voterRating)});
        }
        case Kind::Rotation:
            if (voterRating < 1 || voterRating > 5) {
                return Exploring(record, genreRated, artistRated);
            }
            return Joined({"Back in rotation: you rated it ", std::to_string(voterRating), Stars(voterRating)});
        case Kind::Artist: return Joined({"Because you like ", OrElse(record.artist, "Unknown Artist")});
        case Kind::Album: return Joined({"Because you like the album ", OrElse(record.album, "Unknown Album")});
        case Kind::Genre: return Joined({"Because you like ", OrElse(record.genre, "Unknown Genre")});
        case Kind::Exploring: break;
    }
    return Exploring(record, genreRated, artistRated);
}

}  // namespace vorn::station
