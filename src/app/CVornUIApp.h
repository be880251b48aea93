#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace vorn {

class CVornUIDlg;
class CVornUIDlgDirectShow;
class PicturePreload;

// The program's life: prepares the install folder and the log, builds the
// window (which builds the player), runs the window's modal loop on this thread
// while a start-up thread connects to the station and handles its verdict on
// this build, then tears everything down. A window result other than 1 (Exit)
// runs the whole sequence again.
class CVornUIApp {
public:
    static constexpr const char* kUpdateCaption = "Update";

    CVornUIApp(int& argc, char** argv);
    // Runs the sequence until the window ends with 1; the process exit code.
    int Run();

private:
    // What a pass starts from: the install folder made the current folder,
    // and the pictures decoded meanwhile (the first pass only).
    struct PreparedPass {
        std::string problem;  // a line for the log, which is not open yet
        std::unique_ptr<PicturePreload> pictures;
    };
    PreparedPass Prepare() const;
    int RunOnce(PreparedPass pass);
    // A stop signal (see ShutdownSignals), on the window thread: ends the
    // window as its Exit command does, and the program after it.
    void OnStopSignal(int number);
    // The start-up thread: waits for the window (giving up when it has already
    // ended), connects (twice at most) and shows the update prompts.
    void Connect(CVornUIDlg& window, const std::atomic<bool>& windowEnded);
    // One connect attempt, unless the window has ended; 1 (failed) when it has.
    int ConnectOnce(CVornUIDlg& window, const std::string& host, const std::atomic<bool>& windowEnded);
    // The window thread, once the window's loop has ended: only a connect still
    // under way is cancelled (an unreachable station must not hold the exit
    // up); requests the listener queued, such as ratings, are left to the
    // player's bounded shutdown, which still sends them.
    void EndStartup(CVornUIDlg& window, std::atomic<bool>& windowEnded);
    // Acts on 6 and 7; true when it did.
    bool HandleUpdate(CVornUIDlg& window, int result, const std::atomic<bool>& windowEnded);
    // Shows a message box on the window thread and waits for the answer (none
    // when the window ended first).
    int AskOnWindow(CVornUIDlg& window, int icon, const std::string& text, int buttons, bool openProductPage,
                    const std::atomic<bool>& windowEnded);

    int& argc_;
    char** argv_;
    std::string executable_;
    // The window of the pass in progress, while its modal loop runs; window thread only.
    CVornUIDlgDirectShow* window_ = nullptr;
    std::atomic<bool> stopRequested_{false};
    // Guards connecting_ together with the window-ended flag, so a connect is
    // either cancelled or never begun once the window has ended.
    std::mutex connectMutex_;
    bool connecting_ = false;
};

}  // namespace vorn
