#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "station/app/StationOptions.h"

namespace vorn::station {

class AdminServer;
class ArtCache;
class Catalogue;
class FolderWatch;
class MediaFacts;
class MetricsRegistry;
class StationMetrics;
class MediaSite;
class MediaWorkQueue;
class Mp3Cache;
class NeighbourRefresher;
class RecentRecorder;
class Recommender;
class StationServer;
class StationService;
class StationStore;
class ProtocolCore;
class TranscodeQueue;

// The running station: data folder, key pair, store, catalogue, the art and
// loudness of its items worked out in the background, recommender, the
// servers and the folder watch, wired together, and the admin port that
// shows them to the operator.
class StationProgram {
public:
    StationProgram();
    ~StationProgram();  // stops
    StationProgram(const StationProgram&) = delete;
    StationProgram& operator=(const StationProgram&) = delete;

    // Opens everything and starts serving; false with `error` set when the
    // station cannot run (nothing is left running then).
    bool Start(const StationOptions& options, std::string& error);
    // Stops serving, writes what is pending and joins every thread. Idempotent.
    void Stop();

    int ProtocolPort() const;
    int MediaPort() const;
    int MirrorPort() const;
    int AdminPort() const;  // 0 when the admin port is off

private:
    void RegisterMetrics();
    bool Healthy(std::string& why) const;

    // Made first and dropped last: every part may count into it.
    std::unique_ptr<MetricsRegistry> registry_;
    std::unique_ptr<StationMetrics> metrics_;
    std::unique_ptr<StationStore> store_;
    std::unique_ptr<Catalogue> catalogue_;
    std::unique_ptr<FolderWatch> watch_;
    std::unique_ptr<ArtCache> art_;  // null when the art folder cannot be used
    std::unique_ptr<MediaFacts> facts_;
    std::unique_ptr<MediaWorkQueue> media_;
    std::unique_ptr<Recommender> recommender_;
    std::unique_ptr<RecentRecorder> recorder_;
    std::unique_ptr<NeighbourRefresher> refresher_;
    std::unique_ptr<Mp3Cache> mp3Cache_;
    std::unique_ptr<TranscodeQueue> mp3s_;
    std::unique_ptr<StationService> service_;
    std::unique_ptr<ProtocolCore> core_;
    std::unique_ptr<MediaSite> site_;
    std::unique_ptr<StationServer> server_;
    std::unique_ptr<AdminServer> admin_;
    // The last scan: how long it took and when it ended (steady clock), in
    // nanoseconds; 0 before the first.
    std::atomic<std::int64_t> scanTook_{0};
    std::atomic<std::int64_t> scanEnded_{0};
};

// The whole program: options, the demo library or the station until SIGINT or
// SIGTERM. Returns the process exit code.
int RunStation(int argc, const char* const* argv);

}  // namespace vorn::station
