#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace vorn::station {

// Lets at most `cores` threads at a time into a stretch of heavy computation,
// in the order they asked (first come, first served). With more busy threads
// than cores, the system would share the cores in time slices of
// milliseconds, and a thread that lost its slice in the middle of a short
// piece of work would wait for the slices of all the others; here the waiting
// ones sleep, and each piece of work runs to its end. A thread that comes back
// for another turn queues behind those already waiting. A turn given back is
// handed to the first waiting thread alone, which is the only one woken.
class CoreTurns {
public:
    explicit CoreTurns(int cores);
    CoreTurns(const CoreTurns&) = delete;
    CoreTurns& operator=(const CoreTurns&) = delete;

    // Blocks until it is the caller's turn; every Wait (or WaitWhenFree) is
    // followed by one Done.
    void Wait();
    // For a thread that has no work in hand yet: waits until a turn is free
    // with nobody queued for one, so a queued caller always goes first.
    void WaitWhenFree();
    void Done();
    // Whether a caller is queued for a turn (Wait): a holder between two
    // pieces of work gives its turn up then.
    bool Wanted();
    // Called (without the lock) whenever a caller of Wait has to queue: wakes
    // a holder that may be idle, waiting for work, so that it can see Wanted.
    // Set before the turns are used.
    void SetWaker(std::function<void()> waker) { waker_ = std::move(waker); }

    // A turn held for the life of the object, given back however the work
    // ends (a turn never given back would hold a core for good). One per
    // thread at a time: a Turn inside another one's life takes none.
    class Turn {
    public:
        enum class Ask { InTurn, WhenFree };
        explicit Turn(CoreTurns& turns, Ask ask = Ask::InTurn);
        ~Turn();
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

    private:
        CoreTurns* turns_;  // null for a nested Turn
    };
    // For the life of the object, the calling thread's turn (when it holds
    // one) is given back: for a wait on something else, a database or a disk,
    // during which the core serves others. The turn is asked for again, behind
    // those waiting, when it ends. Never hold a lock that a turn holder may
    // want while an Away ends.
    class Away {
    public:
        Away();
        ~Away();
        Away(const Away&) = delete;
        Away& operator=(const Away&) = delete;

    private:
        CoreTurns* turns_;  // the turn given back, or null
    };
    // Callers waiting for their turn.
    std::uint64_t Waiting();

    // The cores this process may run on (at least 1).
    static int UsableCores();

private:
    // One waiting thread, on its own stack while it waits.
    struct Waiter {
        std::condition_variable woken;
        bool granted = false;  // guarded by mutex_
    };

    const std::uint64_t cores_;
    std::mutex mutex_;             // guards running_, waiting_ and the waiters' `granted`
    std::uint64_t running_ = 0;    // turns taken and not given back
    std::deque<Waiter*> waiting_;  // oldest first
    std::condition_variable free_;  // a turn became free with nobody queued (WaitWhenFree)
    std::function<void()> waker_;   // set before use, then only read
};

}  // namespace vorn::station
