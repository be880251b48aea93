#pragma once

#include <cstdint>
#include <string>

#include "station/catalogue/CatalogueSnapshot.h"

namespace vorn::station {

// What made the recommender pick an item: the part of its score that weighed
// most (a rated neighbour's verdict, or the listener's liking of the item's
// artist, album or genre), exploration when nothing the listener rated spoke
// for it, or the rotation of loved items once everything else was offered.
struct PickReason {
    enum class Kind { Exploring, Neighbour, Artist, Album, Genre, Rotation };
    Kind kind = Kind::Exploring;
    std::int32_t voter = 0;        // Neighbour: the rated item whose verdict weighed most; Rotation: the item
    std::int32_t voterRating = 0;  // and the listener's rating of it
    // Whether the listener rated anything of the picked item's genre or
    // artist: exploring names only what is new to the listener.
    bool genreRated = false;
    bool artistRated = false;

    // The reason told to the listener, from the tags of the picked item (and
    // of the voter): "Because you rated Artist - Title 5 stars", "Because you
    // like Artist", "New for you: exploring Genre" (or the artist, when the
    // genre was rated; "New for you" when both were), "Back in rotation: you
    // rated it 5 stars". Tags appear as they are; the page or reply around
    // them escapes them.
    std::string Text(const CatalogueEntry& picked, const CatalogueSnapshot& snapshot) const;
};

}  // namespace vorn::station
