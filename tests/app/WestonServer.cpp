#include "tests/app/WestonServer.h"

#include <unistd.h>

#include <filesystem>

#include "tests/app/VornDesktop.h"

namespace vorn::test {

WestonServer::WestonServer() {
    const std::string socket = "vorn-test-" + std::to_string(::getpid());
    weston_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/weston", "--backend=headless-backend.so", "--socket=" + socket,
                                 "--idle-time=0", "--width=1024", "--height=768"},
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

}  // namespace vorn::test
