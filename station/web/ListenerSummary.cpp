#include "station/web/ListenerSummary.h"

#include <algorithm>
#include <map>

namespace vorn::station {
namespace {

constexpr double kNeutral = 3.0;
constexpr double kShrink = 2.0;

// One artist or genre as the catalogue groups them (names that differ only in
// case or spacing are one), shown by the name of its latest rated item.
struct Tally {
    std::string name;
    double sum = 0;
    int count = 0;
};

void Add(std::map<GroupId, Tally>& tallies, GroupId group, const std::string& name, int value) {
    if (group == kNoGroup) {
        return;
    }
    Tally& tally = tallies[group];
    if (tally.count == 0) {
        tally.name = name;
    }
    tally.sum += value;
    tally.count += 1;
}

std::vector<ListenerSummary::Favourite> Favourites(const std::map<GroupId, Tally>& tallies) {
    std::vector<std::pair<double, ListenerSummary::Favourite>> ranked;
    for (const auto& [group, tally] : tallies) {
        const double preference = (tally.sum - kNeutral * tally.count) / (tally.count + kShrink);
        if (preference > 0) {
            ranked.push_back({preference, {tally.name, tally.count, tally.sum / tally.count}});
        }
    }
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<ListenerSummary::Favourite> out;
    for (std::size_t k = 0; k < ranked.size() && k < ListenerSummary::kFavourites; ++k) {
        out.push_back(ranked[k].second);
    }
    return out;
}

}  // namespace

ListenerSummary ListenerSummary::Build(const std::vector<RatedItem>& history, const CatalogueSnapshot& snapshot) {
    ListenerSummary summary;
    std::map<GroupId, Tally> artists;
    std::map<GroupId, Tally> genres;
    for (const RatedItem& rated : history) {
        if (rated.value < 1 || rated.value > 5) {
            continue;
        }
        summary.starCounts[static_cast<std::size_t>(rated.value - 1)] += 1;
        const CatalogueEntry* entry = snapshot.Find(rated.item);
        if (entry != nullptr) {
            Add(artists, entry->artist, entry->record.artist, rated.value);
            Add(genres, entry->genre, entry->record.genre, rated.value);
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
