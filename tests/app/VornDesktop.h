#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/app/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/ui/XvfbServer.h"

struct _XDisplay;

namespace vorn::test {

// The listener's side of an end-to-end test: a temporary home (HOME and the
// XDG folders, which the programs started from here inherit), a private X
// server, and a stand-in for the desktop's "open" (xdg-open) that records what
// the program asked to open instead of starting a browser. It reads the
// program's log and store, finds its windows, clicks and types with xdotool and
// reads the screen.
//
// The desktop is a real one: a window manager (Openbox) runs from the start,
// so windows are reparented into frames, placed, stacked and moved by it as on
// a listener's desktop; a notification area (trayer) comes with StartTray.
class VornDesktop {
public:
    VornDesktop();
    ~VornDesktop();
    VornDesktop(const VornDesktop&) = delete;
    VornDesktop& operator=(const VornDesktop&) = delete;

    // The X server and its window manager are up.
    bool Ready() const { return display_ != nullptr && windowManagerUp_; }
    std::string Path(const std::string& relative) const { return home_ / relative; }
    std::string InstallDir() const { return home_ / "data/vorn/"; }
    std::string MediaDir() const { return home_ / "home/Music/Vorn/"; }
    std::string LogPath() const { return InstallDir() + "logs/vorn.log"; }

    // Where started programs keep their caches (GStreamer's plugin registry);
    // by default a folder of this home, so each desktop starts cold.
    void SetCacheHome(const std::string& folder) { cacheHome_ = folder; }
    const std::string& XDisplay() const { return xvfb_.Display(); }

    // The program at `program`, on this desktop, started in `workingDir`, its
    // environment changed further by `environment` (as ChildProcess takes it).
    std::unique_ptr<ChildProcess> StartVorn(const std::string& program, const std::string& outputFile,
                                            const std::string& workingDir = std::string(),
                                            const std::vector<std::string>& environment = {}) const;

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
    // The window's top-left corner on the screen, as the X server has it.
    bool WindowPosition(const std::string& window, int& x, int& y) const;
    // The window's size as the X server has it.
    bool WindowSize(const std::string& window, int& width, int& height) const;
    // Mapped and visible (not hidden, not withdrawn).
    bool IsShown(const std::string& window) const;
    // What `xprop -id window property` prints; empty on failure.
    std::string Xprop(const std::string& window, const std::string& property) const;
    // Clicks at a point of the screen, `count` times in quick succession.
    bool ClickScreen(int x, int y, int button = 1, int count = 1) const;

    // Starts a notification area (trayer, bottom right); true once it has taken
    // the tray selection, so a program started afterwards finds a tray.
    bool StartTray();
    // The centre, on the screen, of the first icon docked in the tray.
    bool TrayIconCentre(int& x, int& y) const;
    bool Click(const std::string& window, int x, int y, int button = 1) const;
    // Gives the window the keyboard, then types the keys ("Up Return").
    bool Keys(const std::string& window, const std::string& keys) const;
    // The pixels (0xRRGGBB, rows from the top) of a rectangle of the window.
    std::vector<std::uint32_t> Grab(const std::string& window, int x, int y, int width, int height) const;
    bool SaveScreenshot(const std::string& path) const;

    // A private session bus (dbus-daemon) for the programs started afterwards;
    // without it they get an address where no bus is, never the machine's own.
    bool StartSessionBus();
    const std::string& SessionBusAddress() const { return busAddress_; }
    // The accessibility bus of that session bus (AT-SPI: at-spi-bus-launcher,
    // which starts the registry), as a desktop with a screen reader has it;
    // StartSessionBus first. Programs find it through the session bus.
    bool StartAccessibilityBus();
    // Runs a command on the session bus and display (bounded to 10 s); true when
    // it ended with 0. `output` gets its standard output and error.
    bool RunOnBus(const std::vector<std::string>& argv, std::string* output = nullptr) const;

    // Room for the player and a dialog centred over it.
    static constexpr int kScreenWidth = 1024;
    static constexpr int kScreenHeight = 768;

private:
    std::unique_ptr<ChildProcess> StartOnDisplay(const std::vector<std::string>& argv, const std::string& log) const;
    // The X window of a window id as xdotool prints it; 0 when it is not a number.
    static unsigned long WindowId(const std::string& window);

    IsolatedHome home_;
    XvfbServer xvfb_{kScreenWidth, kScreenHeight};
    std::string cacheHome_ = home_ / "cache";
    _XDisplay* display_ = nullptr;  // this test's own connection, for questions only
    std::unique_ptr<ChildProcess> windowManager_;
    bool windowManagerUp_ = false;
    std::unique_ptr<ChildProcess> tray_;
    std::unique_ptr<ChildProcess> bus_;
    std::unique_ptr<ChildProcess> accessibilityBus_;
    std::string busAddress_ = "unix:path=" + (home_ / "no-session-bus");
};

// Polls the condition every 50 ms until it holds or timeoutMs have passed.
bool Eventually(const std::function<bool()>& condition, int timeoutMs);

}  // namespace vorn::test
