#include "station/media/MediaWorkQueue.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "station/base/StationLog.h"
#include "station/catalogue/DecodeWorker.h"
#include "station/media/ArtExtractor.h"
#include "station/media/LoudnessMeter.h"
#include "station/media/LowPriorityPipeline.h"
#include "station/media/ReplayGainTags.h"
#include "station/protocol/CoreTurns.h"

namespace vorn::station {
namespace {

// How often idle workers look whether the catalogue changed.
constexpr std::chrono::seconds kLook(1);
// Prioritised items kept waiting at most; older ones fall back to the backlog.
constexpr std::size_t kMostUrgent = 512;
// Album mates of a prioritised item that come along with it.
constexpr std::size_t kAlbumMates = 16;

// Values as the store keeps them (hundredths of a dB), so that what a
// restart reads is what was served before it.
double Rounded(double decibels) { return std::round(decibels * 100) / 100; }

}  // namespace

MediaWorkQueue::MediaWorkQueue(StationStore& store, const Catalogue& catalogue, MediaFacts& facts, ArtCache* art,
                               int workers)
    : store_(store), catalogue_(catalogue), facts_(facts), art_(art) {
    for (int k = 0; k < std::max(1, workers); ++k) {
        workers_.emplace_back([this] { Run(); });
    }
}

MediaWorkQueue::~MediaWorkQueue() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) {
        worker.join();
    }
}

int MediaWorkQueue::SpareCores() { return std::max(1, CoreTurns::UsableCores() - 1); }

void MediaWorkQueue::Prioritise(const std::vector<std::int32_t>& items) {
    const std::shared_ptr<const CatalogueSnapshot> snapshot = catalogue_.Current();
    std::vector<std::int32_t> wanted;
    for (const std::int32_t id : items) {
        const CatalogueEntry* entry = snapshot->FindLive(id);
        if (entry == nullptr) {
            continue;
        }
        wanted.push_back(id);
        // The recommender leans towards albums it picked from: their other
        // tracks are likely to come next.
        const std::vector<std::uint32_t>& mates = snapshot->LiveInGroup(entry->album);
        for (std::size_t k = 0; k < mates.size() && k < kAlbumMates; ++k) {
            wanted.push_back(snapshot->Entries()[mates[k]].record.id);
        }
    }
    std::lock_guard lock(mutex_);
    for (const std::int32_t id : wanted) {
        urgent_.push_back(id);
    }
    while (urgent_.size() > kMostUrgent) {
        urgent_.pop_front();
    }
    wake_.notify_one();
}

bool MediaWorkQueue::Needs(const ItemRecord& item) const {
    const std::optional<MediaFactsRecord> known = facts_.Find(item.id);
    if (!known || known->fileSize != item.fileSize || known->modified != item.modified) {
        return true;
    }
    return art_ != nullptr && !known->art.empty() && !art_->Has(known->art);
}

bool MediaWorkQueue::Next(const CatalogueSnapshot& snapshot, ItemRecord& out) {
    for (std::deque<std::int32_t>* queue : {&urgent_, &backlog_}) {
        while (!queue->empty()) {
            const std::int32_t id = queue->front();
            queue->pop_front();
            const CatalogueEntry* entry = snapshot.FindLive(id);
            if (entry != nullptr && working_.count(id) == 0 && Needs(entry->record)) {
                out = entry->record;
                return true;
            }
        }
    }
    return false;
}

void MediaWorkQueue::Run() {
    LowPriorityPipeline::LowerThisThread();
    std::unique_lock lock(mutex_);
    while (!stop_) {
        const std::shared_ptr<const CatalogueSnapshot> snapshot = catalogue_.Current();
        if (snapshot->Generation() != planned_ && !planning_) {
            // Looked through without the lock: Prioritise never waits for it.
            planning_ = true;
            lock.unlock();
            std::deque<std::int32_t> backlog;
            for (const std::uint32_t index : snapshot->Live()) {
                if (Needs(snapshot->Entries()[index].record)) {
                    backlog.push_back(snapshot->Entries()[index].record.id);
                }
            }
            lock.lock();
            planning_ = false;
            planned_ = snapshot->Generation();
            if (!backlog.empty() || firstPlan_) {
                STATION_LOG(LogLevel::Info) << "MediaWorkQueue : " << backlog.size() << " of "
                                            << snapshot->Live().size()
                                            << " items need their art or loudness worked out";
            }
            firstPlan_ = false;
            backlog_ = std::move(backlog);
            continue;
        }
        ItemRecord item;
        if (!Next(*snapshot, item)) {
            if (working_.empty() && drainPending_ && !planning_) {
                Drained(*snapshot);
            }
            DecodeWorker::Running();  // reaps the workers that ended, idle
            wake_.wait_for(lock, kLook);
            continue;
        }
        working_.insert(item.id);
        drainPending_ = true;
        lock.unlock();
        Work(item);
        lock.lock();
        working_.erase(item.id);
    }
}

void MediaWorkQueue::Work(const ItemRecord& item) {
    const std::optional<MediaFactsRecord> known = facts_.Find(item.id);
    const bool fresh = known && known->fileSize == item.fileSize && known->modified == item.modified;
    MediaFactsRecord record;
    if (fresh) {
        record = *known;
    } else {
        record.item = item.id;
        record.fileSize = item.fileSize;
        record.modified = item.modified;
        Loudness loudness;
        std::string problem;
        std::string error;
        if (ReplayGainTags::Read(item.path, loudness, problem)) {
            record.loudnessFrom = LoudnessSource::Tags;
        } else {
            if (!problem.empty()) {
                STATION_LOG(LogLevel::Info) << "MediaWorkQueue : the ReplayGain tags of " << item.path
                                            << " are not used (" << problem << "); its loudness is measured";
            }
            if (LoudnessMeter::Measure(item.path, stop_, loudness, error)) {
                record.loudnessFrom = LoudnessSource::Measured;
            } else if (!stop_) {
                STATION_LOG(LogLevel::Warning) << "MediaWorkQueue : cannot measure the loudness of " << item.path
                                               << " : " << error << "; it is offered without a gain";
            }
        }
        if (record.loudnessFrom != LoudnessSource::None) {
            record.integratedLufs = Rounded(loudness.integratedLufs);
            record.truePeakDbtp = Rounded(loudness.truePeakDbtp);
        }
    }
    if (art_ != nullptr && (!fresh || (!record.art.empty() && !art_->Has(record.art)))) {
        record.art = ArtExtractor::Extract(item.path, *art_, stop_);
    }
    if (stop_) {
        return;  // unfinished: worked out again after the next start
    }
    if (!store_.StoreMediaFacts(record)) {
        STATION_LOG(LogLevel::Warning) << "MediaWorkQueue : cannot store what was learnt from " << item.path
                                       << "; it is worked out again after a restart";
    }
    facts_.Set(record);
    STATION_LOG(LogLevel::Fine) << "MediaWorkQueue : item " << item.id << " : "
                                << (record.loudnessFrom == LoudnessSource::None
                                        ? std::string("no loudness")
                                        : std::to_string(record.integratedLufs) + " LUFS, " +
                                              std::to_string(record.truePeakDbtp) + " dBTP" +
                                              (record.loudnessFrom == LoudnessSource::Tags ? " from its tags"
                                                                                           : " measured"))
                                << ", " << (record.art.empty() ? "no picture" : "picture " + record.art);
    std::lock_guard lock(mutex_);
    if (!fresh) {
        measured_ += record.loudnessFrom == LoudnessSource::Measured ? 1 : 0;
        tagged_ += record.loudnessFrom == LoudnessSource::Tags ? 1 : 0;
        failed_ += record.loudnessFrom == LoudnessSource::None ? 1 : 0;
    }
    pictured_ += record.art.empty() ? 0 : 1;
}

void MediaWorkQueue::Drained(const CatalogueSnapshot& snapshot) {
    if (art_ != nullptr) {
        std::unordered_set<std::string> shown;
        for (const std::uint32_t index : snapshot.Live()) {
            if (const std::optional<MediaFactsRecord> known = facts_.Find(snapshot.Entries()[index].record.id);
                known && !known->art.empty()) {
                shown.insert(known->art);
            }
        }
        art_->RemoveAllBut(shown);
    }
    STATION_LOG(LogLevel::Info) << "MediaWorkQueue : art and loudness of every item known; " << measured_
                                << " measured, " << tagged_ << " from ReplayGain tags, " << failed_
                                << " not measurable, " << pictured_ << " pictures";
    drainPending_ = false;
    measured_ = tagged_ = failed_ = pictured_ = 0;
}

std::size_t MediaWorkQueue::Left() {
    std::lock_guard lock(mutex_);
    return urgent_.size() + backlog_.size() + working_.size();
}

}  // namespace vorn::station
