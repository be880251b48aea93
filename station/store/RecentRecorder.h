#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "station/store/StationStore.h"

namespace vorn::station {

// Writes the recommendations handed out to the store in batches from a thread
// of its own, so a request never waits for the disk because of them. Losing
// the last batch in a crash only lets an item come round again sooner.
//
// The thread (named "recent-writer") runs at a lower priority than the
// requests, writes often, so each batch is small, and writes a batch in short
// transactions, letting the requests run between them: on a busy core a batch
// of a thousand records would otherwise hold it for milliseconds in front of the
// requests queued there. It still gets the few per cent it needs.
class RecentRecorder {
public:
    static constexpr int kWriterNice = 10;

    RecentRecorder(StationStore& store, int keepPerListener,
                   std::chrono::milliseconds interval = std::chrono::milliseconds(50));
    ~RecentRecorder();  // writes what is pending and joins the thread
    RecentRecorder(const RecentRecorder&) = delete;
    RecentRecorder& operator=(const RecentRecorder&) = delete;

    void Add(std::vector<RecentRecord> records);
    // Writes at once, for a store other stations share: the listener's next
    // request may go to one of them. False when the store failed.
    bool RecordNow(const std::vector<RecentRecord>& records);
    // Writes everything added so far before returning.
    void Flush();

private:
    void Run();
    void WritePending();

    StationStore& store_;
    const int keepPerListener_;
    const std::chrono::milliseconds interval_;
    std::mutex mutex_;  // guards pending_, stopping_
    std::condition_variable wake_;
    std::vector<RecentRecord> pending_;
    bool stopping_ = false;
    std::mutex writeMutex_;  // one batch write at a time, in order; never taken while holding mutex_
    int batches_ = 0;        // guarded by writeMutex_
    std::atomic<int> immediate_{0};  // writes by RecordNow, counted for pruning
    std::thread thread_;
};

}  // namespace vorn::station
