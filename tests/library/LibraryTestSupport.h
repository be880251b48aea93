#pragma once

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "library/PlaylistListener.h"
#include "library/VornPlaylistItem.h"
#include "platform/Clock.h"
#include "server/Recommendation.h"
#include "tests/support/TempDir.h"

namespace vorn::test {

inline std::unique_ptr<Recommendation> MakeRecommendation(std::int32_t id, const std::string& url,
                                                          const std::string& file = "",
                                                          const std::string& artist = "",
                                                          const std::string& title = "") {
    auto r = std::make_unique<Recommendation>(id, 0);
    r->AddDetail("url", url);
    r->AddDetail("Source", "http://station.example/item/" + std::to_string(id));
    r->AddDetail("Filename", file.empty() ? "song" + std::to_string(id) + ".mp3" : file);
    if (!artist.empty()) r->AddDetail("Artist", artist);
    if (!title.empty()) r->AddDetail("Title", title);
    return r;
}

// A restored item whose file exists in `folder` (which ends with "/").
inline std::unique_ptr<VornPlaylistItem> MakeStoredItem(std::int32_t id, const std::string& folder,
                                                        std::int32_t rating, std::int32_t lastPlayed = 0) {
    auto item = std::make_unique<VornPlaylistItem>(MakeRecommendation(id, "http://h/" + std::to_string(id) + ".mp3"),
                                                   folder, lastPlayed, rating);
    WriteFile(item->FullPath(), "mp3 data of " + std::to_string(id));
    return item;
}

class FixedClock : public Clock {
public:
    explicit FixedClock(std::int64_t now) : now_(now) {}
    std::int64_t NowSeconds() const override { return now_; }
    void Set(std::int64_t now) { now_ = now; }

private:
    std::int64_t now_;
};

// Records what the playlist tells its listener.
class RecordingListener : public PlaylistListener {
public:
    void OnItemDownloaded() override {
        std::lock_guard lock(mutex_);
        ++downloaded;
        changed_.notify_all();
    }
    void OnDownloadProgress(std::int32_t percent) override {
        std::lock_guard lock(mutex_);
        progress.push_back(percent);
    }
    void OnDownloadFailed(VornPlaylistItem* item) override {
        std::lock_guard lock(mutex_);
        failedIds.push_back(item->ItemId());
        changed_.notify_all();
    }
    bool WaitFor(int downloads, int failures = 0, int timeoutMs = 15000) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return downloaded >= downloads && static_cast<int>(failedIds.size()) >= failures;
        });
    }
    int Downloaded() {
        std::lock_guard lock(mutex_);
        return downloaded;
    }

    std::mutex mutex_;  // guards every field
    std::condition_variable changed_;
    int downloaded = 0;
    std::vector<std::int32_t> progress;
    std::vector<std::int32_t> failedIds;
};

}  // namespace vorn::test
