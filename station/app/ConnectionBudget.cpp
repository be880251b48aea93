#include "station/app/ConnectionBudget.h"

#include <netinet/in.h>

#include <cstring>
#include <random>

namespace vorn::station {
namespace {

std::uint64_t RandomSeed() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

}  // namespace

ClientKey ClientKeyOf(const sockaddr& address) {
    ClientKey key{};
    if (address.sa_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        key[10] = key[11] = 0xff;  // as an IPv4-mapped IPv6 address
        std::memcpy(key.data() + 12, &v4.sin_addr, 4);
    } else if (address.sa_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        std::memcpy(key.data(), &v6.sin6_addr, 16);
        if (!IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            std::memset(key.data() + 8, 0, 8);
        }
    }
    return key;
}

std::size_t ConnectionBudget::KeyHash::operator()(const ClientKey& key) const {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::memcpy(&high, key.data(), 8);
    std::memcpy(&low, key.data() + 8, 8);
    // Two rounds of a 64-bit mix over the seeded halves.
    std::uint64_t h = (high ^ seed) * 0x9e3779b97f4a7c15ULL;
    h ^= h >> 32;
    h = (h ^ low ^ (seed >> 17)) * 0xbf58476d1ce4e5b9ULL;
    h ^= h >> 29;
    return static_cast<std::size_t>(h);
}

ConnectionBudget::ConnectionBudget(Limits limits)
    : limits_(limits), byClient_(16, KeyHash{RandomSeed()}) {}

ConnectionBudget::Verdict ConnectionBudget::Admit(const ClientKey& client, int& held) {
    std::lock_guard lock(mutex_);
    const auto found = byClient_.find(client);
    held = found == byClient_.end() ? 0 : found->second;
    if (held_ >= limits_.total) {
        return Verdict::PortFull;
    }
    if (held >= limits_.perClient) {
        return Verdict::ClientFull;
    }
    if (held >= kFew && held_ >= limits_.total - limits_.reserve) {
        return Verdict::Reserved;
    }
    ++held_;
    if (found == byClient_.end()) {
        byClient_.emplace(client, 1);
    } else {
        ++found->second;
    }
    return Verdict::Admitted;
}

void ConnectionBudget::Release(const ClientKey& client) {
    std::lock_guard lock(mutex_);
    const auto found = byClient_.find(client);
    if (found == byClient_.end()) {
        return;
    }
    --held_;
    if (--found->second == 0) {
        byClient_.erase(found);
    }
}

int ConnectionBudget::Held() const {
    std::lock_guard lock(mutex_);
    return held_;
}

}  // namespace vorn::station
