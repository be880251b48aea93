#include "server/HostLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <system_error>

namespace vorn {

int HostLookup::SystemResolver(const std::string& name, in_addr& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int lookup = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (lookup != 0 || found == nullptr) {
        const int code = lookup == EAI_SYSTEM ? errno : (lookup != 0 ? lookup : EAI_NONAME);
        if (found != nullptr) {
            ::freeaddrinfo(found);
        }
        return code;
    }
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return 0;
}

HostLookup::HostLookup(Resolver resolver) : resolver_(std::move(resolver)) {}

HostLookup::~HostLookup() {
    if (helper_.joinable()) {
        helper_.join();
    }
}

void HostLookup::SetResolver(Resolver resolver) {
    std::lock_guard lock(mutex_);
    resolver_ = std::move(resolver);
}

void HostLookup::Cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    changed_.notify_all();
}

int HostLookup::Resolve(const std::string& name, std::chrono::steady_clock::time_point deadline,
                        in_addr& address) {
    // A dotted IPv4 address needs no resolver, and so no helper thread.
    if (in_addr numeric{}; ::inet_pton(AF_INET, name.c_str(), &numeric) == 1) {
        std::lock_guard lock(mutex_);
        if (cancelled_) return EAI_CANCELED;
        address = numeric;
        return 0;
    }
    std::unique_lock lock(mutex_);
    // A helper still inside an abandoned look-up is waited for, then joined.
    if (!changed_.wait_until(lock, deadline, [this] { return cancelled_ || !busy_; })) {
        return EAI_AGAIN;
    }
    if (cancelled_) {
        return EAI_CANCELED;
    }
    if (helper_.joinable()) {
        lock.unlock();
        helper_.join();  // it has left the resolver: this returns at once
        lock.lock();
    }
    busy_ = true;
    try {
        helper_ = std::thread([this, name, resolver = resolver_] {
            in_addr found{};
            const int result = resolver(name, found);
            std::lock_guard done(mutex_);
            result_ = result;
            address_ = found;
            busy_ = false;
            changed_.notify_all();
        });
    } catch (const std::system_error&) {
        busy_ = false;
        return EAI_SYSTEM;
    }
    if (!changed_.wait_until(lock, deadline, [this] { return cancelled_ || !busy_; })) {
        return EAI_AGAIN;
    }
    if (busy_) {
        return EAI_CANCELED;
    }
    const int result = result_;
    address = address_;
    lock.unlock();
    helper_.join();
    return result;
}

}  // namespace vorn
