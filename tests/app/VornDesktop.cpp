#include "tests/app/VornDesktop.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QImage>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "foundation/RegistryKey.h"
#include "tests/ui/XRootShot.h"

// Last: Xlib defines names (Status, None, Bool) that Qt uses.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace vorn::test {
namespace {

constexpr std::size_t kStampLength = 25;  // one space and the 24-character time stamp

// A question about a window that has just gone is answered with an X error;
// Xlib's default handler would end the test program for it.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

}  // namespace

bool Eventually(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

VornDesktop::VornDesktop() {
    const std::string opener = home_ / "bin/xdg-open";
    WriteFile(opener, "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + (home_ / "opened.txt") + "'\n");
    ::chmod(opener.c_str(), 0755);
    if (xvfb_.Display().empty()) return;
    XSetErrorHandler(IgnoreXError);
    display_ = XOpenDisplay(xvfb_.Display().c_str());
    if (display_ == nullptr) return;
    // Openbox with its packaged configuration; it is up once it has announced
    // itself on the root window (a window manager check window exists).
    windowManager_ = StartOnDisplay({"openbox", "--sm-disable"}, home_ / "openbox.log");
    const Atom check = XInternAtom(display_, "_NET_SUPPORTING_WM_CHECK", False);
    windowManagerUp_ = Eventually(
        [&] {
            Atom type = None;
            int format = 0;
            unsigned long count = 0, after = 0;
            unsigned char* data = nullptr;
            const bool found = XGetWindowProperty(display_, DefaultRootWindow(display_), check, 0, 1, False,
                                                  XA_WINDOW, &type, &format, &count, &after, &data) == Success &&
                               count == 1;
            if (data != nullptr) XFree(data);
            return found && windowManager_->Running();
        },
        10000);
}

VornDesktop::~VornDesktop() {
    accessibilityBus_.reset();
    tray_.reset();
    windowManager_.reset();
    if (display_ != nullptr) XCloseDisplay(display_);
}

std::unique_ptr<ChildProcess> VornDesktop::StartOnDisplay(const std::vector<std::string>& argv,
                                                          const std::string& log) const {
    std::vector<std::string> resolved = argv;
    resolved[0] = ProgramOnPath(argv[0]);
    return std::make_unique<ChildProcess>(
        resolved, std::vector<std::string>{"DISPLAY=" + xvfb_.Display(), "WAYLAND_DISPLAY"}, log);
}

bool VornDesktop::StartTray() {
    if (!Ready()) return false;
    tray_ = StartOnDisplay({"trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel", "--width",
                            "120", "--heighttype", "pixel", "--height", "24", "--SetDockType", "true"},
                           home_ / "trayer.log");
    const Atom selection = XInternAtom(display_, "_NET_SYSTEM_TRAY_S0", False);
    return Eventually([&] { return XGetSelectionOwner(display_, selection) != None; }, 10000);
}

bool VornDesktop::TrayIconCentre(int& x, int& y) const {
    std::string panels;
    if (!Xdotool("search --onlyvisible --class '^trayer$'", &panels)) return false;  // its panel
    const Window panel = WindowId(panels.substr(0, panels.find('\n')));
    if (panel == 0) return false;
    // The icons are the panel's viewable children; the first one is ours.
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (XQueryTree(display_, panel, &root, &parent, &children, &count) == 0) return false;
    bool found = false;
    for (unsigned i = 0; i < count && !found; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display_, children[i], &attributes) == 0 || attributes.map_state != IsViewable ||
            attributes.width < 8) {
            continue;
        }
        Window child = 0;
        found = XTranslateCoordinates(display_, children[i], root, attributes.width / 2, attributes.height / 2, &x,
                                      &y, &child) != 0;
    }
    if (children != nullptr) XFree(children);
    return found;
}

bool VornDesktop::StartSessionBus() {
    const std::string socket = home_ / "session-bus";
    bus_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{ProgramOnPath("dbus-daemon"), "--session", "--nofork", "--nopidfile",
                                 "--address=unix:path=" + socket},
        std::vector<std::string>{}, home_ / "dbus-daemon.log");
    if (!Eventually([&] { return std::filesystem::exists(socket) || !bus_->Running(); }, 10000) ||
        !bus_->Running()) {
        return false;
    }
    busAddress_ = "unix:path=" + socket;
    return true;
}

bool VornDesktop::StartAccessibilityBus() {
    if (bus_ == nullptr) return false;
    // Its bus's socket goes into a runtime folder of this home, not the machine's.
    const std::string runtime = home_ / "runtime";
    std::filesystem::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);
    // The launcher now and then ends by itself at once on a loaded machine,
    // leaving nothing in its log: a second or third start is given.
    for (int attempt = 0; attempt < 3; ++attempt) {
        accessibilityBus_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"},
            std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=" + busAddress_, "DISPLAY=" + xvfb_.Display(),
                                     "XDG_RUNTIME_DIR=" + runtime},
            home_ / "at-spi-bus-launcher.log");
        const bool answered = Eventually(
            [&] {
                return !accessibilityBus_->Running() ||
                       RunOnBus({"gdbus", "call", "--session", "--dest", "org.a11y.Bus", "--object-path",
                                 "/org/a11y/bus", "--method", "org.a11y.Bus.GetAddress"});
            },
            10000);
        if (answered && accessibilityBus_->Running()) return true;
        if (accessibilityBus_->Running()) return false;  // running but silent for 10 s: no second try
    }
    return false;
}

bool VornDesktop::RunOnBus(const std::vector<std::string>& argv, std::string* output) const {
    std::vector<std::string> resolved = argv;
    resolved[0] = ProgramOnPath(argv[0]);
    const std::string log = home_ / "bus-command.out";
    std::filesystem::remove(log);  // the output file is appended to
    ChildProcess command(resolved, {"DBUS_SESSION_BUS_ADDRESS=" + busAddress_, "DISPLAY=" + xvfb_.Display()}, log);
    int status = -1;
    const bool ended = command.WaitExit(10000, status);
    if (output != nullptr) *output = ReadFile(log);
    return ended && status == 0;
}

std::unique_ptr<ChildProcess> VornDesktop::StartVorn(const std::string& program, const std::string& outputFile,
                                                     const std::string& workingDir,
                                                     const std::vector<std::string>& changes) const {
    const char* path = std::getenv("PATH");
    std::vector<std::string> environment = {
        "DISPLAY=" + xvfb_.Display(),
        "PATH=" + (home_ / "bin") + ":" + (path != nullptr ? path : "/usr/bin:/bin"),
        "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "BROWSER",
        "XDG_CACHE_HOME=" + cacheHome_,
        "DBUS_SESSION_BUS_ADDRESS=" + busAddress_,
    };
    environment.insert(environment.end(), changes.begin(), changes.end());
    std::vector<std::string> argv = {program};
    if (!workingDir.empty()) {
        // Through the shell: the child changes its folder before it becomes the program.
        argv = {"/bin/sh", "-c", "cd \"$0\" && exec \"$1\"", workingDir, program};
    }
    return std::make_unique<ChildProcess>(argv, environment, outputFile);
}

std::vector<std::string> VornDesktop::LogLines(const std::string& prefix) const {
    std::vector<std::string> found;
    std::istringstream lines(ReadFile(LogPath()));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(prefix, 0) == 0 && line.size() >= prefix.size() + kStampLength) {
            found.push_back(line.substr(prefix.size(), line.size() - prefix.size() - kStampLength));
        }
    }
    return found;
}

bool VornDesktop::WaitForLogLines(const std::string& prefix, std::size_t count, int timeoutMs) const {
    return Eventually([&] { return LogLines(prefix).size() >= count; }, timeoutMs);
}

std::string VornDesktop::StoreValue(const std::string& name) const {
    RegistryKey key;
    key.Open(kVornKeyPath);
    RegistryValue& value = key.Value(name);
    return value.Exists() ? value.AsText() : std::string();
}

void VornDesktop::SetStoreValue(const std::string& name, const std::string& text) const {
    RegistryKey key;
    key.Open(kVornKeyPath);
    key.Value(name).SetText(text);
}

std::string VornDesktop::Opened() const { return ReadFile(home_ / "opened.txt"); }

bool VornDesktop::Xdotool(const std::string& arguments, std::string* output) const {
    if (!Ready()) return false;
    const std::string command = "DISPLAY=" + xvfb_.Display() + " timeout 10 xdotool " + arguments + " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    std::string text;
    char buffer[256];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    const int status = ::pclose(pipe);
    if (output != nullptr) *output = text;
    return status == 0;
}

std::string VornDesktop::FindWindow(const std::string& title, int timeoutMs) const {
    std::string window;
    Eventually(
        [&] {
            std::string found;
            if (!Xdotool("search --onlyvisible --name '^" + title + "$'", &found)) return false;
            window = found.substr(0, found.find('\n'));
            return !window.empty();
        },
        timeoutMs);
    return window;
}

std::vector<std::string> VornDesktop::ProgramWindows() const {
    std::string found;
    Xdotool("search --onlyvisible --class '^vorn$'", &found);
    std::vector<std::string> windows;
    std::istringstream lines(found);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) windows.push_back(line);
    }
    return windows;
}

unsigned long VornDesktop::WindowId(const std::string& window) {
    char* end = nullptr;
    const unsigned long id = std::strtoul(window.c_str(), &end, 0);
    return end != nullptr && end != window.c_str() && *end == '\0' ? id : 0;
}

bool VornDesktop::WindowPosition(const std::string& window, int& x, int& y) const {
    const Window id = WindowId(window);
    if (display_ == nullptr || id == 0) return false;
    Window child = 0;
    XSync(display_, False);
    return XTranslateCoordinates(display_, id, DefaultRootWindow(display_), 0, 0, &x, &y, &child) != 0;
}

bool VornDesktop::WindowSize(const std::string& window, int& width, int& height) const {
    XWindowAttributes attributes;
    const Window id = WindowId(window);
    if (display_ == nullptr || id == 0 || XGetWindowAttributes(display_, id, &attributes) == 0) return false;
    width = attributes.width;
    height = attributes.height;
    return true;
}

bool VornDesktop::IsShown(const std::string& window) const {
    XWindowAttributes attributes;
    const Window id = WindowId(window);
    return display_ != nullptr && id != 0 && XGetWindowAttributes(display_, id, &attributes) != 0 &&
           attributes.map_state == IsViewable;
}

std::string VornDesktop::Xprop(const std::string& window, const std::string& property) const {
    if (WindowId(window) == 0) return std::string();
    const std::string command =
        "DISPLAY=" + xvfb_.Display() + " timeout 10 xprop -id " + window + " " + property + " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return std::string();
    std::string text;
    char buffer[256];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    return ::pclose(pipe) == 0 ? text : std::string();
}

bool VornDesktop::ClickScreen(int x, int y, int button, int count) const {
    return Xdotool("mousemove " + std::to_string(x) + " " + std::to_string(y) + " click --repeat " +
                   std::to_string(count) + " --delay 80 " + std::to_string(button));
}

bool VornDesktop::Click(const std::string& window, int x, int y, int button) const {
    return Xdotool("mousemove --window " + window + " " + std::to_string(x) + " " + std::to_string(y) + " click " +
                   std::to_string(button));
}

bool VornDesktop::Keys(const std::string& window, const std::string& keys) const {
    return Xdotool("windowfocus --sync " + window) && Xdotool("key " + keys);
}

std::vector<std::uint32_t> VornDesktop::Grab(const std::string& window, int x, int y, int width, int height) const {
    int left = 0, top = 0;
    if (!WindowPosition(window, left, top)) return {};
    XRootShot shot(xvfb_.Display());
    const std::vector<std::uint32_t> screen = shot.Take(kScreenWidth, kScreenHeight);
    if (screen.empty()) return {};
    std::vector<std::uint32_t> pixels;
    for (int row = top + y; row < top + y + height; ++row) {
        for (int column = left + x; column < left + x + width; ++column) {
            const bool inside = row >= 0 && row < kScreenHeight && column >= 0 && column < kScreenWidth;
            pixels.push_back(inside ? screen[static_cast<std::size_t>(row) * kScreenWidth + column] : 0);
        }
    }
    return pixels;
}

bool VornDesktop::SaveScreenshot(const std::string& path) const {
    XRootShot shot(xvfb_.Display());
    const std::vector<std::uint32_t> screen = shot.Take(kScreenWidth, kScreenHeight);
    if (screen.empty()) return false;
    QImage image(kScreenWidth, kScreenHeight, QImage::Format_RGB32);
    for (int row = 0; row < kScreenHeight; ++row) {
        for (int column = 0; column < kScreenWidth; ++column) {
            image.setPixel(column, row, 0xFF000000u | screen[static_cast<std::size_t>(row) * kScreenWidth + column]);
        }
    }
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    return image.save(QString::fromStdString(path), "PNG");
}

}  // namespace vorn::test
