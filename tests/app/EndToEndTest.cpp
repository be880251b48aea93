#include "tests/app/EndToEndTest.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sqlite3.h>

#include <filesystem>
#include <iostream>

namespace vorn::test {
namespace {

sockaddr_in Address(int port, const std::string& address) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &result.sin_addr);
    return result;
}

}  // namespace

bool PortFree(int port, const std::string& address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in where = Address(port, address);
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
    ::close(fd);
    return free;
}

bool Answers(int port, const std::string& address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in where = Address(port, address);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
    ::close(fd);
    return connected;
}

bool Contains(const std::vector<std::string>& lines, const std::string& wanted) {
    for (const std::string& line : lines) {
        if (line == wanted) return true;
    }
    return false;
}

std::string FileName(const std::string& path) { return std::filesystem::path(path).filename().string(); }

void EndToEndTest::SetUp() {
    screenshots_.file = std::string(VORN_E2E_ARTIFACTS) + "/" +
                        ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".png";
    ::testing::UnitTest::GetInstance()->listeners().Append(&screenshots_);
    ASSERT_TRUE(desktop_.Ready()) << "Xvfb did not start";
    if (!PortFree(kProtocolPort)) {
        GTEST_SKIP() << "Port " << kProtocolPort << " is in use on this machine. The end-to-end test runs "
                     << "the station there (the client's protocol port is fixed); stop what uses it and run again.";
    }
    // A few short tracks: a whole track plays through within seconds.
    ChildProcess maker({VORN_STATION_PROGRAM, "--make-demo-library", desktop_.Path("demo"), "--tracks",
                        std::to_string(trackCount_),
                        "--track-seconds", std::to_string(trackSeconds_), "--quiet"},
                       {}, desktop_.Path("station.log"));
    int status = -1;
    ASSERT_TRUE(maker.WaitExit(120000, status)) << "the demo library was not made in time";
    ASSERT_EQ(status, 0) << ReadFile(desktop_.Path("station.log"));
}

void EndToEndTest::TearDown() {
    ::testing::UnitTest::GetInstance()->listeners().Release(&screenshots_);
    if (!HasFailure()) return;
    std::cerr << "---- vorn.log\n" << ReadFile(desktop_.LogPath()) << "---- vorn's output\n"
              << ReadFile(desktop_.Path("vorn.out")) << "---- station log\n"
              << ReadFile(desktop_.Path("station.log")) << "----\n";
    if (!screenshots_.path.empty()) {
        std::cerr << "The screen at the first failure: " << screenshots_.path << "\n";
    }
}

void EndToEndTest::ScreenshotOnFailure::OnTestPartResult(const ::testing::TestPartResult& result) {
    if (result.failed() && path.empty() && desktop.SaveScreenshot(file)) path = file;
}

std::unique_ptr<ChildProcess> EndToEndTest::StartStationAt(const std::string& address, const std::string& data,
                                                           const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {VORN_STATION_PROGRAM, "--music", desktop_.Path("demo"), "--data",
                                     desktop_.Path(data), "--bind", address, "--port", std::to_string(kProtocolPort),
                                     "--media-port", "0", "--cdn-port", "0", "--admin-port", "0", "--rescan", "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto station = std::make_unique<ChildProcess>(argv, std::vector<std::string>{}, desktop_.Path(data + ".log"));
    // Its own log line, not just an answer on the port: another program that
    // took the port meanwhile would answer too.
    const std::string listening = "; protocol on " + address + ":" + std::to_string(kProtocolPort) + ",";
    Eventually(
        [&] {
            return !station->Running() ||
                   (ReadFile(desktop_.Path(data + ".log")).find(listening) != std::string::npos &&
                    Answers(kProtocolPort, address));
        },
        20000);
    return station;
}

void EndToEndTest::StartStation(const std::vector<std::string>& extra) {
    station_ = StartStationAt("127.0.0.1", "station", extra);
    const std::string log = ReadFile(desktop_.Path("station.log"));
    if (!station_->Running() && log.find("Address already in use") != std::string::npos) {
        // Another program took the port since SetUp looked.
        GTEST_SKIP() << "The station could not start on port " << kProtocolPort << ":\n" << log;
    }
    ASSERT_TRUE(station_->Running() && Answers(kProtocolPort)) << "the station did not come up within 20 s:\n" << log;
}

ChildProcess& EndToEndTest::StartVorn(const std::vector<std::string>& environment) {
    vorn_ = desktop_.StartVorn(VORN_PROGRAM, desktop_.Path("vorn.out"), std::string(), environment);
    return *vorn_;
}

std::string EndToEndTest::ConnectedWindow() {
    const std::string window = desktop_.FindWindow(kMainTitle, 30000);
    EXPECT_FALSE(window.empty()) << "no window \"" << kMainTitle << "\"";
    EXPECT_TRUE(Eventually([&] { return Contains(desktop_.LogLines(kDisplay), kWelcome); }, 30000))
        << "the program did not connect";
    return window;
}

std::string EndToEndTest::StartedPlaying(int& listener) {
    const std::string window = ConnectedWindow();
    const std::string stored = desktop_.StoreValue("user_id_0");
    if (window.empty() || stored.empty()) {
        ADD_FAILURE() << "the program did not connect and register";
        return {};
    }
    listener = std::stoi(stored);
    if (!desktop_.Click(window, kPlayX, kPlayY) || !desktop_.WaitForLogLines(kNewMedia, 1, 30000)) {
        ADD_FAILURE() << "playback did not start";
        return {};
    }
    return window;
}

void EndToEndTest::UseMenu(const std::string& window, const std::string& keys) {
    const std::size_t before = desktop_.ProgramWindows().size();
    ASSERT_TRUE(desktop_.Click(window, kMenuX, kMenuY, 3));
    ASSERT_TRUE(Eventually([&] { return desktop_.ProgramWindows().size() > before; }, 5000))
        << "the context menu did not open";
    ASSERT_TRUE(desktop_.Xdotool("key " + keys));
}

void EndToEndTest::ExitFromMenu(ChildProcess& program, const std::string& window) {
    ASSERT_NO_FATAL_FAILURE(UseMenu(window, "Up Return"));
    int status = -1;
    ASSERT_TRUE(program.WaitExit(20000, status)) << "the program did not end after Exit";
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(desktop_.LogLines("INFO : Shutting down").empty());
}

std::vector<std::pair<int, int>> EndToEndTest::WaitForStationRatings(int listener, std::size_t count,
                                                                     int timeoutMs) {
    std::vector<std::pair<int, int>> ratings;
    Eventually(
        [&] {
            ratings = StationRatings(listener);
            return ratings.size() >= count;
        },
        timeoutMs);
    return ratings;
}

std::vector<std::pair<int, int>> EndToEndTest::StationRatings(int listener) {
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

}  // namespace vorn::test
