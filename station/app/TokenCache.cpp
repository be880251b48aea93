#include "station/app/TokenCache.h"

namespace vorn::station {

std::string TokenCache::TokenOf(std::int32_t listener) {
    {
        std::lock_guard lock(mutex_);
        const auto found = tokens_.find(listener);
        if (found != tokens_.end()) {
            return found->second;
        }
    }
    // Asked without the lock: the store may wait for its server.
    std::string token = store_.TokenOf(listener);
    if (!token.empty()) {
        std::lock_guard lock(mutex_);
        tokens_.emplace(listener, token);
    }
    return token;
}

}  // namespace vorn::station
