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
#include "server/ResponseHead.h"

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
    const int opened = OpenSocket(false);
    if (opened != kHttpOk) {
        return opened;
    }
    int fd = -1;
    {
        std::lock_guard fdLock(fdMutex_);
        fd = fd_;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) & ~O_NONBLOCK);
    timeval timeout{timeouts_.receiveMs / 1000, (timeouts_.receiveMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    connected_ = true;
    bodyBytes_ = 0;
    bodyMarks_.clear();
    return kHttpOk;
}

int HttpComms::Probe() {
    std::lock_guard lock(lock_);
    if (connected_) {
        return kHttpOk;
    }
    const int opened = OpenSocket(true);
    CloseSocket();
    return opened;
}

int HttpComms::OpenSocket(bool quiet) {
    if (aborted_) {  // after Abort not even a connection attempt reaches the peer
        if (!quiet) LogCommsError(ECONNABORTED, "connect()");
        lastConnectError_ = ECONNABORTED;
        return kHttpSendFailed;
    }
    const Preferences& preferences = preferences_ != nullptr ? *preferences_ : Preferences::Global();
    const bool useProxy = preferences.GetUseProxy();
    const std::string name = useProxy ? preferences.GetProxyServer() : host_;
    const std::int32_t port = useProxy ? preferences.GetProxyPort() : port_;
    if (!quiet) {
        VORN_LOG(LogLevel::Fine) << "FINE : Getting Hostname : " << name;
    }

    // One deadline covers the look-up and the connect.
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeouts_.connectMs);
    in_addr found{};
    const int lookup = CanResolve(name) ? lookup_.Resolve(name, deadline, found) : EAI_NONAME;
    if (lookup != 0) {
        if (!quiet) {
            LogCommsError(lookup, "gethostbyname()");
            VORN_LOG(LogLevel::Warning) << "HttpComms : Host Lookup Error : " << name;
        }
        lastConnectError_ = lookup;
        return kHttpLookupFailed;
    }
    if (port < 1 || port > 65535) {  // never cut down to 16 bits: 84026 is not 18490
        if (!quiet) {
            LogCommsError(EINVAL, "connect()");
            VORN_LOG(LogLevel::Warning) << "HttpComms : Connect Error : " << name << " (no such port " << port << ")";
        }
        lastConnectError_ = EINVAL;
        return kHttpSendFailed;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr = found;
    address.sin_port = htons(static_cast<std::uint16_t>(port));

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        lastConnectError_ = errno;
        if (!quiet) LogCommsError(lastConnectError_, "socket()");
        return kHttpSendFailed;
    }
    {
        std::lock_guard fdLock(fdMutex_);
        fd_ = fd;
    }

    // Connect without blocking so that the attempt is bounded and Abort can end it.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
    int error = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            error = ETIMEDOUT;
            while (!aborted_ && Clock::now() < deadline) {
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
        if (!quiet) {
            LogCommsError(error, "connect()");
            VORN_LOG(LogLevel::Warning) << "HttpComms : Connect Error : " << name;
        }
        CloseSocket();
        lastConnectError_ = error;
        return kHttpSendFailed;
    }
    return kHttpOk;
}

long HttpComms::Fill(int fd, Clock::time_point deadline) {
    if (bufferStart_ < bufferEnd_) {
        return static_cast<long>(bufferEnd_ - bufferStart_);
    }
    bufferStart_ = bufferEnd_ = 0;
    if (fd < 0 || aborted_) {
        return -1;
    }
    // Wait for data no later than the deadline; Abort's shutdown wakes the wait.
    deadline = std::min(deadline, Clock::now() + std::chrono::milliseconds(timeouts_.receiveMs));
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        pollfd waitFor{fd, POLLIN, 0};
        const int ready = ::poll(&waitFor, 1, static_cast<int>(std::min<long long>(left, 1000 * 1000)));
        if (ready > 0) {
            break;
        }
        if (ready < 0 && errno != EINTR) {
            return -1;
        }
    }
    if (aborted_) {
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

HttpComms::Clock::time_point HttpComms::BodyDeadline() {
    if (bodyMarks_.empty()) {  // a body read without a head first: its window starts now
        bodyMarks_.emplace_back(Clock::now(), bodyBytes_);
    }
    return bodyMarks_.front().first + std::chrono::milliseconds(timeouts_.bodyWindowMs);
}

void HttpComms::CountBodyBytes(std::int64_t bytes) {
    bodyBytes_ += bytes;
    bodyMarks_.emplace_back(Clock::now(), bodyBytes_);
    // A mark at or below the count less one window's bytes can never start a window again.
    while (bodyMarks_.front().second <= bodyBytes_ - kBodyWindowBytes) {
        bodyMarks_.pop_front();
    }
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
    lookup_.Cancel();
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
        LogCommsError(lastConnectError_, "Connect()");
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

int HttpComms::ReceiveHead(std::string& out, std::size_t maxBytes) {
    std::lock_guard lock(lock_);
    const std::size_t start = out.size();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeouts_.headMs);
    int fd = -1;
    {
        std::lock_guard fdLock(fdMutex_);
        fd = fd_;
    }
    for (;;) {
        const long available = aborted_ ? -1 : Fill(fd, deadline);
        const int error = errno;
        if (available <= 0) {
            if (available < 0 && !aborted_ && Clock::now() >= deadline) {
                VORN_LOG(LogLevel::Warning) << "HttpComms : Response head not complete after " << timeouts_.headMs
                                            << " ms, giving up";
            }
            LogCommsError(available == 0 ? 0 : error, "receive()");
            return kHttpReceiveFailed;
        }
        // The rest of the buffer after the blank line stays for ReceiveBytes.
        std::size_t taken = 0;
        const auto progress = ResponseHead::Take(
            out, start, std::string_view(buffer_.data() + bufferStart_, bufferEnd_ - bufferStart_), maxBytes, taken);
        bufferStart_ += taken;
        if (progress == ResponseHead::Progress::Complete) {
            bodyBytes_ = 0;
            bodyMarks_.assign(1, {Clock::now(), 0});
            return kHttpOk;
        }
        if (progress == ResponseHead::Progress::TooLong) {
            VORN_LOG(LogLevel::Warning) << "HttpComms : Response head longer than " << maxBytes << " bytes, giving up";
            return kHttpReceiveFailed;
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
        const auto deadline = BodyDeadline();
        const long available = aborted_ ? -1 : Fill(fd, deadline);
        if (available < 0 && !aborted_ && Clock::now() >= deadline) {
            VORN_LOG(LogLevel::Warning) << "HttpComms : Body moved fewer than " << kBodyWindowBytes << " bytes in "
                                        << timeouts_.bodyWindowMs << " ms, giving up";
        }
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
        CountBodyBytes(static_cast<std::int64_t>(take));
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
    timeouts_.connectMs = connectMs;
    timeouts_.receiveMs = receiveMs;
}

void HttpComms::SetTimeouts(const Timeouts& timeouts) {
    std::lock_guard lock(lock_);
    timeouts_ = timeouts;
}

}  // namespace vorn
