#include "station/app/AdminServer.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "station/base/MetricsRegistry.h"
#include "station/base/StationLog.h"
#include "station/web/HttpRequestHead.h"

namespace vorn::station {
namespace {

constexpr int kClientTimeoutMs = 2000;
constexpr std::size_t kHeadLimit = 8 * 1024;

std::string Response(int status, const char* reason, const char* type, const std::string& body, bool head) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
                      "\r\nContent-Length: " + std::to_string(body.size()) +
                      "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    return head ? out : out + body;
}

// Waits for `events` on the socket until the deadline; false when it passed.
bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                               std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd one{fd, events, 0};
        const int ready = ::poll(&one, 1, static_cast<int>(left.count()));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

}  // namespace

AdminServer::AdminServer(MetricsRegistry& registry, HealthCheck health)
    : registry_(registry), health_(std::move(health)) {}

AdminServer::~AdminServer() {
    Stop();
    if (listener_ >= 0) {
        ::close(listener_);
    }
}

bool AdminServer::Bind(const std::string& address, int port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string where = address + ":" + std::to_string(port);
    if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) {
        error = "\"" + address + "\" is not an address for the admin port to listen on";
        return false;
    }
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    const bool ok = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                    ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, 16) == 0;
    const int failure = errno;
    ::freeaddrinfo(found);
    if (!ok) {
        if (fd >= 0) {
            ::close(fd);
        }
        error = "cannot listen on " + where + " for the admin port: " + std::strerror(failure);
        return false;
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(local).sin6_port
                                              : reinterpret_cast<sockaddr_in&>(local).sin_port);
    listener_ = fd;
    return true;
}

void AdminServer::Start() {
    int ends[2];
    if (listener_ < 0 || thread_.joinable() || ::pipe2(ends, O_CLOEXEC) != 0) {
        return;
    }
    stopRead_ = ends[0];
    stopWrite_ = ends[1];
    thread_ = std::thread([this] { Run(); });
}

void AdminServer::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    ::close(stopWrite_);
    thread_.join();
    ::close(stopRead_);
    stopRead_ = stopWrite_ = -1;
}

void AdminServer::Run() {
    for (;;) {
        pollfd both[2] = {{listener_, POLLIN, 0}, {stopRead_, POLLIN, 0}};
        if (::poll(both, 2, -1) < 0 && errno != EINTR) {
            STATION_LOG(LogLevel::Severe) << "AdminServer : waiting for connections failed : " << std::strerror(errno);
            return;
        }
        if (both[1].revents != 0) {
            return;
        }
        if (both[0].revents == 0) {
            continue;
        }
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (connection < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                ::poll(both + 1, 1, 100);  // out of descriptors: pause instead of spinning
            }
            continue;
        }
        Serve(connection);
        ::close(connection);
    }
}

void AdminServer::Serve(int connection) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kClientTimeoutMs);
    std::string request;
    char chunk[2048];
    while (FindHeadEnd(request) == std::string::npos) {
        if (request.size() > kHeadLimit || !WaitFor(connection, POLLIN, deadline)) {
            return;
        }
        const ssize_t got = ::recv(connection, chunk, sizeof chunk, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            return;
        }
        request.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    const std::string answer = Answer(request.substr(0, FindHeadEnd(request)));
    for (std::size_t sent = 0; sent < answer.size();) {
        const ssize_t n = ::send(connection, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if ((n < 0 && errno != EAGAIN && errno != EINTR) || !WaitFor(connection, POLLOUT, deadline)) {
            return;
        }
    }
}

std::string AdminServer::Answer(const std::string& text) {
    HttpRequestHead head;
    std::string error;
    if (!ParseRequestHead(text, head, error)) {
        return Response(400, "Bad Request", "text/plain; charset=utf-8", "bad request: " + error + "\n", false);
    }
    const bool onlyHead = head.method == "HEAD";
    if (head.method != "GET" && !onlyHead) {
        return Response(405, "Method Not Allowed", "text/plain; charset=utf-8", "GET or HEAD only\n", false);
    }
    const std::string path = head.path.substr(0, head.path.find('?'));
    if (path == "/metrics") {
        return Response(200, "OK", "text/plain; version=0.0.4; charset=utf-8", registry_.Exposition(), onlyHead);
    }
    if (path == "/healthz") {
        std::string why;
        const bool healthy = health_(why);
        std::replace_if(why.begin(), why.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
        if (healthy != healthy_) {
            healthy_ = healthy;
            if (healthy) {
                STATION_LOG(LogLevel::Info) << "AdminServer : healthy again";
            } else {
                STATION_LOG(LogLevel::Warning) << "AdminServer : unhealthy : " << why;
            }
        }
        return healthy ? Response(200, "OK", "text/plain; charset=utf-8", "ok\n", onlyHead)
                       : Response(503, "Service Unavailable", "text/plain; charset=utf-8", why + "\n", onlyHead);
    }
    return Response(404, "Not Found", "text/plain; charset=utf-8", "not found; try /metrics or /healthz\n", onlyHead);
}

}  // namespace vorn::station
