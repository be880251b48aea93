#pragma once

#include <netinet/in.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace vorn {

// Looks a host name up on a helper thread, so that the caller's wait is bounded
// by a deadline and can be cancelled from another thread: the system's resolver
// can neither be given a time limit nor be interrupted.
//
// One helper thread at most per object, never one per call: a look-up that is
// given up (deadline or Cancel) keeps its helper until the resolver returns; the
// next Resolve waits for it (within its own deadline) and joins it, and the
// destructor joins it. A destructor can therefore wait for the system resolver's
// own limit (its time-out times its attempts, from resolv.conf), but never a
// caller of Resolve or Cancel.
class HostLookup {
public:
    // A blocking look-up of a name's first IPv4 address: 0, or the code to log
    // (an EAI_ code, or errno for a system error).
    using Resolver = std::function<int(const std::string& name, in_addr& address)>;
    // getaddrinfo with AF_INET.
    static int SystemResolver(const std::string& name, in_addr& address);

    explicit HostLookup(Resolver resolver = SystemResolver);
    ~HostLookup();
    HostLookup(const HostLookup&) = delete;
    HostLookup& operator=(const HostLookup&) = delete;

    // 0 with the address, the resolver's code, EAI_AGAIN when the deadline passed
    // first, or EAI_CANCELED after Cancel. A dotted IPv4 address is answered at
    // once, without the resolver. Calls come from one thread at a time.
    int Resolve(const std::string& name, std::chrono::steady_clock::time_point deadline, in_addr& address);
    // From any thread: ends a waiting Resolve at once, and refuses every later one.
    void Cancel();
    // Replaces the resolver for later look-ups (tests stand in for a hanging one).
    void SetResolver(Resolver resolver);

private:
    std::mutex mutex_;  // guards every field below except helper_
    std::condition_variable changed_;
    Resolver resolver_;
    bool busy_ = false;       // the helper is inside the resolver
    bool cancelled_ = false;
    int result_ = 0;
    in_addr address_{};
    // Touched only by the thread calling Resolve and by the destructor.
    std::thread helper_;
};

}  // namespace vorn
