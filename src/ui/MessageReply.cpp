#include "ui/MessageReply.h"

#include <chrono>

namespace vorn {

void MessageReply::Complete(std::int64_t result) {
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::Pending) {
            return;
        }
        state_ = State::Done;
        result_ = result;
    }
    cv_.notify_all();
}

void MessageReply::Abandon() {
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::Pending) {
            return;
        }
        state_ = State::Abandoned;
    }
    cv_.notify_all();
}

std::optional<std::int64_t> MessageReply::Wait(std::uint32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                 [this] { return state_ != State::Pending; });
    if (state_ == State::Done) {
        return result_;
    }
    return std::nullopt;
}

}  // namespace vorn
