#include "station/recommend/NeighbourRefresher.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "station/base/StationLog.h"

namespace vorn::station {
namespace {

constexpr std::chrono::seconds kLook(1);  // how often the ratings taken in are looked at
constexpr std::uint64_t kMinNewRatings = 20;
constexpr double kGrowth = 0.05;  // of the last build's ratings, new ones that make it old
constexpr int kIdleFactor = 9;    // after a build, wait this many times as long as it took

}  // namespace

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
        // A glance at one counter once a second: the requests that take the
        // ratings in never wait on, or call into, the background build.
        const auto due = std::chrono::steady_clock::now() + interval_;
        while (!stopping_ && std::chrono::steady_clock::now() < due) {
            const auto left = due - std::chrono::steady_clock::now();
            wake_.wait_for(lock, std::min<std::chrono::steady_clock::duration>(left, kLook),
                           [this] { return stopping_; });
            if (!stopping_ && Outgrown()) {
                break;
            }
        }
    }
}

bool NeighbourRefresher::Outgrown() const {
    const std::uint64_t added = recommender_.RatingsApplied() - appliedAtLoad_;
    const auto growth = static_cast<std::uint64_t>(kGrowth * static_cast<double>(builtFrom_));
    const auto threshold = std::max(kMinNewRatings, growth);
    return added >= threshold && std::chrono::steady_clock::now() - last_.ended >= kIdleFactor * last_.took;
}

void NeighbourRefresher::Refresh() {
    const auto start = std::chrono::steady_clock::now();
    appliedAtLoad_ = recommender_.RatingsApplied();  // ratings taken in later count towards the next build
    const std::vector<RatingRecord> ratings = store_.LoadRatings();
    builtFrom_ = ratings.size();
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
    if (snapshot) {
        const auto genres = recommender_.RefreshGenreModel(*snapshot);
        if (genres->Usable()) {
            STATION_LOG(LogLevel::Info) << "NeighbourRefresher : listeners love " << std::lround(100 * genres->Share())
                                        << " % of the genres they were offered, rated "
                                        << std::lround(10 * genres->Difference()) / 10.0 << " stars above the rest";
        }
    }
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
