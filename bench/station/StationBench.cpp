// Usage: station_bench [seconds] [clients] [--postgres [--database-apart]]
//                      [--station-cores N | --shared-cores] [--threads N]
//                      [--no-metrics]
//
// Starts a station in a temporary folder with a 10,000-item catalogue and 1,000
// listeners who have rated 20 items each, then lets 32 clients (threads, each
// with its own client key) send RecommendationsRequests for 4 items over
// loopback, one connection per request as the client does, for the given time.
// Prints requests per second, latency percentiles, and the floor: OpenSSL's
// RSA-1024 private-key operation, timed on the station's cores throughout the
// run, with the requests served per station core as a ratio to it.
//
// The station (its threads, and with --postgres the database server) runs on
// the first N of the cores this process may use, the clients on the others, so
// that the clients' own work does not count against the station. N defaults
// to two thirds of the cores, at least one and leaving the clients at least
// one; on a single core both share it. --shared-cores runs both on every core
// (the floor counts them all), as earlier versions of this bench did.
//
// --postgres keeps the store in a throwaway PostgreSQL cluster (initdb and
// pg_ctl in a temporary folder, Unix socket only, fsync off), as stations that
// share one database do, with the station's threads for such a store; the
// default is the SQLite store of a single station. --threads N sets the
// station's threads instead. With PostgreSQL the run ends with the round
// trips to the database and the requests they served.
// With --database-apart the database server runs on the clients' cores, as a
// database on a machine of its own would, and the floor measures the
// station's own share.
//
// The floor is sampled, not measured once: one thread per station core,
// pinned to it, runs a burst of a few operations at random intervals of 25 to
// 75 ms from the start of the run to its end (random, so that the bursts keep
// step with nothing periodic in the station), and times each burst in its own
// CPU time. Interleaved with the run, the floor follows the core's speed as
// it drifts (the neighbours' load, the caches the station leaves), which a
// figure taken before or after the run does not. In CPU time, a burst that a
// station thread preempts does not count the station's work as its own. The
// bursts' CPU time is taken out of the station's core time before the ratio,
// so that sampling (about 1 % of a core) costs the station nothing in it.
//
// The station counts its requests into its metrics as it does by default;
// --no-metrics leaves them out, as --admin-port 0 does, to show what they cost.
#include <arpa/inet.h>
#include <pthread.h>
#include <sched.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <latch>
#include <random>
#include <thread>
#include <vector>

#include <cryptopp/osrng.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "server/CryptoContext.h"
#include "station/catalogue/Catalogue.h"
#include "station/web/MediaSite.h"
#include "station/store/RecentRecorder.h"
#include "station/recommend/Recommender.h"
#include "station/base/StationLog.h"
#include "station/app/StationMetrics.h"
#include "station/app/StationServer.h"
#include "station/base/MetricsRegistry.h"
#include "station/app/StationService.h"
#include "station/store/OpenStationStore.h"
#include "station/store/PostgresStore.h"
#include "station/protocol/OpenSslRsa.h"
#include "station/protocol/ProtocolCore.h"
#include "station/protocol/StationKey.h"
#include "tests/station/support/PgCluster.h"

using namespace vorn;
using namespace vorn::station;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kItems = 10000;
constexpr int kListeners = 1000;
constexpr int kRatingsEach = 20;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// CPU time of the process, or of the calling thread, in microseconds.
double CpuMicros(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

// One request on its own connection; the whole answer, or empty on failure.
std::string RoundTrip(int port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[8192];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            answer.append(buffer, static_cast<std::size_t>(n));
            if (answer.size() >= 4 && answer.compare(answer.size() - 4, 4, "\r\n\r\n") == 0) {
                break;  // the client reads up to the first empty line
            }
        }
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return answer;
}

// The station's cores and the clients' cores, split from the cores this
// process may use.
struct CoreSplit {
    cpu_set_t station{};
    cpu_set_t clients{};
    int stationCount = 0;
    int clientCount = 0;
};

CoreSplit SplitCores(int wantedStation, bool shared) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ::sched_getaffinity(0, sizeof allowed, &allowed);
    std::vector<int> cores;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            cores.push_back(cpu);
        }
    }
    const int total = static_cast<int>(cores.size());
    int station = wantedStation > 0 ? wantedStation : (2 * total + 2) / 3;
    station = std::clamp(station, 1, std::max(1, total - 1));
    CoreSplit split;
    CPU_ZERO(&split.station);
    CPU_ZERO(&split.clients);
    for (int k = 0; k < total; ++k) {
        CPU_SET(cores[static_cast<std::size_t>(k)], k < station ? &split.station : &split.clients);
    }
    if (total == 1 || shared) {
        split.station = allowed;
        split.clients = allowed;
        station = total;
    }
    split.stationCount = station;
    split.clientCount = total == 1 || shared ? total : total - station;
    return split;
}

// OpenSSL's private-key operation, raw RSA-1024 without padding as the
// station runs it on each request's key block, sampled in bursts on every
// station core throughout the run (see the top of this file).
class FloorSampler {
public:
    static constexpr int kBurst = 4;

    FloorSampler(const StationKey& key, const cpu_set_t& cores) {
        CryptoPP::AutoSeededRandomPool random;
        const CryptoPP::InvertibleRSAFunction& rsa = key.PrivateKey();
        const CryptoPP::Integer message(random, CryptoPP::Integer::One(), rsa.GetModulus() - 1);
        message.Encode(message_.data(), message_.size());
        rsa.ApplyFunction(message).Encode(sealed_.data(), sealed_.size());
        const std::string pem = key.ToPem();
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &cores)) {
                Core& core = *cores_.emplace_back(std::make_unique<Core>());
                core.thread = std::thread([this, cpu, pem, &core] { Sample(cpu, pem, core); });
            }
        }
    }
    ~FloorSampler() { Stop(); }

    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        woken_.notify_all();
        for (auto& core : cores_) {
            if (core->thread.joinable()) core->thread.join();
        }
    }

    // After Stop: whether every operation gave the right result.
    bool Right() const {
        return std::all_of(cores_.begin(), cores_.end(),
                           [](const auto& core) { return core->right && core->operations > 0; });
    }
    // Operations per second on all the cores together, each at its own pace.
    double PerSecond() const {
        double sum = 0;
        for (const auto& core : cores_) sum += core->operations * 1e6 / core->cpuMicros;
        return sum;
    }
    double SpentMicros() const {
        double sum = 0;
        for (const auto& core : cores_) sum += core->cpuMicros;
        return sum;
    }
    long Operations() const {
        long sum = 0;
        for (const auto& core : cores_) sum += core->operations;
        return sum;
    }
    // Microseconds per operation: all of them, and the bursts' spread.
    double MicrosEach() const { return SpentMicros() / std::max(1L, Operations()); }
    std::vector<double> Bursts() const {
        std::vector<double> all;
        for (const auto& core : cores_) all.insert(all.end(), core->bursts.begin(), core->bursts.end());
        std::sort(all.begin(), all.end());
        return all;
    }

private:
    struct Core {
        std::thread thread;
        long operations = 0;
        double cpuMicros = 0;
        std::vector<double> bursts;  // microseconds per operation
        bool right = true;
    };

    void Sample(int cpu, const std::string& pem, Core& core) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        ::pthread_setaffinity_np(::pthread_self(), sizeof one, &one);
        BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
        EVP_PKEY* key = bio != nullptr ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
        BIO_free(bio);
        EVP_PKEY_CTX* context = key != nullptr ? EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr) : nullptr;
        core.right = context != nullptr && EVP_PKEY_decrypt_init(context) == 1 &&
                     EVP_PKEY_CTX_set_rsa_padding(context, RSA_NO_PADDING) == 1;
        std::mt19937 random(static_cast<unsigned>(cpu) + 7);
        std::uniform_int_distribution<int> pause(25, 75);
        std::unique_lock lock(mutex_);
        const auto stopping = [this] { return stopping_; };
        while (core.right && !woken_.wait_for(lock, std::chrono::milliseconds(pause(random)), stopping)) {
            lock.unlock();
            std::array<unsigned char, OpenSslRsa::kBlockSize> opened{};
            const double start = CpuMicros(CLOCK_THREAD_CPUTIME_ID);
            for (int k = 0; k < kBurst; ++k) {
                std::size_t size = opened.size();
                core.right &=
                    EVP_PKEY_decrypt(context, opened.data(), &size, sealed_.data(), sealed_.size()) == 1 &&
                    opened == message_;
            }
            const double took = CpuMicros(CLOCK_THREAD_CPUTIME_ID) - start;
            core.operations += kBurst;
            core.cpuMicros += took;
            core.bursts.push_back(took / kBurst);
            lock.lock();
        }
        EVP_PKEY_CTX_free(context);
        EVP_PKEY_free(key);
        ERR_clear_error();
    }

    std::array<unsigned char, OpenSslRsa::kBlockSize> message_{};
    std::array<unsigned char, OpenSslRsa::kBlockSize> sealed_{};
    std::vector<std::unique_ptr<Core>> cores_;
    std::mutex mutex_;  // guards stopping_
    std::condition_variable woken_;
    bool stopping_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> positional;
    bool postgres = false;
    bool databaseApart = false;
    int wantedStationCores = 0;
    bool sharedCores = false;
    int serverThreads = 0;  // the station's own choice
    bool metricsOn = true;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--postgres") {
            postgres = true;
        } else if (arg == "--database-apart") {
            databaseApart = true;
        } else if (arg == "--no-metrics") {
            metricsOn = false;
        } else if (arg == "--shared-cores") {
            sharedCores = true;
        } else if (arg == "--threads" && k + 1 < argc) {
            serverThreads = std::atoi(argv[++k]);
        } else if (arg == "--station-cores" && k + 1 < argc) {
            wantedStationCores = std::atoi(argv[++k]);
        } else {
            positional.push_back(arg);
        }
    }
    const int seconds = positional.size() > 0 ? std::atoi(positional[0].c_str()) : 10;
    const int clients = positional.size() > 1 ? std::atoi(positional[1].c_str()) : 32;
    StationLog::SetThreshold(LogLevel::Warning);
    const std::string folder = std::filesystem::temp_directory_path() / ("station-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);

    double loadBefore = 0;
    ::getloadavg(&loadBefore, 1);

    // Everything started from here on (the station's threads, the database
    // server) inherits the station's cores; the clients move to theirs.
    const CoreSplit cores = SplitCores(wantedStationCores, sharedCores);
    ::sched_setaffinity(0, sizeof cores.station, &cores.station);

    // Catalogue and listeners.
    const auto setupStart = Clock::now();
    std::unique_ptr<vorn::station::test::PgCluster> cluster;
    std::string url = "sqlite:" + folder + "/station.db";
    if (postgres) {
        if (databaseApart) {  // the server's processes inherit the clients' cores
            ::sched_setaffinity(0, sizeof cores.clients, &cores.clients);
        }
        cluster = std::make_unique<vorn::station::test::PgCluster>();
        ::sched_setaffinity(0, sizeof cores.station, &cores.station);
        if (!cluster->Running()) {
            std::fprintf(stderr, "no PostgreSQL server: %s\n", cluster->Problem().c_str());
            return 1;
        }
        url = cluster->Url();
    }
    std::string openError;
    const std::unique_ptr<StationStore> opened = OpenStationStore(url, openError);
    if (!opened) {
        std::fprintf(stderr, "cannot open the store: %s\n", openError.c_str());
        return 1;
    }
    StationStore& store = *opened;
    std::vector<ItemRecord> items;
    for (int n = 0; n < kItems; ++n) {
        ItemRecord item;
        item.path = "/bench/" + std::to_string(n) + ".mp3";
        item.artist = "Artist " + std::to_string(n % 500);
        item.album = "Album " + std::to_string(n % 1000);
        item.genre = "Genre " + std::to_string(n % 20);
        item.title = "Title " + std::to_string(n);
        item.lengthSeconds = 200;
        items.push_back(item);
    }
    Catalogue catalogue(store, folder + "/music");
    catalogue.Publish(items);
    std::mt19937 random(42);
    for (int l = 0; l < kListeners; ++l) {
        const std::int32_t id = store.NewListener();
        std::vector<std::pair<std::int32_t, std::int32_t>> ratings;
        for (int r = 0; r < kRatingsEach; ++r) {
            ratings.emplace_back(1 + static_cast<int>(random() % kItems), 1 + static_cast<int>(random() % 5));
        }
        std::sort(ratings.begin(), ratings.end());
        ratings.erase(std::unique(ratings.begin(), ratings.end(),
                                  [](const auto& a, const auto& b) { return a.first == b.first; }),
                      ratings.end());
        store.StoreRatings(id, ratings);
    }
    RecommenderSettings settings;
    Recommender recommender(settings);
    recommender.Load(store.Listeners(), store.LoadRatings(), store.LoadRecent(settings.recentWindow));
    RecentRecorder recorder(store, settings.recentWindow);
    const MediaLinks links{"127.0.0.1", 8000};
    MetricsRegistry registry;
    std::unique_ptr<StationMetrics> metrics = metricsOn ? std::make_unique<StationMetrics>(registry) : nullptr;
    StationService service(store, catalogue, recommender, recorder, links, nullptr, nullptr, nullptr, metrics.get());
    MediaSite site(store, catalogue, links, false);
    std::string error;
    const std::optional<StationKey> key = StationKey::Generate(&error);
    if (!key) {
        std::fprintf(stderr, "cannot make a key: %s\n", error.c_str());
        return 1;
    }
    ProtocolCore core(*key, service, BuildInfo{});
    ServerSettings serverSettings;
    serverSettings.protocolPort = 0;
    serverSettings.mediaPort = 0;
    serverSettings.mirror = false;
    serverSettings.maxConnections = 4096;
    serverSettings.maxConnectionsPerAddress = 4096;  // every client comes from 127.0.0.1
    if (store.Shared()) serverSettings.threads = ServerSettings::kThreadsWithSharedStore;  // as the station does
    if (serverThreads > 0) serverSettings.threads = serverThreads;
    serverSettings.metrics = metrics.get();
    StationServer server(serverSettings);
    if (!server.Bind(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    server.Start([&core](const std::string& target, std::string& response,
                         std::string& why) { return core.Respond(target, response, why); },
                 site);
    const int port = server.ProtocolPort();
    std::printf("setup: %d items, %d listeners with %d ratings each, in %.1f s\n", kItems, kListeners, kRatingsEach,
                Micros(Clock::now() - setupStart) / 1e6);
    std::fflush(stdout);  // a profiler started by hand waits for this line

    // For information, before the run and in the thread's CPU time: the
    // station's operation (OpenSSL's with the check of its result) and
    // Crypto++'s, which the station used before.
    CryptoPP::AutoSeededRandomPool pool;
    const CryptoPP::InvertibleRSAFunction& rsa = key->PrivateKey();
    OpenSslRsa station(rsa);
    const CryptoPP::Integer block = CryptoPP::Integer(pool, 1000);
    std::array<unsigned char, OpenSslRsa::kBlockSize> blockBytes{};
    std::array<unsigned char, OpenSslRsa::kBlockSize> cipherBytes{};
    const CryptoPP::Integer cipher = rsa.ApplyFunction(block);
    block.Encode(blockBytes.data(), blockBytes.size());
    cipher.Encode(cipherBytes.data(), cipherBytes.size());
    // Microseconds per private-key operation, or a negative value when one
    // gave a wrong result.
    const auto rsaMicros = [&](bool asTheStation) {
        const int rounds = 500;
        std::array<unsigned char, OpenSslRsa::kBlockSize> opened{};
        const double start = CpuMicros(CLOCK_THREAD_CPUTIME_ID);
        for (int i = 0; i < rounds; ++i) {
            const bool right = asTheStation ? station.Open(cipherBytes.data(), opened.data()) ==
                                                      OpenSslRsa::Outcome::Opened &&
                                                  opened == blockBytes
                                            : rsa.CalculateInverse(pool, cipher) == block;
            if (!right) {
                return -1.0;
            }
        }
        return (CpuMicros(CLOCK_THREAD_CPUTIME_ID) - start) / rounds;
    };
    const double cryptopp = rsaMicros(false);
    const double checked = rsaMicros(true);
    if (cryptopp < 0 || checked < 0) {
        std::fprintf(stderr, "RSA check failed\n");
        return 1;
    }

    // The clients.
    std::atomic<bool> stop{false};
    std::atomic<long> failures{0};
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(clients));
    std::vector<std::thread> threads;
    const std::string keyExchange = RoundTrip(port, "GET / HTTP/1.0\r\n\r\n");
    XmlElement keyReply(keyExchange);
    const std::string publicKey = keyReply.Child("pubkey").Text();
    // Each client first asks for a share of the listeners once, so that the
    // measured run sees a station whose caches know every listener, as one
    // that has been up for a while does; then all start together.
    std::vector<double> clientCpu(static_cast<std::size_t>(clients), 0.0);
    std::latch warmed(clients + 1);
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            ::pthread_setaffinity_np(::pthread_self(), sizeof cores.clients, &cores.clients);
            std::unique_ptr<CryptoContext> crypto = CryptoContext::Create();
            const bool ready = crypto && crypto->LoadPublicKey(publicKey);
            // One request for `listener`; its latency, or a negative value on failure.
            const auto ask = [&](int listener) {
                const XmlElement request("<request><count>4</count><typeid>1</typeid><userid>" +
                                         std::to_string(listener) +
                                         "</userid><type>RecommendationsRequest</type></request>");
                const std::string token = crypto->EncryptRequest(request);
                const auto start = Clock::now();
                const std::string answer = RoundTrip(port, "GET /" + token + " HTTP/1.0\r\n\r\n");
                const auto took = Clock::now() - start;
                XmlElement reply = crypto->DecryptResponse(answer);
                int count = 0;
                for (std::size_t at = reply.Text().find("<recommendation>"); at != std::string::npos;
                     at = reply.Text().find("<recommendation>", at + 1)) {
                    ++count;
                }
                return reply.Child("type").Text() == "RecommendationsRequestResponse" && count == 4 ? Micros(took)
                                                                                                    : -1.0;
            };
            for (int listener = c + 1; ready && listener <= kListeners; listener += clients) {
                ask(listener);
            }
            warmed.arrive_and_wait();
            if (!ready) {
                failures++;
                return;
            }
            const double cpuStart = CpuMicros(CLOCK_THREAD_CPUTIME_ID);
            std::mt19937 pick(static_cast<unsigned>(c) + 1);
            while (!stop) {
                const double took = ask(1 + static_cast<int>(pick() % kListeners));
                if (took < 0) {
                    failures++;
                    continue;
                }
                latencies[static_cast<std::size_t>(c)].push_back(took);
            }
            clientCpu[static_cast<std::size_t>(c)] = CpuMicros(CLOCK_THREAD_CPUTIME_ID) - cpuStart;
        });
    }
    warmed.arrive_and_wait();
    const double processCpuStart = CpuMicros(CLOCK_PROCESS_CPUTIME_ID);
    const auto runStart = Clock::now();
    FloorSampler floor(*key, cores.station);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop = true;
    floor.Stop();
    for (std::thread& thread : threads) {
        thread.join();
    }
    const double elapsed = Micros(Clock::now() - runStart) / 1e6;
    if (!floor.Right()) {
        std::fprintf(stderr, "the floor's RSA operation failed\n");
        return 1;
    }
    const double floorPerCore = floor.PerSecond() / cores.stationCount;
    // The station cores' time less what the floor's bursts took of it.
    const double stationCoreSeconds = elapsed * cores.stationCount - floor.SpentMicros() / 1e6;
    // What the station's own threads spent (the process less its clients and
    // the floor; the main thread only slept), comparable with the floor
    // whatever else the machine was doing. Without the database server's share.
    double stationCpu = CpuMicros(CLOCK_PROCESS_CPUTIME_ID) - processCpuStart - floor.SpentMicros();
    double clientsCpu = 0.0;
    for (double each : clientCpu) {
        clientsCpu += each;
    }
    stationCpu -= clientsCpu;
    server.Stop();

    std::vector<double> all;
    for (const auto& each : latencies) {
        all.insert(all.end(), each.begin(), each.end());
    }
    std::sort(all.begin(), all.end());
    const auto percentile = [&](double p) {
        return all.empty() ? 0.0 : all[std::min(all.size() - 1, static_cast<std::size_t>(p * all.size()))];
    };
    const std::vector<double> bursts = floor.Bursts();
    const auto burstAt = [&](double p) {
        return bursts[std::min(bursts.size() - 1, static_cast<std::size_t>(p * bursts.size()))];
    };
    std::printf("floor: OpenSSL's RSA-1024 private operation, %.1f us in %ld operations during the run (bursts "
                "%.1f to %.1f us from the 10th to the 90th percentile): %.0f/s on each of the station's %d core(s)\n",
                floor.MicrosEach(), floor.Operations(), burstAt(0.1), burstAt(0.9), floorPerCore,
                cores.stationCount);
    std::printf("before the run: %.1f us as the station does it (with its check), %.1f us with Crypto++\n", checked,
                cryptopp);
    // Other work on the machine takes its share of the station's cores, which
    // the served figure counts against the station and the CPU time per
    // request does not; the load before the setup tells how much there was.
    std::printf("load average (1 minute) before the setup: %.2f\n", loadBefore);
    std::printf("store: %s; station on %d core(s), clients on %d%s (busy %.0f %%; near 100 %% the clients, not the "
                "station, set the pace)\n",
                postgres ? (databaseApart ? "PostgreSQL on the clients' cores" : "PostgreSQL on the station's cores")
                         : "SQLite",
                cores.stationCount, cores.clientCount,
                sharedCores ? ", the same ones" : "",
                100.0 * clientsCpu / (elapsed * 1e6 * cores.clientCount));
    std::printf("%d clients, %.1f s: %zu RecommendationsRequests, %.0f requests/s, %ld failures\n", clients, elapsed,
                all.size(), all.size() / elapsed, failures.load());
    std::printf("latency: p50 %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.2f ms\n", percentile(0.5) / 1000,
                percentile(0.9) / 1000, percentile(0.99) / 1000, all.empty() ? 0.0 : all.back() / 1000);
    const double servedPerCore = all.size() / stationCoreSeconds;
    std::printf("served: %.0f requests/s per station core, %.2fx the floor\n", servedPerCore,
                servedPerCore / floorPerCore);
    // What the metrics counted, which must be every request answered.
    if (metrics) {
        const std::string text = registry.Exposition();
        const std::string series = "vorn_station_requests_total{kind=\"recommendations\",result=\"ok\"} ";
        const std::size_t at = text.find(series);
        const std::size_t from = at + series.size();
        std::printf("metrics: on, %s recommendations counted\n",
                    at == std::string::npos ? "no" : text.substr(from, text.find('\n', from) - from).c_str());
    } else {
        std::printf("metrics: off\n");
    }
    if (!all.empty()) {
        const double perRequest = stationCpu / static_cast<double>(all.size());
        std::printf("station CPU per request: %.1f us in-process (%.2fx the floor if it had its cores to itself)\n",
                    perRequest, 1e6 / perRequest / floorPerCore);
    }
    if (auto* shared = dynamic_cast<PostgresStore*>(&store)) {
        const PostgresStore::Grouping grouped = shared->Grouped();
        std::printf("round trips: %llu reads of listeners for %llu requests, %llu writes of what they were handed "
                    "for %llu\n",
                    static_cast<unsigned long long>(grouped.loads.roundTrips),
                    static_cast<unsigned long long>(grouped.loads.calls),
                    static_cast<unsigned long long>(grouped.appends.roundTrips),
                    static_cast<unsigned long long>(grouped.appends.calls));
    }
    std::printf("targets: >= %s the floor, p99 <= 10 ms\n", postgres ? "0.4x" : "0.6x");
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return failures.load() == 0 ? 0 : 1;
}
