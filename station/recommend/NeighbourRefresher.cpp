#include "station/recommend/NeighbourRefresher.h"

#include <utility>

#include "station/base/StationLog.h"

namespace vorn::station {

NeighbourRefresher::NeighbourRefresher(StationStore& store, Recommender& recommender,
                                       std::chrono::milliseconds interval, NeighbourSettings settings,
                                       CatalogueSource catalogue)
    : store_(store),
      recommender_(recommender),
      interval_(interval),
      settings_(settings),
      catalogue_(std::move(catalogue)) {
    thread_ = std::thread([this] { Run(); });
}

NeighbourRefresher::~NeighbourRefresher() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

int NeighbourRefresher::Builds() const {
    std::lock_guard lock(mutex_);
    return builds_;
}

void NeighbourRefresher::Run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        Refresh();
        lock.lock();
        wake_.wait_for(lock, interval_, [this] { return stopping_; });
    }
}

void NeighbourRefresher::Refresh() {
    const auto start = std::chrono::steady_clock::now();
    const std::vector<RatingRecord> ratings = store_.LoadRatings();
    if (ratings.empty()) {
        return;
    }
    const std::shared_ptr<const CatalogueSnapshot> snapshot = catalogue_ ? catalogue_() : nullptr;
    const ItemArtists artists = snapshot ? ArtistsOf(*snapshot) : ItemArtists{};
    auto neighbours = std::make_shared<const ItemNeighbours>(
        ItemNeighbours::Build(ratings, settings_, snapshot ? &artists : nullptr));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    STATION_LOG(LogLevel::Info) << "NeighbourRefresher : neighbours of " << neighbours->Items() << " items from "
                                << ratings.size() << " ratings in " << took.count() << " ms";
    recommender_.SetNeighbours(std::move(neighbours));
    std::lock_guard lock(mutex_);
    ++builds_;
    last_.ended = std::chrono::steady_clock::now();
    last_.took = last_.ended - start;
}

NeighbourRefresher::LastBuild NeighbourRefresher::Last() const {
    std::lock_guard lock(mutex_);
    return last_;
}

}  // namespace vorn::station
