#include "station/protocol/CoreTurns.h"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace vorn::station {

CoreTurns::CoreTurns(int cores) : cores_(static_cast<std::uint64_t>(std::max(1, cores))) {}

void CoreTurns::Wait() {
    std::unique_lock lock(mutex_);
    const std::uint64_t turn = next_++;
    // Turns end in any order, so `finished_` counts them rather than naming
    // the last: turn t may start once all but `cores_ - 1` of the turns
    // before it have ended.
    turnOver_.wait(lock, [&] { return turn < finished_ + cores_; });
}

void CoreTurns::Done() {
    {
        std::lock_guard lock(mutex_);
        ++finished_;
    }
    turnOver_.notify_all();
}

std::uint64_t CoreTurns::Waiting() {
    std::lock_guard lock(mutex_);
    const std::uint64_t running = std::min(next_ - finished_, cores_);
    return next_ - finished_ - running;
}

int CoreTurns::UsableCores() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    }
    return std::max(1, CPU_COUNT(&allowed));
}

}  // namespace vorn::station
