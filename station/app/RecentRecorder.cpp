#include "station/app/RecentRecorder.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include "station/app/StationLog.h"

namespace vorn::station {
namespace {

constexpr int kBatchesBetweenPrunes = 2000;

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

void RecentRecorder::Add(const std::vector<RecentRecord>& records) {
    std::lock_guard lock(mutex_);
    pending_.insert(pending_.end(), records.begin(), records.end());
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
    if (!store_.AppendRecent(batch)) {
        STATION_LOG(LogLevel::Warning) << "RecentRecorder : " << batch.size()
                                       << " recent recommendations could not be stored";
    }
    if (++batches_ % kBatchesBetweenPrunes == 0) {
        store_.PruneRecent(keepPerListener_);
    }
}

}  // namespace vorn::station
