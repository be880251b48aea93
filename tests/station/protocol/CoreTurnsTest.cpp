#include "station/protocol/CoreTurns.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
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

}  // namespace
}  // namespace vorn::station
