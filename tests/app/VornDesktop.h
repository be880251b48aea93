#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/app/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/ui/XvfbServer.h"

namespace vorn::test {

// The listener's side of an end-to-end test: a temporary home (HOME and the
// XDG folders, which the programs started from here inherit), a private X
// server, and a stand-in for the desktop's "open" (xdg-open) that records what
// the program asked to open instead of starting a browser. It reads the
// program's log and store, finds its windows, clicks and types with xdotool and
// reads the screen.
class VornDesktop {
public:
    VornDesktop();

    bool Ready() const { return !xvfb_.Display().empty(); }
    std::string Path(const std::string& relative) const { return home_ / relative; }
    std::string InstallDir() const { return home_ / "data/vorn/"; }
    std::string MediaDir() const { return home_ / "home/Music/Vorn/"; }
    std::string LogPath() const { return InstallDir() + "logs/vorn.log"; }

    // Where started programs keep their caches (GStreamer's plugin registry);
    // by default a folder of this home, so each desktop starts cold.
    void SetCacheHome(const std::string& folder) { cacheHome_ = folder; }
    const std::string& XDisplay() const { return xvfb_.Display(); }

    // The program at `program`, on this desktop, started in `workingDir`.
    std::unique_ptr<ChildProcess> StartVorn(const std::string& program, const std::string& outputFile,
                                            const std::string& workingDir = std::string()) const;

    // The log lines that start with `prefix` (e.g. "INFO : New Media Set : "),
    // without the prefix and the time stamp.
    std::vector<std::string> LogLines(const std::string& prefix) const;
    // Waits until at least `count` such lines are in the log.
    bool WaitForLogLines(const std::string& prefix, std::size_t count, int timeoutMs) const;
    // A value of the program's store as text; empty when it is missing.
    std::string StoreValue(const std::string& name) const;
    void SetStoreValue(const std::string& name, const std::string& text) const;
    // What the program asked the desktop to open, one line each.
    std::string Opened() const;

    // Runs xdotool on this display (bounded to 10 s); `output` gets what it printed.
    bool Xdotool(const std::string& arguments, std::string* output = nullptr) const;
    // The top-level window with exactly this title; empty when none came up in time.
    std::string FindWindow(const std::string& title, int timeoutMs) const;
    // The visible top-level windows of the program (its class "vorn").
    std::vector<std::string> ProgramWindows() const;
    bool WindowPosition(const std::string& window, int& x, int& y) const;
    bool Click(const std::string& window, int x, int y, int button = 1) const;
    // Gives the window the keyboard, then types the keys ("Up Return").
    bool Keys(const std::string& window, const std::string& keys) const;
    // The pixels (0xRRGGBB, rows from the top) of a rectangle of the window.
    std::vector<std::uint32_t> Grab(const std::string& window, int x, int y, int width, int height) const;
    bool SaveScreenshot(const std::string& path) const;

    static constexpr int kScreenWidth = 640;
    static constexpr int kScreenHeight = 480;

private:
    IsolatedHome home_;
    XvfbServer xvfb_;
    std::string cacheHome_ = home_ / "cache";
};

// Polls the condition every 50 ms until it holds or timeoutMs have passed.
bool Eventually(const std::function<bool()>& condition, int timeoutMs);

}  // namespace vorn::test
