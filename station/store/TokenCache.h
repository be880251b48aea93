#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "station/store/StationStore.h"

namespace vorn::station {

// Listeners' page tokens as the store keeps them, asked for once per listener:
// a token never changes once made, so a copy stays right even when other
// stations share the store. Safe to call from several threads.
class TokenCache {
public:
    explicit TokenCache(StationStore& store) : store_(store) {}
    TokenCache(const TokenCache&) = delete;
    TokenCache& operator=(const TokenCache&) = delete;

    // The listener's token, or "" when the store could not give one (asked
    // again next time).
    std::string TokenOf(std::int32_t listener);

private:
    StationStore& store_;
    std::mutex mutex_;  // guards tokens_
    std::unordered_map<std::int32_t, std::string> tokens_;
};

}  // namespace vorn::station
