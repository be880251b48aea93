#include "station/protocol/CoreTurns.h"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace vorn::station {
namespace {

// The turns whose turn this thread holds now, if any.
thread_local CoreTurns* heldTurn = nullptr;

}  // namespace

CoreTurns::Turn::Turn(CoreTurns& turns, Ask ask) : turns_(heldTurn == nullptr ? &turns : nullptr) {
    if (turns_ != nullptr) {
        if (ask == Ask::WhenFree) {
            turns_->WaitWhenFree();
        } else {
            turns_->Wait();
        }
        heldTurn = turns_;
    }
}

CoreTurns::Turn::~Turn() {
    if (turns_ != nullptr) {
        heldTurn = nullptr;
        turns_->Done();
    }
}

CoreTurns::Away::Away() : turns_(heldTurn) {
    if (turns_ != nullptr) {
        heldTurn = nullptr;
        turns_->Done();
    }
}

CoreTurns::Away::~Away() {
    if (turns_ != nullptr) {
        turns_->Wait();
        heldTurn = turns_;
    }
}

CoreTurns::CoreTurns(int cores) : cores_(static_cast<std::uint64_t>(std::max(1, cores))) {}

void CoreTurns::Wait() {
    std::unique_lock lock(mutex_);
    if (running_ < cores_ && waiting_.empty()) {
        ++running_;
        return;
    }
    Waiter self;
    waiting_.push_back(&self);
    if (waker_) {
        lock.unlock();
        waker_();
        lock.lock();
    }
    self.woken.wait(lock, [&] { return self.granted; });
}

void CoreTurns::WaitWhenFree() {
    std::unique_lock lock(mutex_);
    free_.wait(lock, [&] { return running_ < cores_ && waiting_.empty(); });
    ++running_;
}

bool CoreTurns::Wanted() {
    std::lock_guard lock(mutex_);
    return !waiting_.empty();
}

void CoreTurns::Done() {
    std::lock_guard lock(mutex_);
    if (waiting_.empty()) {
        --running_;
        free_.notify_one();
        return;
    }
    // The turn passes straight on: `running_` stays as it is. Notified under
    // the lock, since the waiter's condition variable lives on its stack and
    // goes away as soon as it sees `granted`.
    Waiter* next = waiting_.front();
    waiting_.pop_front();
    next->granted = true;
    next->woken.notify_one();
}

std::uint64_t CoreTurns::Waiting() {
    std::lock_guard lock(mutex_);
    return waiting_.size();
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
