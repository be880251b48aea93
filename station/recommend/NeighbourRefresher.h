#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "station/recommend/ItemNeighbours.h"
#include "station/recommend/Recommender.h"
#include "station/store/StationStore.h"

namespace vorn::station {

// Rebuilds the recommender's item neighbours from every listener's ratings in
// the store on a thread of its own: once at start, then every `interval`, and
// sooner once the recommender has taken in ratings worth a twentieth of the
// last build (at least 20): a station that starts empty, or whose listeners
// rate a lot at once, learns from the community within seconds, not at the
// next interval. Builds are spaced so that they take at most a tenth of a
// core. Requests never wait for it; they use the last neighbours built. A store
// that cannot be read (or holds no ratings yet) leaves the neighbours as they
// were. With a shared store the ratings of every station count. With
// `catalogue` (the catalogue as it stands at each build), the hidden factors
// tie each artist's items together.
class NeighbourRefresher {
public:
    using CatalogueSource = std::function<std::shared_ptr<const CatalogueSnapshot>()>;
    NeighbourRefresher(StationStore& store, Recommender& recommender, std::chrono::milliseconds interval,
                       NeighbourSettings settings = {}, CatalogueSource catalogue = {});
    ~NeighbourRefresher();  // stops and joins; a build under way finishes first
    NeighbourRefresher(const NeighbourRefresher&) = delete;
    NeighbourRefresher& operator=(const NeighbourRefresher&) = delete;

    // Builds counted so far (tests wait for the first).
    int Builds() const;
    // How long the last build took and when it ended; zero before the first.
    struct LastBuild {
        std::chrono::steady_clock::duration took{};
        std::chrono::steady_clock::time_point ended{};
    };
    LastBuild Last() const;

private:
    void Run();
    void Refresh();
    // Whether the listeners have rated enough since the last build, and long
    // enough ago, to build again before the interval is up.
    bool Outgrown() const;

    StationStore& store_;
    Recommender& recommender_;
    const std::chrono::milliseconds interval_;
    const NeighbourSettings settings_;
    const CatalogueSource catalogue_;
    mutable std::mutex mutex_;  // guards stopping_, builds_ and last_
    std::condition_variable wake_;
    bool stopping_ = false;
    int builds_ = 0;
    LastBuild last_;
    // The recommender's ratings applied when the last build loaded the store,
    // and how many ratings that build was made from: the refresher's thread
    // alone touches them.
    std::uint64_t appliedAtLoad_ = 0;
    std::size_t builtFrom_ = 0;
    std::thread thread_;
};

}  // namespace vorn::station
