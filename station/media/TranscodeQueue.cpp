#include "station/media/TranscodeQueue.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "station/base/StationLog.h"

namespace vorn::station {
namespace {

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

}  // namespace

TranscodeQueue::TranscodeQueue(Mp3Cache& cache, Catalogue& catalogue, int workers)
    : cache_(cache), catalogue_(catalogue) {
    for (int n = 0; n < std::max(1, workers); ++n) {
        workers_.emplace_back([this] { Work(); });
    }
}

TranscodeQueue::~TranscodeQueue() { Stop(); }

void TranscodeQueue::Prepare(const std::vector<ItemRecord>& items) {
    bool added = false;
    {
        std::lock_guard lock(mutex_);
        for (const ItemRecord& item : items) {
            if (stopping_) {
                break;
            }
            if (!NeedsMp3Made(item)) {
                continue;
            }
            std::string key = Mp3Cache::KeyOf(item);
            if (jobs_.count(key) != 0 || failed_.count(key) != 0 || cache_.Has(key)) {
                continue;
            }
            if (ahead_.size() >= kMostAhead) {
                STATION_LOG(LogLevel::Fine) << "TranscodeQueue : item " << ahead_.front()->item.id
                                            << " is no longer made ahead: too many wait";
                jobs_.erase(ahead_.front()->key);
                ahead_.pop_front();
            }
            auto job = std::make_shared<Job>();
            job->item = item;
            job->key = std::move(key);
            jobs_[job->key] = job;
            ahead_.push_back(std::move(job));
            added = true;
        }
    }
    if (added) {
        work_.notify_all();
    }
}

bool TranscodeQueue::TakeMade(const ItemRecord& item, UniqueFd& file, std::uint64_t& length) {
    return cache_.Take(Mp3Cache::KeyOf(item), file, length);
}

void TranscodeQueue::Fetch(const ItemRecord& item, Done done) {
    const std::string key = Mp3Cache::KeyOf(item);
    Outcome outcome = Outcome::Ready;
    UniqueFd file;
    std::uint64_t length = 0;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            outcome = Outcome::Stopping;
        } else if (failed_.count(key) != 0) {
            outcome = Outcome::Unplayable;
        } else if (const auto queued = jobs_.find(key); queued != jobs_.end()) {
            Job& job = *queued->second;
            job.waiting.push_back(std::move(done));
            if (!job.running && !job.urgent) {
                ahead_.erase(std::find(ahead_.begin(), ahead_.end(), queued->second));
                job.urgent = true;
                urgent_.push_back(queued->second);
            }
            return;
        } else if (!cache_.Take(key, file, length)) {  // made since the caller looked
            auto job = std::make_shared<Job>();
            job->item = item;
            job->key = key;
            job->urgent = true;
            job->waiting.push_back(std::move(done));
            jobs_[key] = job;
            urgent_.push_back(std::move(job));
            work_.notify_one();
            return;
        }
    }
    done(outcome, std::move(file), length);
}

void TranscodeQueue::Stop() {
    std::vector<Done> waiting;
    {
        std::lock_guard lock(mutex_);
        if (stopping_ && workers_.empty()) {
            return;
        }
        stopping_ = true;
        stop_ = true;
        // The jobs under way end with Stopped and tell their own.
        for (auto* queue : {&urgent_, &ahead_}) {
            for (const auto& job : *queue) {
                std::move(job->waiting.begin(), job->waiting.end(), std::back_inserter(waiting));
                jobs_.erase(job->key);
            }
            queue->clear();
        }
    }
    work_.notify_all();
    for (Done& done : waiting) {
        done(Outcome::Stopping, UniqueFd(), 0);
    }
    for (std::thread& worker : workers_) {
        worker.join();
    }
    workers_.clear();
}

void TranscodeQueue::Work() {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock lock(mutex_);
            work_.wait(lock, [this] { return stopping_ || !urgent_.empty() || !ahead_.empty(); });
            if (stopping_) {
                return;
            }
            auto& queue = urgent_.empty() ? ahead_ : urgent_;
            job = std::move(queue.front());
            queue.pop_front();
            job->running = true;
        }
        const auto start = std::chrono::steady_clock::now();
        std::string error;
        const Transcoder::Result result = Transcoder::Run(job->item, cache_.PartPath(job->key), stop_, error);
        Finish(*job, result, std::move(error),
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}

void TranscodeQueue::Finish(Job& job, Transcoder::Result result, std::string error, double seconds) {
    Outcome outcome = Outcome::Unavailable;
    UniqueFd file;
    std::uint64_t length = 0;
    bool logUnavailable = false;
    switch (result) {
        case Transcoder::Result::Made:
            // Kept before the job ends: a request arriving meanwhile finds
            // either the job or the file.
            if (cache_.Keep(job.key, file, length, error)) {
                outcome = Outcome::Ready;
                made_.fetch_add(1);
                STATION_LOG(LogLevel::Info) << "TranscodeQueue : made the MP3 of item " << job.item.id << " in "
                                            << Seconds(seconds) << ", " << Mp3Cache::Megabytes(length);
            } else {
                logUnavailable = true;
            }
            break;
        case Transcoder::Result::Gone:
        case Transcoder::Result::Unusable:
            outcome = Outcome::Unplayable;
            break;
        case Transcoder::Result::Unavailable:
            logUnavailable = true;
            break;
        case Transcoder::Result::Stopped:
            outcome = Outcome::Stopping;
            break;
    }
    if (outcome != Outcome::Ready) {
        ::unlink(cache_.PartPath(job.key).c_str());
    }
    std::vector<Done> waiting;
    {
        std::lock_guard lock(mutex_);
        jobs_.erase(job.key);
        waiting = std::move(job.waiting);
        if (result == Transcoder::Result::Unusable) {
            failed_.insert(job.key);
        }
        logUnavailable = logUnavailable && unavailable_.insert(error).second;
    }
    if (logUnavailable) {
        STATION_LOG(LogLevel::Severe) << "TranscodeQueue : no MP3 can be made : " << error
                                      << "; items in other formats cannot be served until it can";
    }
    for (Done& done : waiting) {
        done(outcome, file.Valid() ? UniqueFd(::fcntl(file.Get(), F_DUPFD_CLOEXEC, 0)) : UniqueFd(), length);
    }
    if (result == Transcoder::Result::Gone) {
        catalogue_.ReportMissing(job.item.id);
    } else if (result == Transcoder::Result::Unusable) {
        STATION_LOG(LogLevel::Warning) << "TranscodeQueue : the file of item " << job.item.id << ", "
                                       << job.item.path << ", cannot be made into an MP3 : " << error
                                       << "; it is no longer recommended";
        catalogue_.ReportUnplayable(job.item);
    }
}

}  // namespace vorn::station
