#include "tests/station/support/ConnectionFlood.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "tests/support/LoopbackServer.h"

namespace vorn::station::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kTrickleEvery{2000};
constexpr std::chrono::milliseconds kRetryAfter{50};
constexpr std::chrono::milliseconds kScanEvery{50};

struct Slot {
    int fd = -1;
    int port = 0;
    bool trickle = false;
    bool everOpened = false;
    long trickled = 0;
    Clock::time_point nextTrickle;
    Clock::time_point retryAt;
};

}  // namespace

ConnectionFlood::ConnectionFlood(std::string source, std::vector<Target> targets)
    : source_(std::move(source)), targets_(std::move(targets)) {
    for (const Target& target : targets_) {
        total_ += target.count;
    }
    thread_ = std::thread([this] { Run(); });
}

ConnectionFlood::~ConnectionFlood() {
    stop_ = true;
    thread_.join();
}

bool ConnectionFlood::WaitUntilOpened(int timeoutMs) const {
    return vorn::test::WaitFor([this] { return everOpened_.load() >= total_; }, timeoutMs);
}

void ConnectionFlood::Run() {
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<Slot> slots;
    for (const Target& target : targets_) {
        for (int k = 0; k < target.count; ++k) {
            Slot slot;
            slot.port = target.port;
            slot.trickle = target.trickle;
            slots.push_back(slot);
        }
    }
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source_.c_str(), &from.sin_addr);

    const auto open = [&](std::uint32_t index, Clock::time_point now) {
        Slot& slot = slots[index];
        slot.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int one = 1;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(slot.port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.u32 = index;
        // The local port is chosen at connect, by the whole address pair, so
        // that thousands of connections from one address do not run out of ports.
        const bool made =
            slot.fd >= 0 && ::setsockopt(slot.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one) == 0 &&
            ::bind(slot.fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0 &&
            (::connect(slot.fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 || errno == EINPROGRESS) &&
            ::epoll_ctl(poller, EPOLL_CTL_ADD, slot.fd, &event) == 0;
        if (!made) {
            if (slot.fd >= 0) {
                ::close(slot.fd);
            }
            slot.fd = -1;
            slot.retryAt = now + kRetryAfter;
            failed_++;
            return;
        }
        opened_++;
        if (!slot.everOpened) {
            slot.everOpened = true;
            everOpened_++;
        }
        slot.trickled = 0;
        slot.nextTrickle = now;
    };
    const auto trickle = [&](Slot& slot, Clock::time_point now) {
        // Three bytes at a time of a request head that goes on and on.
        const char* bytes = slot.trickled == 0 ? "GET" : slot.trickled == 1 ? " /a" : "aaa";
        if (::send(slot.fd, bytes, 3, MSG_NOSIGNAL | MSG_DONTWAIT) > 0) {
            ++slot.trickled;
        }
        slot.nextTrickle = now + kTrickleEvery;
    };

    Clock::time_point lastScan = Clock::now();
    for (std::uint32_t index = 0; index < slots.size(); ++index) {
        open(index, lastScan);
    }
    std::vector<epoll_event> events(256);
    char discard[512];
    while (!stop_) {
        const int ready = ::epoll_wait(poller, events.data(), static_cast<int>(events.size()),
                                       static_cast<int>(kScanEvery.count()));
        Clock::time_point now = Clock::now();
        for (int e = 0; e < ready; ++e) {
            const std::uint32_t index = events[static_cast<std::size_t>(e)].data.u32;
            Slot& slot = slots[index];
            if (slot.fd < 0) {
                continue;
            }
            ssize_t got = 0;
            do {
                got = ::recv(slot.fd, discard, sizeof discard, MSG_DONTWAIT);
            } while (got > 0);
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                continue;  // still open
            }
            ::close(slot.fd);  // also leaves the poller
            slot.fd = -1;
            closed_++;
            open(index, now);
        }
        if (now - lastScan < kScanEvery) {
            continue;
        }
        lastScan = now;
        for (std::uint32_t index = 0; index < slots.size(); ++index) {
            Slot& slot = slots[index];
            if (slot.fd < 0 && now >= slot.retryAt) {
                open(index, now);
            } else if (slot.fd >= 0 && slot.trickle && now >= slot.nextTrickle) {
                trickle(slot, now);
            }
        }
    }
    for (Slot& slot : slots) {
        if (slot.fd >= 0) {
            ::close(slot.fd);
        }
    }
    ::close(poller);
}

bool RaiseDescriptorLimitTo(long wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return false;
    }
    const rlim_t want = static_cast<rlim_t>(wanted);
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= want) {
        return true;
    }
    const bool enough = limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= want;
    limit.rlim_cur = enough ? want : limit.rlim_max;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0 && enough;
}

}  // namespace vorn::station::test
