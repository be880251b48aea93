#pragma once

#include <cstdint>

namespace vorn {

// Work queued for the player's worker thread. Each request is tried at most
// twice. Ratings do not come this way: they wait in the rating outbox.
class ServerRequest {
public:
    static constexpr std::int32_t kRatingType = 0;
    static constexpr std::int32_t kRecommendationType = 1;

    virtual ~ServerRequest() = default;
    virtual std::int32_t Type() const = 0;

    std::int32_t retries = 2;  // decremented before each attempt
};

class RecommendationRequest final : public ServerRequest {
public:
    explicit RecommendationRequest(std::int32_t typeId) : typeId(typeId) {}
    std::int32_t Type() const override { return kRecommendationType; }

    const std::int32_t typeId;
};

}  // namespace vorn
