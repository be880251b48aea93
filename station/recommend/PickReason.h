#pragma once

#include <cstdint>
#include <string>

#include "station/catalogue/CatalogueSnapshot.h"

namespace vorn::station {

// What made the recommender pick an item: the part of its score that weighed
// most (a rated neighbour's verdict, or the listener's liking of the item's
// artist, album or genre), or exploration when nothing the listener rated
// spoke for it.
struct PickReason {
    enum class Kind { Exploring, Neighbour, Artist, Album, Genre };
    Kind kind = Kind::Exploring;
    std::int32_t voter = 0;        // Neighbour: the rated item whose verdict weighed most
    std::int32_t voterRating = 0;  // and the listener's rating of it

    // The reason told to the listener, from the tags of the picked item (and
    // of the voter): "Because you rated Artist - Title 5 stars", "Because you
    // like Artist", "New for you: exploring Genre". Tags appear as they are;
    // the page or reply around them escapes them.
    std::string Text(const CatalogueEntry& picked, const CatalogueSnapshot& snapshot) const;
};

}  // namespace vorn::station
