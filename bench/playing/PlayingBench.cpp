// What playing costs: the real program plays one demo track from the real
// station for a minute (window shown on a private X server, the time line
// ticking, the title scrolling) while gst-play-1.0 plays the same file (the
// decoding floor). Prints CPU seconds of both over the same minute, in all and
// thread by thread (from the scheduler's exact counts: the window's work comes
// in slices far shorter than the tick that user and system times are sampled
// at), and the program's resident memory; the targets are CPU at most 1.2 x gst-play-1.0 and
// RSS at most 49.6 MB (60 MB on a HiDPI screen: QT_SCALE_FACTOR=2 in the
// benchmark's environment reaches the program, whose window then has twice
// the pixels).
//
// The program talks to its station on the fixed protocol port 8080. So as not to
// take that port from anything else on the machine, the benchmark first moves
// itself (and so the station, the X server and the players it starts) into a
// network namespace of its own, where the port is free; that needs root. Without
// it, port 8080 must be free.
//
// Usage: bench_playing [seconds] [program] [rounds] (default 60, the build's
// vorn and 5: gst-play-1.0 starts afresh for each of the rounds, see below).
// Needs Xvfb, xdotool and gst-play-1.0.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/PrivateNetwork.h"
#include "bench/ProcessUsage.h"
#include "tests/app/ChildProcess.h"
#include "tests/app/VornDesktop.h"

namespace {

using Clock = std::chrono::steady_clock;
using vorn::test::ChildProcess;
using vorn::test::ReadFile;
using vorn::test::TempDir;
using vorn::test::VornDesktop;

constexpr int kPlayX = 72, kPlayY = 66;  // window-relative centre of the play button
constexpr double kCpuTarget = 1.2;
constexpr double kRssTargetMb = 49.6;
constexpr double kRssTargetHiDpiMb = 60.0;

// Device pixels per logical pixel of the program's window.
double ScaleFactor() {
    const char* factor = std::getenv("QT_SCALE_FACTOR");
    const double scale = factor != nullptr ? std::atof(factor) : 1.0;
    return scale > 0 ? scale : 1.0;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 60;
    const std::string program = argc > 2 ? argv[2] : VORN_PROGRAM;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    if (!std::filesystem::exists("/usr/bin/gst-play-1.0")) {
        std::fprintf(stderr, "gst-play-1.0 is missing (package gstreamer1.0-plugins-base-apps)\n");
        return 1;
    }
    std::printf("network: %s\n", vorn::bench::PrivateNetwork() ? "a private namespace (port 8080 is this run's own)"
                                                   : "the machine's (port 8080 must be free)");
    TempDir work;
    const std::string demo = work / "demo";
    {
        // Tracks long enough that one plays through the whole measurement.
        ChildProcess maker({VORN_STATION_PROGRAM, "--make-demo-library", demo, "--tracks", "2", "--track-seconds",
                            std::to_string(seconds + 60), "--quiet"},
                           {}, work / "maker.log");
        int status = -1;
        if (!maker.WaitExit(600000, status) || status != 0) {
            std::fprintf(stderr, "the demo library could not be made\n%s", ReadFile(work / "maker.log").c_str());
            return 1;
        }
    }
    ChildProcess station({VORN_STATION_PROGRAM, "--music", demo, "--data", work / "station", "--media-port", "0",
                          "--cdn-port", "0", "--rescan", "0", "--quiet"},
                         {}, work / "station.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (!station.Running()) {
        std::fprintf(stderr, "the station did not start\n%s", ReadFile(work / "station.log").c_str());
        return 1;
    }

    VornDesktop desktop;
    if (!desktop.Ready()) {
        std::fprintf(stderr, "no private X server\n");
        return 1;
    }
    desktop.SetCacheHome(work / "cache");
    auto vorn = desktop.StartVorn(program, desktop.Path("vorn.out"));
    const std::string window = desktop.FindWindow("Vorn Custom Radio", 30000);
    if (window.empty() || !desktop.WaitForLogLines("INFO : Display : Welcome to Vorn", 1, 30000)) {
        std::fprintf(stderr, "the program did not come up\n%s", ReadFile(desktop.LogPath()).c_str());
        return 1;
    }
    const std::string newMedia = "INFO : New Media Set : ";
    const double scale = ScaleFactor();
    if (!desktop.Click(window, static_cast<int>(kPlayX * scale), static_cast<int>(kPlayY * scale)) ||
        !desktop.WaitForLogLines(newMedia, 1, 60000)) {
        std::fprintf(stderr, "playback did not start\n%s", ReadFile(desktop.LogPath()).c_str());
        return 1;
    }
    const std::string file = desktop.LogLines(newMedia).front();
    std::this_thread::sleep_for(std::chrono::seconds(3));  // past its start

    // Two players that wake for every buffer disturb each other by where their
    // wake-ups fall relative to each other, and that stays as it is for as long
    // as both play: two gst-play-1.0 side by side cost the same, but a
    // different pair can differ by a third in either direction, depending on
    // which started when. So gst-play-1.0 starts afresh for each round, and the
    // rounds' median ratio is the figure; the totals are over all rounds.
    std::map<std::string, double> vornThreads, floorThreads;
    std::vector<double> ratios;
    long vornRss = 0, vornPeak = 0, floorRss = 0;
    int samples = 0;
    double wall = 0;
    auto total = [](const std::map<std::string, double>& threads) {
        double sum = 0;
        for (const auto& [name, cpu] : threads) sum += cpu;
        return sum;
    };
    const int roundSeconds = std::max(5, seconds / rounds);
    for (int round = 0; round < rounds; ++round) {
        ChildProcess floor({"/usr/bin/gst-play-1.0", "--no-interactive", "-q", file}, {"DISPLAY"},
                           work / "gst-play.log");
        // Past its start, when it decodes ahead to fill its queue.
        std::this_thread::sleep_for(std::chrono::seconds(5));
        const auto vornStart = vorn::bench::ReadThreadTimes(vorn->Pid());
        const auto floorStart = vorn::bench::ReadThreadTimes(floor.Pid());
        const auto from = Clock::now();
        while (Clock::now() - from < std::chrono::seconds(roundSeconds)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            const vorn::bench::ProcessUsage v = vorn::bench::ReadProcessUsage(vorn->Pid());
            vornRss += v.rssKb;
            vornPeak = std::max(vornPeak, v.rssKb);
            floorRss += vorn::bench::ReadProcessUsage(floor.Pid()).rssKb;
            ++samples;
        }
        wall += std::chrono::duration<double>(Clock::now() - from).count();
        const auto vornRound =
            vorn::bench::ThreadSecondsBetween(vornStart, vorn::bench::ReadThreadTimes(vorn->Pid()));
        const auto floorRound =
            vorn::bench::ThreadSecondsBetween(floorStart, vorn::bench::ReadThreadTimes(floor.Pid()));
        if (!vorn->Running() || !floor.Running() || desktop.LogLines(newMedia).size() != 1) {
            std::fprintf(stderr, "a player ended or changed track during the measurement\n");
            return 1;
        }
        for (const auto& [name, cpu] : vornRound) vornThreads[name] += cpu;
        for (const auto& [name, cpu] : floorRound) floorThreads[name] += cpu;
        const double floorCpu = total(floorRound);
        ratios.push_back(floorCpu > 0 ? total(vornRound) / floorCpu : 0.0);
        std::printf("round %d: vorn %.3f s, gst-play-1.0 %.3f s: %.2f x\n", round + 1, total(vornRound), floorCpu,
                    ratios.back());
    }
    std::vector<double> sorted = ratios;
    std::sort(sorted.begin(), sorted.end());
    const double ratio = sorted[sorted.size() / 2];
    const double vornCpu = total(vornThreads);
    const double floorCpu = total(floorThreads);
    const double rssMb = static_cast<double>(vornRss) / samples / 1024.0;
    std::printf("playing %s for %.1f s in %d rounds, window at %gx, side by side:\n",
                std::filesystem::path(file).filename().c_str(), wall, rounds, scale);
    std::printf("  %-16s CPU %6.3f s   RSS mean %6.1f MB  peak %6.1f MB\n", "vorn", vornCpu, rssMb,
                vornPeak / 1024.0);
    // By thread: the program's own first thread is the window's (drawing,
    // timers, events); the rest are mostly GStreamer's, as in gst-play-1.0.
    for (const auto& [name, cpu] : vornThreads) {
        if (cpu >= 0.0005) std::printf("    %-14s CPU %6.3f s\n", name.c_str(), cpu);
    }
    std::printf("  %-16s CPU %6.3f s   RSS mean %6.1f MB\n", "gst-play-1.0", floorCpu,
                static_cast<double>(floorRss) / samples / 1024.0);
    for (const auto& [name, cpu] : floorThreads) {
        if (cpu >= 0.0005) std::printf("    %-14s CPU %6.3f s\n", name.c_str(), cpu);
    }
    std::printf("  CPU vorn / gst-play-1.0: %.2f x, the median of the rounds (over all of them %.2f x; target "
                "%.1f x); RSS %.1f MB (target %.1f MB)\n",
                ratio, floorCpu > 0 ? vornCpu / floorCpu : 0.0, kCpuTarget, rssMb,
                scale > 1 ? kRssTargetHiDpiMb : kRssTargetMb);
    return 0;
}
