// What a listener waits for, each figure beside its floor measured in the same
// round, on a private desktop (Xvfb with Openbox and a session bus, as the
// end-to-end tests have it) against the real station:
//
//  1. start: from the program's exec to its window shown and drawn, beside
//     bench_startup_floor (a Qt Widgets window of the same size that only
//     fills itself with one colour); both a first start (a new listener: the
//     folders, the settings and their defaults are made) and a later start in
//     the same home (settings and a library of four tracks there). "Drawn" is seen the same way for both: the
//     X server's Damage extension reports each drawing into the window, and at
//     each report the window's pixels are read back; the first time they look
//     like the window's first frame (most of them the skin's background, or
//     the floor's colour), the window is drawn. Polling the screen instead
//     would take the X server away from the program while it starts.
//  2. sound: from the release of the play button (sent through XTest, in a
//     fresh home with an empty library: the click asks the station for music,
//     downloads ~3 MB, loads and plays it) to the first buffer its audio sink
//     renders, beside `gst-launch-1.0 playbin uri=file://...` from its exec,
//     playing the demo track the program played in the warm-up round (the
//     tracks are alike: one encoder, one length). Both are timed by one GStreamer tracer
//     (libgstvornfirstbuffer, FirstBufferTracer.cpp) loaded into each through
//     GST_PLUGIN_PATH and GST_TRACERS, with the same audio sink: playbin's
//     autoaudiosink, which on a machine without sound falls back to a fake
//     sink that keeps to the clock. A stricter floor beside it: gst-launch-1.0
//     from its first element made (its own start over) to that buffer.
//
// Rounds alternate which goes first. Every figure is printed per round with
// its ratio to the floor, then min, median and max of each over the rounds.
// The targets: start within 1.5 x the floor, sound within 1.2 x.
//
// GStreamer's plugin registry is kept in one cache folder for all runs, as a
// listener's is; a warm-up round that fills it is not counted. The load
// average is printed at the start and the end: on a busy machine the figures
// (of both) grow.
//
// Usage: bench_startup [rounds] (default 5). As root it runs in a network
// namespace of its own (the station's fixed port 8080 is then its own);
// otherwise port 8080 must be free. Needs Xvfb, Openbox, dbus-daemon and
// gst-launch-1.0.
#include <QImage>  // before Xlib, whose macros clash with Qt's names
#include <QUrl>

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/PrivateNetwork.h"
#include "tests/app/ChildProcess.h"
#include "tests/app/VornDesktop.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/XTest.h>

namespace {

using Clock = std::chrono::steady_clock;
using vorn::test::ChildProcess;
using vorn::test::ReadFile;
using vorn::test::TempDir;
using vorn::test::VornDesktop;

constexpr int kPlayX = 72, kPlayY = 66;  // window-relative centre of the play button
constexpr int kWidth = 430, kHeight = 130;
constexpr QRgb kFloorColour = 0x2a5d8f;  // FloorWindow.cpp fills its window with it
constexpr const char* kVornTitle = "Vorn Custom Radio";
constexpr const char* kFloorTitle = "Vorn start-up floor";
constexpr double kStartTarget = 1.5;
constexpr double kSoundTarget = 1.2;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// steady_clock is CLOCK_MONOTONIC, the clock the tracer writes.
std::int64_t Nanoseconds(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string LoadAverage() {
    std::string text = ReadFile("/proc/loadavg");
    return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

// What the window's first frame looks like: `share` of its pixels within a
// small distance of the picture's.
struct Look {
    QImage picture;
    double share;
};

double Likeness(XImage* shown, const QImage& picture) {
    int same = 0;
    for (int row = 0; row < kHeight; ++row) {
        for (int column = 0; column < kWidth; ++column) {
            const QRgb want = picture.pixel(column, row);
            const auto got = static_cast<std::uint32_t>(XGetPixel(shown, column, row));
            if (std::abs(qRed(want) - static_cast<int>(got >> 16 & 0xFF)) <= 8 &&
                std::abs(qGreen(want) - static_cast<int>(got >> 8 & 0xFF)) <= 8 &&
                std::abs(qBlue(want) - static_cast<int>(got & 0xFF)) <= 8) {
                ++same;
            }
        }
    }
    return static_cast<double>(same) / (kWidth * kHeight);
}

// A connection to the desktop's X server that sees top-level windows come and
// be drawn into. Made before the program starts, so none of its windows is missed.
class WindowWatch {
public:
    explicit WindowWatch(const std::string& display) : display_(XOpenDisplay(display.c_str())) {
        int error = 0;
        if (display_ == nullptr || !XDamageQueryExtension(display_, &damageEvent_, &error)) return;
        XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
        XSync(display_, False);
        ok_ = true;
    }
    ~WindowWatch() {
        if (display_ != nullptr) XCloseDisplay(display_);
    }
    bool Ok() const { return ok_; }

    // Waits for the window titled `title` to be mapped and then drawn as `look`
    // says; the moments of both.
    bool WaitDrawn(const std::string& title, const Look& look, int timeoutMs, Window& window,
                   Clock::time_point& mapped, Clock::time_point& drawn) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        window = 0;
        while (Clock::now() < deadline) {
            while (XPending(display_) > 0) {
                XEvent event;
                XNextEvent(display_, &event);
                const auto now = Clock::now();
                Window candidate = 0;
                if (event.type == CreateNotify) {
                    // Told of its drawing and its mapping from now on; already
                    // mapped, it is looked at at once.
                    const Window created = event.xcreatewindow.window;
                    XSelectInput(display_, created, StructureNotifyMask);
                    XDamageCreate(display_, created, XDamageReportNonEmpty);
                    XWindowAttributes attributes;
                    if (XGetWindowAttributes(display_, created, &attributes) && attributes.map_state == IsViewable) {
                        candidate = created;
                    }
                } else if (event.type == MapNotify && event.xmap.event == event.xmap.window) {
                    candidate = event.xmap.window;
                } else if (event.type == damageEvent_ + XDamageNotify) {
                    const auto* damage = reinterpret_cast<XDamageNotifyEvent*>(&event);
                    XDamageSubtract(display_, damage->damage, None, None);
                    if (window != 0 && damage->drawable == window && Looks(window, look)) {
                        drawn = Clock::now();
                        return true;
                    }
                }
                if (window == 0 && candidate != 0 && Titled(candidate, title)) {
                    window = candidate;
                    mapped = now;
                    if (Looks(window, look)) {
                        drawn = Clock::now();
                        return true;
                    }
                }
            }
            pollfd connection{ConnectionNumber(display_), POLLIN, 0};
            ::poll(&connection, 1, 20);
        }
        return false;
    }

private:
    bool Titled(Window window, const std::string& title) {
        char* name = nullptr;
        if (!XFetchName(display_, window, &name) || name == nullptr) return false;
        const bool match = title == name;
        XFree(name);
        return match;
    }

    bool Looks(Window window, const Look& look) {
        XImage* image = XGetImage(display_, window, 0, 0, kWidth, kHeight, AllPlanes, ZPixmap);
        if (image == nullptr) return false;
        const bool drawn = Likeness(image, look.picture) >= look.share;
        XDestroyImage(image);
        return drawn;
    }

    Display* display_;
    int damageEvent_ = 0;
    bool ok_ = false;
};

// Where the tracer writes, and the environment that loads it.
struct SoundProbe {
    std::string file;
    std::vector<std::string> environment;

    SoundProbe(const TempDir& work, const std::string& name, const std::string& cache)
        : file(work / name),
          environment({"GST_PLUGIN_PATH=" + std::string(VORN_TRACER_DIR), "GST_TRACERS=vornfirstbuffer",
                       "VORN_FIRST_BUFFER_FILE=" + file, "XDG_CACHE_HOME=" + cache}) {
        std::filesystem::remove(file);
    }

    // The moment the first buffer was rendered, once the tracer has written
    // it, and the moment the process made its first element.
    bool Wait(int timeoutMs, std::int64_t& buffer, std::int64_t& element) const {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            const std::string text = ReadFile(file);
            if (const std::size_t at = text.find("buffer "); at != std::string::npos &&
                                                             text.find('\n', at) != std::string::npos) {
                buffer = std::atoll(text.c_str() + at + 7);
                const std::size_t made = text.find("element ");
                element = made == std::string::npos ? 0 : std::atoll(text.c_str() + made + 8);
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
};

struct Round {
    double vornMapped = -1, vornDrawn = -1, laterMapped = -1, laterDrawn = -1, floorMapped = -1, floorDrawn = -1;
    double vornSound = -1, floorSound = -1, floorPipelineSound = -1;
};

struct Bench {
    TempDir& work;
    std::string cache;
    Look vornLook;
    Look floorLook;
    // One of the demo tracks the program played; all of them are alike.
    std::string floorTrack;
};

// A program started on the desktop and watched until its window `title` is
// drawn as `look` says; the milliseconds from its exec to its window mapped and drawn.
std::unique_ptr<ChildProcess> StartDrawn(VornDesktop& desktop, const std::function<std::unique_ptr<ChildProcess>()>& start,
                                         const std::string& title, const Look& look, Window& window, double& mapped,
                                         double& drawn) {
    WindowWatch watch(desktop.XDisplay());
    if (!watch.Ok()) {
        std::fprintf(stderr, "no X connection with the Damage extension\n");
        return nullptr;
    }
    const auto started = Clock::now();
    auto program = start();
    Clock::time_point shown, painted;
    if (!watch.WaitDrawn(title, look, 20000, window, shown, painted)) {
        std::fprintf(stderr, "the window \"%s\" was not %s\n", title.c_str(), window == 0 ? "shown" : "drawn");
        return nullptr;
    }
    mapped = Ms(shown - started);
    drawn = Ms(painted - started);
    return program;
}

// The program's first session: started, drawn, connected; play pressed on the
// empty library; stopped once it sounds. Then a later start in the same home,
// with its library and settings, until its window is drawn. The figures go
// into `round`, the file it played into `played`.
bool VornSession(Bench& bench, VornDesktop& desktop, Round& round, std::string& played) {
    SoundProbe probe(bench.work, "vorn-first-buffer", bench.cache);
    const auto start = [&] {
        return desktop.StartVorn(VORN_PROGRAM, desktop.Path("vorn.out"), std::string(), probe.environment);
    };
    Window window = 0;
    auto program = StartDrawn(desktop, start, kVornTitle, bench.vornLook, window, round.vornMapped, round.vornDrawn);
    if (!program) {
        std::fprintf(stderr, "%s", ReadFile(desktop.LogPath()).c_str());
        return false;
    }
    if (!desktop.WaitForLogLines("INFO : Display : Welcome to Vorn", 1, 20000)) {
        std::fprintf(stderr, "not connected\n%s", ReadFile(desktop.LogPath()).c_str());
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a listener's moment before the click

    // The button acts on its release: the clock starts as the release goes out.
    Display* x = XOpenDisplay(desktop.XDisplay().c_str());
    if (x == nullptr) return false;
    int left = 0, top = 0;
    Window child = 0;
    XTranslateCoordinates(x, window, DefaultRootWindow(x), 0, 0, &left, &top, &child);
    XTestFakeMotionEvent(x, -1, left + kPlayX, top + kPlayY, CurrentTime);
    XTestFakeButtonEvent(x, 1, True, CurrentTime);
    XFlush(x);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto click = Clock::now();
    XTestFakeButtonEvent(x, 1, False, CurrentTime);
    XFlush(x);
    XCloseDisplay(x);
    std::int64_t sounded = 0, made = 0;
    if (!probe.Wait(30000, sounded, made)) {
        std::fprintf(stderr, "no sound\n%s", ReadFile(desktop.LogPath()).c_str());
        return false;
    }
    round.vornSound = static_cast<double>(sounded - Nanoseconds(click)) / 1e6;
    const std::vector<std::string> media = desktop.LogLines("INFO : New Media Set : ");
    if (media.empty()) return false;
    played = media.front();
    program->Stop();

    program = StartDrawn(desktop, start, kVornTitle, bench.vornLook, window, round.laterMapped, round.laterDrawn);
    if (!program) {
        std::fprintf(stderr, "%s", ReadFile(desktop.LogPath()).c_str());
        return false;
    }
    return true;
}

// The floor's window: started, shown, drawn, stopped.
bool FloorWindow(Bench& bench, VornDesktop& desktop, Round& round) {
    const auto start = [&] {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{VORN_FLOOR_PROGRAM, kFloorTitle},
            std::vector<std::string>{"DISPLAY=" + desktop.XDisplay(),
                                     "DBUS_SESSION_BUS_ADDRESS=" + desktop.SessionBusAddress()},
            desktop.Path("floor.out"));
    };
    Window window = 0;
    return StartDrawn(desktop, start, kFloorTitle, bench.floorLook, window, round.floorMapped, round.floorDrawn) !=
           nullptr;
}

// gst-launch-1.0 playing the floor's track: from its exec to its first rendered buffer.
bool FloorSound(Bench& bench, Round& round) {
    SoundProbe probe(bench.work, "floor-first-buffer", bench.cache);
    const std::string uri =
        QUrl::fromLocalFile(QString::fromStdString(bench.floorTrack)).toString(QUrl::FullyEncoded).toStdString();
    const auto start = Clock::now();
    ChildProcess launch({"/usr/bin/gst-launch-1.0", "playbin", "uri=" + uri}, probe.environment,
                        bench.work / "gst-launch.out");
    std::int64_t sounded = 0, made = 0;
    if (!probe.Wait(20000, sounded, made) || made == 0) {
        std::fprintf(stderr, "gst-launch-1.0 did not sound\n%s", ReadFile(bench.work / "gst-launch.out").c_str());
        return false;
    }
    round.floorSound = static_cast<double>(sounded - Nanoseconds(start)) / 1e6;
    round.floorPipelineSound = static_cast<double>(sounded - made) / 1e6;
    return true;
}

// One round on a fresh desktop and home; `vornFirst` decides the order.
bool OneRound(Bench& bench, bool vornFirst, Round& round) {
    VornDesktop desktop;
    if (!desktop.Ready() || !desktop.StartSessionBus()) {
        std::fprintf(stderr, "no private desktop\n");
        return false;
    }
    desktop.SetCacheHome(bench.cache);
    std::string played;
    if (vornFirst) {
        if (!VornSession(bench, desktop, round, played)) return false;
        if (bench.floorTrack.empty()) {
            // The floor plays this file from now on: the warm-up round's pick.
            bench.floorTrack = bench.work / "floor-track.mp3";
            std::filesystem::copy_file(played, bench.floorTrack);
        }
        return FloorWindow(bench, desktop, round) && FloorSound(bench, round);
    }
    return FloorWindow(bench, desktop, round) && FloorSound(bench, round) &&
           VornSession(bench, desktop, round, played);
}

void PrintRow(const char* name, const std::vector<double>& values, const char* unit) {
    std::printf("  %-34s min %7.2f%s  median %7.2f%s  max %7.2f%s\n", name,
                *std::min_element(values.begin(), values.end()), unit, Median(values), unit,
                *std::max_element(values.begin(), values.end()), unit);
}

void PrintSummary(const char* what, const std::vector<double>& vorn, const std::vector<double>& floor,
                  const char* floorName, double target) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < vorn.size(); ++i) ratios.push_back(vorn[i] / floor[i]);
    std::printf("%s:\n", what);
    PrintRow("vorn", vorn, " ms");
    PrintRow(floorName, floor, " ms");
    PrintRow("ratio, round by round", ratios, " x");
    const double overall = Median(vorn) / Median(floor);
    std::printf("  %-34s %.2f x (target %.1f x: %s)\n", "ratio of the medians", overall, target,
                overall <= target ? "met" : "missed");
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::printf("network: %s\n", vorn::bench::PrivateNetwork() ? "a private namespace (port 8080 is this run's own)"
                                                               : "the machine's (port 8080 must be free)");
    TempDir work;
    const std::string demo = work / "demo";
    {
        // ~3 MB files: 256 s at the demo library's 96 kbit/s.
        ChildProcess maker({VORN_STATION_PROGRAM, "--make-demo-library", demo, "--tracks", "4", "--track-seconds",
                            "256", "--quiet"},
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
        std::fprintf(stderr, "the station did not start (is port 8080 free?)\n%s",
                     ReadFile(work / "station.log").c_str());
        return 1;
    }

    QImage floorPicture(kWidth, kHeight, QImage::Format_RGB32);
    floorPicture.fill(kFloorColour);
    Bench bench{work, work / "cache",
                {QImage(QString::fromStdString(std::string(VORN_SOURCE_RESOURCES) + "/vorn background.png")), 0.6},
                {floorPicture, 0.95}, std::string()};
    if (bench.vornLook.picture.size() != QSize(kWidth, kHeight)) {
        std::fprintf(stderr, "the skin's background could not be read\n");
        return 1;
    }

    std::printf("load average at the start: %s\nwarm-up round (not counted)\n", LoadAverage().c_str());
    {
        Round round;
        if (!OneRound(bench, true, round)) return 1;
    }
    std::vector<double> vornDrawn, laterDrawn, floorDrawn, vornSound, floorSound, floorPipelineSound;
    for (int i = 0; i < rounds; ++i) {
        Round round;
        const bool vornFirst = i % 2 == 0;
        if (!OneRound(bench, vornFirst, round)) return 1;
        std::printf("round %d (%s first), vorn / floor:  first start shown %5.1f / %5.1f ms, drawn %5.1f / %5.1f ms "
                    "= %.2f x;  later start shown %5.1f ms, drawn %5.1f ms = %.2f x;  first sound %5.1f / %5.1f ms = %.2f x "
                    "(%5.1f ms from its first element = %.2f x)\n",
                    i + 1, vornFirst ? "vorn" : "floor", round.vornMapped, round.floorMapped, round.vornDrawn,
                    round.floorDrawn, round.vornDrawn / round.floorDrawn, round.laterMapped, round.laterDrawn,
                    round.laterDrawn / round.floorDrawn, round.vornSound, round.floorSound,
                    round.vornSound / round.floorSound, round.floorPipelineSound,
                    round.vornSound / round.floorPipelineSound);
        std::fflush(stdout);
        vornDrawn.push_back(round.vornDrawn);
        laterDrawn.push_back(round.laterDrawn);
        floorDrawn.push_back(round.floorDrawn);
        vornSound.push_back(round.vornSound);
        floorSound.push_back(round.floorSound);
        floorPipelineSound.push_back(round.floorPipelineSound);
    }
    std::printf("\n");
    PrintSummary("first start (a new listener): exec to the window shown and drawn", vornDrawn, floorDrawn,
                 "floor (bench_startup_floor)", kStartTarget);
    PrintSummary("later start (settings and library there): exec to the window shown and drawn", laterDrawn,
                 floorDrawn, "floor (bench_startup_floor)", kStartTarget);
    PrintSummary("sound: play released to the first buffer rendered", vornSound, floorSound,
                 "floor (gst-launch-1.0 playbin)", kSoundTarget);
    // The stricter floor: what the media framework itself takes for a local
    // file, without gst-launch-1.0's own start (its process, the framework's
    // start, the registry read), which the program has behind it at the click.
    PrintSummary("sound, beside gst-launch-1.0 from its first element made to its first buffer", vornSound,
                 floorPipelineSound, "floor (its playbin alone)", kSoundTarget);
    std::printf("load average at the end: %s\n", LoadAverage().c_str());
    return 0;
}
