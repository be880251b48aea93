#include "station/app/ListenerSummary.h"

#include <algorithm>
#include <map>

namespace vorn::station {
namespace {

constexpr double kNeutral = 3.0;
constexpr double kShrink = 2.0;

struct Tally {
    double sum = 0;
    int count = 0;
};

std::vector<ListenerSummary::Favourite> Favourites(const std::map<std::string, Tally>& tallies) {
    std::vector<std::pair<double, ListenerSummary::Favourite>> ranked;
    for (const auto& [name, tally] : tallies) {
        const double preference = (tally.sum - kNeutral * tally.count) / (tally.count + kShrink);
        if (preference > 0) {
            ranked.push_back({preference, {name, tally.count, tally.sum / tally.count}});
        }
    }
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<ListenerSummary::Favourite> out;
    for (std::size_t k = 0; k < ranked.size() && k < ListenerSummary::kFavourites; ++k) {
        out.push_back(ranked[k].second);
    }
    return out;
}

bool Blank(const std::string& text) { return text.find_first_not_of(" \t") == std::string::npos; }

}  // namespace

ListenerSummary ListenerSummary::Build(const std::vector<RatedItem>& history, const CatalogueSnapshot& snapshot) {
    ListenerSummary summary;
    std::map<std::string, Tally> artists;
    std::map<std::string, Tally> genres;
    for (const RatedItem& rated : history) {
        if (rated.value < 1 || rated.value > 5) {
            continue;
        }
        summary.starCounts[static_cast<std::size_t>(rated.value - 1)] += 1;
        const CatalogueEntry* entry = snapshot.Find(rated.item);
        if (entry != nullptr && !Blank(entry->record.artist)) {
            artists[entry->record.artist].sum += rated.value;
            artists[entry->record.artist].count += 1;
        }
        if (entry != nullptr && !Blank(entry->record.genre)) {
            genres[entry->record.genre].sum += rated.value;
            genres[entry->record.genre].count += 1;
        }
        if (summary.lastRated.size() < kLastRated) {
            summary.lastRated.push_back({entry != nullptr ? entry->record : ItemRecord{}, rated.value, rated.updated});
        }
    }
    summary.artists = Favourites(artists);
    summary.genres = Favourites(genres);
    return summary;
}

}  // namespace vorn::station
