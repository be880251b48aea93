#include "tests/app/VornDesktop.h"

#include <sys/stat.h>

#include <QImage>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>

#include "foundation/RegistryKey.h"
#include "tests/ui/XRootShot.h"

namespace vorn::test {
namespace {

constexpr std::size_t kStampLength = 25;  // one space and the 24-character time stamp

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
}

std::unique_ptr<ChildProcess> VornDesktop::StartVorn(const std::string& program, const std::string& outputFile,
                                                     const std::string& workingDir) const {
    const char* path = std::getenv("PATH");
    std::vector<std::string> environment = {
        "DISPLAY=" + xvfb_.Display(),
        "PATH=" + (home_ / "bin") + ":" + (path != nullptr ? path : "/usr/bin:/bin"),
        "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "BROWSER",
        "XDG_CACHE_HOME=" + cacheHome_,
    };
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

bool VornDesktop::WindowPosition(const std::string& window, int& x, int& y) const {
    std::string shell;
    if (!Xdotool("getwindowgeometry --shell " + window, &shell)) return false;
    bool hasX = false, hasY = false;
    std::istringstream lines(shell);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("X=", 0) == 0) hasX = std::sscanf(line.c_str(), "X=%d", &x) == 1;
        if (line.rfind("Y=", 0) == 0) hasY = std::sscanf(line.c_str(), "Y=%d", &y) == 1;
    }
    return hasX && hasY;
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
