#include "tests/support/LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace vorn::test {

std::string LoopbackServer::Connection::ReadUntil(const std::string& terminator, int timeoutMs) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (data.size() < terminator.size() ||
           data.compare(data.size() - terminator.size(), terminator.size(), terminator) != 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char c = 0;
        if (::recv(fd_, &c, 1, 0) <= 0) break;
        data.push_back(c);
    }
    return data;
}

std::string LoopbackServer::Connection::ReadAll(int timeoutMs) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
}

bool LoopbackServer::Connection::Write(const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void LoopbackServer::Connection::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

LoopbackServer::LoopbackServer(Handler handler, bool concurrent, std::uint16_t port, const char* address)
    : handler_(std::move(handler)), concurrent_(concurrent) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw std::runtime_error("socket failed");
    int yes = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    if (::inet_pton(AF_INET, address, &where.sin_addr) != 1 ||
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || ::listen(listenFd_, 16) != 0) {
        throw std::runtime_error("bind/listen failed");
    }
    socklen_t length = sizeof where;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&where), &length);
    port_ = ntohs(where.sin_port);
    thread_ = std::thread([this] { Run(); });
}

LoopbackServer::~LoopbackServer() { Stop(); }

void LoopbackServer::Stop() {
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(mutex_);
        for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
        workers.swap(workers_);
    }
    for (auto& worker : workers) worker.join();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
}

void LoopbackServer::Run() {
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++accepted_;
        if (concurrent_) {
            std::lock_guard lock(mutex_);
            openFds_.push_back(fd);
            workers_.emplace_back([this, fd] { Serve(fd); });
        } else {
            Serve(fd);
        }
    }
}

void LoopbackServer::Serve(int fd) {
    Connection connection(fd);
    handler_(connection);
    std::lock_guard lock(mutex_);
    std::erase(openFds_, fd);
    connection.Close();
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

}  // namespace vorn::test
