// Usage: flood_bench [seconds] [--connections N] [--per-address N]
//
// What one hostile address costs everyone else. Starts the real vorn-station
// on 127.0.0.1 with a small library, then, from 127.0.0.1, one client asks in
// turn for the station's key (the key exchange every client starts with) and
// for a 48 KB media file, each on a fresh connection, for the given time
// (default 10 s): first with nothing else going on (the floor), then while
// 127.0.0.2 holds N connections (default 2,000): a quarter silent and a
// quarter trickling a request head that never ends (3 bytes every 2 s) on each
// of the protocol and media ports, opening again at once every connection the
// station closes. Prints the percentiles of both, the ratio of the flooded p99
// to the floor's, the station's resident memory idle and flooded, and its CPU.
//
// The station runs with its default limits, or with --per-address N in place
// of the default share of one address (2048 lets the whole flood in, to see
// what a held connection costs). Run it in a network namespace of its own:
//   unshare -n sh -c 'ip link set lo up && build/bench/station/flood_bench'
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/ProcessUsage.h"
#include "tests/station/support/ConnectionFlood.h"
#include "tests/station/support/Mp3Files.h"
#include "tests/station/support/RawClient.h"
#include "tests/station/support/StationProcess.h"

using namespace vorn::station::test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFiles = 8;

struct Latencies {
    std::vector<double> keyMs;
    std::vector<double> mediaMs;
    long failures = 0;
};

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

// One client from 127.0.0.1 for the given time: a key exchange, then a media
// request, then a pause of 5 ms, over and over.
Latencies Measure(int protocol, int media, std::size_t fileSize, int seconds) {
    Latencies out;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    for (int n = 0; Clock::now() < end; ++n) {
        auto start = Clock::now();
        const std::string key = Exchange(protocol, "GET / HTTP/1.0\r\n\r\n", 10000);
        if (key.find("<type>PublicKeyResponse</type>") == std::string::npos) {
            out.failures++;
        } else {
            out.keyMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        start = Clock::now();
        const std::string path = "/media/" + std::to_string(1 + n % kFiles) + ".mp3";
        const std::string answer = Exchange(media, "GET " + path + " HTTP/1.0\r\n\r\n", 10000);
        const std::size_t body = answer.find("\r\n\r\n");
        if (answer.rfind("HTTP/1.0 200 OK", 0) != 0 || body == std::string::npos ||
            answer.size() - body - 4 != fileSize) {
            out.failures++;
        } else {
            out.mediaMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return out;
}

void Print(const char* what, const Latencies& run) {
    std::printf("%-9s key exchange p50 %6.2f  p99 %6.2f  max %7.2f ms (%zu) | media p50 %6.2f  p99 %6.2f  max %7.2f ms "
                "(%zu) | %ld failed\n",
                what, Percentile(run.keyMs, 0.5), Percentile(run.keyMs, 0.99),
                run.keyMs.empty() ? 0.0 : *std::max_element(run.keyMs.begin(), run.keyMs.end()), run.keyMs.size(),
                Percentile(run.mediaMs, 0.5), Percentile(run.mediaMs, 0.99),
                run.mediaMs.empty() ? 0.0 : *std::max_element(run.mediaMs.begin(), run.mediaMs.end()),
                run.mediaMs.size(), run.failures);
}

// The station's highest resident memory, in MB, sampled while `during` runs.
template <typename Work>
double PeakRssMb(pid_t pid, Work during, double& cpuSeconds) {
    std::atomic<bool> done{false};
    long peak = vorn::bench::ReadProcessUsage(pid).rssKb;
    const double cpuStart = vorn::bench::ReadProcessUsage(pid).cpuSeconds;
    std::thread sampler([&] {
        while (!done) {
            peak = std::max(peak, vorn::bench::ReadProcessUsage(pid).rssKb);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    during();
    done = true;
    sampler.join();
    cpuSeconds = vorn::bench::ReadProcessUsage(pid).cpuSeconds - cpuStart;
    return static_cast<double>(peak) / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 10;
    int connections = 2000;
    std::string perAddress;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--connections" && k + 1 < argc) {
            connections = std::atoi(argv[++k]);
        } else if (arg == "--per-address" && k + 1 < argc) {
            perAddress = argv[++k];
        } else {
            seconds = std::atoi(arg.c_str());
        }
    }
    signal(SIGPIPE, SIG_IGN);
    if (!RaiseDescriptorLimitTo(connections + 1000)) {
        std::fprintf(stderr, "cannot open %d descriptors; raise the hard limit (ulimit -Hn)\n", connections + 1000);
        return 1;
    }
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("flood-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder / "music");
    for (int n = 1; n <= kFiles; ++n) {
        WriteSilentMp3(folder / "music" / (std::to_string(n) + ".mp3"), 3, static_cast<unsigned>(n));
    }
    const std::size_t fileSize = std::filesystem::file_size(folder / "music/1.mp3");
    std::vector<std::string> arguments = {"--music", folder / "music", "--data", folder / "data", "--port", "0",
                                          "--media-port", "0", "--cdn-port", "0", "--rescan", "0"};
    if (!perAddress.empty()) {
        arguments.insert(arguments.end(), {"--max-connections-per-address", perAddress});
    }
    StationProcess station(arguments, folder / "station.log");
    const int protocol = station.WaitForPort();
    const int media = station.MediaPort();
    if (protocol == 0 || media == 0) {
        std::fprintf(stderr, "the station did not start:\n%s\n", station.Log().c_str());
        return 1;
    }
    std::printf("station: default limits%s%s; %d files of %zu bytes\n",
                perAddress.empty() ? "" : ", --max-connections-per-address ", perAddress.c_str(), kFiles, fileSize);
    Measure(protocol, media, fileSize, 1);  // warm-up: caches, page cache

    double floorCpu = 0.0;
    Latencies floor;
    const double idleMb = PeakRssMb(station.Pid(), [&] { floor = Measure(protocol, media, fileSize, seconds); },
                                    floorCpu);
    Print("floor", floor);

    const int quarter = connections / 4;
    ConnectionFlood flood("127.0.0.2", {{protocol, quarter, false}, {protocol, quarter, true},
                                        {media, quarter, false}, {media, quarter, true}});
    if (!flood.WaitUntilOpened(30000)) {
        std::fprintf(stderr, "the flood did not open its connections (%ld failed)\n", flood.Failed());
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long openedBefore = flood.Opened();
    double floodCpu = 0.0;
    Latencies flooded;
    const double floodMb = PeakRssMb(station.Pid(), [&] { flooded = Measure(protocol, media, fileSize, seconds); },
                                     floodCpu);
    const long reopened = flood.Opened() - openedBefore;
    Print("flooded", flooded);

    const auto ratio = [](const std::vector<double>& a, const std::vector<double>& b) {
        const double base = Percentile(b, 0.99);
        return base > 0 ? Percentile(a, 0.99) / base : 0.0;
    };
    std::printf("p99 flooded / floor: key exchange %.2fx, media %.2fx (target: p99 <= 100 ms, no failures)\n",
                ratio(flooded.keyMs, floor.keyMs), ratio(flooded.mediaMs, floor.mediaMs));
    std::printf("flood: %d connections from 127.0.0.2 held open; the station closed %ld of them during the "
                "measurement (%.0f/s), all opened again at once\n",
                4 * quarter, reopened, static_cast<double>(reopened) / seconds);
    std::printf("station memory: %.1f MB idle, %.1f MB at most while flooded (+%.1f MB; target: within 50 MB)\n",
                idleMb, floodMb, floodMb - idleMb);
    std::printf("station CPU: %.0f %% of a core in the floor, %.0f %% while flooded\n", 100.0 * floorCpu / seconds,
                100.0 * floodCpu / seconds);
    station.Kill();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return floor.failures == 0 && flooded.failures == 0 ? 0 : 1;
}
