// The real program against the real station on this machine, in a temporary
// home on a private X server, driven like a listener drives it: clicks and keys
// through xdotool, with the log, the store, the media folder, the station's
// database and the screen as witnesses.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <set>
#include <thread>

#include "tests/app/ChildProcess.h"
#include "tests/app/VornDesktop.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

constexpr int kProtocolPort = 8080;  // fixed in the client
// Window-relative points of the skin.
constexpr int kPlayX = 72, kPlayY = 66;
constexpr int kFourthStarX = 332, kFourthStarY = 94;
constexpr int kMenuX = 255, kMenuY = 100;
constexpr int kStarsX = 220, kStarsY = 85, kStarsWidth = 160, kStarsHeight = 18;

constexpr const char* kMainTitle = "Vorn Custom Radio";
constexpr const char* kNewMedia = "INFO : New Media Set : ";
constexpr const char* kDisplay = "INFO : Display : ";
constexpr const char* kDownloaded = "INFO : File Downloaded : ";

// True when nothing listens on 127.0.0.1:port (binding it tells).
bool PortFree(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return free;
}

bool Answers(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

bool Contains(const std::vector<std::string>& lines, const std::string& wanted) {
    for (const std::string& line : lines) {
        if (line == wanted) return true;
    }
    return false;
}

std::string FileName(const std::string& path) { return fs::path(path).filename().string(); }

class VornEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        screenshots_.file = std::string(VORN_E2E_ARTIFACTS) + "/" +
                            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".png";
        ::testing::UnitTest::GetInstance()->listeners().Append(&screenshots_);
        ASSERT_TRUE(desktop_.Ready()) << "Xvfb did not start";
        if (!PortFree(kProtocolPort)) {
            GTEST_SKIP() << "Port " << kProtocolPort << " is in use on this machine. The end-to-end test runs "
                         << "the station there (the client's protocol port is fixed); stop what uses it and run again.";
        }
        // Four short tracks: a whole track plays through within seconds.
        ChildProcess maker({VORN_STATION_PROGRAM, "--make-demo-library", desktop_.Path("demo"), "--tracks", "4",
                            "--track-seconds", "4", "--quiet"},
                           {}, desktop_.Path("station.log"));
        int status = -1;
        ASSERT_TRUE(maker.WaitExit(120000, status)) << "the demo library was not made in time";
        ASSERT_EQ(status, 0) << ReadFile(desktop_.Path("station.log"));
    }

    void TearDown() override {
        ::testing::UnitTest::GetInstance()->listeners().Release(&screenshots_);
        if (!HasFailure()) return;
        std::cerr << "---- vorn.log\n" << ReadFile(desktop_.LogPath()) << "---- vorn's output\n"
                  << ReadFile(desktop_.Path("vorn.out")) << "---- station log\n"
                  << ReadFile(desktop_.Path("station.log")) << "----\n";
        if (!screenshots_.path.empty()) {
            std::cerr << "The screen at the first failure: " << screenshots_.path << "\n";
        }
    }

    // Saves the screen when the first check of a test fails, while the
    // program still shows what went wrong.
    struct ScreenshotOnFailure : ::testing::EmptyTestEventListener {
        explicit ScreenshotOnFailure(const VornDesktop& desktop) : desktop(desktop) {}
        void OnTestPartResult(const ::testing::TestPartResult& result) override {
            if (result.failed() && path.empty() && desktop.SaveScreenshot(file)) path = file;
        }
        const VornDesktop& desktop;
        std::string file;  // set before the test runs: the test's name is not to be asked for here
        std::string path;
    };

    // The station on the protocol port with the demo library; media on any free port, no mirror.
    void StartStation(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {VORN_STATION_PROGRAM, "--music", desktop_.Path("demo"), "--data",
                                         desktop_.Path("station"), "--port", std::to_string(kProtocolPort),
                                         "--media-port", "0", "--cdn-port", "0", "--rescan", "0"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        station_ = std::make_unique<ChildProcess>(argv, std::vector<std::string>{}, desktop_.Path("station.log"));
        const bool up = Eventually([&] { return !station_->Running() || Answers(kProtocolPort); }, 20000);
        const std::string log = ReadFile(desktop_.Path("station.log"));
        if (!station_->Running() && log.find("Address already in use") != std::string::npos) {
            // Another program took the port since SetUp looked.
            GTEST_SKIP() << "The station could not start on port " << kProtocolPort << ":\n" << log;
        }
        ASSERT_TRUE(up && station_->Running()) << "the station did not come up within 20 s:\n" << log;
    }

    // The program; it lives until after TearDown, so a failure's screenshot shows it.
    ChildProcess& StartVorn() {
        vorn_ = desktop_.StartVorn(VORN_PROGRAM, desktop_.Path("vorn.out"));
        return *vorn_;
    }

    // The main window once the program has connected (its welcome text is shown).
    std::string ConnectedWindow() {
        const std::string window = desktop_.FindWindow(kMainTitle, 30000);
        EXPECT_FALSE(window.empty()) << "no window \"" << kMainTitle << "\"";
        EXPECT_TRUE(Eventually([&] { return Contains(desktop_.LogLines(kDisplay), kWelcome); }, 30000))
            << "the program did not connect";
        return window;
    }

    // Exit from the context menu: right click inside the skin, then the menu's
    // last item. The program must end by itself, successfully.
    void ExitFromMenu(ChildProcess& program, const std::string& window) {
        const std::size_t before = desktop_.ProgramWindows().size();
        ASSERT_TRUE(desktop_.Click(window, kMenuX, kMenuY, 3));
        ASSERT_TRUE(Eventually([&] { return desktop_.ProgramWindows().size() > before; }, 5000))
            << "the context menu did not open";
        ASSERT_TRUE(desktop_.Xdotool("key Up Return"));
        int status = -1;
        ASSERT_TRUE(program.WaitExit(20000, status)) << "the program did not end after Exit";
        EXPECT_EQ(status, 0);
        EXPECT_FALSE(desktop_.LogLines("INFO : Shutting down").empty());
    }

    // The ratings the station holds for a listener: item id and value.
    std::vector<std::pair<int, int>> StationRatings(int listener) {
        std::vector<std::pair<int, int>> ratings;
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(desktop_.Path("station/station.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK) {
            sqlite3_busy_timeout(db, 2000);
            sqlite3_stmt* query = nullptr;
            if (sqlite3_prepare_v2(db, "SELECT item, value FROM ratings WHERE listener = ? ORDER BY item", -1, &query,
                                   nullptr) == SQLITE_OK) {
                sqlite3_bind_int(query, 1, listener);
                while (sqlite3_step(query) == SQLITE_ROW) {
                    ratings.emplace_back(sqlite3_column_int(query, 0), sqlite3_column_int(query, 1));
                }
            }
            sqlite3_finalize(query);
        }
        sqlite3_close(db);
        return ratings;
    }

    static constexpr const char* kWelcome = "Welcome to Vorn. Please press the play button to begin.";

    VornDesktop desktop_;
    std::unique_ptr<ChildProcess> station_;
    std::unique_ptr<ChildProcess> vorn_;
    ScreenshotOnFailure screenshots_{desktop_};
};

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

}  // namespace
}  // namespace vorn::test
