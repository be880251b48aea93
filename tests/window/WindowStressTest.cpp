#include <gtest/gtest.h>

#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

#include "library/VornPlaylist.h"
#include "tests/player/PlayerTestSupport.h"
#include "tests/ui/QtTestSupport.h"
#include "tests/ui/ToneFile.h"
#include "tests/window/WindowTestSupport.h"

namespace vorn {
namespace {

// Aborts the test run when the window thread stops turning: a deadlock must
// fail loudly, not hang until the suite's time-out.
class Watchdog {
public:
    explicit Watchdog(std::atomic<long>& heartbeat) : heartbeat_(heartbeat) {
        thread_ = std::thread([this] {
            long last = heartbeat_.load();
            auto lastChange = std::chrono::steady_clock::now();
            while (!stop_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                const long now = heartbeat_.load();
                if (now != last) {
                    last = now;
                    lastChange = std::chrono::steady_clock::now();
                } else if (std::chrono::steady_clock::now() - lastChange > std::chrono::seconds(5)) {
                    std::fprintf(stderr, "the window thread has not turned for 5 s: deadlock\n");
                    std::abort();
                }
            }
        });
    }
    ~Watchdog() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<long>& heartbeat_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Downloads finish and report progress while the window thread clicks, rates,
// moves on and back, seeks and sets texts as fast as it can, for some seconds.
// The rule it proves: no thread that holds the playlist's lock waits for the
// window thread, so the window always keeps turning.
TEST(WindowStressTest, DownloadsFinishingWhileTheListenerClicksNeverDeadlock) {
    test::WindowFixture fixture;
    test::PlayerStation station;
    const std::string tone = fixture.home / "tone.mp3";
    ASSERT_TRUE(test::WriteToneMp3(tone, 1.2));
    station.media.SetFixedBody(test::ReadFile(tone));
    station.media.SetBlockDelay(1);

    auto window = fixture.Open();
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(window->ConnectToServer("127.0.0.1", station.Port()), 0);

    std::atomic<long> heartbeat{0};
    QTimer beat;
    QObject::connect(&beat, &QTimer::timeout, [&] { ++heartbeat; });
    beat.start(10);
    Watchdog watchdog(heartbeat);

    std::mt19937 random(1234);
    int actions = 0;
    QTimer clicker;
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        ++actions;
        switch (random() % 9) {
            case 0: window->OnPlayButton(1); break;
            case 1: window->OnForwardButton(1); break;
            case 2: window->OnBackButton(1); break;
            case 3:
            case 4: window->OnRate(1 + static_cast<int>(random() % 5)); break;
            case 5: window->OnForwardButton(2); break;
            case 6: window->OnBackButton(2); break;
            case 7: window->SetDisplayText("Stress", std::to_string(actions)); break;
            default: window->MediaEnded(); break;
        }
    });
    clicker.start(7);
    // A fixed number of actions rather than a fixed time: a loaded machine
    // turns the loop more slowly, and the proof needs the actions, not the pace.
    test::PumpUntil([&] { return actions >= 600; }, 30000);
    clicker.stop();

    const auto start = std::chrono::steady_clock::now();
    window.reset();  // stops the worker and every running download
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
    EXPECT_GE(actions, 600);
    EXPECT_GE(station.RequestedCounts().size(), 2u);
    EXPECT_FALSE(station.Ratings().empty());
}

}  // namespace
}  // namespace vorn
