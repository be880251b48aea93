#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/app/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace vorn::test {

// A private Wayland compositor: Debian's weston on its headless backend
// (drawing with pixman, so that it can take screenshots), with a socket of its
// own in a runtime folder of its own (XDG_RUNTIME_DIR). Socket() is empty when
// it did not come up within 10 s. Stopped (and awaited) when the object goes.
class WestonServer {
public:
    WestonServer();
    ~WestonServer();
    WestonServer(const WestonServer&) = delete;
    WestonServer& operator=(const WestonServer&) = delete;

    const std::string& Socket() const { return socket_; }
    const std::string& RuntimeDir() const { return runtime_.Path(); }
    std::string LogText() const;
    // What a client of this compositor needs changed in its environment: the
    // socket and runtime folder set, no X display and no forced platform, so
    // that Qt picks Wayland by itself.
    std::vector<std::string> ClientEnvironment() const;
    // What the compositor shows now, as weston-screenshooter saves it; false
    // when no screenshot came within 10 s.
    bool Screenshot(const std::string& path) const;

private:
    TempDir runtime_;
    std::unique_ptr<ChildProcess> weston_;
    std::string socket_;
};

}  // namespace vorn::test
