#include "station/store/RecentRecorder.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "station/base/StationLog.h"

namespace vorn::station {
namespace {

constexpr int kBatchesBetweenPrunes = 2000;
// Records written in one transaction before the writer lets the requests'
// threads run: some 64 answers of 4 items, kept one row per answer, about a
// tenth of a millisecond of work. The system would let it run for a whole
// scheduler tick (4 ms on a 250 Hz kernel) before a request queued behind it
// on the same core gets a turn, whatever its priority.
constexpr std::size_t kRecordsPerTransaction = 256;

}  // namespace

RecentRecorder::RecentRecorder(StationStore& store, int keepPerListener, std::chrono::milliseconds interval)
    : store_(store), keepPerListener_(keepPerListener), interval_(interval) {
    thread_ = std::thread([this] { Run(); });
}

RecentRecorder::~RecentRecorder() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    WritePending();
}

void RecentRecorder::Add(std::vector<RecentRecord> records) {
    std::lock_guard lock(mutex_);
    pending_.insert(pending_.end(), std::make_move_iterator(records.begin()), std::make_move_iterator(records.end()));
}

void RecentRecorder::Flush() { WritePending(); }

bool RecentRecorder::RecordNow(const std::vector<RecentRecord>& records) {
    if (!store_.AppendRecent(records)) {
        return false;
    }
    if ((immediate_.fetch_add(1) + 1) % kBatchesBetweenPrunes == 0) {
        store_.PruneRecent(keepPerListener_);
    }
    return true;
}

void RecentRecorder::Run() {
    ::pthread_setname_np(::pthread_self(), "recent-writer");
    // Linux keeps a nice value per thread.
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kWriterNice) != 0) {
        STATION_LOG(LogLevel::Fine) << "RecentRecorder : the writer keeps the requests' priority";
    }
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, interval_, [this] { return stopping_; });
        lock.unlock();
        WritePending();
        lock.lock();
    }
}

void RecentRecorder::WritePending() {
    std::lock_guard write(writeMutex_);
    std::vector<RecentRecord> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(pending_);
    }
    if (batch.empty()) {
        return;
    }
    std::size_t failed = 0;
    for (std::size_t at = 0; at < batch.size(); at += kRecordsPerTransaction) {
        const std::size_t end = std::min(batch.size(), at + kRecordsPerTransaction);
        const std::vector<RecentRecord> part(std::make_move_iterator(batch.begin() + static_cast<std::ptrdiff_t>(at)),
                                             std::make_move_iterator(batch.begin() + static_cast<std::ptrdiff_t>(end)));
        if (!store_.AppendRecent(part)) {
            failed += part.size();
        }
        std::this_thread::yield();
    }
    if (failed != 0) {
        STATION_LOG(LogLevel::Warning) << "RecentRecorder : " << failed
                                       << " recent recommendations could not be stored";
    }
    if (++batches_ % kBatchesBetweenPrunes == 0) {
        store_.PruneRecent(keepPerListener_);
    }
}

}  // namespace vorn::station
