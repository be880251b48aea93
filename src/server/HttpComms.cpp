#include "server/HttpComms.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "foundation/LogEntry.h"
#include "foundation/Preferences.h"

namespace vorn {
namespace {

constexpr const char* kBlankLine = "\r\n\r\n";

// Sends the whole buffer; false on any error (a closed peer must not raise SIGPIPE).
bool SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

ssize_t ReceiveSome(int fd, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, size, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n;
    }
}

// Names that no resolver can answer are refused without asking one: names under
// the reserved top-level domain "invalid" (which resolvers are meant to refuse at
// once, RFC 6761) and names holding characters no host name has. This keeps a
// route that can never work (such as a content-network name when no proxy is set)
// from costing a network round trip, or a resolver time-out when offline.
bool CanResolve(const std::string& name) {
    if (name.empty() || name.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_") != std::string::npos) {
        return false;
    }
    std::string lower;
    for (char c : name) lower.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c);
    while (!lower.empty() && lower.back() == '.') lower.pop_back();
    return lower != "invalid" && !(lower.size() > 8 && lower.compare(lower.size() - 8, 8, ".invalid") == 0);
}

}  // namespace

HttpComms::HttpComms(std::string host, std::int32_t port, const Preferences* preferences)
    : host_(std::move(host)), port_(port), preferences_(preferences) {}

HttpComms::~HttpComms() { Disconnect(); }

void HttpComms::LogCommsError(int code, const char* function) {
    VORN_LOG(LogLevel::Warning) << "HttpComms Error : Code = " << code << " Function = " << function;
}

int HttpComms::Connect() {
    std::lock_guard lock(lock_);
    if (connected_) {
        return kHttpOk;
    }
    if (aborted_) {  // after Abort not even a connection attempt reaches the peer
        LogCommsError(ECONNABORTED, "connect()");
        return kHttpSendFailed;
    }
    const Preferences& preferences = preferences_ != nullptr ? *preferences_ : Preferences::Global();
    const bool useProxy = preferences.GetUseProxy();
    const std::string name = useProxy ? preferences.GetProxyServer() : host_;
    const std::int32_t port = useProxy ? preferences.GetProxyPort() : port_;
    VORN_LOG(LogLevel::Fine) << "FINE : Getting Hostname : " << name;

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int lookup = CanResolve(name) ? ::getaddrinfo(name.c_str(), nullptr, &hints, &found) : EAI_NONAME;
    if (lookup != 0 || found == nullptr) {
        LogCommsError(lookup == EAI_SYSTEM ? errno : lookup, "gethostbyname()");
        VORN_LOG(LogLevel::Warning) << "HttpComms : Host Lookup Error : " << name;
        if (found != nullptr) {
            ::freeaddrinfo(found);
        }
        return kHttpLookupFailed;
    }
    sockaddr_in address = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    ::freeaddrinfo(found);
    address.sin_port = htons(static_cast<std::uint16_t>(port));

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        LogCommsError(errno, "socket()");
        return kHttpSendFailed;
    }
    {
        std::lock_guard fdLock(fdMutex_);
        fd_ = fd;
    }

    // Connect without blocking so that the attempt is bounded and Abort can end it.
    const int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int error = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            error = ETIMEDOUT;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(connectTimeoutMs_);
            while (!aborted_ && std::chrono::steady_clock::now() < deadline) {
                pollfd waitFor{fd, POLLOUT, 0};
                const int ready = ::poll(&waitFor, 1, 50);
                if (ready > 0) {
                    socklen_t length = sizeof error;
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
                    break;
                }
                if (ready < 0 && errno != EINTR) {
                    error = errno;
                    break;
                }
            }
        }
    }
    if (aborted_) {
        error = ECONNABORTED;
    }
    if (error != 0) {
        LogCommsError(error, "connect()");
        VORN_LOG(LogLevel::Warning) << "HttpComms : Connect Error : " << name;
        CloseSocket();
        errno = error;  // the caller's "Connect()" line names the real cause
        return kHttpSendFailed;
    }
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    timeval timeout{receiveTimeoutMs_ / 1000, (receiveTimeoutMs_ % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    connected_ = true;
    return kHttpOk;
}

long HttpComms::Fill(int fd) {
    if (bufferStart_ < bufferEnd_) {
        return static_cast<long>(bufferEnd_ - bufferStart_);
    }
    bufferStart_ = bufferEnd_ = 0;
    if (fd < 0 || aborted_) {
        return -1;
    }
    if (buffer_.size() != kReceiveBufferBytes) {
        buffer_.resize(kReceiveBufferBytes);
    }
    const ssize_t n = ReceiveSome(fd, buffer_.data(), buffer_.size());
    if (n > 0) {
        bufferEnd_ = static_cast<std::size_t>(n);
    }
    return static_cast<long>(n);
}

void HttpComms::CloseSocket() {
    bufferStart_ = bufferEnd_ = 0;
    std::lock_guard fdLock(fdMutex_);
    if (fd_ >= 0) {
        if (::close(fd_) != 0) {
            LogCommsError(errno, "Disconnect()");
        }
        fd_ = -1;
    }
}

void HttpComms::Disconnect() {
    std::lock_guard lock(lock_);
    if (connected_) {
        CloseSocket();
    }
    connected_ = false;
}

void HttpComms::Abort() {
    aborted_ = true;
    std::lock_guard fdLock(fdMutex_);
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);
    }
}

void HttpComms::SetServer(const std::string& host, std::int32_t port) {
    std::lock_guard lock(lock_);
    Disconnect();
    host_ = host;
    port_ = port;
}

int HttpComms::SendRaw(const std::string& text) {
    std::lock_guard lock(lock_);
    if (!connected_ && Connect() != kHttpOk) {
        LogCommsError(errno, "Connect()");
        return kHttpNotConnected;
    }
    int fd = -1;
    {
        std::lock_guard fdLock(fdMutex_);
        fd = fd_;
    }
    if (!SendAll(fd, text.data(), text.size()) || !SendAll(fd, kBlankLine, 4)) {
        LogCommsError(errno, "send()");
        return kHttpSendFailed;
    }
    return kHttpOk;
}

std::string HttpComms::BuildGet(const std::string& path, bool http11) {
    std::lock_guard lock(lock_);
    const Preferences& preferences = preferences_ != nullptr ? *preferences_ : Preferences::Global();
    std::string request = "GET ";
    if (preferences.GetUseProxy()) {
        request += "http://" + host_ + ":" + std::to_string(port_);
    }
    if (path.empty() || path.front() != '/') {
        request += "/";
    }
    request += path;
    if (http11) {
        request += " HTTP/1.1\nHost:" + host_ + ":" + std::to_string(port_) + "\nConnection: close";
    } else {
        request += " HTTP/1.0";
    }
    return request;
}

int HttpComms::Get(const std::string& path, bool http11) {
    std::lock_guard lock(lock_);
    return SendRaw(BuildGet(path, http11));
}

int HttpComms::ReceiveHead(std::string& out) {
    std::lock_guard lock(lock_);
    const std::size_t start = out.size();
    int fd = -1;
    {
        std::lock_guard fdLock(fdMutex_);
        fd = fd_;
    }
    for (;;) {
        const long available = aborted_ ? -1 : Fill(fd);
        if (available <= 0) {
            LogCommsError(available == 0 ? 0 : errno, "receive()");
            return kHttpReceiveFailed;
        }
        // Take bytes one at a time up to the blank line; the rest stays buffered.
        while (bufferStart_ < bufferEnd_) {
            out.push_back(buffer_[bufferStart_++]);
            if (out.size() >= 4 && out.compare(out.size() - 4, 4, kBlankLine) == 0) {
                out.resize(out.size() - 2);
                return kHttpOk;
            }
            if (out.size() - start > kMaxHeadBytes) {
                VORN_LOG(LogLevel::Warning) << "HttpComms : Response head longer than " << kMaxHeadBytes
                                            << " bytes, giving up";
                return kHttpReceiveFailed;
            }
        }
    }
}

int HttpComms::ReceiveBytes(std::int32_t count, std::ostream& stream) {
    std::lock_guard lock(lock_);
    int fd = -1;
    {
        std::lock_guard fdLock(fdMutex_);
        fd = fd_;
    }
    std::int64_t remaining = count;
    int emptyReceives = 0;
    while (remaining > 0) {
        const std::size_t ask = remaining >= 1024 ? 1024 : static_cast<std::size_t>(remaining);
        const long available = aborted_ ? -1 : Fill(fd);
        // A peer that has closed answers every receive with 0 bytes; give up after a few.
        if (available < 0 || (available == 0 && ++emptyReceives > kMaxEmptyReceives)) {
            if (ask == 1024) {
                VORN_LOG(LogLevel::Warning) << "ReceiveBytes() Error : data transfer not complete.";
            }
            return kHttpReceiveFailed;
        }
        if (available == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        emptyReceives = 0;
        const std::size_t take = std::min<std::size_t>(ask, static_cast<std::size_t>(available));
        stream.write(buffer_.data() + bufferStart_, static_cast<std::streamsize>(take));
        bufferStart_ += take;
        if (!stream) {
            // A body that cannot be stored must not be reported as received.
            VORN_LOG(LogLevel::Warning) << "HttpComms : Error writing received data";
            return kHttpReceiveFailed;
        }
        remaining -= static_cast<std::int64_t>(take);
    }
    return kHttpOk;
}

bool HttpComms::IsConnected() {
    std::lock_guard lock(lock_);
    return connected_;
}

std::string HttpComms::Host() {
    std::lock_guard lock(lock_);
    return host_;
}

std::int32_t HttpComms::Port() {
    std::lock_guard lock(lock_);
    return port_;
}

void HttpComms::SetTimeouts(int connectMs, int receiveMs) {
    std::lock_guard lock(lock_);
    connectTimeoutMs_ = connectMs;
    receiveTimeoutMs_ = receiveMs;
}

}  // namespace vorn
