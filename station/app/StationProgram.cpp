#include "station/app/StationProgram.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "station/app/AdminServer.h"
#include "station/app/StationMetrics.h"
#include "station/base/MetricsRegistry.h"
#include "station/catalogue/Catalogue.h"
#include "station/catalogue/DecodeWorker.h"
#include "station/catalogue/DemoLibrary.h"
#include "station/catalogue/FolderWatch.h"
#include "station/media/ArtCache.h"
#include "station/media/DecodeWorkerMain.h"
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
// Item neighbours are rebuilt at least this often from every listener's
// ratings (sooner as this station takes ratings in); the ratings that other
// stations sharing the store take in arrive with these builds.
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
    if (options.adminPort != 0) {
        registry_ = std::make_unique<MetricsRegistry>();
        metrics_ = std::make_unique<StationMetrics>(*registry_);
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
    watchSettings.scanned = [this](std::chrono::steady_clock::duration took) {
        scanTook_ = std::chrono::nanoseconds(took).count();
        scanEnded_ = std::chrono::nanoseconds(std::chrono::steady_clock::now().time_since_epoch()).count();
    };
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
    settings.seed = static_cast<std::uint64_t>(options.pickSeed);
    recommender_ = std::make_unique<Recommender>(settings);
    recommender_->Load(store_->Listeners(), store_->LoadRatings(), store_->LoadRecent(settings.recentWindow));
    store_->PruneRecent(settings.recentWindow);
    recorder_ = std::make_unique<RecentRecorder>(*store_, settings.recentWindow);
    refresher_ = std::make_unique<NeighbourRefresher>(*store_, *recommender_, kNeighbourInterval, NeighbourSettings{},
                                                      [this] { return catalogue_->Current(); });

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
    serverSettings.metrics = metrics_.get();
    if (store_->Shared()) {
        serverSettings.threads = ServerSettings::kThreadsWithSharedStore;
    }
    FitDescriptorLimit(serverSettings);
    server_ = std::make_unique<StationServer>(serverSettings);
    if (!server_->Bind(error)) {
        Stop();
        return false;
    }
    const MediaLinks links{options.publicHost.empty() ? options.bindAddress : options.publicHost,
                           server_->MediaPort()};
    if (registry_) {
        admin_ = std::make_unique<AdminServer>(*registry_, [this](std::string& why) { return Healthy(why); });
        if (!admin_->Bind(options.adminBind, options.adminPort, error)) {
            Stop();
            return false;
        }
    }
    service_ = std::make_unique<StationService>(*store_, *catalogue_, *recommender_, *recorder_, links, facts_.get(),
                                                media_.get(), mp3s_.get(), metrics_.get());
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

    if (admin_) {
        RegisterMetrics();
        admin_->Start();
    }

    const std::string host = options.bindAddress;
    STATION_LOG(LogLevel::Info) << "vorn-station : " << catalogue_->Current()->Live().size()
                                << " items from \"" << catalogue_->MusicDir() << "\"; protocol on " << host << ":"
                                << server_->ProtocolPort() << ", media on " << host << ":" << server_->MediaPort()
                                << " as http://" << links.host << ":" << links.port << ", mirror "
                                << (server_->MirrorPort() != 0 ? "on " + host + ":" + std::to_string(server_->MirrorPort())
                                                                : std::string("off"))
                                << (options.redirectMedia ? ", media requests redirected" : "")
                                << "; database " << (store_->Shared() ? "PostgreSQL, shared" : database.substr(7))
                                << "; admin port "
                                << (admin_ ? "on " + options.adminBind + ":" + std::to_string(admin_->Port())
                                           : std::string("off"));

    return true;
}

namespace {

double Seconds(std::chrono::steady_clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

// Seconds since a steady-clock moment; NaN for "never" (the clock's zero).
double SecondsSince(std::chrono::steady_clock::time_point then) {
    return then.time_since_epoch().count() == 0 ? std::nan("") : Seconds(std::chrono::steady_clock::now() - then);
}

}  // namespace

// The values the parts keep themselves, read when the metrics are written
// out. The request path's own counters are StationMetrics's.
void StationProgram::RegisterMetrics() {
    MetricsRegistry& registry = *registry_;
    for (const StationServer::Port port :
         {StationServer::Port::Protocol, StationServer::Port::Media, StationServer::Port::Mirror}) {
        if (port == StationServer::Port::Mirror && server_->MirrorPort() == 0) {
            continue;
        }
        registry.CallbackGauge(
            "vorn_station_connections_open", "Connections each port holds now, idle, reading or being answered",
            [this, port] { return static_cast<double>(server_->OpenConnections(port)); },
            {{"port", kPortLabels[static_cast<std::size_t>(port)]}});
    }
    registry.CallbackGauge("vorn_station_catalogue_items", "Items the catalogue offers now",
                           [this] { return static_cast<double>(catalogue_->Current()->Live().size()); });
    // The formats the catalogue tells apart; each gets its series from the start.
    for (const char* format : {"mp3", "mp2", "flac", "ogg", "oga", "opus", "spx", "wav", "aiff", "m4a", "alac", "aac",
                               "wv", "ape", "wma", "mpc", "tta", "dsf"}) {
        registry.CallbackGauge(
            "vorn_station_catalogue_items_by_format", "Items the catalogue offers now, by the format of their file",
            [this, name = std::string(format)] {
                const std::shared_ptr<const CatalogueSnapshot> snapshot = catalogue_->Current();
                std::size_t count = 0;
                for (const std::uint32_t index : snapshot->Live()) {
                    count += snapshot->Entries()[index].record.format == name ? 1 : 0;
                }
                return static_cast<double>(count);
            },
            {{"format", format}});
    }
    registry.CallbackGauge("vorn_station_transcode_queue", "MP3s of other formats queued or being made now",
                           [this] { return static_cast<double>(mp3s_->Queued()); });
    registry.CallbackCounter("vorn_station_transcode_made_total", "MP3s of other formats made since the start",
                             [this] { return static_cast<double>(mp3s_->Made()); });
    registry.CallbackGauge("vorn_station_mp3_cache_bytes", "Bytes the MP3s made of other formats take in the cache",
                           [this] { return static_cast<double>(mp3Cache_->Bytes()); });
    registry.CallbackGauge("vorn_station_mp3_cache_files", "MP3s made of other formats kept in the cache",
                           [this] { return static_cast<double>(mp3Cache_->Files()); });
    registry.CallbackGauge("vorn_station_media_work_left", "Items whose art and loudness are still to be worked out",
                           [this] { return static_cast<double>(media_->Left()); });
    registry.CallbackGauge("vorn_station_scan_duration_seconds", "How long the last scan of the music folder took",
                           [this] {
                               const std::int64_t took = scanTook_;
                               return scanEnded_ == 0 ? std::nan("") : static_cast<double>(took) / 1e9;
                           });
    registry.CallbackGauge("vorn_station_scan_age_seconds", "Time since the last scan of the music folder ended",
                           [this] {
                               return SecondsSince(std::chrono::steady_clock::time_point(
                                   std::chrono::nanoseconds(scanEnded_.load())));
                           });
    registry.CallbackGauge("vorn_station_neighbour_rebuild_seconds",
                           "How long the last rebuild of the item neighbours took",
                           [this] {
                               const NeighbourRefresher::LastBuild last = refresher_->Last();
                               return last.ended.time_since_epoch().count() == 0 ? std::nan("") : Seconds(last.took);
                           });
    registry.CallbackGauge("vorn_station_neighbour_age_seconds",
                           "Time since the item neighbours were last rebuilt from every listener's ratings",
                           [this] { return SecondsSince(refresher_->Last().ended); });
    if (store_->Pool().size > 0) {
        registry.CallbackGauge("vorn_station_db_connections", "Database connections the station keeps",
                               [this] { return static_cast<double>(store_->Pool().size); });
        registry.CallbackGauge("vorn_station_db_connections_in_use", "Database connections lent out now",
                               [this] { return static_cast<double>(store_->Pool().inUse); });
        registry.CallbackCounter("vorn_station_db_waits_total",
                                 "Times a request found every database connection busy and waited for one",
                                 [this] { return static_cast<double>(store_->Pool().waits); });
    }
}

bool StationProgram::Healthy(std::string& why) const {
    if (!catalogue_ || !catalogue_->Current()) {
        why = "the catalogue is not loaded yet";
        return false;
    }
    return store_->Answers(why);
}

void StationProgram::Stop() {
    if (admin_) {
        admin_->Stop();  // its metrics read the parts below
    }
    watch_.reset();  // joins its thread
    // First, so that requests waiting for an MP3 are answered while the
    // server still runs, and nothing calls into it once it is gone.
    if (mp3s_) {
        mp3s_->Stop();
    }
    if (server_) {
        server_->Stop();
    }
    admin_.reset();
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
    metrics_.reset();
    registry_.reset();
}

int StationProgram::ProtocolPort() const { return server_ ? server_->ProtocolPort() : 0; }
int StationProgram::MediaPort() const { return server_ ? server_->MediaPort() : 0; }
int StationProgram::MirrorPort() const { return server_ ? server_->MirrorPort() : 0; }
int StationProgram::AdminPort() const { return admin_ ? admin_->Port() : 0; }

int RunStation(int argc, const char* const* argv) {
    if (argc == 2 && std::strcmp(argv[1], DecodeWorker::kOption) == 0) {
        return RunDecodeWorker();
    }
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
    // The station decodes in workers started from its own program: what
    // decoding costs goes back to the system once they end, and a crashing
    // plug-in ends only its worker.
    DecodeWorker::UseProgram("/proc/self/exe");

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
