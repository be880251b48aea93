// The real program on a private session bus: the desktop's media controls
// (playerctl, gdbus and dbus-monitor as a listener's desktop would use them)
// against the real window and station.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "tests/app/EndToEndTest.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBusName = "org.mpris.MediaPlayer2.vorn";
constexpr const char* kPath = "/org/mpris/MediaPlayer2";

class DesktopBusEndToEndTest : public EndToEndTest {
protected:
    std::string Playerctl(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv = {"playerctl", "-p", "vorn"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::string output;
        EXPECT_TRUE(desktop_.RunOnBus(argv, &output)) << "playerctl failed: " << output;
        while (!output.empty() && output.back() == '\n') output.pop_back();
        return output;
    }
    bool SetRating(const std::string& value, std::string* output = nullptr) {
        return desktop_.RunOnBus({"gdbus", "call", "--session", "--dest", kBusName, "--object-path", kPath, "--method",
                                  "org.freedesktop.DBus.Properties.Set", "org.mpris.MediaPlayer2.Player", "Rating",
                                  "<" + value + ">"},
                                 output);
    }
};

TEST_F(DesktopBusEndToEndTest, PlayerctlControlsThePlayerAndTheRatingPropertyRates) {
    ASSERT_TRUE(desktop_.StartSessionBus()) << ReadFile(desktop_.Path("dbus-daemon.log"));
    ASSERT_NO_FATAL_FAILURE(StartStation());
    if (IsSkipped()) return;
    ChildProcess& program = StartVorn();
    const std::string window = ConnectedWindow();
    ASSERT_FALSE(window.empty());
    const int userId = std::stoi(desktop_.StoreValue("user_id_0"));
    EXPECT_EQ(desktop_.LogLines("INFO : MprisService : Media controls on the session bus as "),
              std::vector<std::string>{kBusName});

    // Nothing current: Stopped, and a play from the desktop does nothing.
    EXPECT_EQ(Playerctl({"status"}), "Stopped");
    ASSERT_TRUE(desktop_.Click(window, kPlayX, kPlayY));
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 1, 30000));
    const std::string first = desktop_.LogLines(kNewMedia)[0];
    EXPECT_TRUE(Eventually([&] { return Playerctl({"status"}) == "Playing"; }, 5000));
    std::string metadata = Playerctl({"metadata", "--format", "{{mpris:trackid}}|{{xesam:url}}|{{xesam:userRating}}"});
    std::erase(metadata, '\'');  // playerctl quotes object paths
    const std::string itemId = metadata.substr(std::string("/org/vorn/item/").size(),
                                               metadata.find('|') - std::string("/org/vorn/item/").size());
    EXPECT_EQ(metadata.rfind("/org/vorn/item/", 0), 0u) << metadata;
    EXPECT_NE(FileName(first).find("[" + itemId + "]"), std::string::npos) << metadata << " for " << first;
    EXPECT_NE(metadata.find("|file://" + desktop_.MediaDir() + "UnRated/"), std::string::npos) << metadata;
    EXPECT_GT(std::stod(Playerctl({"position"})), 0.0);

    Playerctl({"play-pause"});
    EXPECT_TRUE(Eventually([&] { return Playerctl({"status"}) == "Paused"; }, 5000));
    Playerctl({"play"});
    EXPECT_TRUE(Eventually([&] { return Playerctl({"status"}) == "Playing"; }, 5000));

    // Next on an unrated item keeps it and asks for the rating: the stars sweep.
    const std::vector<std::uint32_t> still = desktop_.Grab(window, kStarsX, kStarsY, kStarsWidth, kStarsHeight);
    Playerctl({"next"});
    std::set<std::vector<std::uint32_t>> frames{still};
    EXPECT_TRUE(Eventually(
        [&] {
            frames.insert(desktop_.Grab(window, kStarsX, kStarsY, kStarsWidth, kStarsHeight));
            return frames.size() >= 3;
        },
        5000))
        << "the stars do not ask for a rating";
    EXPECT_EQ(desktop_.LogLines(kNewMedia).size(), 1u) << "an unrated track was left";

    // The Rating property: 0.8 is four stars, on the station, announced on the bus.
    auto watcher = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/dbus-monitor", "--session",
                                 "type='signal',interface='org.freedesktop.DBus.Properties'"},
        std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=" + desktop_.SessionBusAddress()},
        desktop_.Path("monitor.log"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string refused;
    EXPECT_FALSE(SetRating("1.5", &refused));
    EXPECT_NE(refused.find("InvalidArgs"), std::string::npos) << refused;
    ASSERT_TRUE(SetRating("0.8"));
    std::vector<std::pair<int, int>> ratings;
    ASSERT_TRUE(Eventually(
        [&] {
            ratings = StationRatings(userId);
            return !ratings.empty();
        },
        15000));
    EXPECT_EQ(ratings, (std::vector<std::pair<int, int>>{{std::stoi(itemId), 4}}));
    EXPECT_TRUE(Eventually(
        [&] { return Playerctl({"metadata", "--format", "{{xesam:userRating}}"}).rfind("0.8000", 0) == 0; }, 5000));
    EXPECT_TRUE(Eventually(
        [&] {
            const std::string seen = ReadFile(desktop_.Path("monitor.log"));
            return seen.find("\"Rating\"") != std::string::npos && seen.find("double 0.8") != std::string::npos;
        },
        5000))
        << ReadFile(desktop_.Path("monitor.log"));
    watcher.reset();

    // Rated: next moves on and files the track.
    Playerctl({"next"});
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 2, 10000));
    EXPECT_TRUE(Eventually([&] { return fs::exists(desktop_.MediaDir() + "4stars/" + FileName(first)); }, 5000));

    // Quit is the menu's Exit: the program ends by itself and writes the library.
    ASSERT_TRUE(desktop_.RunOnBus({"dbus-send", "--session", "--print-reply", std::string("--dest=") + kBusName, kPath,
                                   "org.mpris.MediaPlayer2.Quit"}));
    int status = -1;
    ASSERT_TRUE(program.WaitExit(20000, status));
    EXPECT_EQ(status, 0);
    EXPECT_NE(ReadFile(desktop_.InstallDir() + "pl.txt").find("4stars/</location>"), std::string::npos);
}

TEST_F(DesktopBusEndToEndTest, WithoutASessionBusTheProgramPlaysAndRatesAsBefore) {
    ASSERT_NO_FATAL_FAILURE(StartStation());
    if (IsSkipped()) return;
    ChildProcess& program = StartVorn();
    const std::string window = ConnectedWindow();
    ASSERT_FALSE(window.empty());
    EXPECT_EQ(desktop_.LogLines("INFO : MprisService : ").size(), 1u);
    EXPECT_TRUE(Contains(desktop_.LogLines("INFO : MprisService : "), "No session bus, media controls left out"));
    ASSERT_TRUE(desktop_.Click(window, kPlayX, kPlayY));
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 1, 30000));
    ASSERT_TRUE(desktop_.Click(window, kFourthStarX, kFourthStarY));
    const int userId = std::stoi(desktop_.StoreValue("user_id_0"));
    EXPECT_TRUE(Eventually([&] { return !StationRatings(userId).empty(); }, 15000));
    ASSERT_NO_FATAL_FAILURE(ExitFromMenu(program, window));
}

}  // namespace
}  // namespace vorn::test
