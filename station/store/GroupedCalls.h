#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace vorn::station {

// Round trips sent so far and the calls they carried; calls queued now for
// the next.
struct GroupedCallCounts {
    std::uint64_t roundTrips = 0;
    std::uint64_t calls = 0;
    std::uint64_t waiting = 0;
};

// Calls of one kind to a database server that come while `lanes` round trips
// of that kind are in flight wait and go together in the next one (group
// commit), so a busy station pays one round trip for several requests, and a
// call that finds a lane free goes at once, alone: it never waits for
// company. More than one lane keeps a few round trips overlapping, as
// separate connections would, while the server is slow to answer.
//
// A caller that finds a lane free sends for everyone queued then (itself
// first, at most `most` calls); when its round trip is back, each call sent
// with it is told it is done, and the first still queued leads the next in
// the same lane. Only the callers whose turn it is are woken.
template <typename Call>
class GroupedCalls {
public:
    GroupedCalls(std::size_t lanes, std::size_t most) : lanes_(lanes < 1 ? 1 : lanes), most_(most < 1 ? 1 : most) {}
    GroupedCalls(const GroupedCalls&) = delete;
    GroupedCalls& operator=(const GroupedCalls&) = delete;

    // Returns when `call` went in a round trip: `send(calls)` was given it
    // among the calls of one round trip, in the order they came, and ran on
    // one of their threads. `send` gives each call its result; a call
    // starts with a failed one, which it keeps when `send` throws.
    template <typename Send>
    void Run(Call& call, Send&& send) {
        Waiter self{&call};
        std::unique_lock lock(mutex_);
        queue_.push_back(&self);
        if (inFlight_ >= lanes_) {
            self.woken.wait(lock, [&] { return self.done || self.leads; });
            if (self.done) {
                return;
            }
        } else {
            ++inFlight_;  // a free lane: nobody was queued, so the queue starts with `self`
        }
        std::vector<Waiter*> sent;
        std::vector<Call*> calls;
        while (!queue_.empty() && sent.size() < most_) {
            sent.push_back(queue_.front());
            calls.push_back(queue_.front()->call);
            queue_.pop_front();
        }
        ++counts_.roundTrips;
        counts_.calls += calls.size();
        lock.unlock();
        try {
            send(calls);
        } catch (...) {
            // Out of memory, say: the calls keep the results they had (failed),
            // and the lane passes on all the same, or the calls behind it would
            // wait for good.
        }
        lock.lock();
        // Notified under the lock: a waiter's condition variable lives on its
        // stack and goes away as soon as it sees its flag.
        for (Waiter* waiter : sent) {
            if (waiter != &self) {
                waiter->done = true;
                waiter->woken.notify_one();
            }
        }
        if (queue_.empty()) {
            --inFlight_;
        } else {
            queue_.front()->leads = true;
            queue_.front()->woken.notify_one();
        }
    }

    GroupedCallCounts Current() {
        std::lock_guard lock(mutex_);
        GroupedCallCounts now = counts_;
        now.waiting = queue_.size();
        return now;
    }

private:
    // One caller, on its own stack while it waits.
    struct Waiter {
        Call* call;
        std::condition_variable woken;
        bool done = false;   // guarded by mutex_
        bool leads = false;  // guarded by mutex_
    };

    const std::size_t lanes_;
    const std::size_t most_;
    std::mutex mutex_;  // guards queue_, inFlight_, counts_ and the waiters' flags
    std::deque<Waiter*> queue_;
    std::size_t inFlight_ = 0;  // round trips out; each hands its lane on to the queue's first when back
    GroupedCallCounts counts_;
};

}  // namespace vorn::station
