#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace vorn::station {

// How many of a listener's ratings in one genre gave 1, 2, ..., 5 stars.
using StarCounts = std::array<std::uint32_t, 5>;

// What the station's own offers in a genre tell about whether a listener
// loves it. Listeners are either drawn to a genre or cold to it, and the
// station offers each genre's best items, so a cold genre's first item is
// rated 4 about as often as a loved one's: only the mix of ratings tells
// them apart. The model is two classes of (listener, genre), loved and cold,
// each with its own spread of star ratings, and the share that is loved,
// fitted by expectation maximisation over every listener's counts in every
// genre. It is fitted on ratings of items the station offered, since those
// are what its picks will be judged by; ratings of items a listener went
// looking for would make every genre look loved.
class GenreModel {
public:
    // Fits the classes to the counts (one per listener and genre, empty ones
    // ignored). The model is usable only when enough counts were given and
    // the two classes come apart (the loved one at least half a star above).
    // `genres`: how many genres the catalogue has.
    static GenreModel Fit(const std::vector<StarCounts>& counts, std::size_t genres);

    bool Usable() const { return usable_; }
    // The probability that a listener with these counts in a genre loves it;
    // the share of loved genres for no ratings at all.
    double Loved(const StarCounts& counts) const;
    // The loved class's average rating less the cold class's, in stars.
    double Difference() const { return difference_; }
    double Share() const { return share_; }
    // How many genres a listener is expected to love, of the catalogue's.
    std::size_t Genres() const { return genres_; }
    double LovedPerListener() const { return share_ * static_cast<double>(genres_); }

private:
    bool usable_ = false;
    double share_ = 0;                 // of (listener, genre) pairs that are loved
    std::array<double, 5> evidence_{};  // log P(stars | loved) - log P(stars | cold)
    double difference_ = 0;
    std::size_t genres_ = 0;
};

}  // namespace vorn::station
