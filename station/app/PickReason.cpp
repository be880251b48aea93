#include "station/app/PickReason.h"

namespace vorn::station {
namespace {

std::string OrElse(const std::string& text, const char* fallback) {
    return text.find_first_not_of(" \t") == std::string::npos ? std::string(fallback) : text;
}

std::string Exploring(const ItemRecord& record) {
    if (record.genre.find_first_not_of(" \t") != std::string::npos) {
        return "New for you: exploring " + record.genre;
    }
    if (record.artist.find_first_not_of(" \t") != std::string::npos) {
        return "New for you: exploring " + record.artist;
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
                return Exploring(record);
            }
            return "Because you rated " + OrElse(voted->record.artist, "Unknown Artist") + " - " +
                   OrElse(voted->record.title, "Untitled") + " " + std::to_string(voterRating) +
                   (voterRating == 1 ? " star" : " stars");
        }
        case Kind::Artist: return "Because you like " + OrElse(record.artist, "Unknown Artist");
        case Kind::Album: return "Because you like the album " + OrElse(record.album, "Unknown Album");
        case Kind::Genre: return "Because you like " + OrElse(record.genre, "Unknown Genre");
        case Kind::Exploring: break;
    }
    return Exploring(record);
}

}  // namespace vorn::station
