#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "station/catalogue/CatalogueSnapshot.h"
#include "station/base/FlatIdMap.h"
#include "station/recommend/GenreModel.h"
#include "station/recommend/ItemFactors.h"
#include "station/recommend/ItemNeighbours.h"
#include "station/recommend/LovedRotation.h"
#include "station/recommend/PickReason.h"
#include "station/store/StationStore.h"

namespace vorn::station {

struct RecommenderSettings {
    int recentWindow = 200;     // recommendations remembered per listener
    double exploration = 0.15;  // share of the picks made to explore the catalogue, without neighbours
    double shrink = 2.0;        // how many neutral ratings a group's average starts with
    double priorWeight = 1.0;   // weight of the community's prior of an item (ItemNeighbours::Prior)
    double neighbourWeight = 0.3;  // weight of the neighbours' verdict beside the groups' scores
    double factorWeight = 1.0;     // weight of the hidden factors' prediction beside the groups' scores
    bool rotateThrees = false;  // items rated 3 stars come back in rotation too, not only 4 and 5
    std::uint64_t seed = 0;     // 0: seeded from the system's random source; else runs repeat
};

// Picks items for a listener from what the listener rated. It offers items the
// listener has not rated and has not been offered within the recent memory
// (the last `recentWindow` picks). The listener's liking of each artist, album
// and genre is a posterior: its average against the neutral 3, pulled towards
// neutral while it has few ratings, with a spread that narrows with every
// rating. Each request draws the groups' likings from it (Thompson sampling),
// so a group the listener knows little of comes up now and then and one the
// listener is sure of dominates; every genre not rated yet shares one draw,
// expected at the listener's rated genres' average. An item of a genre or
// artist rated 2 stars or less on average is not offered while anything else
// new is left. Without item neighbours (below) a share of the picks goes to
// the items offered least so far, so the whole catalogue gets heard; with
// them, none, since the community prior and the unrated genres' best items
// already spread the picks (and a random pick hits about at random).
//
// Once everything unrated has been offered, the listener's loved items (rated
// 4 or 5; also 3 with `rotateThrees`, and 3 alone once everything is rated
// and nothing higher than 3) come back in rotation, least recently offered first
// (LovedRotation): with L of them, each comes back only after the L - 1
// others, and so not twice in a day when L exceeds a day's listening. Items
// rated 1 or 2 never come back. Only when nothing loved is left to add to an
// answer are unrated items offered again, those offered longest ago first; an
// answer is empty only for a listener with nothing to play at all.
//
// Once neighbours are set (ItemNeighbours, rebuilt in the background from
// every listener's ratings), each rated item lends its verdict (the rating
// against the listener's average) to its neighbours, weighted by similarity:
// the items with the best verdicts supply a quarter of the candidates, and every
// candidate's score adds its verdict. The same table holds each item's
// community prior: the items everyone liked best supply another quarter, and
// every score adds the prior, weighing less as the listener's own ratings
// come in. That finds tastes across artists and
// genres, which the tags alone cannot see. Two more sources are always weighed:
// the items with the best priors in the listener's clearly liked groups (so the
// picks do not fall behind what the community would offer there), and, for
// each genre not rated yet, its item with the best prior (trying a genre with
// the item most likely to be liked). A listener who has rated many items and
// still clearly likes nothing draws each unrated genre on its own, so the
// unrated genres get searched rather than lukewarm ones exploited. A genre
// rated 4 once may be loved or merely have a good best item: the genre model
// (GenreModel, fitted in the background on the station's own offers) gives
// each rated genre a probability of being loved, each request draws which
// are, and a genre drawn loved has its best items weighed and its items
// raised by the loved class's lead over the cold one. The raise shrinks as
// the listener seems to love more of the genres tried (to nothing at half of
// them): for such a listener genres are not what the taste follows. The
// genres not rated yet share what is left of the loved genres a listener is
// expected to have, each drawn on its own. An answer holds at most one item
// of each genre the listener is not yet likely to love, so each answer tries
// several genres and a doubtful one drawn loved costs a pick, not the answer.
// The verdicts are worked out once per change of the listener's ratings or of
// the neighbours, from at most kVerdictRatings ratings, and a bounded number
// of them is kept per listener.
// How much the verdicts weigh beside the groups is fitted to each listener:
// how well each, with the rated item left out, foretells the listener's own
// ratings (least squares over the rated items), so a listener whose taste the
// tags tell keeps the group scores, and one whose taste they miss gets the
// neighbours. The neighbours carry hidden factors too (ItemFactors): with the
// verdicts, the listener is folded into them from the same ratings, the items
// they predict best supply candidates, every score adds the prediction, and
// its weight is fitted beside the verdicts' (each rated item foretold without
// its own rating). A pick they made names the loved item whose rating added
// most to it.
//
// The work per request depends on the number of items asked for, not on the
// size of the catalogue: candidates are drawn at random, partly from the
// listener's favourite groups, and scored; only a listener with a few new
// items left among many makes it walk the catalogue for them. A group's items
// ranked by prior are made once per group for each catalogue and neighbours
// (by the first request that needs them), and a request looks at a bounded
// number of them. The rotation
// costs the number of loved items once per change of the ratings, then only
// its picks.
//
// Each request's random source is seeded from `seed`, the listener and the
// request's number, so a seeded run repeats exactly for the same requests.
//
// Thread-safe; requests of different listeners run in parallel.
class Recommender {
public:
    explicit Recommender(RecommenderSettings settings = {});
    Recommender(const Recommender&) = delete;
    Recommender& operator=(const Recommender&) = delete;

    // Rebuilds every listener's profile from the store's records.
    void Load(const std::vector<std::int32_t>& listeners, const std::vector<RatingRecord>& ratings,
              const std::vector<RecentRecord>& recent);
    bool Knows(std::int32_t listener) const;
    void AddListener(std::int32_t listener);
    // Takes stored ratings (item id → 1..5) into the listener's profile.
    void ApplyRatings(std::int32_t listener, const std::vector<std::pair<std::int32_t, std::int32_t>>& ratings);
    // Ratings taken in through ApplyRatings since this recommender was made:
    // how far the listeners have moved on from the last neighbours built.
    std::uint64_t RatingsApplied() const { return ratingsApplied_.load(std::memory_order_relaxed); }
    // Replaces what the listener's profile holds with the store's records (a
    // store shared with other stations, which may have rated and recommended
    // since). Recent items are given oldest first.
    void Resync(std::int32_t listener, const ListenerRecords& records);
    int RecentWindow() const { return settings_.recentWindow; }
    // Replaces the item neighbours used from the next request on (null: none).
    void SetNeighbours(std::shared_ptr<const ItemNeighbours> neighbours);
    // Fits the genre model (GenreModel) again to every listener's ratings of
    // items this station offered them, in the genres of `snapshot`; used from
    // the next request on. Takes each listener's lock in turn, briefly.
    // Returns the model fitted.
    std::shared_ptr<const GenreModel> RefreshGenreModel(const CatalogueSnapshot& snapshot);
    // Up to `count` distinct item ids of present items, best first; fewer when
    // the listener has little left to play. Remembers them as recent.
    // With `reasons`, it receives what made each pick, in the same order.
    std::vector<std::int32_t> Recommend(std::int32_t listener, int count, const CatalogueSnapshot& snapshot,
                                        std::vector<PickReason>* reasons = nullptr);

private:
    struct GroupStat {
        double sum = 0;
        int count = 0;
        StarCounts offered{};  // of a genre: the ratings of items the station offered, by stars
    };
    // The neighbours' verdict on an item, and the rated item that lent the
    // largest part of it in its favour (0 when none did).
    struct Verdict {
        std::int32_t item = 0;
        float value = 0;
        std::int32_t voter = 0;
    };
    struct Profile {
        std::mutex mutex;  // guards every member below
        std::unordered_map<std::int32_t, std::int32_t> ratings;  // item id → value
        FlatIdMap<bool> rated;  // the keys of `ratings`, for the many lookups per request
        FlatIdMap<bool> offeredRated;  // rated items the station had offered the listener
        FlatIdMap<GroupStat, GroupId> stats;
        std::vector<std::pair<GroupId, double>> liked;  // groups rated above neutral, cumulative weight
        std::vector<GroupId> clearlyLiked;  // groups clearly liked (ClearlyLiked), the most liked first
        // Nothing clearly liked after many ratings: every genre not rated yet
        // is drawn on its own, so the best of them gets tried.
        bool searching = false;
        double mean = 3.0;  // the listener's average rating
        double unknownGenre = 0;  // the preference expected of a genre the listener has not rated
        std::size_t ratedGenres = 0;  // genres the listener has rated, offered or not
        // This request's draw of the genre model: the rated genres drawn as
        // loved, and what that adds to their items' scores.
        FlatIdMap<double, GroupId> lovedBoost;
        std::vector<GroupId> drawnLoved;
        double boost = 0;         // what a genre drawn loved adds
        double unratedLoved = 0;  // the probability that a genre not rated yet is loved
        FlatIdMap<double, GroupId> lovedChance;  // of each rated genre with ratings of offers
        // Neighbours' verdicts: (item id, verdict) sorted by id, the strongest
        // both ways; the best liked ones again, best first, to draw from.
        std::vector<Verdict> verdicts;
        std::vector<std::int32_t> neighbourPicks;
        double verdictWeight = 0;  // how far this listener's ratings follow the verdicts, beside the groups
        // The listener folded into the hidden factors, how far the ratings
        // follow its predictions, and the best predicted items to draw from.
        ItemFactors::Taste taste;
        double factorWeight = 0;
        std::vector<std::int32_t> factorPicks;
        bool verdictsValid = false;
        std::uint64_t verdictsGeneration = 0;
        bool statsValid = false;
        std::uint64_t statsGeneration = 0;
        std::size_t ratedLive = 0;
        std::deque<std::pair<std::int32_t, std::uint64_t>> recent;  // item id, sequence number
        FlatIdMap<std::uint64_t> lastOffered;  // item id → last sequence number
        std::uint64_t sequence = 0;
        // The loved items in the order they come back, least recently offered
        // first: taken from the front and put at the back, so a request costs
        // no more than its picks; made again when the ratings, the catalogue
        // or the recent memory change otherwise.
        std::deque<RotationPick> rotation;
        bool rotationValid = false;
        std::uint64_t requests = 0;  // seeds each request's random source, with the listener
        std::mt19937_64 random;
    };

    Profile& ProfileOf(std::int32_t listener);
    void Remember(Profile& profile, std::int32_t item) const;
    // Marks the rated items the station had offered (within the recent memory).
    static void MarkOffered(Profile& profile);
    // Draws, for this request, which of the listener's rated genres are loved.
    void DrawLoved(Profile& profile, const GenreModel* model) const;
    // What the request's draw adds to the items of the genre.
    double LovedBoost(Profile& profile, GroupId genre, bool unrated) const;
    void RefreshStats(Profile& profile, const CatalogueSnapshot& snapshot) const;
    double Preference(const Profile& profile, GroupId group) const;
    // Whether the listener's evidence for the group is clearly positive: rated
    // well on average, and far enough above neutral for the ratings it has.
    bool ClearlyLiked(const Profile& profile, GroupId group) const;
    // The present items of a group by id, best community prior first; made
    // once per group for each catalogue and neighbours.
    std::shared_ptr<const std::vector<std::int32_t>> Ranked(GroupId group, const CatalogueSnapshot& snapshot,
                                                            const ItemNeighbours& neighbours,
                                                            std::uint64_t generation) const;
    // How many present items the listener has neither rated nor been offered
    // within the recent memory.
    std::size_t NewLeft(const Profile& profile, const CatalogueSnapshot& snapshot) const;
    void RefreshRotation(Profile& profile, std::int32_t listener, const CatalogueSnapshot& snapshot) const;
    void RefreshVerdicts(Profile& profile, const ItemNeighbours& neighbours, std::uint64_t generation,
                         const CatalogueSnapshot& snapshot) const;
    double GroupsScore(const Profile& profile, const EntryKeys& entry, int leaveOut) const;
    const Verdict* VerdictOf(const Profile& profile, std::int32_t item) const;
    // How unsure the listener's preference for the group still is: the
    // spread of its posterior (1 before any rating), narrowing with every rating.
    double Spread(const Profile& profile, GroupId group) const;
    // One draw from the posterior of the listener's preference for the group,
    // the same for every candidate of one request.
    double Sample(Profile& profile, GroupId group, bool genre, FlatIdMap<double, GroupId>& samples) const;
    // Whether the item would be a second one in the answer of a genre the
    // listener is not sure to love (with the genre model only).
    bool SecondOfUnsure(const Profile& profile, const EntryKeys& entry, const std::vector<std::int32_t>& chosen,
                        const CatalogueSnapshot& snapshot) const;
    // An item of a genre or artist the listener rated 2 stars or less on average.
    bool Rejected(const Profile& profile, const EntryKeys& entry) const;
    double Score(Profile& profile, const EntryKeys& entry, const ItemNeighbours* neighbours,
                 FlatIdMap<double, GroupId>& samples) const;
    PickReason ReasonFor(const Profile& profile, const EntryKeys& entry, const ItemNeighbours* neighbours) const;

    const RecommenderSettings settings_;
    const std::uint64_t seed_;
    mutable std::shared_mutex profilesMutex_;  // guards profiles_ (the map, not the profiles)
    std::unordered_map<std::int32_t, std::unique_ptr<Profile>> profiles_;
    mutable std::mutex neighboursMutex_;  // guards neighbours_ and genreModel_ (the pointers; both are immutable)
    std::shared_ptr<const ItemNeighbours> neighbours_;
    std::shared_ptr<const GenreModel> genreModel_;
    std::uint64_t neighboursGeneration_ = 0;  // guarded by neighboursMutex_; counts SetNeighbours calls
    mutable std::mutex rankedMutex_;  // guards ranked_ and the generations it was made for
    mutable std::unordered_map<GroupId, std::shared_ptr<const std::vector<std::int32_t>>> ranked_;
    mutable std::uint64_t rankedCatalogue_ = 0;
    mutable std::uint64_t rankedNeighbours_ = 0;
    std::atomic<std::uint64_t> ratingsApplied_{0};
};

}  // namespace vorn::station
