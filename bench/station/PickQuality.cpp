// Usage: pick_quality [new listeners] [items] [background listeners] [seed]
//
// How fast the station's picks learn what a new listener likes, on synthetic
// populations whose tastes are known. 5,000 items (by default): artists of 10
// items (two albums of five) in 40 genres; every item has a quality everyone
// hears a little, and a popularity (a Zipf law). 300 background listeners
// (by default) rate 120 items each as people come to rate things: half by
// popularity, half among what they already like. Then 100 new listeners take
// 30 rounds of 4 picks each and rate every pick with their hidden taste; the
// item neighbours and the genre model are rebuilt from everyone's ratings
// every 5 rounds (2,000 new ratings on 36,000, about the twentieth that brings
// the station's own background build forward).
//
// Three populations:
//   one genre        taste follows one genre;
//   artists+genres   taste follows a few genres and each artist;
//   hidden factors   taste follows hidden factors that cross genres.
// The station's recommender (through Recommend and ApplyRatings, with its
// reasons) runs beside random picks, "most popular in the genres you rated
// well", a plain item kNN, and the ceiling (each listener's own best unrated
// items). Printed by rounds 1-5, ..., 26-30: the hit rate (share of picks
// rated 4 or 5) and its ratio to the ceiling; the hit rate of the picks told
// "Because you rated ..." (neighbour-justified); the share of the picks in a
// genre the listener rated 2 or less on average so far; and reasons that were
// not true ("Because you like G" without clearly positive evidence for G, "New
// for you: exploring G" after a rating in G); where the picks went in the
// populations whose taste follows genres (the share in the listener's loved
// genres and its hit rate, the hit rate elsewhere, and how many loved genres
// the listener has rated 4 or 5 by the end of each stage: what separates
// finding the loved genres from making use of them); and the recommender's CPU
// time per request (each one here follows new ratings, so it includes folding
// the listener in again), which other work on the machine does not move.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "station/base/StationLog.h"
#include "station/catalogue/CatalogueSnapshot.h"
#include "station/recommend/ItemNeighbours.h"
#include "station/recommend/Recommender.h"

using namespace vorn::station;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kArtistItems = 10;
constexpr int kGenres = 40;
constexpr int kFactors = 6;
constexpr int kBackgroundRatings = 120;
constexpr int kRounds = 30;
constexpr int kStage = 5;  // rounds per stage, and between neighbour rebuilds
constexpr int kStages = kRounds / kStage;
constexpr int kCount = 4;
constexpr GroupId kGenreBase = 900000;

std::uint64_t Mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A fixed standard normal value for a key.
double Normal(std::uint64_t key) {
    const double u1 = (static_cast<double>(Mix(key) >> 11) + 0.5) / 9007199254740992.0;
    const double u2 = (static_cast<double>(Mix(key ^ 0xABCDEF) >> 11) + 0.5) / 9007199254740992.0;
    return std::sqrt(-2 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

// CPU time of this thread: a per-request figure that other work on the
// machine does not move.
double ThreadMicros() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// Another seed makes another world of the same kind: other items, tastes and
// background ratings, and other random picks.
std::uint64_t gSeed = 0;

std::uint64_t Key(std::uint64_t kind, std::uint64_t a, std::uint64_t b) {
    return Mix(kind * 0x1000003 ^ Mix(a * 0x10001 ^ b) ^ gSeed);
}

struct Item {
    int artist, album, genre;
    double quality;
};

enum class Taste { OneGenre, ArtistsAndGenres, HiddenFactors };

struct Population {
    const char* name;
    Taste taste;
};

class World {
public:
    World(int items, Population population, int listeners) : population_(population), listeners_(listeners) {
        for (int n = 0; n < items; ++n) {
            const int artist = n / kArtistItems;
            items_.push_back({artist, artist * 2 + (n % kArtistItems) / 5,
                              static_cast<int>(Mix(Key(1, artist, 0)) % kGenres), 0.45 * Normal(Key(6, n, 0))});
        }
        // Every listener's rating of every item, worked out once.
        ratings_.resize(static_cast<std::size_t>(listeners) * items_.size());
        for (int l = 0; l < listeners; ++l) {
            for (int i = 0; i < items; ++i) {
                const double taste = TasteOf(l, i);
                ratings_[Index(l, i)] =
                    static_cast<std::int8_t>(std::clamp(static_cast<int>(std::lround(2.6 + taste)), 1, 5));
            }
        }
    }

    int Rating(int l, int i) const { return ratings_[Index(l, i)]; }
    int Items() const { return static_cast<int>(items_.size()); }
    int GenreOf(int i) const { return items_[static_cast<std::size_t>(i)].genre; }
    // The genres listener `l` loves, in the populations whose taste follows genres.
    std::vector<int> LovedGenres(int l) const {
        const int loved = population_.taste == Taste::OneGenre           ? 1
                          : population_.taste == Taste::ArtistsAndGenres ? 3
                                                                         : 0;
        std::vector<int> genres;
        for (int k = 0; k < loved; ++k) genres.push_back(static_cast<int>(Mix(Key(2, l, k)) % kGenres));
        return genres;
    }

    // Distinct items per listener: half by popularity, half among liked ones.
    std::vector<RatingRecord> DrawRatings(int from, int to, int each) const {
        const int items = Items();
        std::vector<double> zipf(static_cast<std::size_t>(items));
        double total = 0;
        for (int r = 0; r < items; ++r) {
            total += 1.0 / (r + 10);
            zipf[static_cast<std::size_t>(r)] = total;
        }
        std::vector<int> byPopularity(static_cast<std::size_t>(items));
        for (int i = 0; i < items; ++i) byPopularity[static_cast<std::size_t>(i)] = i;
        std::shuffle(byPopularity.begin(), byPopularity.end(), std::mt19937(static_cast<std::uint32_t>(7 + gSeed)));
        std::vector<RatingRecord> ratings;
        std::mt19937_64 random(11 + gSeed);
        for (int l = from; l < to; ++l) {
            std::set<int> chosen;
            for (int tries = 0; tries < 200000 && static_cast<int>(chosen.size()) < each; ++tries) {
                int item = 0;
                if (tries % 2 == 0) {
                    const double at = std::uniform_real_distribution<double>(0, total)(random);
                    item = byPopularity[static_cast<std::size_t>(std::lower_bound(zipf.begin(), zipf.end(), at) -
                                                                 zipf.begin())];
                } else {
                    item = static_cast<int>(random() % static_cast<std::uint64_t>(items));
                    if (Rating(l, item) < 4) continue;  // people mostly go looking for what they like
                }
                chosen.insert(item);
            }
            for (int item : chosen) {
                ratings.push_back({l + 1, item + 1, Rating(l, item)});
            }
        }
        return ratings;
    }

    std::shared_ptr<CatalogueSnapshot> Snapshot() const {
        std::vector<CatalogueEntry> entries;
        for (std::size_t n = 0; n < items_.size(); ++n) {
            CatalogueEntry entry;
            entry.record.id = static_cast<std::int32_t>(n + 1);
            entry.record.artist = "Artist " + std::to_string(items_[n].artist);
            entry.record.title = "Title " + std::to_string(n);
            entry.record.genre = "Genre " + std::to_string(items_[n].genre);
            entry.artist = static_cast<GroupId>(1 + items_[n].artist);
            entry.album = static_cast<GroupId>(100000 + items_[n].album);
            entry.genre = kGenreBase + static_cast<GroupId>(items_[n].genre);
            entries.push_back(std::move(entry));
        }
        return std::make_shared<CatalogueSnapshot>(std::move(entries), 1);
    }

private:
    std::size_t Index(int l, int i) const {
        return static_cast<std::size_t>(l) * items_.size() + static_cast<std::size_t>(i);
    }

    double TasteOf(int l, int i) const {
        const Item& item = items_[static_cast<std::size_t>(i)];
        const double noise = 0.4 * Normal(Key(5, l, i)) + item.quality;
        // Loves a few genres of kGenres; lukewarm or cold about the rest.
        const auto genre = [&](double love) {
            const std::vector<int> loved = LovedGenres(l);
            if (std::find(loved.begin(), loved.end(), item.genre) != loved.end()) return love;
            return -0.3 + 0.35 * Normal(Key(12, l, item.genre));
        };
        switch (population_.taste) {
            case Taste::OneGenre: return genre(1.9) + noise;
            case Taste::ArtistsAndGenres: return genre(1.3) + 0.7 * Normal(Key(4, l, item.artist)) + noise;
            case Taste::HiddenFactors: {
                // Factors belong to artists, so a factor spans many genres.
                double dot = 0;
                for (int f = 0; f < kFactors; ++f) {
                    dot += Normal(Key(7, l, f)) * Normal(Key(8, item.artist, f));
                }
                return 0.75 * dot / std::sqrt(static_cast<double>(kFactors)) * 1.6 - 0.5 +
                       0.25 * Normal(Key(12, l, item.genre)) + noise;
            }
        }
        return noise;
    }

    Population population_;
    int listeners_;
    std::vector<Item> items_;
    std::vector<std::int8_t> ratings_;
};

// The sum and number of a listener's ratings in each genre.
std::map<int, std::pair<double, int>> GenreTallies(const World& world, const std::vector<std::pair<int, int>>& rated) {
    std::map<int, std::pair<double, int>> genres;
    for (const auto& [item, rating] : rated) {
        auto& g = genres[world.GenreOf(item)];
        g.first += rating;
        g.second += 1;
    }
    return genres;
}

struct Tally {
    long hits = 0, picks = 0;
    void Add(bool hit) {
        hits += hit ? 1 : 0;
        ++picks;
    }
    double Rate() const { return picks == 0 ? 0 : static_cast<double>(hits) / static_cast<double>(picks); }
};

// One way of picking, run for every new listener round by round: what it has
// offered and what it was told, per listener.
class Picker {
public:
    virtual ~Picker() = default;
    // The next kCount picks for new listener `l` (0-based among all listeners).
    virtual std::vector<int> Pick(int l) = 0;
    virtual void Rated(int l, int item, int rating) {
        seen_[l].insert(item);
        own_[l].emplace_back(item, rating);
    }
    // Every 5 rounds, with everyone's ratings so far.
    virtual void Rebuild(const std::vector<RatingRecord>&) {}

protected:
    bool Seen(int l, int item) { return seen_[l].count(item) != 0; }
    std::unordered_map<int, std::unordered_set<int>> seen_;
    std::unordered_map<int, std::vector<std::pair<int, int>>> own_;
};

class RandomPicker : public Picker {
public:
    explicit RandomPicker(int items) : items_(items) {}
    std::vector<int> Pick(int l) override {
        std::vector<int> picks;
        while (static_cast<int>(picks.size()) < kCount) {
            const int item = static_cast<int>(random_() % static_cast<std::uint64_t>(items_));
            if (!Seen(l, item) && std::find(picks.begin(), picks.end(), item) == picks.end()) picks.push_back(item);
        }
        return picks;
    }

private:
    int items_;
    std::mt19937_64 random_{3 + gSeed};
};

// Items by how many background listeners loved them (4 or 5 stars).
std::vector<int> ByPopularity(const std::vector<RatingRecord>& background, int items) {
    std::vector<int> loved(static_cast<std::size_t>(items));
    for (const RatingRecord& r : background) loved[static_cast<std::size_t>(r.item - 1)] += r.value >= 4 ? 1 : 0;
    std::vector<int> order(static_cast<std::size_t>(items));
    for (int i = 0; i < items; ++i) order[static_cast<std::size_t>(i)] = i;
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return loved[static_cast<std::size_t>(a)] > loved[static_cast<std::size_t>(b)];
    });
    return order;
}

// The most popular items of the genres the listener rated 3.5 or more on
// average (all genres while there are none).
class PopularPicker : public Picker {
public:
    PopularPicker(const World& world, std::vector<int> popular) : world_(world), popular_(std::move(popular)) {}
    std::vector<int> Pick(int l) override {
        const std::map<int, std::pair<double, int>> genres = GenreTallies(world_, own_[l]);
        std::set<int> good;
        for (const auto& [genre, sum] : genres) {
            if (sum.first / sum.second >= 3.5) good.insert(genre);
        }
        std::vector<int> picks;
        for (int pass = 0; pass < 2 && static_cast<int>(picks.size()) < kCount; ++pass) {
            for (int item : popular_) {
                if (static_cast<int>(picks.size()) == kCount) break;
                if ((pass == 1 || good.empty() || good.count(world_.GenreOf(item)) != 0) && !Seen(l, item) &&
                    std::find(picks.begin(), picks.end(), item) == picks.end()) {
                    picks.push_back(item);
                }
            }
        }
        return picks;
    }

private:
    const World& world_;
    std::vector<int> popular_;
};

// Plain item kNN: adjusted cosine without shrinking, an unrated item scored
// by its neighbours' ratings against the listener's average; the most
// popular items while no neighbour speaks.
class KnnPicker : public Picker {
public:
    explicit KnnPicker(std::vector<int> popular) : popular_(std::move(popular)) {}
    void Rebuild(const std::vector<RatingRecord>& ratings) override {
        NeighbourSettings settings;
        settings.shrink = 0;
        settings.minCoRaters = 2;
        settings.factors.factors = 0;
        neighbours_ = ItemNeighbours::Build(ratings, settings);
    }
    std::vector<int> Pick(int l) override {
        double mean = 0;
        for (const auto& [item, rating] : own_[l]) mean += rating;
        mean = own_[l].empty() ? 3 : mean / static_cast<double>(own_[l].size());
        std::unordered_map<int, std::pair<double, double>> votes;
        for (const auto& [item, rating] : own_[l]) {
            for (const ItemNeighbours::Neighbour& n : neighbours_.Of(item + 1)) {
                auto& v = votes[n.item - 1];
                v.first += n.similarity * (rating - mean);
                v.second += n.similarity;
            }
        }
        std::vector<std::pair<double, int>> scored;
        for (const auto& [item, v] : votes) {
            if (!Seen(l, item) && v.first > 0) scored.emplace_back(v.first / v.second, item);
        }
        std::sort(scored.begin(), scored.end(), std::greater<>());
        std::vector<int> picks;
        for (const auto& [score, item] : scored) {
            if (static_cast<int>(picks.size()) == kCount) break;
            picks.push_back(item);
        }
        for (int item : popular_) {
            if (static_cast<int>(picks.size()) == kCount) break;
            if (!Seen(l, item) && std::find(picks.begin(), picks.end(), item) == picks.end()) picks.push_back(item);
        }
        return picks;
    }

private:
    std::vector<int> popular_;
    ItemNeighbours neighbours_;
};

// Each listener's own best unrated items, by the hidden rating.
class CeilingPicker : public Picker {
public:
    explicit CeilingPicker(const World& world) : world_(world) {}
    std::vector<int> Pick(int l) override {
        std::vector<int> picks;
        for (int stars = 5; stars >= 1 && static_cast<int>(picks.size()) < kCount; --stars) {
            for (int i = 0; i < world_.Items() && static_cast<int>(picks.size()) < kCount; ++i) {
                if (world_.Rating(l, i) == stars && !Seen(l, i)) picks.push_back(i);
            }
        }
        return picks;
    }

private:
    const World& world_;
};

// The station's recommender, with the reasons it gives, and what the
// listener's genres stood at when each pick was made.
class StationPicker : public Picker {
public:
    StationPicker(const World& world, const CatalogueSnapshot& snapshot, const std::vector<RatingRecord>& background,
                  int listeners)
        : world_(world), snapshot_(snapshot) {
        RecommenderSettings settings;
        settings.seed = 5 + gSeed;
        recommender_ = std::make_unique<Recommender>(settings);
        std::vector<std::int32_t> ids;
        for (int l = 1; l <= listeners; ++l) ids.push_back(l);
        recommender_->Load(ids, background, {});
    }
    void Rebuild(const std::vector<RatingRecord>& ratings) override {
        const ItemArtists artists = ArtistsOf(snapshot_);
        recommender_->SetNeighbours(
            std::make_shared<const ItemNeighbours>(ItemNeighbours::Build(ratings, NeighbourSettings{}, &artists)));
        recommender_->RefreshGenreModel(snapshot_);
    }
    std::vector<int> Pick(int l) override {
        const std::map<int, std::pair<double, int>> genres = GenreTallies(world_, own_[l]);
        std::vector<PickReason> reasons;
        const double start = ThreadMicros();
        const std::vector<std::int32_t> ids = recommender_->Recommend(l + 1, kCount, snapshot_, &reasons);
        micros_ += ThreadMicros() - start;
        ++requests_;
        std::vector<int> picks;
        lastKinds_.clear();
        lastDisliked_.clear();
        for (std::size_t k = 0; k < ids.size(); ++k) {
            const int item = ids[k] - 1;
            picks.push_back(item);
            const auto genre = genres.find(world_.GenreOf(item));
            const bool rated = genre != genres.end();
            const double average = rated ? genre->second.first / genre->second.second : 0;
            lastKinds_.push_back(reasons[k].kind);
            lastDisliked_.push_back(rated && average <= 2.0);
            const std::string text = reasons[k].Text(snapshot_.Entries()[static_cast<std::size_t>(item)], snapshot_);
            if (reasons[k].kind == PickReason::Kind::Genre && (!rated || average < 3.5 || genre->second.second < 2)) {
                ++untrueWhy_;
            }
            if (text.rfind("New for you: exploring Genre", 0) == 0 && rated) {
                ++untrueWhy_;
            }
        }
        return picks;
    }
    const std::vector<PickReason::Kind>& LastKinds() const { return lastKinds_; }
    const std::vector<bool>& LastDisliked() const { return lastDisliked_; }
    void Rated(int l, int item, int rating) override {
        Picker::Rated(l, item, rating);
        recommender_->ApplyRatings(l + 1, {{item + 1, rating}});
    }
    long UntrueWhy() const { return untrueWhy_; }
    double MicrosPerRequest() const { return requests_ == 0 ? 0 : micros_ / static_cast<double>(requests_); }

private:
    const World& world_;
    const CatalogueSnapshot& snapshot_;
    std::unique_ptr<Recommender> recommender_;
    std::vector<PickReason::Kind> lastKinds_;
    std::vector<bool> lastDisliked_;
    long untrueWhy_ = 0;
    double micros_ = 0;
    long requests_ = 0;
};

constexpr int kPickers = 5;
const char* const kNames[kPickers] = {"random", "popular in liked genres", "item kNN", "station", "ceiling"};

struct Curves {
    Tally by[kPickers][kStages];
    Tally neighbourJustified[kStages];
    Tally disliked[kStages];  // a "hit" here is a pick in a genre rated <= 2 on average
    // Where the picks went, in a population whose taste follows genres: into
    // the listener's loved genres or elsewhere, and how many of the loved
    // genres the listener had rated 4 or 5 by the end of each stage.
    Tally inLoved[kStages], elsewhere[kStages];
    double lovedFound[kStages] = {};
    int lovedPerListener = 0;
    long untrueWhy = 0;
    double microsPerRequest = 0;
};

void PrintCurves(const char* title, const Curves& c) {
    std::printf("\n%s\n  %-24s", title, "rounds");
    for (int s = 0; s < kStages; ++s) std::printf("   %2d-%-2d    ", s * kStage + 1, (s + 1) * kStage);
    std::printf("\n");
    for (int p = 0; p < kPickers; ++p) {
        std::printf("  %-24s", kNames[p]);
        for (int s = 0; s < kStages; ++s) {
            const double ceiling = c.by[kPickers - 1][s].Rate();
            std::printf("  %.3f (%.2f)", c.by[p][s].Rate(), ceiling > 0 ? c.by[p][s].Rate() / ceiling : 0);
        }
        std::printf("\n");
    }
    std::printf("  %-24s", "station, \"Because you rated\"");
    for (int s = 0; s < kStages; ++s) {
        std::printf("  %.3f %5ld ", c.neighbourJustified[s].Rate(), c.neighbourJustified[s].picks);
    }
    std::printf("\n  %-24s", "station, in disliked genre");
    for (int s = 0; s < kStages; ++s) std::printf("  %5.1f %%     ", 100 * c.disliked[s].Rate());
    if (c.lovedPerListener > 0) {
        std::printf("\n  %-24s", "station, in loved genres");
        for (int s = 0; s < kStages; ++s) {
            const double share = static_cast<double>(c.inLoved[s].picks) /
                                 static_cast<double>(std::max(1L, c.inLoved[s].picks + c.elsewhere[s].picks));
            std::printf("  %3.0f %% %.3f ", 100 * share, c.inLoved[s].Rate());
        }
        std::printf("\n  %-24s", "station, elsewhere");
        for (int s = 0; s < kStages; ++s) std::printf("        %.3f ", c.elsewhere[s].Rate());
        std::printf("\n  %-24s", "loved genres found");
        for (int s = 0; s < kStages; ++s) std::printf("   %4.2f of %d  ", c.lovedFound[s], c.lovedPerListener);
    }
    std::printf("\n  reasons not true: %ld; %.0f us CPU per request\n", c.untrueWhy, c.microsPerRequest);
}

void Add(Curves& into, const Curves& from) {
    for (int p = 0; p < kPickers; ++p) {
        for (int s = 0; s < kStages; ++s) {
            into.by[p][s].hits += from.by[p][s].hits;
            into.by[p][s].picks += from.by[p][s].picks;
        }
    }
    for (int s = 0; s < kStages; ++s) {
        into.neighbourJustified[s].hits += from.neighbourJustified[s].hits;
        into.neighbourJustified[s].picks += from.neighbourJustified[s].picks;
        into.disliked[s].hits += from.disliked[s].hits;
        into.disliked[s].picks += from.disliked[s].picks;
    }
    into.untrueWhy += from.untrueWhy;
    into.microsPerRequest = std::max(into.microsPerRequest, from.microsPerRequest);
}

Curves Run(const Population& population, int newcomers, int items, int background) {
    const auto start = Clock::now();
    const World world(items, population, background + newcomers);
    const std::vector<RatingRecord> backgroundRatings = world.DrawRatings(0, background, kBackgroundRatings);
    const std::shared_ptr<CatalogueSnapshot> snapshot = world.Snapshot();
    const std::vector<int> popular = ByPopularity(backgroundRatings, items);

    RandomPicker random(items);
    PopularPicker popularInGenres(world, popular);
    KnnPicker knn(popular);
    StationPicker station(world, *snapshot, backgroundRatings, background + newcomers);
    CeilingPicker ceiling(world);
    Picker* pickers[kPickers] = {&random, &popularInGenres, &knn, &station, &ceiling};
    // Everyone's ratings as each learning picker has seen them.
    std::vector<RatingRecord> knnRatings = backgroundRatings, stationRatings = backgroundRatings;

    Curves curves;
    curves.lovedPerListener = static_cast<int>(world.LovedGenres(background).size());
    std::unordered_map<int, std::set<int>> lovedFound;  // new listener → loved genres rated 4 or 5 so far
    for (int round = 0; round < kRounds; ++round) {
        const int stage = round / kStage;
        if (round % kStage == 0) {
            knn.Rebuild(knnRatings);
            station.Rebuild(stationRatings);
        }
        for (int n = 0; n < newcomers; ++n) {
            const int l = background + n;
            for (int p = 0; p < kPickers; ++p) {
                const std::vector<int> picks = pickers[p]->Pick(l);
                for (std::size_t k = 0; k < picks.size(); ++k) {
                    const int rating = world.Rating(l, picks[k]);
                    curves.by[p][stage].Add(rating >= 4);
                    if (pickers[p] == &station) {
                        if (station.LastKinds()[k] == PickReason::Kind::Neighbour) {
                            curves.neighbourJustified[stage].Add(rating >= 4);
                        }
                        curves.disliked[stage].Add(station.LastDisliked()[k]);
                        const std::vector<int> loved = world.LovedGenres(l);
                        const int genre = world.GenreOf(picks[k]);
                        const bool inLoved = std::find(loved.begin(), loved.end(), genre) != loved.end();
                        (inLoved ? curves.inLoved : curves.elsewhere)[stage].Add(rating >= 4);
                        if (inLoved && rating >= 4) lovedFound[l].insert(genre);
                        stationRatings.push_back({l + 1, picks[k] + 1, rating});
                    }
                    if (pickers[p] == &knn) knnRatings.push_back({l + 1, picks[k] + 1, rating});
                    pickers[p]->Rated(l, picks[k], rating);
                }
            }
        }
        if (round % kStage == kStage - 1) {
            long found = 0;
            for (const auto& [l, genres] : lovedFound) found += static_cast<long>(genres.size());
            curves.lovedFound[stage] = static_cast<double>(found) / newcomers;
        }
    }
    curves.untrueWhy = station.UntrueWhy();
    curves.microsPerRequest = station.MicrosPerRequest();
    long loved = 0;
    for (const RatingRecord& r : backgroundRatings) loved += r.value >= 4 ? 1 : 0;
    char title[256];
    std::snprintf(title, sizeof title,
                  "population \"%s\": %d items, %d background listeners (%zu ratings, %.0f%% of them 4 or 5), %d new "
                  "listeners; hit rate (ratio to the ceiling); %.0f s",
                  population.name, items, background, backgroundRatings.size(),
                  100.0 * loved / static_cast<double>(backgroundRatings.size()), newcomers,
                  std::chrono::duration<double>(Clock::now() - start).count());
    PrintCurves(title, curves);
    return curves;
}

}  // namespace

int main(int argc, char** argv) {
    const int newcomers = argc > 1 ? std::max(10, std::atoi(argv[1])) : 100;
    const int items = argc > 2 ? std::max(1000, std::atoi(argv[2])) : 5000;
    const int background = argc > 3 ? std::max(20, std::atoi(argv[3])) : 300;
    gSeed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 0;
    StationLog::SetThreshold(vorn::LogLevel::Warning);
    Curves overall;
    for (const Population& population : {Population{"one genre", Taste::OneGenre},
                                         Population{"artists+genres", Taste::ArtistsAndGenres},
                                         Population{"hidden factors", Taste::HiddenFactors}}) {
        Add(overall, Run(population, newcomers, items, background));
    }
    PrintCurves("overall (the three populations together)", overall);
    return 0;
}
