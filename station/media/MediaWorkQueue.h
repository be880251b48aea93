#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "station/catalogue/Catalogue.h"
#include "station/media/ArtCache.h"
#include "station/media/MediaFacts.h"
#include "station/store/StationStore.h"

namespace vorn::station {

// Works out, in the background, what the station tells of its items' files
// besides their tags: each present item's picture (ArtExtractor, into the art
// cache) and loudness (its ReplayGain tags, else LoudnessMeter), once per
// state of its file. Results go to the store and to MediaFacts as each item
// is done, so a restart picks up where the work stopped and measures nothing
// twice.
//
// One worker per spare core (SpareCores), each at the lowest priority
// (nice 19) and outside the request threads' CoreTurns: a busy station answers
// first and works on its files with what is left. Items about to be
// recommended (Prioritise) go ahead of the rest. The workers follow the
// catalogue by itself: every new snapshot (a scan, a file gone) is looked
// through within a second for items whose file is new or changed.
class MediaWorkQueue {
public:
    // `art` null: no pictures, loudness only.
    MediaWorkQueue(StationStore& store, const Catalogue& catalogue, MediaFacts& facts, ArtCache* art, int workers);
    ~MediaWorkQueue();  // stops; a measurement under way is abandoned, not stored
    MediaWorkQueue(const MediaWorkQueue&) = delete;
    MediaWorkQueue& operator=(const MediaWorkQueue&) = delete;

    // These items, and others of their albums, are worked out before the
    // rest (those already known are passed over).
    void Prioritise(const std::vector<std::int32_t>& items);

    // The cores this process may use less one for the requests, at least one.
    static int SpareCores();

private:
    void Run();
    // Present items whose file is new, changed, or whose picture the cache lost.
    bool Needs(const ItemRecord& item) const;
    // Takes the next item to work on; false when there is none. Holds mutex_.
    bool Next(const CatalogueSnapshot& snapshot, ItemRecord& out);
    void Work(const ItemRecord& item);
    // Once nothing is left: says so, and drops the pictures no present item
    // shows any more. Holds mutex_ with no work under way.
    void Drained(const CatalogueSnapshot& snapshot);

    StationStore& store_;
    const Catalogue& catalogue_;
    MediaFacts& facts_;
    ArtCache* const art_;
    std::atomic<bool> stop_{false};  // also read by the measurement and the scaler under way

    std::mutex mutex_;  // guards every member below
    std::condition_variable wake_;
    std::uint64_t planned_ = 0;  // the catalogue generation the backlog was made from
    bool planning_ = false;
    bool firstPlan_ = true;
    std::deque<std::int32_t> urgent_;   // Prioritise, oldest first
    std::deque<std::int32_t> backlog_;  // every item found to need work, in catalogue order
    std::unordered_set<std::int32_t> working_;
    bool drainPending_ = false;  // work was done since nothing was left last
    int measured_ = 0;
    int tagged_ = 0;
    int failed_ = 0;
    int pictured_ = 0;
    std::vector<std::thread> workers_;
};

}  // namespace vorn::station
