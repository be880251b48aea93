#pragma once

#include <sys/types.h>

#include <string>

namespace vorn::test {

// A private X server (Xvfb) on a display it picks itself, for tests that need a
// real X server and real input events. Display() is empty when the server did
// not come up within 10 s. Stopped (and awaited) when the object goes.
class XvfbServer {
public:
    explicit XvfbServer(int width = 640, int height = 480);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    const std::string& Display() const { return display_; }

    // Runs `xdotool <arguments>` against this server; true when it succeeded
    // within 10 s.
    bool Xdotool(const std::string& arguments) const;

private:
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace vorn::test
