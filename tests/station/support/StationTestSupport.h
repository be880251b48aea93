#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "station/catalogue/Catalogue.h"
#include "station/store/RecentRecorder.h"
#include "station/recommend/Recommender.h"
#include "station/base/StationLog.h"
#include "station/app/StationOptions.h"
#include "station/app/StationService.h"
#include "station/store/SqliteStore.h"
#include "tests/support/TempDir.h"

namespace vorn::station::test {

// Collects the station's log lines for the life of the object.
class CapturedLog {
public:
    CapturedLog() {
        StationLog::SetThreshold(LogLevel::Fine);
        StationLog::SetSink([this](LogLevel, const std::string& line) {
            std::lock_guard lock(mutex_);
            text_ += line;
        });
    }
    ~CapturedLog() {
        StationLog::SetSink(nullptr);
        StationLog::SetThreshold(LogLevel::Info);
    }
    std::string Text() const {
        std::lock_guard lock(mutex_);
        return text_;
    }
    bool Contains(const std::string& part) const { return Text().find(part) != std::string::npos; }

private:
    mutable std::mutex mutex_;  // guards text_
    std::string text_;
};

// A station for a test: its own music and data folders, any free ports, no
// mirror, no admin port (two stations never fight over one), scans only at start.
inline StationOptions TestStationOptions(const std::string& music, const std::string& data) {
    StationOptions options;
    options.musicDir = music;
    options.dataDir = data;
    options.port = 0;
    options.mediaPort = 0;
    options.cdnPort = 0;
    options.adminPort = 0;
    options.rescanMinutes = 0;
    return options;
}

// A record for a file that need not exist: catalogues built from these serve
// recommendations, not media.
inline ItemRecord FakeItem(int n, const std::string& artist, const std::string& album, const std::string& genre) {
    ItemRecord item;
    item.path = "/music/" + std::to_string(n) + ".mp3";
    item.artist = artist;
    item.title = "Song " + std::to_string(n);
    item.album = album;
    item.genre = genre;
    item.lengthSeconds = 30;
    item.fileSize = 1000 + n;
    return item;
}

// A store, catalogue, recommender and service in a temporary folder.
struct StationParts {
    explicit StationParts(const std::string& folder, std::uint64_t seed = 7) {
        store.Open(folder + "/station.db");
        catalogue = std::make_unique<Catalogue>(store, folder + "/music");
        catalogue->Load();
        RecommenderSettings settings;
        settings.seed = seed;
        recommender = std::make_unique<Recommender>(settings);
        recommender->Load(store.Listeners(), store.LoadRatings(), store.LoadRecent(settings.recentWindow));
        recorder = std::make_unique<RecentRecorder>(store, settings.recentWindow);
        service = std::make_unique<StationService>(store, *catalogue, *recommender, *recorder,
                                                   MediaLinks{"media.test", 8000});
    }

    SqliteStore store;
    std::unique_ptr<Catalogue> catalogue;
    std::unique_ptr<Recommender> recommender;
    std::unique_ptr<RecentRecorder> recorder;
    std::unique_ptr<StationService> service;
};

}  // namespace vorn::station::test
