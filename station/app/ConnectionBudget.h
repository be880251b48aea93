#pragma once

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace vorn::station {

// Whom a connection is counted against: an IPv4 address, or the /64 network
// of an IPv6 one (one IPv6 host usually holds a whole /64 to pick addresses
// from). IPv4 addresses mapped into IPv6 count as the IPv4 address.
using ClientKey = std::array<std::uint8_t, 16>;
ClientKey ClientKeyOf(const sockaddr& address);

// The connections one listening port holds, in all and for each client, so
// that no client takes a port from the others. Every connection counts from
// its acceptance to its close: idle, reading its request or being answered.
// Thread-safe.
class ConnectionBudget {
public:
    struct Limits {
        int total = 0;      // connections the port holds at most
        int perClient = 0;  // connections one client holds there at most
        // The last `reserve` connections of `total` go only to clients that
        // hold fewer than kFew there, so that clients many addresses apart
        // still cannot fill the port between them.
        int reserve = 0;
    };
    static constexpr int kFew = 4;

    enum class Verdict {
        Admitted,
        PortFull,    // the port holds `total`
        ClientFull,  // the client holds `perClient`
        Reserved,    // the rest is kept for clients that hold few
    };

    explicit ConnectionBudget(Limits limits);
    ConnectionBudget(const ConnectionBudget&) = delete;
    ConnectionBudget& operator=(const ConnectionBudget&) = delete;

    // Counts a new connection from `client` when it is admitted; otherwise
    // nothing changes. `held` is what the client held before.
    Verdict Admit(const ClientKey& client, int& held);
    // A connection Admit counted has closed.
    void Release(const ClientKey& client);
    int Held() const;
    const Limits& Get() const { return limits_; }

private:
    // Seeded per process, so that nobody can pick addresses that all land in
    // one bucket.
    struct KeyHash {
        std::uint64_t seed;
        std::size_t operator()(const ClientKey& key) const;
    };

    const Limits limits_;
    mutable std::mutex mutex_;  // guards held_ and byClient_
    int held_ = 0;
    std::unordered_map<ClientKey, int, KeyHash> byClient_;
};

}  // namespace vorn::station
