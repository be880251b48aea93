#include "station/app/StationProgram.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "station/catalogue/Catalogue.h"
#include "station/catalogue/DemoLibrary.h"
#include "station/catalogue/FolderWatch.h"
#include "station/media/ArtCache.h"
#include "station/media/MediaFacts.h"
#include "station/media/MediaWorkQueue.h"
#include "station/media/Mp3Cache.h"
#include "station/media/TranscodeQueue.h"
#include "station/protocol/CoreTurns.h"
#include "station/web/MediaSite.h"
#include "station/recommend/NeighbourRefresher.h"
#include "station/store/OpenStationStore.h"
#include "station/store/RecentRecorder.h"
#include "station/recommend/Recommender.h"
#include "station/base/StationLog.h"
#include "station/app/StationServer.h"
#include "station/app/StationService.h"

#include "station/protocol/ProtocolCore.h"
#include "station/protocol/StationKey.h"

namespace vorn::station {
namespace {

constexpr const char* kKeyFile = "station-key.pem";
// The pictures shown with the items, in the data folder.
constexpr const char* kArtFolder = "art";
constexpr const char* kMp3CacheFolder = "mp3-cache";
// Item neighbours are rebuilt this often from every listener's ratings.
constexpr std::chrono::minutes kNeighbourInterval(5);
// Descriptors the station holds besides its connections and their files: the
// listening sockets, the store and its database connections, a file being
// scanned, the log.
constexpr long kOtherDescriptors = 128;

bool MakeDataFolder(const std::string& folder, std::string& error) {
    std::error_code code;
    std::filesystem::create_directories(folder, code);
    if (code || !std::filesystem::is_directory(folder, code)) {
        error = "cannot create the data folder " + folder + (code ? ": " + code.message() : "");
        return false;
    }
    ::chmod(folder.c_str(), 0700);  // the key pair lives here
    return true;
}

// Raises the soft limit of open descriptors to the hard one, so that the
// connection limits, not the usual soft limit of 1,024, bound what the
// station holds. When even the hard limit is too low for them, lowers each
// port's limit to fit, so that no port runs the others out of descriptors.
void FitDescriptorLimit(ServerSettings& settings) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return;
    }
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        } else {
            STATION_LOG(LogLevel::Warning) << "vorn-station : cannot raise the limit of open files from "
                                           << limit.rlim_cur << " to " << limit.rlim_max << " : "
                                           << std::strerror(errno);
        }
    }
    const long connections = MostDescriptors(settings);
    const long need = connections + kOtherDescriptors;
    if (limit.rlim_cur == RLIM_INFINITY || static_cast<long>(limit.rlim_cur) >= need) {
        return;
    }
    const long open = static_cast<long>(limit.rlim_cur);
    const long fit = std::max(1L, settings.maxConnections * (open - kOtherDescriptors) / connections);
    STATION_LOG(LogLevel::Warning) << "vorn-station : " << settings.maxConnections
                                   << " connections on each port need up to " << need
                                   << " open files, but the station may open only " << open
                                   << "; each port now takes at most " << fit
                                   << " (raise the hard limit of open files, LimitNOFILE= for the service, or "
                                      "lower --max-connections)";
    settings.maxConnections = static_cast<int>(fit);
    settings.maxConnectionsPerAddress = std::min(settings.maxConnectionsPerAddress, settings.maxConnections);
}

}  // namespace

StationProgram::StationProgram() = default;

StationProgram::~StationProgram() { Stop(); }

bool StationProgram::Start(const StationOptions& options, std::string& error) {
    StationLog::SetThreshold(options.logLevel);
    const std::string database = options.database.empty() ? DefaultDatabase(options.dataDir) : options.database;
    // The data folder holds the default database, the default key pair and
    // the MP3s made of other formats.
    if (!MakeDataFolder(options.dataDir, error)) {
        return false;
    }
    // A key given on the command line is shared with other stations: one that
    // cannot be read stops the station instead of being replaced by a new one.
    const std::string keyFile = options.keyFile.empty() ? options.dataDir + "/" + kKeyFile : options.keyFile;
    std::string keyError;
    const std::optional<StationKey> key =
        options.keyFile.empty() ? StationKey::LoadOrCreate(keyFile, &keyError) : StationKey::Load(keyFile, &keyError);
    if (!key) {
        error = "cannot use the key pair " + keyFile + ": " + keyError;
        return false;
    }
    store_ = OpenStationStore(database, error);
    if (!store_) {
        return false;
    }

    catalogue_ = std::make_unique<Catalogue>(*store_, options.musicDir);
    catalogue_->Load();
    // With nothing known yet, the first scan comes before serving; otherwise
    // the station serves what it knew while the scan runs.
    const bool scanFirst = catalogue_->Current()->Live().empty();
    FolderWatch::Settings watchSettings;
    watchSettings.rescanMinutes = options.rescanMinutes;
    watch_ = std::make_unique<FolderWatch>(*catalogue_, watchSettings);
    if (watch_->Start(scanFirst) < 0) {
        STATION_LOG(LogLevel::Warning) << "StationProgram : serving without music until \"" << options.musicDir
                                       << "\" can be read";
    }

    art_ = std::make_unique<ArtCache>(options.dataDir + "/" + kArtFolder);
    if (std::string artError; !art_->Open(artError)) {
        STATION_LOG(LogLevel::Warning) << "StationProgram : " << artError << "; items are offered without art";
        art_.reset();
    }
    facts_ = std::make_unique<MediaFacts>(art_.get());
    facts_->Load(store_->LoadMediaFacts());
    media_ = std::make_unique<MediaWorkQueue>(*store_, *catalogue_, *facts_, art_.get(), MediaWorkQueue::SpareCores());

    RecommenderSettings settings;
    settings.rotateThrees = options.rotateThrees;
    recommender_ = std::make_unique<Recommender>(settings);
    recommender_->Load(store_->Listeners(), store_->LoadRatings(), store_->LoadRecent(settings.recentWindow));
    store_->PruneRecent(settings.recentWindow);
    recorder_ = std::make_unique<RecentRecorder>(*store_, settings.recentWindow);
    refresher_ = std::make_unique<NeighbourRefresher>(*store_, *recommender_, kNeighbourInterval);

    mp3Cache_ = std::make_unique<Mp3Cache>(options.dataDir + "/" + kMp3CacheFolder,
                                           static_cast<std::uint64_t>(options.cacheMegabytes) * 1024 * 1024);
    if (!mp3Cache_->Open(error)) {
        Stop();
        return false;
    }
    // One job per core the requests can spare: serving never waits for a core.
    mp3s_ = std::make_unique<TranscodeQueue>(*mp3Cache_, *catalogue_, std::max(1, CoreTurns::UsableCores() - 1));

    ServerSettings serverSettings;
    serverSettings.bindAddress = options.bindAddress;
    serverSettings.protocolPort = options.port;
    serverSettings.mediaPort = options.mediaPort;
    serverSettings.mirror = options.cdnPort != 0;
    serverSettings.mirrorPort = options.cdnPort;
    serverSettings.maxConnections = options.maxConnections;
    serverSettings.maxConnectionsPerAddress = options.maxConnectionsPerAddress;
    FitDescriptorLimit(serverSettings);
    server_ = std::make_unique<StationServer>(serverSettings);
    if (!server_->Bind(error)) {
        Stop();
        return false;
    }
    const MediaLinks links{options.publicHost.empty() ? options.bindAddress : options.publicHost,
                           server_->MediaPort()};
    service_ = std::make_unique<StationService>(*store_, *catalogue_, *recommender_, *recorder_, links, facts_.get(),
                                                media_.get(), mp3s_.get());
    site_ = std::make_unique<MediaSite>(*store_, *catalogue_, links, options.redirectMedia, facts_.get(),
                                        mp3s_.get());

    core_ = std::make_unique<ProtocolCore>(*key, *service_, BuildInfo{options.minBuild, options.latestBuild});
    ProtocolCore* core = core_.get();
    const std::chrono::milliseconds delay(options.answerDelayMs);
    server_->Start(
        [core, delay](const std::string& target, std::string& response, std::string& why) {
            if (delay.count() > 0) std::this_thread::sleep_for(delay);
            return core->Respond(target, response, why);
        },
        *site_);

    const std::string host = options.bindAddress;
    STATION_LOG(LogLevel::Info) << "vorn-station : " << catalogue_->Current()->Live().size()
                                << " items from \"" << catalogue_->MusicDir() << "\"; protocol on " << host << ":"
                                << server_->ProtocolPort() << ", media on " << host << ":" << server_->MediaPort()
                                << " as http://" << links.host << ":" << links.port << ", mirror "
                                << (server_->MirrorPort() != 0 ? "on " + host + ":" + std::to_string(server_->MirrorPort())
                                                                : std::string("off"))
                                << (options.redirectMedia ? ", media requests redirected" : "")
                                << "; database " << (store_->Shared() ? "PostgreSQL, shared" : database.substr(7));

    return true;
}

void StationProgram::Stop() {
    watch_.reset();  // joins its thread
    // First, so that requests waiting for an MP3 are answered while the
    // server still runs, and nothing calls into it once it is gone.
    if (mp3s_) {
        mp3s_->Stop();
    }
    if (server_) {
        server_->Stop();
    }
    server_.reset();
    core_.reset();
    site_.reset();
    service_.reset();
    mp3s_.reset();
    mp3Cache_.reset();
    refresher_.reset();  // joins its thread
    recorder_.reset();  // writes what is pending
    recommender_.reset();
    media_.reset();  // stops its workers
    facts_.reset();
    art_.reset();
    catalogue_.reset();
    if (store_) {
        store_->Close();
    }
    store_.reset();
}

int StationProgram::ProtocolPort() const { return server_ ? server_->ProtocolPort() : 0; }
int StationProgram::MediaPort() const { return server_ ? server_->MediaPort() : 0; }
int StationProgram::MirrorPort() const { return server_ ? server_->MirrorPort() : 0; }

int RunStation(int argc, const char* const* argv) {
    StationOptions options;
    std::string error;
    if (!ParseStationOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "vorn-station: %s\nTry \"vorn-station --help\".\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(StationUsage().c_str(), stdout);
        return 0;
    }
    StationLog::SetThreshold(options.logLevel);
    if (!options.makeDemoLibrary.empty()) {
        if (!MakeDemoLibrary(options.makeDemoLibrary, options.tracks, error, options.trackSeconds)) {
            STATION_LOG(LogLevel::Severe) << "vorn-station : " << error;
            return 1;
        }
        return 0;
    }

    // Every thread started from here on inherits the blocked signals, so only
    // the sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    StationProgram program;
    if (!program.Start(options, error)) {
        STATION_LOG(LogLevel::Severe) << "vorn-station : " << error;
        return 1;
    }
    int received = 0;
    sigwait(&stopSignals, &received);
    STATION_LOG(LogLevel::Info) << "vorn-station : " << (received == SIGINT ? "SIGINT" : "SIGTERM")
                                << " received, stopping";
    program.Stop();
    STATION_LOG(LogLevel::Info) << "vorn-station : stopped";
    return 0;
}

}  // namespace vorn::station
