#include "station/protocol/CoreTurns.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorn::station {
namespace {

// Waits, bounded, until `turns` has `count` callers waiting.
bool WaitForWaiting(CoreTurns& turns, std::uint64_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (turns.Waiting() != count) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(CoreTurnsTest, TurnsGoInTheOrderAskedAndACallerComingBackQueuesBehind) {
    CoreTurns turns(1);
    std::mutex mutex;
    std::vector<int> order;  // guarded by mutex
    const auto take = [&](int who) {
        turns.Wait();
        {
            std::lock_guard lock(mutex);
            order.push_back(who);
        }
        turns.Done();
    };
    turns.Wait();  // the main thread holds the only core
    std::vector<std::thread> threads;
    for (int who = 1; who <= 3; ++who) {
        threads.emplace_back(take, who);
        EXPECT_TRUE(WaitForWaiting(turns, static_cast<std::uint64_t>(who))) << who;
    }
    turns.Done();
    take(4);  // asks again at once, but three were waiting
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(turns.Waiting(), 0u);
}

TEST(CoreTurnsTest, AsManyRunAtOnceAsThereAreCoresAndNoMore) {
    CoreTurns turns(2);
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 8; ++k) {
        threads.emplace_back([&] {
            for (int round = 0; round < 20; ++round) {
                turns.Wait();
                const int now = ++inside;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                --inside;
                turns.Done();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(most.load(), 2);
    EXPECT_GE(CoreTurns::UsableCores(), 1);
}

// A Turn inside another on the same thread takes none (on one core it would
// wait for itself), and an Away on a thread without a turn gives nothing back.
TEST(CoreTurnsTest, ANestedTurnTakesNoneAndAnAwayWithoutATurnGivesNone) {
    CoreTurns turns(1);
    std::atomic<bool> nestedRan{false};
    std::thread nesting([&] {
        const CoreTurns::Turn outer(turns);
        const CoreTurns::Turn inner(turns);
        nestedRan = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!nestedRan && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(nestedRan) << "a nested turn waited for its own thread";
    nesting.join();

    const CoreTurns::Turn held(turns);
    std::atomic<bool> ran{false};
    std::thread other([&] {
        { const CoreTurns::Away away; }  // holds no turn: gives none back
        const CoreTurns::Turn turn(turns);
        ran = true;
    });
    EXPECT_TRUE(WaitForWaiting(turns, 1));
    EXPECT_FALSE(ran);
    {
        const CoreTurns::Away away;  // lends this thread's turn until the other is done with it
        other.join();
    }
    EXPECT_TRUE(ran);
    EXPECT_EQ(turns.Waiting(), 0u);
}

// A thread with no work in hand yet waits behind one coming back to its work,
// and a caller that has to queue wakes the holders (which may be idle).
TEST(CoreTurnsTest, AThreadWithoutWorkWaitsBehindOneComingBack) {
    CoreTurns turns(1);
    std::atomic<int> wakes{0};
    turns.SetWaker([&] { ++wakes; });
    std::mutex mutex;
    std::vector<std::string> order;  // guarded by mutex
    const auto note = [&](const char* who) {
        std::lock_guard lock(mutex);
        order.emplace_back(who);
    };
    std::thread idle;
    std::thread back;
    {
        const CoreTurns::Turn held(turns);
        idle = std::thread([&] {
            const CoreTurns::Turn turn(turns, CoreTurns::Turn::Ask::WhenFree);
            note("idle");
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it wait first
        EXPECT_FALSE(turns.Wanted());
        EXPECT_EQ(wakes.load(), 0);
        back = std::thread([&] {
            const CoreTurns::Turn turn(turns);
            note("back");
        });
        ASSERT_TRUE(WaitForWaiting(turns, 1));
        EXPECT_TRUE(turns.Wanted());
        EXPECT_EQ(wakes.load(), 1);
    }
    back.join();
    idle.join();
    EXPECT_EQ(order, (std::vector<std::string>{"back", "idle"}));
}

}  // namespace
}  // namespace vorn::station
