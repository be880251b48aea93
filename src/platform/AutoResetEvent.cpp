#include "platform/AutoResetEvent.h"

#include <chrono>

namespace vorn {

void AutoResetEvent::Set() {
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    cv_.notify_one();
}

void AutoResetEvent::Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool AutoResetEvent::Wait(std::uint32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return signalled_; })) {
        return false;
    }
    signalled_ = false;
    return true;
}

void AutoResetEvent::Wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return signalled_; });
    signalled_ = false;
}

}  // namespace vorn
