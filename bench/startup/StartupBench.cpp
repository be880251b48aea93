// Times the real program the way a listener meets it, against the real station
// on this machine, each run in a fresh home on a private X server:
//
//  1. process start to window ready: the window mapped (the program sets its
//     window-ready event while the window is shown) and its skin painted;
//     target 500 ms.
//  2. play click to playback running, empty library, ~3 MB files: from the
//     click to the "New Media Set" log line (the file is loaded and prerolled)
//     and to the play button's playing look (StartPlayback has run; the media
//     graph's Run is the next event in the same loop); target 300 ms median.
//  3. resident memory and CPU while playing, against gst-play-1.0 playing the
//     same file at the same time (the decoding floor).
//
// GStreamer's plugin registry is kept in one cache folder for all runs, as a
// listener's is; a first run that warms it is not counted.
//
// Usage: bench_startup [runs] (default 7). Needs port 8080 free, Xvfb, xdotool
// and gst-play-1.0.
#include <QImage>  // before Xlib, whose macros clash with Qt's names

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/ProcessUsage.h"
#include "tests/app/ChildProcess.h"
#include "tests/app/VornDesktop.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using Clock = std::chrono::steady_clock;
using vorn::test::ChildProcess;
using vorn::test::ReadFile;
using vorn::test::TempDir;
using vorn::test::VornDesktop;

constexpr int kPlayX = 72, kPlayY = 66;  // window-relative centre of the play button

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void PrintSeries(const char* name, const std::vector<double>& values, double target) {
    if (values.empty()) {
        std::printf("  %-44s no data\n", name);
        return;
    }
    const double median = Median(values);
    std::printf("  %-44s median %7.1f ms  min %7.1f  max %7.1f", name, median,
                *std::min_element(values.begin(), values.end()), *std::max_element(values.begin(), values.end()));
    if (target > 0) std::printf("  = %.2f x the %.0f ms target", median / target, target);
    std::printf("\n");
}

// Polls the condition every millisecond for up to timeoutMs.
bool PollUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// Waits (polling every millisecond) until the file holds `text`; the moment it was seen.
bool WaitForText(const std::string& file, const std::string& text, int timeoutMs, Clock::time_point& when) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    off_t seen = -1;
    while (Clock::now() < deadline) {
        struct stat facts {};
        if (::stat(file.c_str(), &facts) == 0 && facts.st_size != seen) {
            seen = facts.st_size;
            if (ReadFile(file).find(text) != std::string::npos) {
                when = Clock::now();
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return false;
}

// A connection to the desktop's X server that sees top-level windows appear.
class XWatch {
public:
    explicit XWatch(const std::string& display) : display_(XOpenDisplay(display.c_str())) {
        if (display_) {
            XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
            XSync(display_, False);
        }
    }
    ~XWatch() {
        if (display_) XCloseDisplay(display_);
    }
    bool Ok() const { return display_ != nullptr; }

    // Waits for the top-level window with this title to be mapped.
    bool WaitMapped(const std::string& title, int timeoutMs, Window& window, Clock::time_point& when) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            while (XPending(display_) > 0) {
                XEvent event;
                XNextEvent(display_, &event);
                if (event.type != MapNotify) continue;
                const auto now = Clock::now();
                char* name = nullptr;
                if (XFetchName(display_, event.xmap.window, &name) && name != nullptr) {
                    const bool match = title == name;
                    XFree(name);
                    if (match) {
                        window = event.xmap.window;
                        when = now;
                        return true;
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return false;
    }

    bool Origin(Window window, int& x, int& y) {
        Window child = 0;
        return XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
    }

    // The screen's pixels (0xRRGGBB) in a rectangle.
    std::vector<std::uint32_t> Pixels(int x, int y, int width, int height) {
        std::vector<std::uint32_t> pixels;
        XImage* image = XGetImage(display_, DefaultRootWindow(display_), x, y, static_cast<unsigned>(width),
                                  static_cast<unsigned>(height), AllPlanes, ZPixmap);
        if (image == nullptr) return pixels;
        for (int row = 0; row < height; ++row) {
            for (int column = 0; column < width; ++column) {
                pixels.push_back(static_cast<std::uint32_t>(XGetPixel(image, column, row)) & 0xFFFFFFu);
            }
        }
        XDestroyImage(image);
        return pixels;
    }

private:
    Display* display_;
};

// How many of the pixels are within a small distance of the picture's.
double Likeness(const std::vector<std::uint32_t>& shown, const QImage& picture, int x, int y, int width, int height) {
    if (shown.size() != static_cast<std::size_t>(width) * height) return 0;
    int same = 0;
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            const QRgb want = picture.pixel(x + column, y + row);
            const std::uint32_t got = shown[static_cast<std::size_t>(row) * width + column];
            if (std::abs(qRed(want) - static_cast<int>(got >> 16 & 0xFF)) <= 8 &&
                std::abs(qGreen(want) - static_cast<int>(got >> 8 & 0xFF)) <= 8 &&
                std::abs(qBlue(want) - static_cast<int>(got & 0xFF)) <= 8) {
                ++same;
            }
        }
    }
    return static_cast<double>(same) / (width * height);
}


struct RunFigures {
    double mapped = -1, painted = -1, mediaSet = -1, playingLook = -1;
    std::string file;
};

// One listener's first session: start, connect, press play on the empty library.
// Leaves the program running (in `program`) when `keep` is set.
bool OneRun(VornDesktop& desktop, const std::string& cache, RunFigures& figures, const QImage& pauseLook,
            std::unique_ptr<ChildProcess>* keep) {
    desktop.SetCacheHome(cache);
    XWatch watch(desktop.XDisplay());
    if (!watch.Ok()) return false;
    const auto start = Clock::now();
    auto program = desktop.StartVorn(VORN_PROGRAM, desktop.Path("vorn.out"));
    Window window = 0;
    Clock::time_point mapped;
    if (!watch.WaitMapped("Vorn Custom Radio", 20000, window, mapped)) {
        std::fprintf(stderr, "no window\n%s", ReadFile(desktop.LogPath()).c_str());
        return false;
    }
    figures.mapped = Ms(mapped - start);
    int left = 0, top = 0;
    watch.Origin(window, left, top);
    const QImage background(QString::fromStdString(std::string(VORN_SOURCE_RESOURCES) + "/vorn background.png"));
    Clock::time_point painted;
    if (PollUntil(
            [&] {
                if (Likeness(watch.Pixels(left, top, 430, 130), background, 0, 0, 430, 130) < 0.6) return false;
                painted = Clock::now();
                return true;
            },
            10000)) {
        figures.painted = Ms(painted - start);
    }
    Clock::time_point connected;
    if (!WaitForText(desktop.LogPath(), "Display : Welcome to Vorn", 20000, connected)) {
        std::fprintf(stderr, "not connected\n%s", ReadFile(desktop.LogPath()).c_str());
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the window settle

    // The button acts on the release, so the clock starts as the release is
    // sent; the press goes before, untimed. The release reaches the X server
    // within the few milliseconds xdotool needs to start (printed).
    const std::string id = std::to_string(window);
    desktop.Xdotool("mousemove --window " + id + " " + std::to_string(kPlayX) + " " + std::to_string(kPlayY));
    desktop.Xdotool("mousedown 1");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto click = Clock::now();
    desktop.Xdotool("mouseup 1");
    const auto clicked = Clock::now();
    Clock::time_point mediaSet;
    if (!WaitForText(desktop.LogPath(), "New Media Set : ", 30000, mediaSet)) {
        std::fprintf(stderr, "playback did not start\n%s", ReadFile(desktop.LogPath()).c_str());
        return false;
    }
    figures.mediaSet = Ms(mediaSet - click);
    // The playing look: the pause symbol over the play button's box.
    const int bx = 44, by = 38, bw = 56, bh = 57;
    Clock::time_point look;
    if (PollUntil(
            [&] {
                if (Likeness(watch.Pixels(left + bx, top + by, bw, bh), pauseLook, bx, by, bw, bh) < 0.9) return false;
                look = Clock::now();
                return true;
            },
            5000)) {
        figures.playingLook = Ms(look - click);
    }
    std::printf("    run: window %6.1f ms, painted %6.1f ms, release (xdotool %4.1f ms) to media set %6.1f ms, "
                "to playing look %6.1f ms\n",
                figures.mapped, figures.painted, Ms(clicked - click), figures.mediaSet, figures.playingLook);
    const std::string log = ReadFile(desktop.LogPath());
    const std::string marker = "New Media Set : ";
    const std::size_t at = log.find(marker) + marker.size();
    figures.file = log.substr(at, log.find('\n', at) - at - 25);
    if (keep != nullptr) *keep = std::move(program);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    TempDir work;
    const std::string demo = work / "demo";
    const std::string cache = work / "cache";

    // ~3 MB files: 256 s at the demo library's 96 kbit/s.
    auto made = Clock::now();
    {
        ChildProcess maker({VORN_STATION_PROGRAM, "--make-demo-library", demo, "--tracks", "4", "--track-seconds",
                            "256", "--quiet"},
                           {}, work / "maker.log");
        int status = -1;
        if (!maker.WaitExit(600000, status) || status != 0) {
            std::fprintf(stderr, "the demo library could not be made\n%s", ReadFile(work / "maker.log").c_str());
            return 1;
        }
    }
    std::uintmax_t bytes = 0;
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(demo)) {
        if (entry.is_regular_file()) {
            bytes += entry.file_size();
            ++files;
        }
    }
    std::printf("demo library: %d files, %.2f MB each on average, made in %.1f s\n", files,
                static_cast<double>(bytes) / files / 1e6, Ms(Clock::now() - made) / 1000);

    ChildProcess station({VORN_STATION_PROGRAM, "--music", demo, "--data", work / "station", "--media-port", "0",
                          "--cdn-port", "0", "--rescan", "0", "--quiet"},
                         {}, work / "station.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (!station.Running()) {
        std::fprintf(stderr, "the station did not start (is port 8080 free?)\n%s",
                     ReadFile(work / "station.log").c_str());
        return 1;
    }

    const QImage pauseLook(QString::fromStdString(std::string(VORN_SOURCE_RESOURCES) + "/vorn pause button.png"));
    std::vector<double> mapped, painted, mediaSet, playingLook;
    std::printf("warm-up run (not counted):\n");
    {
        VornDesktop desktop;
        RunFigures figures;
        if (!desktop.Ready() || !OneRun(desktop, cache, figures, pauseLook, nullptr)) return 1;
    }
    std::printf("%d runs:\n", runs);
    std::unique_ptr<ChildProcess> playing;
    std::unique_ptr<VornDesktop> lastDesktop;
    std::string file;
    for (int i = 0; i < runs; ++i) {
        auto desktop = std::make_unique<VornDesktop>();
        RunFigures figures;
        const bool last = i == runs - 1;
        if (!desktop->Ready() || !OneRun(*desktop, cache, figures, pauseLook, last ? &playing : nullptr)) return 1;
        mapped.push_back(figures.mapped);
        if (figures.painted >= 0) painted.push_back(figures.painted);
        mediaSet.push_back(figures.mediaSet);
        if (figures.playingLook >= 0) playingLook.push_back(figures.playingLook);
        if (last) {
            file = figures.file;
            lastDesktop = std::move(desktop);
        }
    }
    std::printf("\nstart-up (process start to):\n");
    PrintSeries("window mapped (window ready)", mapped, 500);
    PrintSeries("skin painted", painted, 500);
    std::printf("play click on an empty library (button release to):\n");
    PrintSeries("\"New Media Set\" (downloaded, loaded)", mediaSet, 300);
    PrintSeries("playing look (playback started)", playingLook, 300);

    // ---- the cost of playing, side by side with gst-play-1.0 on the same file
    const char* baseline = std::filesystem::exists("/usr/bin/gst-play-1.0") ? "/usr/bin/gst-play-1.0" : nullptr;
    if (baseline == nullptr) {
        std::printf("\ngst-play-1.0 is missing (package gstreamer1.0-plugins-base-apps): no playback comparison\n");
        return 0;
    }
    ChildProcess floor({baseline, "--no-interactive", "-q", file}, {"DISPLAY"}, work / "gst-play.log");
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const int seconds = 20;
    const vorn::bench::ProcessUsage vornStart = vorn::bench::ReadProcessUsage(playing->Pid());
    const vorn::bench::ProcessUsage floorStart = vorn::bench::ReadProcessUsage(floor.Pid());
    long vornRss = 0, floorRss = 0, vornPeak = 0, floorPeak = 0;
    int samples = 0;
    const auto from = Clock::now();
    while (Clock::now() - from < std::chrono::seconds(seconds)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const vorn::bench::ProcessUsage v = vorn::bench::ReadProcessUsage(playing->Pid());
        const vorn::bench::ProcessUsage f = vorn::bench::ReadProcessUsage(floor.Pid());
        vornRss += v.rssKb;
        floorRss += f.rssKb;
        vornPeak = std::max(vornPeak, v.rssKb);
        floorPeak = std::max(floorPeak, f.rssKb);
        ++samples;
    }
    const double wall = Ms(Clock::now() - from) / 1000;
    const double vornCpu = (vorn::bench::ReadProcessUsage(playing->Pid()).cpuSeconds - vornStart.cpuSeconds) / wall * 100;
    const double floorCpu = (vorn::bench::ReadProcessUsage(floor.Pid()).cpuSeconds - floorStart.cpuSeconds) / wall * 100;
    if (!playing->Running() || !floor.Running()) {
        std::printf("\na player ended during the measurement: no playback comparison\n%s",
                    ReadFile(work / "gst-play.log").c_str());
        return 1;
    }
    std::printf("\nwhile playing %s for %.0f s, side by side:\n", std::filesystem::path(file).filename().c_str(), wall);
    std::printf("  %-12s CPU %5.2f %%   RSS mean %6.1f MB  peak %6.1f MB\n", "vorn", vornCpu,
                vornRss / samples / 1024.0, vornPeak / 1024.0);
    std::printf("  %-12s CPU %5.2f %%   RSS mean %6.1f MB  peak %6.1f MB\n", "gst-play-1.0", floorCpu,
                floorRss / samples / 1024.0, floorPeak / 1024.0);
    std::printf("  ratio vorn / gst-play-1.0: CPU %.2f x, RSS %.2f x\n", floorCpu > 0 ? vornCpu / floorCpu : 0.0,
                floorRss > 0 ? static_cast<double>(vornRss) / floorRss : 0.0);
    return 0;
}
