// Usage: rotation_bench [requests]
//
// What a request costs a listener who has rated the whole catalogue, whose
// picks are the loved items back in rotation, beside the floor: a request of a
// listener with 20 ratings, on the same catalogue, in the same run. Catalogues
// of 1,000, 10,000 and 100,000 items (500 artists, 1,000 albums, 20 genres);
// the lover rates every item, one in ten 4 or 5 stars, the rest 1 to 3. Each
// request asks for 4 items, as the client does. Also printed: the first
// request after a rating, which puts the rotation in order again. The
// recommender alone, without a station around it: the protocol's own cost is
// station_bench's.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "station/catalogue/CatalogueSnapshot.h"
#include "station/recommend/Recommender.h"

using namespace vorn::station;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::int32_t kOrdinary = 1;
constexpr std::int32_t kLover = 2;

std::shared_ptr<CatalogueSnapshot> Snapshot(int items) {
    std::vector<CatalogueEntry> entries;
    entries.reserve(static_cast<std::size_t>(items));
    for (int n = 0; n < items; ++n) {
        CatalogueEntry entry;
        entry.record.id = n + 1;
        entry.artist = static_cast<GroupId>(1 + n % 500);
        entry.album = static_cast<GroupId>(1000 + n % 1000);
        entry.genre = static_cast<GroupId>(3000 + n % 20);
        entries.push_back(std::move(entry));
    }
    return std::make_shared<CatalogueSnapshot>(std::move(entries), 1);
}

struct Figures {
    double p50 = 0;
    double p99 = 0;
};

// Microseconds per request of `listener` over `requests` requests for 4 items.
Figures Time(Recommender& recommender, std::int32_t listener, const CatalogueSnapshot& snapshot, int requests,
             bool& empty) {
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(requests));
    for (int r = 0; r < requests; ++r) {
        const auto start = Clock::now();
        empty = recommender.Recommend(listener, 4, snapshot).size() != 4 || empty;
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(micros.begin(), micros.end());
    return {micros[micros.size() / 2], micros[micros.size() * 99 / 100]};
}

}  // namespace

int main(int argc, char** argv) {
    const int requests = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
    std::printf("%d requests for 4 items per listener and catalogue; microseconds per request\n", requests);
    std::printf("%8s %22s %22s %10s %20s\n", "items", "floor: 20 ratings", "lover of everything", "p99 ratio",
                "after a rating (us)");
    bool failed = false;
    for (const int items : {1000, 10000, 100000}) {
        const std::shared_ptr<CatalogueSnapshot> snapshot = Snapshot(items);
        RecommenderSettings settings;
        settings.seed = 7;
        Recommender recommender(settings);
        std::mt19937 random(42);
        std::vector<std::pair<std::int32_t, std::int32_t>> ordinary;
        for (int r = 0; r < 20; ++r) {
            ordinary.emplace_back(1 + static_cast<int>(random() % static_cast<unsigned>(items)),
                                  1 + static_cast<int>(random() % 5));
        }
        recommender.ApplyRatings(kOrdinary, ordinary);
        std::vector<std::pair<std::int32_t, std::int32_t>> everything;
        for (int n = 1; n <= items; ++n) {
            everything.emplace_back(n, n % 10 == 0 ? 4 + n % 20 / 10 : 1 + static_cast<int>(random() % 3));
        }
        recommender.ApplyRatings(kLover, everything);
        bool empty = false;
        Time(recommender, kLover, *snapshot, 10, empty);  // puts the rotation in order once
        const Figures floor = Time(recommender, kOrdinary, *snapshot, requests, empty);
        const Figures lover = Time(recommender, kLover, *snapshot, requests, empty);
        recommender.ApplyRatings(kLover, {{1, 5}});
        const auto start = Clock::now();
        empty = recommender.Recommend(kLover, 4, *snapshot).size() != 4 || empty;
        const double reorder = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        std::printf("%8d %10.1f p50 %6.1f p99 %10.1f p50 %6.1f p99 %9.2fx %20.0f\n", items, floor.p50, floor.p99,
                    lover.p50, lover.p99, lover.p99 / floor.p99, reorder);
        failed = failed || empty;
    }
    if (failed) {
        std::fprintf(stderr, "a request gave fewer than 4 items\n");
        return 1;
    }
    std::printf("target: the lover's p99 within 2x the floor's at every size\n");
    return 0;
}
