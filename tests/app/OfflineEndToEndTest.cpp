// The real program while its station is away: started before the station,
// the station killed in the middle of a session, and the program itself killed
// right after a rating. No rating may be lost and no restart of the program may
// be needed.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <thread>

#include "tests/app/EndToEndTest.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kReconnected = "INFO : Reconnected";
constexpr const char* kConnectError =
    "Error connecting to the Vorn server. Please check your internet and firewall settings and restart.";

class OfflineEndToEndTest : public EndToEndTest {
protected:
    std::string Outbox() const { return ReadFile(desktop_.InstallDir() + "ratings-outbox.txt"); }
    double SecondsSince(Clock::time_point start) const {
        return std::chrono::duration<double>(Clock::now() - start).count();
    }
    void KillStation() {
        station_->Signal(SIGKILL);
        int status = -1;
        ASSERT_TRUE(station_->WaitExit(5000, status));
        ASSERT_TRUE(Eventually([] { return !Answers(kProtocolPort); }, 5000));
    }
};

TEST_F(OfflineEndToEndTest, StartedBeforeItsStationItConnectsByItselfRegistersAndPlays) {
    ASSERT_TRUE(PortFree(kProtocolPort));
    ChildProcess& program = StartVorn();
    const std::string window = desktop_.FindWindow(kMainTitle, 30000);
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(Eventually([&] { return Contains(desktop_.LogLines(kDisplay), kConnectError); }, 30000));
    EXPECT_EQ(desktop_.StoreValue("user_id_0"), "");

    std::this_thread::sleep_for(std::chrono::seconds(10));
    const auto stationStart = Clock::now();
    ASSERT_NO_FATAL_FAILURE(StartStation());
    if (IsSkipped()) return;
    ASSERT_TRUE(desktop_.WaitForLogLines(kReconnected, 1, 40000)) << "no reconnect within 40 s of the station";
    std::cout << "[ figures  ] connected " << SecondsSince(stationStart) << " s after the station started\n";
    const std::string userId = desktop_.StoreValue("user_id_0");
    ASSERT_FALSE(userId.empty()) << "not registered";
    EXPECT_TRUE(Eventually([&] { return Contains(desktop_.LogLines(kDisplay), kWelcome); }, 5000));

    ASSERT_TRUE(desktop_.Click(window, kPlayX, kPlayY));
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 1, 30000)) << "nothing was downloaded and played";
    ASSERT_NO_FATAL_FAILURE(ExitFromMenu(program, window));
}

TEST_F(OfflineEndToEndTest, AStationKilledMidSessionGetsTheRatingOnceItIsBack) {
    ASSERT_NO_FATAL_FAILURE(StartStation());
    if (IsSkipped()) return;
    ChildProcess& program = StartVorn();
    int userId = 0;
    const std::string window = StartedPlaying(userId);
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(desktop_.WaitForLogLines(kDownloaded, 4, 30000));

    ASSERT_NO_FATAL_FAILURE(KillStation());
    ASSERT_TRUE(desktop_.Click(window, kFourthStarX, kFourthStarY));
    ASSERT_TRUE(desktop_.WaitForLogLines("*****WARNING***** : VornPlayer : Station lost", 1, 15000));
    EXPECT_NE(Outbox(), "") << "the rating is not kept while the station is away";

    const auto stationStart = Clock::now();
    ASSERT_NO_FATAL_FAILURE(StartStation());
    const std::vector<std::pair<int, int>> ratings = WaitForStationRatings(userId, 1, 30000);
    ASSERT_FALSE(ratings.empty())
        << "the rating did not reach the restarted station";
    EXPECT_TRUE(Eventually([&] { return Outbox().empty(); }, 5000));
    std::cout << "[ figures  ] outbox empty " << SecondsSince(stationStart) << " s after the station started\n";
    EXPECT_EQ(ratings.size(), 1u);
    EXPECT_EQ(ratings[0].second, 4);
    EXPECT_TRUE(program.Running()) << "the program ended";
    ASSERT_NO_FATAL_FAILURE(ExitFromMenu(program, window));
}

TEST_F(OfflineEndToEndTest, ARatingSurvivesAKillOfTheProgramRightAfterTheClick) {
    ASSERT_NO_FATAL_FAILURE(StartStation());
    if (IsSkipped()) return;
    ChildProcess& program = StartVorn();
    int userId = 0;
    const std::string window = StartedPlaying(userId);
    ASSERT_FALSE(window.empty());

    // The station is away, so the rating cannot have left before the kill.
    ASSERT_NO_FATAL_FAILURE(KillStation());
    ASSERT_TRUE(desktop_.Click(window, kFourthStarX, kFourthStarY));
    ASSERT_TRUE(Eventually([&] { return !Outbox().empty(); }, 5000)) << "the click left no rating on disk";
    program.Signal(SIGKILL);
    int status = -1;
    ASSERT_TRUE(program.WaitExit(5000, status));

    ASSERT_NO_FATAL_FAILURE(StartStation());
    ChildProcess& again = StartVorn();
    const std::string restarted = ConnectedWindow();
    ASSERT_FALSE(restarted.empty());
    const std::vector<std::pair<int, int>> ratings = WaitForStationRatings(userId, 1, 15000);
    ASSERT_FALSE(ratings.empty())
        << "the rating given before the kill never arrived";
    EXPECT_EQ(ratings[0].second, 4);
    EXPECT_EQ(desktop_.LogLines("INFO : RatingOutbox : "), std::vector<std::string>{"1 ratings waiting to be sent"});
    EXPECT_TRUE(Eventually([&] { return Outbox().empty(); }, 5000));
    ASSERT_NO_FATAL_FAILURE(ExitFromMenu(again, restarted));
}

}  // namespace
}  // namespace vorn::test
