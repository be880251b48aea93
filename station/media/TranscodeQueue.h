#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "station/base/UniqueFd.h"
#include "station/catalogue/Catalogue.h"
#include "station/media/Mp3Cache.h"
#include "station/media/Transcoder.h"

namespace vorn::station {

// Makes the MP3s of the items that are not MP3s into the cache, on a few
// threads of its own (never a request's thread, never a core turn): ahead of
// time for the items about to be recommended (Prepare), and at once for a
// request that waits for one (Fetch), before any made ahead. Every request
// for an item being made waits for that one job. An item whose file cannot be
// made into an MP3 is logged once, reported to the catalogue as unplayable and
// not tried again while the station runs; one whose file is gone is reported
// missing.
class TranscodeQueue {
public:
    enum class Outcome {
        Ready,        // the MP3 is made; its file comes with it
        Unplayable,   // the item's file is gone or cannot be made into an MP3
        Unavailable,  // no MP3 could be made this time (a full disk, GStreamer missing)
        Stopping,     // the station is stopping
    };
    // Told once how a Fetch ended: with the MP3 opened, and its length, when Ready.
    using Done = std::function<void(Outcome outcome, UniqueFd file, std::uint64_t length)>;

    // Items made ahead wait at most this many; beyond, the oldest are dropped
    // (a request makes them later if they are still wanted).
    static constexpr std::size_t kMostAhead = 256;

    TranscodeQueue(Mp3Cache& cache, Catalogue& catalogue, int workers);
    ~TranscodeQueue();  // stops
    TranscodeQueue(const TranscodeQueue&) = delete;
    TranscodeQueue& operator=(const TranscodeQueue&) = delete;

    // Makes the MP3s of these items in the background, in this order, after
    // those made already or under way and those that failed.
    void Prepare(const std::vector<ItemRecord>& items);
    // The item's MP3 if it is made: opened, counted as used now.
    bool TakeMade(const ItemRecord& item, UniqueFd& file, std::uint64_t& length);
    // The item's MP3 however it comes: `done` is called once, at once when the
    // outcome is known, or later on one of the queue's threads. Without the
    // queue's lock held, so it may call back into the queue.
    void Fetch(const ItemRecord& item, Done done);
    // Stops the jobs under way, tells every waiting Fetch (Stopping) and
    // joins the threads; later Fetches are told Stopping at once. Idempotent.
    void Stop();

    // MP3s made since the start (for tests and logs).
    std::uint64_t Made() const { return made_.load(); }

private:
    struct Job {
        ItemRecord item;
        std::string key;
        std::vector<Done> waiting;
        bool urgent = false;   // in urgent_, or was before it ran
        bool running = false;  // taken by a worker
    };

    void Work();
    void Finish(Job& job, Transcoder::Result result, std::string error, double seconds);

    Mp3Cache& cache_;
    Catalogue& catalogue_;
    // Guards jobs_, urgent_, ahead_, failed_, unavailable_ and stopping_; the
    // cache's own lock may be taken inside it, never the other way round.
    std::mutex mutex_;
    std::condition_variable work_;
    std::unordered_map<std::string, std::shared_ptr<Job>> jobs_;  // queued or running, by key
    std::deque<std::shared_ptr<Job>> urgent_;                       // waited for, oldest first
    std::deque<std::shared_ptr<Job>> ahead_;                        // made ahead, oldest first
    std::unordered_set<std::string> failed_;                        // keys that cannot be made
    std::unordered_set<std::string> unavailable_;                   // reasons already logged
    bool stopping_ = false;
    std::atomic<bool> stop_{false};  // read by the pipelines under way
    std::atomic<std::uint64_t> made_{0};
    std::vector<std::thread> workers_;
};

}  // namespace vorn::station
