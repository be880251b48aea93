#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

namespace vorn {

// The answer to one message sent from another thread to the window thread.
// The window thread completes it after handling the message; if the message is
// dropped unhandled (the window went away) it is abandoned. Whichever comes
// first counts; the sender may have stopped waiting long before.
class MessageReply {
public:
    void Complete(std::int64_t result);
    void Abandon();

    // Waits at most `timeoutMs` for the answer. Empty when the message was
    // abandoned or the time ran out.
    std::optional<std::int64_t> Wait(std::uint32_t timeoutMs);

private:
    enum class State { Pending, Done, Abandoned };

    std::mutex mutex_;  // guards state_ and result_
    std::condition_variable cv_;
    State state_ = State::Pending;
    std::int64_t result_ = 0;
};

}  // namespace vorn
