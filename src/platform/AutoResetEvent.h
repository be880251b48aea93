#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vorn {

// An event that wakes one waiter and then resets itself: Set() lets exactly one
// Wait() through (or the next one, if nobody waits yet).
class AutoResetEvent {
public:
    AutoResetEvent() = default;
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

    void Set();
    void Reset();
    // Waits until the event is set, then resets it. Returns false on time-out.
    bool Wait(std::uint32_t timeoutMs);
    void Wait();

private:
    std::mutex mutex_;  // guards signalled_
    std::condition_variable cv_;
    bool signalled_ = false;
};

}  // namespace vorn
