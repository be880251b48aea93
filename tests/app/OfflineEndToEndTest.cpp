// The real program while its station is away: started before the station,
// the station killed in the middle of a session or during the first downloads,
// and the program itself killed right after a rating. No rating may be lost,
// and neither a restart of the program nor a second press may be needed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <thread>

#include "tests/app/EndToEndTest.h"
#include "tests/support/LoopbackServer.h"

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

// The station's media port behind a link of its own: listens on 127.0.0.2 on
// the media port and relays each connection to the station on 127.0.0.1, when
// `slow` handing the answers over 1 KiB every 100 ms, so that the first
// downloads are still under way when the station is killed. Destroying it cuts
// every connection, as the station's death does with what it had sent.
class MediaLink {
public:
    MediaLink(int port, bool slow)
        : port_(port), slow_(slow),
          server_([this](LoopbackServer::Connection& client) { Relay(client.Fd()); }, true,
                  static_cast<std::uint16_t>(port), "127.0.0.2") {}

private:
    void Relay(int client) {
        const int station = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(static_cast<std::uint16_t>(port_));
        ::inet_pton(AF_INET, "127.0.0.1", &where.sin_addr);
        if (station < 0 || ::connect(station, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
            if (station >= 0) ::close(station);
            return;  // the station is away: the client's connection is closed
        }
        char buffer[64 * 1024];
        for (;;) {
            pollfd ends[2] = {{client, POLLIN, 0}, {station, POLLIN, 0}};
            if (::poll(ends, 2, 1000) < 0) break;
            if (ends[0].revents != 0) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0 || ::send(station, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
            }
            if (ends[1].revents != 0) {
                const ssize_t n = ::recv(station, buffer, slow_ ? 1024 : sizeof buffer, 0);
                if (n <= 0 || ::send(client, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
                if (slow_) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        ::close(station);
    }

    const int port_;
    const bool slow_;
    LoopbackServer server_;
};

class StationKilledWhileDownloadingTest : public OfflineEndToEndTest {
protected:
    // The four tracks of the first answer are lost with the station (each rated
    // one star for its failed download); the others are what comes next.
    StationKilledWhileDownloadingTest() { trackCount_ = 8; }
};

TEST_F(StationKilledWhileDownloadingTest, PlaybackStartsByItselfOnceTheStationIsBack) {
    constexpr int kMediaPort = 8000;
    if (!PortFree(kMediaPort) || !PortFree(kMediaPort, "127.0.0.2")) {
        GTEST_SKIP() << "Port " << kMediaPort << " is in use on 127.0.0.1 or 127.0.0.2; the test puts the station's "
                     << "media there behind a link of its own. Stop what uses it and run again.";
    }
    auto link = std::make_unique<MediaLink>(kMediaPort, true);
    const std::vector<std::string> options = {"--media-port", std::to_string(kMediaPort), "--public-host",
                                              "127.0.0.2"};
    ASSERT_NO_FATAL_FAILURE(StartStation(options));
    if (IsSkipped()) return;
    ChildProcess& program = StartVorn();
    const std::string window = ConnectedWindow();
    ASSERT_FALSE(window.empty());

    // Play once; the station dies while the first tracks are on their way.
    ASSERT_TRUE(desktop_.Click(window, kPlayX, kPlayY));
    ASSERT_TRUE(desktop_.WaitForLogLines("INFO : VornPlayer : 4Recommendations Received", 1, 30000));
    ASSERT_NO_FATAL_FAILURE(KillStation());
    link.reset();
    const auto killed = Clock::now();
    ASSERT_TRUE(desktop_.WaitForLogLines("*****SEVERE****** : Item download failed : ", 4, 20000));
    EXPECT_TRUE(desktop_.LogLines(kDownloaded).empty()) << "a download ended before the station was killed";
    ASSERT_TRUE(desktop_.WaitForLogLines("*****WARNING***** : VornPlayer : Station lost", 1, 15000));

    std::this_thread::sleep_until(killed + std::chrono::seconds(3));
    link = std::make_unique<MediaLink>(kMediaPort, false);
    ASSERT_NO_FATAL_FAILURE(StartStation(options));
    ASSERT_TRUE(desktop_.WaitForLogLines(kNewMedia, 1, 40000)) << "nothing played without a second press";
    EXPECT_EQ(desktop_.LogLines("INFO : Reconnected").size(), 1u);
    EXPECT_TRUE(program.Running());
    ASSERT_NO_FATAL_FAILURE(ExitFromMenu(program, window));
}

}  // namespace
}  // namespace vorn::test
