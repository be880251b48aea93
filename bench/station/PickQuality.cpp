// Usage: pick_quality [listeners] [items] [judged listeners]
//
// How well the station's picks match what listeners like, on synthetic
// populations whose tastes are known. 2,000 listeners (by default) with hidden
// tastes over 10,000 items: 1,000 artists of 10 items (two albums of five) in
// 25 genres, and 30 taste clusters that cut across artists and genres and that
// no tag reveals. Each listener rates 100 items drawn as people come to rate
// things: half by popularity (a Zipf law), half among what they already like.
// Every other item's rating, the one the hidden taste would give, is held out.
//
// Two populations:
//   tags      taste follows genres and artists only: the tags tell it all;
//   clusters  taste follows mostly the hidden clusters, a little the genres.
// For a sample of listeners each recommender is asked five times for 4 items;
// "hit rate at 4" is the share of recommended items the hidden taste rates 4
// or 5. Printed side by side: random picks, the recommender without item
// neighbours (the groups alone) and with them, and the cost of a request and of
// building the neighbours.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "station/catalogue/CatalogueSnapshot.h"
#include "station/recommend/ItemNeighbours.h"
#include "station/recommend/Recommender.h"
#include "station/base/StationLog.h"

using namespace vorn::station;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kArtistItems = 10;
constexpr int kGenres = 25;
constexpr int kClusters = 30;
constexpr int kRatingsEach = 100;
constexpr int kRequests = 5;
constexpr int kCount = 4;

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

std::uint64_t Key(std::uint64_t kind, std::uint64_t a, std::uint64_t b) { return Mix(kind * 0x1000003 ^ Mix(a * 0x10001 ^ b)); }

struct Item {
    int artist, album, genre, cluster;
};

struct Population {
    const char* name;
    double genre, artist, cluster;  // weights of each part of the hidden taste
};

class World {
public:
    World(int listeners, int items, Population population)
        : listeners_(listeners), population_(population) {
        for (int n = 0; n < items; ++n) {
            const int artist = n / kArtistItems;
            items_.push_back({artist, artist * 2 + (n % kArtistItems) / 5, artist % kGenres,
                              static_cast<int>(Mix(Key(1, n, 0)) % kClusters)});
        }
    }

    // What listener `l` thinks of item `i`, before rounding.
    double Taste(int l, int i) const {
        const Item& item = items_[static_cast<std::size_t>(i)];
        // Each listener loves three genres and two clusters and is lukewarm
        // about the rest; artists vary around that.
        const auto liked = [&](int kind, int value, int among, int loved) {
            for (int k = 0; k < loved; ++k) {
                if (static_cast<int>(Mix(Key(kind, l, k)) % among) == value) return 1.6;
            }
            return -0.25 + 0.3 * Normal(Key(kind + 10, l, value));
        };
        return population_.genre * liked(2, item.genre, kGenres, 3) +
               population_.artist * 0.6 * Normal(Key(4, l, item.artist)) +
               population_.cluster * liked(3, item.cluster, kClusters, 2) + 0.45 * Normal(Key(5, l, i));
    }
    int Rating(int l, int i) const { return std::clamp(static_cast<int>(std::lround(2.6 + Taste(l, i))), 1, 5); }

    // 100 distinct items per listener: half by popularity, half among liked ones.
    std::vector<RatingRecord> DrawRatings() const {
        const int items = static_cast<int>(items_.size());
        std::vector<double> zipf(static_cast<std::size_t>(items));
        double total = 0;
        for (int r = 0; r < items; ++r) {
            total += 1.0 / (r + 10);
            zipf[static_cast<std::size_t>(r)] = total;
        }
        std::vector<int> byPopularity(static_cast<std::size_t>(items));
        for (int i = 0; i < items; ++i) byPopularity[static_cast<std::size_t>(i)] = i;
        std::shuffle(byPopularity.begin(), byPopularity.end(), std::mt19937(7));
        std::vector<RatingRecord> ratings;
        std::mt19937_64 random(11);
        for (int l = 0; l < listeners_; ++l) {
            std::set<int> chosen;
            for (int tries = 0; tries < 200000 && static_cast<int>(chosen.size()) < kRatingsEach; ++tries) {
                int item = 0;
                if (tries % 2 == 0) {
                    const double at = std::uniform_real_distribution<double>(0, total)(random);
                    item = byPopularity[static_cast<std::size_t>(std::lower_bound(zipf.begin(), zipf.end(), at) - zipf.begin())];
                } else {
                    item = static_cast<int>(random() % static_cast<std::uint64_t>(items));
                    if (Taste(l, item) < 1.0) continue;  // people mostly go looking for what they like
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
            entry.artist = static_cast<GroupId>(1 + items_[n].artist);
            entry.album = static_cast<GroupId>(100000 + items_[n].album);
            entry.genre = static_cast<GroupId>(900000 + items_[n].genre);
            entries.push_back(std::move(entry));
        }
        return std::make_shared<CatalogueSnapshot>(std::move(entries), 1);
    }

    int Listeners() const { return listeners_; }
    int Items() const { return static_cast<int>(items_.size()); }

private:
    int listeners_;
    Population population_;
    std::vector<Item> items_;
};

struct Outcome {
    double hitRate = 0;
    double microsPerRequest = 0;
};

// Asks `pick` five times for 4 items for every judged listener.
template <typename Pick>
Outcome Judge(const World& world, int judged, Pick pick) {
    long hits = 0, offered = 0;
    const auto start = Clock::now();
    for (int n = 0; n < judged; ++n) {
        const int listener = 1 + static_cast<int>(Mix(Key(9, n, 0)) % static_cast<std::uint64_t>(world.Listeners()));
        for (int request = 0; request < kRequests; ++request) {
            for (std::int32_t item : pick(listener)) {
                hits += world.Rating(listener - 1, item - 1) >= 4 ? 1 : 0;
                ++offered;
            }
        }
    }
    const double micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    return {offered == 0 ? 0 : static_cast<double>(hits) / static_cast<double>(offered),
            micros / (judged * kRequests)};
}

void Run(const Population& population, int listeners, int items, int judged) {
    const World world(listeners, items, population);
    const std::vector<RatingRecord> ratings = world.DrawRatings();
    const std::shared_ptr<CatalogueSnapshot> snapshot = world.Snapshot();
    std::vector<std::int32_t> ids;
    std::unordered_map<std::int32_t, std::set<std::int32_t>> rated;
    long liked = 0;
    for (const RatingRecord& rating : ratings) {
        rated[rating.listener].insert(rating.item);
        liked += rating.value >= 4 ? 1 : 0;
    }
    for (int l = 1; l <= listeners; ++l) ids.push_back(l);
    long baseHits = 0;
    const int sampleItems = std::min(items, 2000);
    for (int l = 0; l < 200; ++l) {
        for (int i = 0; i < sampleItems; ++i) baseHits += world.Rating(l, i) >= 4 ? 1 : 0;
    }

    std::mt19937_64 random(3);
    const Outcome byChance = Judge(world, judged, [&](int listener) {
        std::vector<std::int32_t> picks;
        while (static_cast<int>(picks.size()) < kCount) {
            const auto item = static_cast<std::int32_t>(1 + random() % static_cast<std::uint64_t>(items));
            if (rated[listener].count(item) == 0) picks.push_back(item);
        }
        return picks;
    });

    RecommenderSettings settings;
    settings.seed = 5;
    Recommender groups(settings);
    groups.Load(ids, ratings, {});
    const Outcome byGroups = Judge(world, judged, [&](int listener) { return groups.Recommend(listener, kCount, *snapshot); });

    const auto buildStart = Clock::now();
    auto neighbours = std::make_shared<const ItemNeighbours>(ItemNeighbours::Build(ratings));
    const double buildSeconds = std::chrono::duration<double>(Clock::now() - buildStart).count();
    Recommender blended(settings);
    blended.Load(ids, ratings, {});
    blended.SetNeighbours(neighbours);
    const Outcome byBoth = Judge(world, judged, [&](int listener) { return blended.Recommend(listener, kCount, *snapshot); });

    std::printf("\npopulation \"%s\": %d listeners, %d items, %zu ratings (%.0f%% of them 4 or 5; %.0f%% of all items "
                "would be), %d listeners judged\n",
                population.name, listeners, items, ratings.size(), 100.0 * liked / static_cast<double>(ratings.size()),
                100.0 * baseHits / (200.0 * sampleItems), judged);
    std::printf("  %-34s %12s %16s\n", "picks", "hit rate@4", "us per request");
    std::printf("  %-34s %12.3f %16s\n", "random", byChance.hitRate, "-");
    std::printf("  %-34s %12.3f %16.1f\n", "groups only (before neighbours)", byGroups.hitRate, byGroups.microsPerRequest);
    std::printf("  %-34s %12.3f %16.1f\n", "groups + item neighbours", byBoth.hitRate, byBoth.microsPerRequest);
    std::printf("  ratio, with / without neighbours: %.2fx; neighbours for %zu items built in %.2f s\n",
                byGroups.hitRate > 0 ? byBoth.hitRate / byGroups.hitRate : 0.0, neighbours->Items(), buildSeconds);
}

}  // namespace

int main(int argc, char** argv) {
    const int listeners = argc > 1 ? std::max(100, std::atoi(argv[1])) : 2000;
    const int items = argc > 2 ? std::max(1000, std::atoi(argv[2])) : 10000;
    const int judged = argc > 3 ? std::max(10, std::atoi(argv[3])) : 500;
    StationLog::SetThreshold(vorn::LogLevel::Warning);
    Run({"tags", 1.0, 1.0, 0.0}, listeners, items, judged);
    Run({"clusters", 0.35, 0.5, 1.0}, listeners, items, judged);
    return 0;
}
