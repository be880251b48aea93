#include "station/store/TokenCache.h"

#include "station/protocol/CoreTurns.h"

namespace vorn::station {

std::string TokenCache::TokenOf(std::int32_t listener) {
    {
        std::lock_guard lock(mutex_);
        const auto found = tokens_.find(listener);
        if (found != tokens_.end()) {
            return found->second;
        }
    }
    // Asked without the lock and without the request's core turn: the store
    // may wait for its disk or its server.
    std::string token;
    {
        const CoreTurns::Away away;
        token = store_.TokenOf(listener);
    }
    if (!token.empty()) {
        std::lock_guard lock(mutex_);
        tokens_.emplace(listener, token);
    }
    return token;
}

}  // namespace vorn::station
