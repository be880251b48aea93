#include "tests/station/support/RawClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace vorn::station::test {
namespace {

int MsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

RawClient::RawClient(int port, int receiveBuffer, const std::string& host) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && receiveBuffer > 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 && fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

RawClient::~RawClient() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool RawClient::Send(const std::string& data) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < data.size()) {
        const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

std::string RawClient::ReadAllPausing(std::size_t every, int pauseMs, int timeoutMs) {
    std::string all;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[16384];
    std::size_t sincePause = 0;
    while (fd_ >= 0) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, MsLeft(deadline)) <= 0) {
            break;
        }
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        all.append(buffer, static_cast<std::size_t>(n));
        sincePause += static_cast<std::size_t>(n);
        if (every > 0 && sincePause >= every) {
            sincePause = 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        }
    }
    return all;
}

bool RawClient::ClosedWithin(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    while (fd_ >= 0) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, MsLeft(deadline)) <= 0) {
            return false;
        }
        if (::recv(fd_, buffer, sizeof buffer, 0) <= 0) {
            return true;
        }
    }
    return false;
}

bool RawClient::ResetWithin(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || ::poll(&p, 1, timeoutMs) <= 0) {
        return false;
    }
    char byte = 0;
    return ::recv(fd_, &byte, 1, 0) < 0 && errno == ECONNRESET;
}

std::string Exchange(int port, const std::string& request, int timeoutMs, const std::string& host) {
    RawClient client(port, 0, host);
    if (!client.Send(request)) {
        return {};
    }
    return client.ReadAll(timeoutMs);
}

int FreePort(const std::string& host) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    socklen_t length = sizeof address;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return ok ? ntohs(address.sin_port) : 0;
}

}  // namespace vorn::station::test
