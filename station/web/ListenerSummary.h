#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "station/catalogue/CatalogueSnapshot.h"
#include "station/store/StationStore.h"

namespace vorn::station {

// What a listener's page shows, worked out from their ratings (last given
// first, as LoadRatingHistory reads them) and the catalogue's tags.
struct ListenerSummary {
    static constexpr std::size_t kLastRated = 20;
    static constexpr std::size_t kFavourites = 5;

    struct Favourite {
        std::string name;
        int ratings = 0;
        double average = 0;
    };
    struct Rated {
        ItemRecord item;  // id 0 and empty tags when the catalogue no longer has it
        std::int32_t value = 0;
        std::int64_t updated = 0;
        std::string art;  // the key of its picture (ArtCache), "" for none
    };

    std::array<int, 5> starCounts{};  // [0] one star ... [4] five stars
    std::vector<Favourite> artists;   // best first, only those liked above neutral
    std::vector<Favourite> genres;
    std::vector<Rated> lastRated;     // at most kLastRated, last given first

    // Favourites are the catalogue's artist and genre groups, ranked like the
    // recommender's group preferences: each group's average pulled towards
    // the neutral 3 by two neutral ratings, so one five-star rating does not
    // outrank ten of four stars. Ratings outside 1 to 5 are left out.
    static ListenerSummary Build(const std::vector<RatedItem>& history, const CatalogueSnapshot& snapshot);
};

}  // namespace vorn::station
