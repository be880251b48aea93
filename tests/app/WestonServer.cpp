#include "tests/app/WestonServer.h"

#include <unistd.h>

#include <filesystem>

#include "tests/app/VornDesktop.h"

namespace vorn::test {

WestonServer::WestonServer() {
    const std::string socket = "vorn-test-" + std::to_string(::getpid());
    weston_ = std::make_unique<ChildProcess>(
        // --debug offers the screenshooter to clients.
        std::vector<std::string>{"/usr/bin/weston", "--backend=headless-backend.so", "--use-pixman", "--debug",
                                 "--socket=" + socket, "--idle-time=0", "--width=1024", "--height=768"},
        std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtime_.Path(), "WAYLAND_DISPLAY", "DISPLAY"},
        runtime_ / "weston.log");
    const std::string path = runtime_ / socket;
    if (Eventually([&] { return std::filesystem::exists(path) || !weston_->Running(); }, 10000) &&
        weston_->Running()) {
        socket_ = socket;
    }
}

WestonServer::~WestonServer() { weston_.reset(); }

std::string WestonServer::LogText() const { return ReadFile(runtime_ / "weston.log"); }

std::vector<std::string> WestonServer::ClientEnvironment() const {
    return {"WAYLAND_DISPLAY=" + socket_, "XDG_RUNTIME_DIR=" + runtime_.Path(), "DISPLAY", "QT_QPA_PLATFORM"};
}

bool WestonServer::Screenshot(const std::string& path) const {
    // The screenshooter saves into its working folder, under a name of its own.
    const TempDir folder;
    std::vector<std::string> environment = ClientEnvironment();
    ChildProcess shooter({"/bin/sh", "-c", "cd \"$0\" && exec weston-screenshooter", folder.Path()}, environment,
                         folder / "screenshooter.log");
    int status = -1;
    if (!shooter.WaitExit(10000, status) || status != 0) return false;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path(), error)) {
        if (entry.path().extension() == ".png") {
            std::filesystem::copy_file(entry.path(), path, std::filesystem::copy_options::overwrite_existing, error);
            return !error;
        }
    }
    return false;
}

}  // namespace vorn::test
