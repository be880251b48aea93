#include "tests/ui/XvfbServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace vorn::test {

XvfbServer::XvfbServer(int width, int height) {
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(fds[0]);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        const std::string fd = std::to_string(fds[1]);
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", screen.c_str(),
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid_ < 0) {
        ::close(fds[0]);
        return;
    }
    // Xvfb writes the display number and a newline once it accepts clients.
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd readable{fds[0], POLLIN, 0};
        if (::poll(&readable, 1, 100) <= 0) continue;
        char c = 0;
        if (::read(fds[0], &c, 1) != 1) break;
        if (c == '\n') {
            display_ = ":" + number;
            break;
        }
        number += c;
    }
    ::close(fds[0]);
}

XvfbServer::~XvfbServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

bool XvfbServer::Xdotool(const std::string& arguments) const {
    if (display_.empty()) return false;
    const std::string command = "DISPLAY=" + display_ + " timeout 10 xdotool " + arguments;
    return std::system(command.c_str()) == 0;
}

}  // namespace vorn::test
