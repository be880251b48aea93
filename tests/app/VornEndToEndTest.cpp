// The real program against the real station on this machine, in a temporary
// home on a private desktop, driven like a listener drives it: clicks and keys
// through xdotool, with the log, the store, the media folder, the station's
// database and the screen as witnesses.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <set>
#include <thread>

#include "tests/app/EndToEndTest.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

class VornEndToEndTest : public EndToEndTest {};

TEST_F(VornEndToEndTest, FirstRunPlaysRatesFilesExitsAndRestoresTheLibrary) {
    ASSERT_NO_FATAL_FAILURE(StartStation());
    if (IsSkipped()) return;

    // ---- first start: the installer's values, then registration
    ChildProcess& program = StartVorn();
    const std::string window = ConnectedWindow();
    ASSERT_FALSE(window.empty());
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(desktop_.StoreValue("InstallDir"), desktop_.InstallDir());
    EXPECT_EQ(desktop_.StoreValue("MediaDir"), desktop_.MediaDir());
    const std::string userId = desktop_.StoreValue("user_id_0");
    ASSERT_FALSE(userId.empty()) << "no user id registered";
    EXPECT_GT(std::stoi(userId), 0);
    EXPECT_EQ(desktop_.LogLines("*****SEVERE****** : Initializing Vorn Build : "), std::vector<std::string>{"13"});

    // ---- play with an empty library: wait text, downloads, playback by itself
    const std::vector<std::uint32_t> idleStars = desktop_.Grab(window, kStarsX, kStarsY, kStarsWidth, kStarsHeight);
    ASSERT_TRUE(desktop_.Click(window, kPlayX, kPlayY));
    EXPECT_TRUE(Eventually(
        [&] { return Contains(desktop_.LogLines(kDisplay), "Please Wait.....Retrieving Media"); }, 10000));
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 1, 30000)) << "playback did not start by itself";
    const std::string first = desktop_.LogLines(kNewMedia)[0];
    EXPECT_EQ(first.rfind(desktop_.MediaDir() + "UnRated/", 0), 0u) << first;
    EXPECT_TRUE(Contains(desktop_.LogLines(kDownloaded), first));
    ASSERT_TRUE(desktop_.WaitForLogLines(kDownloaded, 4, 30000)) << "the four recommendations were not downloaded";

    // ---- the end of the unrated track: the stars sweep until a rating comes
    std::vector<std::uint32_t> frame;
    ASSERT_TRUE(Eventually(
        [&] {
            frame = desktop_.Grab(window, kStarsX, kStarsY, kStarsWidth, kStarsHeight);
            return !frame.empty() && frame != idleStars;
        },
        30000))
        << "the stars did not light up at the end of the track";
    std::set<std::vector<std::uint32_t>> frames{frame};
    EXPECT_TRUE(Eventually(
        [&] {
            frames.insert(desktop_.Grab(window, kStarsX, kStarsY, kStarsWidth, kStarsHeight));
            return frames.size() >= 3;
        },
        5000))
        << "the stars do not move";
    EXPECT_EQ(desktop_.LogLines(kNewMedia).size(), 1u) << "an unrated track must not be left";

    // ---- four stars: the station has the rating, the next item plays, the file is filed
    ASSERT_TRUE(desktop_.Click(window, kFourthStarX, kFourthStarY));
    std::vector<std::pair<int, int>> ratings;
    EXPECT_TRUE(Eventually(
        [&] {
            ratings = StationRatings(std::stoi(userId));
            return !ratings.empty();
        },
        15000))
        << "the station has no rating";
    ASSERT_EQ(ratings.size(), 1u);
    EXPECT_EQ(ratings[0].second, 4);
    EXPECT_NE(FileName(first).find("[" + std::to_string(ratings[0].first) + "]"), std::string::npos)
        << "the rating is for item " << ratings[0].first << ", not for " << first;
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 2, 15000)) << "the player did not move on";
    const std::string second = desktop_.LogLines(kNewMedia)[1];
    EXPECT_NE(second, first);
    EXPECT_TRUE(Eventually([&] { return fs::exists(desktop_.MediaDir() + "4stars/" + FileName(first)); }, 10000))
        << "the rated file is not in 4stars";
    EXPECT_FALSE(fs::exists(first));

    // ---- Exit writes the library
    ASSERT_NO_FATAL_FAILURE(ExitFromMenu(program, window));
    const std::string playlist = ReadFile(desktop_.InstallDir() + "pl.txt");
    std::size_t items = 0;
    for (std::size_t at = 0; (at = playlist.find("<vornplaylistitem>", at)) != std::string::npos; ++at) ++items;
    EXPECT_EQ(items, desktop_.LogLines(kDownloaded).size());
    EXPECT_NE(playlist.find("<location>" + desktop_.MediaDir() + "4stars/</location><lastplayed>"), std::string::npos);

    // ---- second start: the library is back, the cursor on the first unrated item
    ChildProcess& restarted = StartVorn();  // the first one has ended
    const std::string again = ConnectedWindow();
    ASSERT_FALSE(again.empty());
    EXPECT_TRUE(desktop_.StoreValue("user_id_0") == userId) << "registered a second time";
    ASSERT_TRUE(desktop_.Click(again, kPlayX, kPlayY));
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 1, 15000));
    EXPECT_EQ(desktop_.LogLines(kNewMedia)[0], second);
    EXPECT_FALSE(Contains(desktop_.LogLines(kDisplay), "Please Wait.....Retrieving Media"))
        << "the restored library was not used";
    ASSERT_NO_FATAL_FAILURE(ExitFromMenu(restarted, again));
}

// ./run, the README's first command, where no station runs yet: it makes the
// demo library, starts the station on it and opens the window, which connects
// and plays from it; once the program has ended, the station ends too.
TEST_F(VornEndToEndTest, TheRunCommandPlaysFromItsOwnStationAndStopsItAfterExit) {
    // A checkout whose build folder is this build: ./run finds nothing to build.
    const fs::path checkout = desktop_.Path("checkout");
    fs::create_directories(checkout);
    fs::create_symlink(VORN_SOURCE_DIR "/run", checkout / "run");
    fs::create_directory_symlink(VORN_SOURCE_DIR "/scripts", checkout / "scripts");
    fs::create_directory_symlink(VORN_BUILD_DIR, checkout / "build");
    vorn_ = desktop_.StartVorn((checkout / "run").string(), desktop_.Path("vorn.out"));
    // The demo library is made first, which takes a while.
    ASSERT_FALSE(desktop_.FindWindow(kMainTitle, 240000).empty()) << ReadFile(desktop_.Path("vorn.out"));
    int listener = 0;
    const std::string window = StartedPlaying(listener);
    ASSERT_FALSE(window.empty());
    const std::string said = ReadFile(desktop_.Path("vorn.out"));
    EXPECT_NE(said.find("== catalogue: 24 playable items (mp3 24)"), std::string::npos) << said;
    EXPECT_NE(said.find("== Vorn is open"), std::string::npos) << said;
    ASSERT_NO_FATAL_FAILURE(ExitFromMenu(*vorn_, window));
    EXPECT_TRUE(PortFree(kProtocolPort)) << "the station outlived ./run";
    EXPECT_NE(ReadFile(desktop_.Path("data/vorn-station/station.log")).find("vorn-station : stopped"),
              std::string::npos);
}

TEST_F(VornEndToEndTest, ClosingTheWindowOtherwiseThanByExitStartsTheProgramOver) {
    ASSERT_NO_FATAL_FAILURE(StartStation());
    if (IsSkipped()) return;

    ChildProcess& program = StartVorn();
    const std::string window = ConnectedWindow();
    ASSERT_FALSE(window.empty());
    const std::string userId = desktop_.StoreValue("user_id_0");
    ASSERT_TRUE(desktop_.Keys(window, "Escape"));  // the dialog's cancel: result 2

    std::string again;
    ASSERT_TRUE(Eventually(
        [&] {
            again = desktop_.FindWindow(kMainTitle, 0);
            return !again.empty() && again != window;
        },
        20000))
        << "no new window";
    EXPECT_TRUE(program.Running()) << "the same process starts over";
    EXPECT_TRUE(Eventually([&] { return Contains(desktop_.LogLines(kDisplay), kWelcome); }, 20000));
    // A fresh log with its start-up line, the same listener.
    EXPECT_EQ(desktop_.LogLines("*****SEVERE****** : Initializing Vorn Build : "), std::vector<std::string>{"13"});
    EXPECT_EQ(desktop_.StoreValue("user_id_0"), userId);
    ASSERT_NO_FATAL_FAILURE(ExitFromMenu(program, again));
}

TEST_F(VornEndToEndTest, TooOldABuildShowsTheForcedUpdateAndEnds) {
    ASSERT_NO_FATAL_FAILURE(StartStation({"--min-build", "14"}));
    if (IsSkipped()) return;

    ChildProcess& program = StartVorn();
    const std::string box = desktop_.FindWindow("Update", 30000);
    ASSERT_FALSE(box.empty()) << "no update box";
    EXPECT_TRUE(Contains(desktop_.LogLines(kDisplay),
                         "Update needed, you are running an old version of Vorn please update"));
    ASSERT_TRUE(desktop_.Keys(box, "Return"));  // OK

    int status = -1;
    ASSERT_TRUE(program.WaitExit(20000, status)) << "the program did not end";
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(desktop_.LogLines("INFO : Shutting down").empty());
    EXPECT_EQ(desktop_.LogLines("*****SEVERE****** : Initializing Vorn Build : ").size(), 1u) << "it started over";
    EXPECT_EQ(desktop_.Opened(), "http://localhost:8000/\n") << "the product page was not opened";
    EXPECT_EQ(desktop_.StoreValue("user_id_0"), "") << "a build below the minimum must not register";
}

TEST_F(VornEndToEndTest, ANewerBuildCanBeDeclinedAndAStopSignalStillKeepsTheLibrary) {
    ASSERT_NO_FATAL_FAILURE(StartStation({"--latest-build", "14"}));
    if (IsSkipped()) return;

    ChildProcess& program = StartVorn();
    const std::string box = desktop_.FindWindow("Update", 30000);
    ASSERT_FALSE(box.empty()) << "no update box";
    EXPECT_TRUE(Contains(desktop_.LogLines(kDisplay), kWelcome));
    EXPECT_FALSE(desktop_.StoreValue("user_id_0").empty());
    ASSERT_TRUE(desktop_.Keys(box, "Escape"));  // No

    EXPECT_TRUE(Eventually([&] { return desktop_.FindWindow("Update", 0).empty(); }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(program.Running()) << "declining the update must leave the program running";
    EXPECT_EQ(desktop_.Opened(), "");
    const std::string window = desktop_.FindWindow(kMainTitle, 5000);
    ASSERT_FALSE(window.empty());

    // The end of a session (SIGTERM) ends the program as Exit does.
    ASSERT_TRUE(desktop_.Click(window, kPlayX, kPlayY));
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 1, 30000));
    program.Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(program.WaitExit(20000, status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(desktop_.LogLines("INFO : Stopping on signal "), std::vector<std::string>{"15"});
    EXPECT_FALSE(desktop_.LogLines("INFO : Shutting down").empty());
    EXPECT_NE(ReadFile(desktop_.InstallDir() + "pl.txt").find(FileName(desktop_.LogLines(kNewMedia)[0])),
              std::string::npos);
}

TEST_F(VornEndToEndTest, AStopSignalWhileTheForcedUpdateBoxIsOpenEndsAtOnce) {
    ASSERT_NO_FATAL_FAILURE(StartStation({"--min-build", "14"}));
    if (IsSkipped()) return;

    ChildProcess& program = StartVorn();
    ASSERT_FALSE(desktop_.FindWindow("Update", 30000).empty()) << "no update box";
    program.Signal(SIGTERM);
    int status = -1;
    // The box is closed, the window ends, and the start-up thread's own shutdown
    // message must not hold the program up (it used to wait out a 10 s send).
    ASSERT_TRUE(program.WaitExit(3000, status)) << "the program took more than 3 s to end";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(desktop_.Opened(), "") << "a stop signal is no answer to the update question";
}

TEST_F(VornEndToEndTest, RatingsGivenJustBeforeExitReachTheStation) {
    // A slow station: each answer takes 400 ms, so the ratings are still queued
    // when the listener exits.
    ASSERT_NO_FATAL_FAILURE(StartStation({"--answer-delay", "400"}));
    if (IsSkipped()) return;

    ChildProcess& program = StartVorn();
    const std::string window = ConnectedWindow();
    ASSERT_FALSE(window.empty());
    const std::string userId = desktop_.StoreValue("user_id_0");
    ASSERT_FALSE(userId.empty());
    ASSERT_TRUE(desktop_.Click(window, kPlayX, kPlayY));
    ASSERT_TRUE(desktop_.WaitForLogLines(kDownloaded, 4, 30000)) << "the four recommendations were not downloaded";
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 1, 10000));

    // One star for three tracks in a row (each moves on), then Exit at once.
    for (int track = 1; track <= 3; ++track) {
        ASSERT_TRUE(desktop_.Click(window, kFirstStarX, kFourthStarY));
        ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, static_cast<std::size_t>(track) + 1, 10000));
    }
    EXPECT_LT(StationRatings(std::stoi(userId)).size(), 3u) << "the ratings were sent before Exit: no test";
    ASSERT_NO_FATAL_FAILURE(ExitFromMenu(program, window));

    // A rating is sent without waiting for an answer: the slow station stores the
    // last ones a little after the program has ended.
    std::vector<std::pair<int, int>> ratings;
    Eventually(
        [&] {
            ratings = StationRatings(std::stoi(userId));
            return ratings.size() >= 3;
        },
        5000);
    std::string given;
    for (const std::string& line : desktop_.LogLines(kNewMedia)) given += "\n  " + FileName(line);
    std::string held;
    for (const auto& [item, value] : ratings) held += " " + std::to_string(item) + ":" + std::to_string(value);
    ASSERT_EQ(ratings.size(), 3u) << "ratings given before Exit were lost; the station holds" << held
                                  << " for the tracks" << given;
    for (const auto& [item, value] : ratings) EXPECT_EQ(value, 1) << "item " << item;
    for (const std::string& line : desktop_.LogLines("*****WARNING***** : ")) {
        EXPECT_EQ(line.find("Error Getting Ratings"), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace vorn::test
