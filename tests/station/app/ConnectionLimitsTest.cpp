#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>

#include "station/base/StationConstants.h"
#include "tests/station/support/ConnectionFlood.h"
#include "tests/station/support/Mp3Files.h"
#include "tests/station/support/RawClient.h"
#include "tests/station/support/StationProcess.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"

namespace vorn::station::test {
namespace {

// The real program on a one-file library, and what another address asks of it.
class ConnectionLimitsTest : public ::testing::Test {
protected:
    void Start(std::vector<std::string> options, std::optional<rlimit> openFiles = std::nullopt) {
        std::filesystem::create_directories(dir_ / "music");
        ASSERT_TRUE(WriteSilentMp3(dir_ / "music/one.mp3", 3, 5));
        file_ = vorn::test::ReadFile(dir_ / "music/one.mp3");
        options.insert(options.begin(), {"--music", dir_ / "music", "--data", dir_ / "data", "--port", "0",
                                         "--media-port", "0", "--cdn-port", "0", "--rescan", "0"});
        station_ = std::make_unique<StationProcess>(options, dir_ / "station.log", openFiles);
        protocol_ = station_->WaitForPort();
        media_ = station_->MediaPort();
        ASSERT_NE(protocol_, 0) << station_->Log();
        ASSERT_NE(media_, 0) << station_->Log();
    }

    // Each within a few seconds, from 127.0.0.1.
    bool KeyExchange() {
        return Exchange(protocol_, "GET / HTTP/1.0\r\n\r\n", 5000).find("<type>PublicKeyResponse</type><pubkey>") !=
               std::string::npos;
    }
    bool MediaRequest() {
        const std::string answer = Exchange(media_, "GET /media/1.mp3 HTTP/1.0\r\n\r\n", 5000);
        return answer.rfind("HTTP/1.0 200 OK\r\n", 0) == 0 && answer.size() - answer.find("\r\n\r\n") - 4 == file_.size();
    }

    bool Logged(const std::string& text) {
        return vorn::test::WaitFor([&] { return station_->Log().find(text) != std::string::npos; });
    }

    vorn::test::TempDir dir_;
    std::string file_;
    std::unique_ptr<StationProcess> station_;
    int protocol_ = 0;
    int media_ = 0;
};

// One address holding 2,000 silent and trickling connections on the protocol
// and media ports, and opening again each one the station closes, locks no
// other address out: another address's key exchanges and media requests are
// all answered meanwhile, with the station's default limits.
TEST_F(ConnectionLimitsTest, AFloodFromOneAddressLocksNoOtherOut) {
    ASSERT_TRUE(RaiseDescriptorLimitTo(4500)) << "this test holds over 2,000 connections";
    const auto started = std::chrono::steady_clock::now();
    Start({});
    ConnectionFlood flood("127.0.0.2", {{protocol_, 500, false}, {protocol_, 500, true},
                                        {media_, 500, false}, {media_, 500, true}});
    ASSERT_TRUE(flood.WaitUntilOpened(20000)) << flood.Opened() << " opened, " << flood.Failed() << " failed";
    for (int i = 0; i < 40; ++i) {
        EXPECT_TRUE(KeyExchange()) << "key exchange " << i;
        EXPECT_TRUE(MediaRequest()) << "media request " << i;
    }

    // The flood was held at the limit of one address on both ports, and the
    // station reset the rest as fast as they came back.
    const std::string share = std::to_string(kDefaultMaxConnectionsPerAddress);
    EXPECT_TRUE(Logged("127.0.0.2 holds " + share + " connections on the protocol port")) << station_->Log();
    EXPECT_TRUE(Logged("127.0.0.2 holds " + share + " connections on the media host"));
    EXPECT_TRUE(vorn::test::WaitFor([&] { return flood.Closed() > 4000; }, 20000)) << flood.Closed();
    EXPECT_TRUE(station_->Running());

    // Thousands of refusals, each reason logged at most once a second.
    EXPECT_TRUE(Logged(" more refused for this since the last such line)"));
    const std::string log = station_->Log();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    for (const char* port : {"protocol port", "media host"}) {
        const std::string line = "127.0.0.2 holds " + share + " connections on the " + port;
        int lines = 0;
        for (std::size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
            ++lines;
        }
        EXPECT_LE(lines, seconds.count() + 1) << port;
    }
}

// The program raises its soft limit of open files to the hard one; when even
// that cannot hold its connection limits, each port's limit is lowered to fit,
// so that a full port cannot run the others out of descriptors.
TEST_F(ConnectionLimitsTest, TheLimitsFitTheFilesTheStationMayOpen) {
    ASSERT_TRUE(RaiseDescriptorLimitTo(1000));
    Start({"--max-connections", "1000", "--max-connections-per-address", "1000"}, rlimit{256, 1000});
    const std::string limits = vorn::test::ReadFile("/proc/" + std::to_string(station_->Pid()) + "/limits");
    EXPECT_NE(limits.find("Max open files            1000                 1000 "), std::string::npos) << limits;
    // Three descriptors for a connection to each port (the mirror is off) and 128 for the rest.
    EXPECT_TRUE(Logged("1000 connections on each port need up to 3128 open files, but the station may open only "
                       "1000; each port now takes at most 290 "))
        << station_->Log();

    ConnectionFlood flood("127.0.0.2", {{media_, 300, false}});
    ASSERT_TRUE(flood.WaitUntilOpened(10000));
    EXPECT_TRUE(Logged("the media host holds 290 connections, the most it takes; 127.0.0.2 was refused"));
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(KeyExchange()) << "key exchange " << i;
    }
    EXPECT_EQ(station_->Log().find("accepting on the"), std::string::npos);
}

}  // namespace
}  // namespace vorn::station::test
